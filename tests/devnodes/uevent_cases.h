// The uevent datagrams the interpreter tests feed in, with what each must
// give. The fuzzer's seed corpus is written from the same table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct tavuUeventCase {
  std::string name;
  std::string datagram;
  int result;  // 1: a record is handed out
  // The record, when result is 1.
  int32_t action;
  int32_t seq;
  int32_t link;
  int32_t tlor;
  std::string path;
  std::string type;
  int binaryEntries;  // one per malformed value
  // tavuDevTree() after the event, starting from an empty /dev.
  std::vector<std::string> devTree;
};

const std::vector<tavuUeventCase>& tavuUeventCases();
