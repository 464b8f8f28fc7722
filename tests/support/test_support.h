// Helpers shared by the tests.
#pragma once

#include <string>
#include <vector>

// Fails the current test unless it runs inside scripts/sandbox as root:
// tests that make nodes or open netlink sockets must never pass elsewhere.
void tavuRequireSandbox();

// Directory of the built programs (build/bin of the preset under test).
std::string tavuBinDir();

// The emulator prefix for programs of this build ("" when native).
std::vector<std::string> tavuEmulatorPrefix();

// Runs a program of this build (under the emulator when cross-built) and
// returns its exit status, with its standard output in `output`.
int tavuRunProgram(const std::vector<std::string>& argv, std::string* output);
