#include "report.h"

#include <cstring>

trace_kelu_desc_t g_netlinkTrace = TAVU_NO_TRACE_BUFFER;
std::atomic<uint8_t> g_tracInitCalled{0};
const char* g_progName = nullptr;

void tavuReportBinary(const tavuSite& site, const void* data, uint32_t length) {
  // The head holds the length in 16 bits: a longer block is cut to its low
  // 16 bits of length, and only that much of it travels.
  const auto length16 = static_cast<uint16_t>(length);
  const tavuBinaryEntryHead head{length16, TAVU_BINARY_TAG, site.hash, site.line};
  // Before the buffer exists the descriptor still holds its first value; it
  // is read only once its one writer has published it.
  const trace_kelu_desc_t desc = tavuTraceReady() ? g_netlinkTrace : TAVU_NO_TRACE_BUFFER;
  trace_kelu_write2(desc, 0, sizeof head, &head, length16, data);
}
