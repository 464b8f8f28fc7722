#include "tool_options.h"

#include <getopt.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "text_format.h"

namespace {

// getopt_long's value for option i of the table; beyond every letter.
constexpr int TAVU_OPTION_BASE = 256;

void tavuSay(const char* format, va_list args) {
  const int failure = errno;
  std::fprintf(stderr, "%s: ", program_invocation_short_name);
  errno = failure;
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
}

// The option that getopt_long's `value` names, by its index or its letter.
const tavuOption* tavuFindOption(const std::vector<tavuOption>& options, int value) {
  const auto index = static_cast<std::size_t>(value - TAVU_OPTION_BASE);
  if (value >= TAVU_OPTION_BASE && index < options.size()) return &options[index];
  for (const tavuOption& option : options) {
    if (value != 0 && option.iv_letter == value) return &option;
  }
  return nullptr;
}

// What getopt_long refused: `found` is the option given a value it takes
// none of, or nullptr for an unknown one.
int tavuRefuseOption(const tavuOption* found, const char* word) {
  if (found != nullptr) return tavuUsageError("--%s takes no value", found->iv_name);
  const std::string shown = optopt != 0 ? std::string{'-', static_cast<char>(optopt)} : word;
  return tavuUsageError("unknown option '%s'", tavuEscapeText(shown).c_str());
}

int tavuRefuseValue(const tavuOption& option, const char* value) {
  const int reason = errno;
  return tavuUsageError("--%s needs %s, not '%s'%s%s", option.iv_name, option.iv_wants,
                        tavuEscapeText(value).c_str(), reason != 0 ? ": " : "",
                        reason != 0 ? std::strerror(reason) : "");
}

}  // namespace

int tavuParseCommandLine(int argc, char** argv, const std::vector<tavuOption>& options,
                         const std::string& usage, std::size_t maxOperands,
                         std::vector<std::string>* operands) {
  std::vector<option> longOptions;
  std::string letters = ":h";  // ':' first: a missing value is told apart
  for (std::size_t i = 0; i < options.size(); ++i) {
    const bool valued = options[i].iv_wants != nullptr;
    longOptions.push_back({options[i].iv_name, valued ? required_argument : no_argument, nullptr,
                           TAVU_OPTION_BASE + static_cast<int>(i)});
    if (options[i].iv_letter != 0)
      letters += std::string(1, options[i].iv_letter) + (valued ? ":" : "");
  }
  longOptions.push_back({"help", no_argument, nullptr, 'h'});
  longOptions.push_back({});
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, letters.c_str(), longOptions.data(), nullptr)) != -1;) {
    if (c == 'h') {
      std::fputs(usage.c_str(), stdout);
      return 0;
    }
    const tavuOption* found = tavuFindOption(options, c == '?' || c == ':' ? optopt : c);
    if (c == '?') return tavuRefuseOption(found, argv[optind - 1]);
    if (c == ':') return tavuUsageError("--%s needs %s", found->iv_name, found->iv_wants);
    errno = 0;
    if (!found->iv_take(optarg)) return tavuRefuseValue(*found, optarg);
  }
  if (static_cast<std::size_t>(argc - optind) > maxOperands) {
    return tavuUsageError("unexpected argument '%s'",
                          tavuEscapeText(argv[optind + maxOperands]).c_str());
  }
  operands->assign(argv + optind, argv + argc);
  return TAVU_OPTIONS_GOOD;
}

bool tavuParseWhole(const char* text, long long low, long long high, long long* value) {
  char* end = nullptr;
  errno = 0;
  *value = std::strtoll(text, &end, 10);
  const bool whole = end != text && *end == '\0' && errno == 0 && *value >= low && *value <= high;
  errno = 0;  // out of range is said by the wants, not by strtoll
  return whole;
}

tavuTake tavuTakeReal(double* into, double low, double high) {
  return [=](const char* text) {
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(value) || value <= low || value > high) {
      return false;
    }
    *into = value;
    return true;
  };
}

tavuTake tavuTakeText(const char** into) {
  return [=](const char* text) {
    *into = text;
    return true;
  };
}

tavuTake tavuTakeFlag(bool* into) {
  return [=](const char*) { return *into = true; };
}

int tavuFail(int status, const char* format, ...) {
  va_list args;
  va_start(args, format);
  tavuSay(format, args);
  va_end(args);
  return status;
}

int tavuUsageError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  tavuSay(format, args);
  va_end(args);
  std::fprintf(stderr, "Try '%s --help'.\n", program_invocation_short_name);
  return TAVU_EXIT_USAGE;
}
