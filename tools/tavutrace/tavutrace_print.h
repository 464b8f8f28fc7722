// What tavutrace writes to standard output, as text or JSON lines.
#pragma once

#include <cstdio>

#include "site_table.h"
#include "trace_decode.h"

void tavuPrintRecords(std::FILE* out, const tavuTraceBuffer& buffer, const tavuSiteTable& table,
                      bool json);
void tavuPrintHeader(std::FILE* out, const tavuTraceBuffer& buffer, bool json);
void tavuPrintSites(std::FILE* out, const tavuSiteTable& table, bool json);
