#include "tool_options.h"

#include <err.h>
#include <getopt.h>

#include <algorithm>
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

// The head, a line for each option with its help beside it, the tail.
std::string tavuUsageText(const tavuCommand& command, const std::vector<tavuOption>& options) {
  const bool lettered = std::any_of(options.begin(), options.end() - 2,
                                    [](const tavuOption& option) { return option.iv_letter != 0; });
  std::vector<std::string> names;
  std::size_t width = 0;
  for (const tavuOption& option : options) {
    const std::string letter = option.iv_letter != 0 ? std::string{'-', option.iv_letter, ',', ' '}
                               : lettered            ? "    "
                                                     : "";
    names.push_back(letter + "--" + option.iv_name +
                    (option.iv_value != nullptr ? std::string(" ") + option.iv_value : ""));
    width = std::max(width, names.back().size());
  }
  std::string text = command.iv_head;
  for (std::size_t i = 0; i < options.size(); ++i) {
    std::string help = options[i].iv_help;
    for (std::size_t at = 0; (at = help.find('\n', at)) != std::string::npos; at += width + 5) {
      help.insert(at + 1, width + 4, ' ');
    }
    text += "  " + names[i] + std::string(width + 2 - names[i].size(), ' ') + help + "\n";
  }
  return text + "\n" + command.iv_tail;
}

// What getopt_long refused in `word`: the option `found` given a value it
// takes none of, or missing one it needs; an unknown option.
int tavuRefuseOption(int refusal, const tavuOption* found, const char* word) {
  if (found == nullptr) {
    const std::string shown = optopt != 0 ? std::string{'-', static_cast<char>(optopt)} : word;
    return tavuUsageError("unknown option '%s'", tavuEscapeText(shown).c_str());
  }
  if (refusal == ':') return tavuUsageError("--%s needs %s", found->iv_name, found->iv_wants);
  return tavuUsageError("--%s takes no value", found->iv_name);
}

int tavuRefuseValue(const tavuOption& option, const char* value) {
  const int reason = errno;
  return tavuUsageError("--%s needs %s, not '%s'%s%s", option.iv_name, option.iv_wants,
                        tavuEscapeText(value).c_str(), reason != 0 ? ": " : "",
                        reason != 0 ? std::strerror(reason) : "");
}

}  // namespace

int tavuParseCommandLine(int argc, char** argv, const tavuCommand& command, std::size_t maxOperands,
                         std::vector<std::string>* operands) {
  std::vector<tavuOption> options = command.iv_options;
  bool printed = false;  // --help or --version: nothing more to do
  options.push_back({"help", 'h', nullptr, nullptr, "print this text and exit", [&](const char*) {
                       std::fputs(tavuUsageText(command, options).c_str(), stdout);
                       return printed = true;
                     }});
  options.push_back(
      {"version", 0, nullptr, nullptr, "print the version and build and exit", [&](const char*) {
         std::printf("%s (tavunetlink) %s, build %s\n", program_invocation_short_name, TAVU_VERSION,
                     TAVU_BUILD_ID);
         return printed = true;
       }});
  std::vector<option> longOptions;
  std::string letters = ":";  // first: a missing value is told apart
  for (std::size_t i = 0; i < options.size(); ++i) {
    const tavuOption& each = options[i];
    longOptions.push_back({each.iv_name, each.iv_wants != nullptr ? required_argument : no_argument,
                           nullptr, TAVU_OPTION_BASE + static_cast<int>(i)});
    if (each.iv_letter != 0)
      letters += std::string{each.iv_letter} + (each.iv_wants != nullptr ? ":" : "");
  }
  longOptions.push_back({});
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, letters.c_str(), longOptions.data(), nullptr)) != -1;) {
    const int value = c == '?' || c == ':' ? optopt : c;
    const tavuOption* found = nullptr;
    for (std::size_t i = 0; i < options.size(); ++i) {
      const bool named = value == TAVU_OPTION_BASE + static_cast<int>(i);
      if (named || (value != 0 && value == options[i].iv_letter)) found = &options[i];
    }
    if (c == '?' || c == ':' || found == nullptr)
      return tavuRefuseOption(c, found, argv[optind - 1]);
    errno = 0;
    if (!found->iv_take(optarg)) return tavuRefuseValue(*found, optarg);
    if (printed) return 0;
  }
  if (static_cast<std::size_t>(argc - optind) > maxOperands) {
    return tavuUsageError("unexpected argument '%s'",
                          tavuEscapeText(argv[optind + maxOperands]).c_str());
  }
  if (operands != nullptr) operands->assign(argv + optind, argv + argc);
  return TAVU_OPTIONS_GOOD;
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

int tavuPrintError(int status, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vwarnx(format, args);
  va_end(args);
  return status;
}

int tavuUsageError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vwarnx(format, args);
  va_end(args);
  std::fprintf(stderr, "Try '%s --help'.\n", program_invocation_short_name);
  return TAVU_EXIT_USAGE;
}
