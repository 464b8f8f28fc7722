#include "tests/platform/trace_test_dir.h"

#include <cstdlib>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

tavuScopedTraceDir::tavuScopedTraceDir() {
  const char* previous = std::getenv("TAVU_TRACE_DIR");
  iv_hadPrevious = previous != nullptr;
  if (iv_hadPrevious) iv_previous = previous;
  if (!path().empty()) setenv("TAVU_TRACE_DIR", path().c_str(), 1);
}

tavuScopedTraceDir::~tavuScopedTraceDir() {
  if (iv_hadPrevious) {
    setenv("TAVU_TRACE_DIR", iv_previous.c_str(), 1);
  } else {
    unsetenv("TAVU_TRACE_DIR");
  }
}

trace_kelu_desc_t tavuMakeTestBuffer(const char* name, uint32_t size) {
  trace_kelu_desc_t desc = TRACE_KELU_NO_BUFFER;
  EXPECT_EQ(trace_kelu_init_buffer(&desc, name, size), 0) << "buffer " << name;
  EXPECT_NE(desc, TRACE_KELU_NO_BUFFER);
  return desc;
}

tavuTraceBuffer tavuDecodeTestBuffer(const char* name) {
  tavuTraceBuffer buffer;
  std::string error;
  EXPECT_TRUE(tavuReadTraceBufferFile(tavuTraceBufferPath(name), &buffer, &error)) << error;
  return buffer;
}

std::vector<uint8_t> tavuReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool tavuWriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

tavuTraceArg tavuTextArg(const std::string& text) {
  tavuTraceArg arg;
  arg.type = 's';
  arg.text = text;
  return arg;
}

tavuTraceArg tavuNumberArg(char type, uint32_t number) {
  tavuTraceArg arg;
  arg.type = type;
  arg.number = static_cast<int32_t>(number);
  return arg;
}
