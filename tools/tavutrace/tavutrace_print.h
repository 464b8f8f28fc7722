// What tavutrace writes to standard output, as text or JSON lines.
#pragma once

#include <cstdio>

#include "tools/tavutrace/trace_decode.h"

void tavuPrintRecords(std::FILE* out, const tavuTraceBuffer& buffer, bool json);
void tavuPrintHeader(std::FILE* out, const tavuTraceBuffer& buffer, bool json);
void tavuPrintSites(std::FILE* out, bool json);
