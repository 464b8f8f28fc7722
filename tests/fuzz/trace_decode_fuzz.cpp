// libFuzzer target for the trace decoder: raw images, and a real buffer
// with bytes patched and its end cut, decode or are refused, never crash.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "trace_decode.h"
#include "trace_kelu.h"

namespace {

// A buffer that has wrapped, with argument and binary entries, written
// once through the stand-in into a scratch directory.
std::vector<uint8_t> tavuBaseImage() {
  char dir[] = "/tmp/tavutrace-fuzz.XXXXXX";
  if (mkdtemp(dir) == nullptr) std::abort();
  setenv("TAVU_TRACE_DIR", dir, 1);
  trace_kelu_desc_t desc = TRACE_KELU_NO_BUFFER;
  if (trace_kelu_init_buffer(&desc, "FUZZ", 512) != 0) std::abort();
  for (uint32_t i = 0; i < 40; ++i) {
    const uint8_t head[12] = {0, 4, 0x46, 0x44, 1, 2, 3, 4, 0, 0, 0, 9};
    if (i % 4 == 3) trace_kelu_write2(desc, 0, sizeof head, head, 4, "a\0b");
    if (i % 4 != 3) trace_kelu_write_all(desc, i % 2, " %s,%d,%x", i, 0, "zz", -1, i);
  }
  const std::string path = std::string(dir) + "/FUZZ";
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), {});
  unlink(path.c_str());
  rmdir(dir);
  return image;
}

// Input: patches of three bytes (offset high, offset low, new byte), then
// the last two bytes are how much of the image to keep.
std::vector<uint8_t> tavuPatchedImage(const uint8_t* data, size_t size) {
  static const std::vector<uint8_t> base = tavuBaseImage();
  std::vector<uint8_t> image = base;
  if (size < 2) return image;
  for (size_t at = 0; at + 3 <= size - 2; at += 3) {
    image[(static_cast<size_t>(data[at]) << 8 | data[at + 1]) % image.size()] = data[at + 2];
  }
  image.resize((static_cast<size_t>(data[size - 2]) << 8 | data[size - 1]) % (image.size() + 1));
  return image;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::vector<uint8_t> image = data[0] % 2 == 0 ? std::vector<uint8_t>(data + 1, data + size)
                                                      : tavuPatchedImage(data + 1, size - 1);
  tavuTraceBuffer buffer;
  std::string error;
  if (!tavuDecodeTraceBuffer(image, &buffer, &error)) return 0;
  // Without a site table every entry takes the longest way: raw arguments.
  const tavuSiteTable none;
  for (const tavuTraceRecord& record : buffer.iv_records) {
    tavuRenderRecord(record, none);
    tavuRecordJson(record, none);
  }
  return 0;
}
