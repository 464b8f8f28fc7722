// The report-site table of a daemon binary: its ELF sections "tavu_sites"
// and "tavu_build", read whatever the binary's byte order and word size.
#pragma once

#include <string>

#include "site_table.h"

// Returns false with `error` when the file cannot be read, is not ELF or
// holds no report sites.
bool tavuReadDaemonSites(const std::string& path, tavuSiteTable* table, std::string* error);
