#include "daemon/report_site.h"

#include <cstring>

// Bounds of the section "tavu_sites", provided by the linker; weak so that
// a program without any site still links.
extern "C" {
extern const char __start_tavu_sites[] __attribute__((weak));
extern const char __stop_tavu_sites[] __attribute__((weak));
}

std::size_t tavuForEachSite(void (*visit)(const tavuSiteHead* head, const char* text,
                                          void* context),
                            void* context) {
  const char* at = __start_tavu_sites;
  const char* end = __stop_tavu_sites;
  std::size_t count = 0;
  if (at == nullptr || end == nullptr) return 0;
  // The compiler may pad between records; padding never holds the magic word.
  while (at + sizeof(tavuSiteHead) <= end) {
    uint32_t word;
    std::memcpy(&word, at, sizeof word);
    if (word != TAVU_SITE_MAGIC) {
      at += 4;
      continue;
    }
    const auto* head = reinterpret_cast<const tavuSiteHead*>(at);
    if (head->size < sizeof(tavuSiteHead) || at + head->size > end) break;
    if (visit != nullptr) visit(head, at + sizeof(tavuSiteHead), context);
    ++count;
    at += head->size;
  }
  return count;
}
