// One uevent as tavuinject builds it: an optional header string and
// KEY=VALUE strings, each sent NUL-terminated as the kernel does. Values and
// the header may hold "{n}", replaced by a counter when the datagram is made.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct tavuUeventTemplate {
  enum HeaderMode { HEADER_FROM_KEYS, HEADER_GIVEN, HEADER_NONE };
  HeaderMode headerMode = HEADER_FROM_KEYS;
  std::string header;  // HEADER_GIVEN only
  std::vector<std::pair<std::string, std::string>> keys;
  std::string origin;  // where it was written, for messages ("events.txt:12")
};

// A key as the kernel writes them: letters, digits and '_', not empty.
bool tavuIsUeventKey(const std::string& key);

// Splits "KEY=VALUE" into a template key. Returns false with `error` set
// when the word has no '=' or its key is not one.
bool tavuSplitKeyValue(const std::string& word, std::pair<std::string, std::string>* out,
                       std::string* error);

// Checks what a datagram needs that a template may lack: some string to
// send, and ACTION= and DEVPATH= when the header is made from them.
bool tavuCheckTemplate(const tavuUeventTemplate& event, std::string* error);

// The datagram for counter value `counter`: header (if any), then each
// KEY=VALUE, every one followed by a NUL unless `finalNul` is false, which
// leaves out the very last NUL.
std::string tavuBuildDatagram(const tavuUeventTemplate& event, uint64_t counter, bool finalNul);

// `text` with every "{n}" replaced by the counter in decimal.
std::string tavuSubstituteCounter(const std::string& text, uint64_t counter);
