// The daemon's one report mechanism, three forms, one macro call per site.
// A file that reports names, once, the function its reports speak for
// (TAVU_REPORTS_AS("tavuMonitorNetlinkSocket")); every report then prints
// or traces the program's name and that name before its own arguments:
//
//   TAVU_REPORT(text, args...)            message report: printed to standard
//                                         output until the trace buffer
//                                         exists, traced from then on
//   TAVU_REPORTED(result, text, args...)  the same as an expression worth
//                                         `result`: `return TAVU_REPORTED(...)`
//                                         reports and returns at once
//   TAVU_EXIT(status, text, args...)      the same, then exit(status)
//   TAVU_TRACE(text, args...)             trace-only entry: dropped until the
//                                         trace buffer exists; `text` is
//                                         known only to the decoder
//   TAVU_BINARY_SITE(site, text)          a binary entry's site, defined at
//                                         namespace scope (a table's rows
//                                         name theirs); tavuReportBinary(site,
//                                         data, n) writes it with n bytes of
//                                         data, in every state
//
// A text begins with "%s:%s: " for the program and the function. Each
// site's hash, argument-type format and line are fixed at compile time
// from its text, and the arguments are checked against its conversions.
// Each site also leaves its record in the binary (site_record.h).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <tuple>
#include <type_traits>

#include <trace_kelu.h>

#include "site_record.h"

// Where reports go. The trace library fills g_netlinkTrace in place; other
// threads read it only once g_tracInitCalled, set after that call returned,
// says so.
constexpr trace_kelu_desc_t TAVU_NO_TRACE_BUFFER = 0xFFFFFFFFu;  // all bits set
extern trace_kelu_desc_t g_netlinkTrace;
extern std::atomic<uint8_t> g_tracInitCalled;
extern const char* g_progName;

constexpr std::size_t TAVU_FORMAT_MAX = 64;

// FNV-1a over the text's bytes: the same text always gives the same hash.
constexpr uint32_t tavuHashText(const char* text) {
  uint32_t hash = 2166136261u;
  for (; *text != '\0'; ++text) {
    hash ^= static_cast<unsigned char>(*text);
    hash *= 16777619u;
  }
  return hash;
}

// The conversion letters of a text, in order: 's', 'd' or 'x'.
constexpr std::size_t tavuConversionCount(const char* text) {
  std::size_t count = 0;
  for (; *text != '\0'; ++text) {
    if (text[0] == '%' && text[1] != '\0') {
      ++count;
      ++text;
    }
  }
  return count;
}

constexpr char tavuConversionAt(const char* text, std::size_t index) {
  for (; *text != '\0'; ++text) {
    if (text[0] == '%' && text[1] != '\0') {
      if (index == 0) return text[1];
      --index;
      ++text;
    }
  }
  return '\0';
}

// What a site passes to the trace facility.
struct tavuSite {
  uint32_t hash;
  uint32_t line;
  char format[TAVU_FORMAT_MAX];  // " %s,%s,%d", NUL-terminated
};

constexpr tavuSite tavuMakeSite(uint32_t line, const char* text) {
  tavuSite site{tavuHashText(text), line, {}};
  std::size_t out = 0;
  const std::size_t conversions = tavuConversionCount(text);
  for (std::size_t i = 0; i < conversions; ++i) {
    site.format[out++] = i == 0 ? ' ' : ',';
    site.format[out++] = '%';
    site.format[out++] = tavuConversionAt(text, i);
  }
  return site;
}

template <std::size_t N>
struct tavuSiteRecord {
  char text[TAVU_SITE_RECORD_HEAD + N];
};

constexpr void tavuPutHex(char* out, uint32_t value) {
  for (int i = 7; i >= 0; --i, value >>= 4) out[i] = "0123456789abcdef"[value & 15];
}

