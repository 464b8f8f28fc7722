// Runs a program and collects its exit status, standard output and error.
#pragma once

#include <string>
#include <vector>

struct tavuProgramRun {
  int status = -1;  // exit status, 128 + signal when killed
  std::string out;
  std::string err;
};

// `argv` as given: the caller adds an emulator prefix when it needs one.
tavuProgramRun tavuRunCapturing(const std::vector<std::string>& argv);

// This build's tavutrace (under the emulator when cross-built) with `args`.
tavuProgramRun tavuRunTavutrace(const std::vector<std::string>& args);

std::vector<std::string> tavuSplitLines(const std::string& text);
