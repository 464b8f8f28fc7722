// A report site fixed at build time: the hash of its full text, the
// argument-type format derived from that text, and its line. Each site also
// leaves a record in the section "tavu_sites" for the trace decoder: one
// NUL-terminated text "K HHHHHHHH LLLLLLLL TEXT" (kind m, t or b; hash and
// line in hex), the same in any byte order and word size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <tuple>
#include <type_traits>

enum tavuSiteKind : char {
  TAVU_SITE_MESSAGE = 'm',  // printed before the trace buffer exists, traced after
  TAVU_SITE_TRACE = 't',    // traced only; its text serves the decoder alone
  TAVU_SITE_BINARY = 'b',   // a binary entry carrying raw data
};

constexpr std::size_t TAVU_FORMAT_MAX = 64;
constexpr std::size_t TAVU_SITE_RECORD_HEAD = 20;  // "K HHHHHHHH LLLLLLLL "

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
  constexpr std::size_t count = std::tuple_size_v<Tuple>;
  return tavuConversionCount(text) == count &&
         tavuArgsSuit<Tuple>(text, std::make_index_sequence<count>{});
}

// Defines the site `name` for `text`; its record is kept in the section
// "tavu_sites" although no code refers to it.
#define TAVU_DEFINE_SITE(name, kind, text)                                       \
  static_assert(::tavuFormatFits(text), "too many arguments for one report");    \
  [[gnu::section("tavu_sites"), gnu::used]] static constexpr auto name##Record = \
      ::tavuMakeSiteRecord(kind, __LINE__, text);                                \
  static constexpr ::tavuSite name = ::tavuMakeSite(__LINE__, text)
