// Helpers for the node tests, which run only inside scripts/sandbox.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

// Removes everything under /dev but the sandbox's own entries. Fails the
// test (and removes nothing) unless /dev is the sandbox's tmpfs.
void tavuClearDev();

// Every entry below `root` (not following links) as sorted lines
// "type mode path", e.g. "d 0755 /tmp/marker/a", "f 0644 /tmp/marker/file".
std::vector<std::string> tavuTreeLines(const std::string& root);

// The names directly in the root directory: where an escape from /dev by
// ".." would land first.
std::vector<std::string> tavuRootNames();

// An exact-size heap copy of a datagram, so that ASan sees a read past it.
struct tavuDatagramCopy {
  explicit tavuDatagramCopy(const std::string& bytes);
  ~tavuDatagramCopy();
  tavuDatagramCopy(const tavuDatagramCopy&) = delete;
  tavuDatagramCopy& operator=(const tavuDatagramCopy&) = delete;

  char* iv_data;
  uint32_t iv_length;
};

// A test that makes nodes: inside the sandbox, umask 022, /dev emptied
// before and after.
class tavuDevTest : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};

std::vector<std::string> tavuSorted(std::vector<std::string> lines);
