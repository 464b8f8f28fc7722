// A private trace directory for one test: TAVU_TRACE_DIR points at a fresh
// temporary directory while the object lives, and the directory goes after.
#pragma once

#include <string>

#include "platform/trace_kelu.h"
#include "tests/support/test_support.h"
#include "tools/tavutrace/trace_decode.h"

class tavuScopedTraceDir {
 public:
  tavuScopedTraceDir();
  ~tavuScopedTraceDir();
  tavuScopedTraceDir(const tavuScopedTraceDir&) = delete;
  tavuScopedTraceDir& operator=(const tavuScopedTraceDir&) = delete;

  const std::string& path() const { return iv_dir.path(); }
  std::string file(const char* name) const { return iv_dir.file(name); }

 private:
  tavuScratchDir iv_dir{"tavutrace-test"};
  std::string iv_previous;
  bool iv_hadPrevious = false;
};

// A new buffer in the current trace directory; fails the test if it cannot.
trace_kelu_desc_t tavuMakeTestBuffer(const char* name, uint32_t size);

// Decodes the named buffer of the current trace directory.
tavuTraceBuffer tavuDecodeTestBuffer(const char* name);

std::vector<uint8_t> tavuReadBytes(const std::string& path);
bool tavuWriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);

// Decoded arguments, for expectations: a string, or a number of type 'd' or 'x'.
tavuTraceArg tavuTextArg(const std::string& text);
tavuTraceArg tavuNumberArg(char type, uint32_t number);
