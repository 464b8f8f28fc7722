// libFuzzer target for the trace decoder: raw images, and a real buffer
// with bytes patched and its end cut, must decode or be refused, never crash.
#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/trace_kelu.h"
#include "tests/support/own_sites.h"
#include "tools/tavutrace/trace_render.h"

namespace {

// A buffer that has wrapped, with argument and binary entries, written
// once through the stand-in into a scratch directory.
std::vector<uint8_t> writeBaseImage() {
  char dir[] = "/tmp/tavutrace-fuzz.XXXXXX";
  if (mkdtemp(dir) == nullptr) std::abort();
  setenv("TAVU_TRACE_DIR", dir, 1);
  trace_kelu_desc_t desc = TRACE_KELU_NO_BUFFER;
  if (trace_kelu_init_buffer(&desc, "FUZZ", 512) != 0) std::abort();
  for (uint32_t i = 0; i < 40; ++i) {
    if (i % 4 == 3) {
      const uint8_t head[12] = {0, 4, 0x46, 0x44, 1, 2, 3, 4, 0, 0, 0, 9};
      trace_kelu_write2(desc, 0, sizeof head, head, 4, "a\0b");
    } else {
      trace_kelu_write_all(desc, i, " %s,%d,%x", i, 0, std::string(i % 11, 'z').c_str(), -1, i);
    }
  }
  const std::string path = std::string(dir) + "/FUZZ";
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  unlink(path.c_str());
  rmdir(dir);
  return image;
}

// Input: patches of three bytes (offset high, offset low, new byte), then
// the last two bytes are how much of the image to keep.
std::vector<uint8_t> patchedImage(const uint8_t* data, size_t size) {
  static const std::vector<uint8_t> base = writeBaseImage();
  std::vector<uint8_t> image = base;
  if (size < 2) return image;
  for (size_t at = 0; at + 3 <= size - 2; at += 3) {
    image[(static_cast<size_t>(data[at]) << 8 | data[at + 1]) % image.size()] = data[at + 2];
  }
  const size_t keep = static_cast<size_t>(data[size - 2]) << 8 | data[size - 1];
  image.resize(keep % (image.size() + 1));
  return image;
}

void decodeAndRender(const std::vector<uint8_t>& image) {
  tavuTraceBuffer buffer;
  std::string error;
  if (!tavuDecodeTraceBuffer(image, &buffer, &error)) return;
  for (const tavuTraceRecord& record : buffer.records) {
    tavuRenderRecord(record, tavuOwnSites());
    tavuRecordJson(record, tavuOwnSites());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  if (data[0] % 2 == 0) {
    decodeAndRender(std::vector<uint8_t>(data + 1, data + size));
  } else {
    decodeAndRender(patchedImage(data + 1, size - 1));
  }
  return 0;
}