template <std::size_t N>
constexpr tavuSiteRecord<N> tavuMakeSiteRecord(tavuSiteKind kind, uint32_t line,
                                               const char (&text)[N]) {
  tavuSiteRecord<N> record{};
  char* out = record.text;
  out[0] = kind;
  out[1] = out[10] = out[19] = ' ';
  tavuPutHex(out + 2, tavuHashText(text));
  tavuPutHex(out + 11, line);
  for (std::size_t i = 0; i < N; ++i) out[TAVU_SITE_RECORD_HEAD + i] = text[i];
  return record;
}

template <std::size_t N>
constexpr bool tavuFormatFits(const char (&text)[N]) {
  return 3 * tavuConversionCount(text) < TAVU_FORMAT_MAX;
}

// Whether each argument suits its conversion: a string for %s, a 32-bit
// integer for %d and %x. Checked at compile time at every site.
template <typename T>
constexpr bool tavuArgSuits(char conversion) {
  using U = std::decay_t<T>;
  if (conversion == 's') {
    return std::is_same_v<U, const char*> || std::is_same_v<U, char*>;
  }
  if (conversion == 'd' || conversion == 'x') {
    return std::is_integral_v<U> && !std::is_same_v<U, bool> && sizeof(U) <= 4;
  }
  return false;
}

template <typename Tuple, std::size_t... I>
constexpr bool tavuArgsSuit(const char* text, std::index_sequence<I...>) {
  return (tavuArgSuits<std::tuple_element_t<I, Tuple>>(tavuConversionAt(text, I)) && ...);
}

template <typename Tuple>
constexpr bool tavuArgsMatch(const char* text) {
  return tavuConversionCount(text) == std::tuple_size_v<Tuple> &&
         tavuArgsSuit<Tuple>(text, std::make_index_sequence<std::tuple_size_v<Tuple>>{});
}

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

// Names the function this file's reports speak for.
#define TAVU_REPORTS_AS(function)                \
  namespace {                                    \
  constexpr const char* tavuReporter = function; \
  }

// Defines the site `name` for `text`; its record is kept in the section
// "tavu_sites" although no code refers to it.
#define TAVU_DEFINE_SITE(name, kind, text)                                       \
  static_assert(::tavuFormatFits(text), "too many arguments for one report");    \
  [[gnu::section("tavu_sites"), gnu::used]] static constexpr auto name##Record = \
      ::tavuMakeSiteRecord(kind, __LINE__, text);                                \
  static constexpr ::tavuSite name = ::tavuMakeSite(__LINE__, text)

#define TAVU_CHECK_ARGS(text, ...)                                             \
  static_assert(::tavuArgsMatch<decltype(std::make_tuple(__VA_ARGS__))>(text), \
                "report arguments do not match the conversions of its text")

#define TAVU_REPORT(text, ...)                                                     \
  do {                                                                             \
    TAVU_DEFINE_SITE(tavuSite_, TAVU_SITE_MESSAGE, text);                          \
    TAVU_CHECK_ARGS(text, g_progName, tavuReporter, ##__VA_ARGS__);                \
    ::tavuReportMessage(tavuSite_, text, g_progName, tavuReporter, ##__VA_ARGS__); \
  } while (0)

#define TAVU_REPORTED(result, text, ...) \
  ([&] {                                 \
    TAVU_REPORT(text, ##__VA_ARGS__);    \
    return result;                       \
  }())

#define TAVU_EXIT(status, text, ...)  \
  do {                                \
    TAVU_REPORT(text, ##__VA_ARGS__); \
    std::exit(status);                \
  } while (0)

#define TAVU_TRACE(text, ...)                                                  \
  do {                                                                         \
    TAVU_DEFINE_SITE(tavuSite_, TAVU_SITE_TRACE, text);                        \
    TAVU_CHECK_ARGS(text, g_progName, tavuReporter, ##__VA_ARGS__);            \
    ::tavuReportTraceOnly(tavuSite_, g_progName, tavuReporter, ##__VA_ARGS__); \
  } while (0)

#define TAVU_BINARY_SITE(name, text)                                                           \
  static_assert(::tavuConversionCount(text) == 0, "a binary entry's text takes no arguments"); \
  TAVU_DEFINE_SITE(name, TAVU_SITE_BINARY, text)
