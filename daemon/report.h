// The daemon's one report mechanism, three forms, one macro call per site:
//
//   TAVU_REPORT(text, args...)       message report: printed to standard
//                                    output until the trace buffer exists,
//                                    traced from then on
//   TAVU_TRACE(text, args...)        trace-only entry: dropped until the
//                                    trace buffer exists; `text` is known
//                                    only to the decoder
//   TAVU_TRACE_BINARY(text, data, n) binary entry carrying n bytes of data,
//                                    written in every state
//
// Each site's hash, argument-type format and line are fixed at compile time
// from its text; the arguments are checked against the text's conversions.
#pragma once

#include <cstdint>
#include <cstdio>
#include <tuple>
#include <type_traits>

#include "daemon/globals.h"
#include "daemon/report_site.h"

inline bool tavuTraceReady() {
  return g_tracInitCalled.load(std::memory_order_acquire) != 0;
}

// Integers travel to the trace facility as 32-bit values, strings as pointers.
template <typename T>
inline auto tavuTraceValue(T value) {
  if constexpr (std::is_integral_v<T>) {
    return static_cast<int32_t>(value);
  } else {
    return static_cast<const char*>(value);
  }
}

// Called only once tavuTraceReady() has said so.
template <typename... Args>
inline void tavuTraceEntry(const tavuSite& site, Args... args) {
  trace_kelu_write_all(g_netlinkTrace, site.hash, site.format, site.line, 0,
                       tavuTraceValue(args)...);
}

// Flushed at once: standard output may be a file or a pipe that nothing
// else writes to for hours.
template <typename... Args>
inline void tavuPrintReport(const char* text, Args... args) {
  std::printf(text, args...);  // NOLINT(cppcoreguidelines-pro-type-vararg)
  std::fflush(stdout);
}

template <typename... Args>
inline void tavuReportMessage(const tavuSite& site, const char* text, Args... args) {
  if (tavuTraceReady()) {
    tavuTraceEntry(site, args...);
  } else {
    tavuPrintReport(text, args...);
  }
}

template <typename... Args>
inline void tavuReportTraceOnly(const tavuSite& site, Args... args) {
  if (tavuTraceReady()) tavuTraceEntry(site, args...);
}

// The 12-byte head of a binary entry, in host byte order.
struct tavuBinaryEntryHead {
  uint16_t length;
  uint16_t tag;  // TAVU_BINARY_TAG
  uint32_t hash;
  uint32_t line;
};
static_assert(sizeof(tavuBinaryEntryHead) == 12, "binary entry head is 12 bytes");
constexpr uint16_t TAVU_BINARY_TAG = 0x4644;  // "FD"

void tavuReportBinary(const tavuSite& site, const void* data, uint32_t length);

#define TAVU_CHECK_ARGS(text, ...)                                             \
  static_assert(::tavuArgsMatch<decltype(std::make_tuple(__VA_ARGS__))>(text), \
                "report arguments do not match the conversions of its text")

#define TAVU_REPORT(text, ...)                            \
  do {                                                    \
    TAVU_DEFINE_SITE(tavuSite_, TAVU_SITE_MESSAGE, text); \
    TAVU_CHECK_ARGS(text, __VA_ARGS__);                   \
    ::tavuReportMessage(tavuSite_, text, __VA_ARGS__);    \
  } while (0)

#define TAVU_TRACE(text, ...)                           \
  do {                                                  \
    TAVU_DEFINE_SITE(tavuSite_, TAVU_SITE_TRACE, text); \
    TAVU_CHECK_ARGS(text, __VA_ARGS__);                 \
    ::tavuReportTraceOnly(tavuSite_, __VA_ARGS__);      \
  } while (0)

#define TAVU_TRACE_BINARY(text, data, length)                                                    \
  do {                                                                                           \
    static_assert(::tavuConversionCount(text) == 0, "a binary entry's text takes no arguments"); \
    TAVU_DEFINE_SITE(tavuSite_, TAVU_SITE_BINARY, text);                                         \
    ::tavuReportBinary(tavuSite_, data, length);                                                 \
  } while (0)
