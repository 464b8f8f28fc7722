// The arguments of one trace_kelu_write_all call, read as its format names
// them and measured for the entry that will hold them.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "platform/trace_buffer_format.h"

struct tavuTraceArgValue {
  char type;         // 's', 'd' or 'x'
  uint16_t length;   // 's': bytes kept of `text`
  const char* text;  // 's': the caller's string, not copied yet
  uint32_t number;   // 'd', 'x'
};

struct tavuTraceArgList {
  tavuTraceArgValue values[TAVU_TRACE_ARGS_MAX];
  uint16_t count;
  uint16_t flags;        // TAVU_TRACE_FLAG_*
  uint32_t payloadSize;  // bytes these arguments take in an entry
};

// Takes one argument from `args` per conversion of `format` (" %s,%s,%d").
// A conversion other than %s, %d and %x ends the list: what it would take
// from `args` is unknown, so nothing more can be read safely.
void tavuTraceParseArgs(const char* format, va_list args, tavuTraceArgList* out);
