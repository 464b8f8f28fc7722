// A report site fixed at build time: the hash of its full text, the
// argument-type format derived from that text, its kind and its line.
// Every site's record is also kept in the section "tavu_sites", so the
// trace decoder reads its table from the daemon's own code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <tuple>
#include <type_traits>

enum tavuSiteKind : uint16_t {
  TAVU_SITE_MESSAGE = 1,  // printed before the trace buffer exists, traced after
  TAVU_SITE_TRACE = 2,    // traced only; its text serves the decoder alone
  TAVU_SITE_BINARY = 3,   // a binary entry carrying raw data
};

constexpr uint32_t TAVU_SITE_MAGIC = 0x54415653;  // "TAVS" in a native word
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

// Head of every site record; the text follows it directly.
struct tavuSiteHead {
  uint32_t magic;
  uint32_t size;  // bytes of the whole record, a multiple of 4
  uint32_t hash;
  uint32_t line;
  uint16_t kind;
  uint16_t textLength;
  char format[TAVU_FORMAT_MAX];  // " %s,%s,%d", NUL-terminated
};

template <std::size_t N>
struct tavuSiteRecord {
  tavuSiteHead head;
  char text[(N + 3) & ~std::size_t{3}];
};

template <std::size_t N>
constexpr tavuSiteRecord<N> tavuMakeSiteRecord(tavuSiteKind kind, uint32_t line,
                                               const char (&text)[N]) {
  tavuSiteRecord<N> record{};
  record.head.magic = TAVU_SITE_MAGIC;
  record.head.size = sizeof(tavuSiteRecord<N>);
  record.head.hash = tavuHashText(text);
  record.head.line = line;
  record.head.kind = kind;
  record.head.textLength = N - 1;
  std::size_t out = 0;
  const std::size_t conversions = tavuConversionCount(text);
  for (std::size_t i = 0; i < conversions; ++i) {
    record.head.format[out++] = i == 0 ? ' ' : ',';
    record.head.format[out++] = '%';
    record.head.format[out++] = tavuConversionAt(text, i);
  }
  for (std::size_t i = 0; i < N; ++i) record.text[i] = text[i];
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

// Defines the site record `name` for `text`, kept in the section
// "tavu_sites" whether or not the compiler needs the object itself.
#define TAVU_DEFINE_SITE(name, kind, text)                                          \
  static_assert(::tavuFormatFits(text), "too many arguments for one report");       \
  [[gnu::section("tavu_sites"), gnu::used]] alignas(4) static constexpr auto name = \
      ::tavuMakeSiteRecord(kind, __LINE__, text)

// Walks the site records linked into this program.
// Returns the number of sites; calls `visit` for each unless it is null.
std::size_t tavuForEachSite(void (*visit)(const tavuSiteHead* head, const char* text,
                                          void* context),
                            void* context);
