#include "daemon/report.h"

#include <cstring>

void tavuReportBinary(const tavuSiteHead& site, const void* data, uint32_t length) {
  // The entry carries as much of the data as 16 bits of length reach.
  const auto length16 = static_cast<uint16_t>(length);
  const tavuBinaryEntryHead head{length16, TAVU_BINARY_TAG, site.hash, site.line};
  trace_kelu_write2(g_netlinkTrace.load(std::memory_order_acquire), 0, sizeof head, &head,
                    length16, data);
}
