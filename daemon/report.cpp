#include "daemon/report.h"

#include <cstring>

void tavuReportBinary(const tavuSite& site, const void* data, uint32_t length) {
  // The head holds the length in 16 bits: a longer block is cut to its low
  // 16 bits of length, and only that much of it travels.
  const auto length16 = static_cast<uint16_t>(length);
  const tavuBinaryEntryHead head{length16, TAVU_BINARY_TAG, site.hash, site.line};
  trace_kelu_write2(g_netlinkTrace.load(std::memory_order_acquire), 0, sizeof head, &head, length16,
                    data);
}
