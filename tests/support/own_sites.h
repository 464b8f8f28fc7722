// The report-site table of this test program: the records its own report
// sites left in the section "tavu_sites", read by the decoder's parser as
// tavutrace reads a daemon binary's.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/tavutrace/site_table.h"

// Bounds of the section, from the linker.
extern "C" const char __start_tavu_sites[];
extern "C" const char __stop_tavu_sites[];

inline const tavuSiteTable& tavuOwnSites() {
  static const tavuSiteTable table = [] {
    tavuSiteTable own;
    std::string error;
    if (!tavuParseSiteRecords(__start_tavu_sites,
                              static_cast<std::size_t>(__stop_tavu_sites - __start_tavu_sites),
                              &own, &error)) {
      std::fprintf(stderr, "this program's own site records: %s\n", error.c_str());
      std::abort();
    }
    return own;
  }();
  return table;
}
