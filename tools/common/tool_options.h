// What every tool does with its command line and its failures. Each tool
// declares its options once, in a table that its usage text is made from;
// the parser (getopt_long) does the rest: --help prints the usage and
// --version the version and build, each giving 0; a usage error is told as
// "TOOL: what went wrong" and "Try 'TOOL --help'." and gives 2. Any other
// failure is one line, "TOOL: what failed: reason".
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

enum : int {
  TAVU_OPTIONS_GOOD = -1,  // tavuParseCommandLine: go on
  TAVU_EXIT_USAGE = 2,     // also a file named on the command line that cannot be read
};

// A value's keeper: false when the value is bad, errno set when there is a
// reason to tell (a directory that cannot be opened).
using tavuTake = std::function<bool(const char* value)>;

// One option: --NAME, and -LETTER when it has one.
struct tavuOption {
  const char* iv_name;
  char iv_letter;        // 0: none
  const char* iv_value;  // its value in the usage text ("N"); nullptr: it takes none
  const char* iv_wants;  // what a usage error says the value must be ("a whole number from 1")
  const char* iv_help;   // its line of the usage text; each "\n" goes on below
  tavuTake iv_take;      // given nullptr for an option that takes no value
};

// A tool's command line: the usage text is `iv_head`, the options' lines
// (theirs, then -h, --help and --version) and, after a blank line, `iv_tail`.
struct tavuCommand {
  std::string iv_head;  // "Usage: ..." up to the option lines, each line ending "\n"
  std::vector<tavuOption> iv_options;
  std::string iv_tail;  // "Exit status: ..."
};

// Parses the command line by `command`. Returns TAVU_OPTIONS_GOOD with the
// operands in `operands` (nullptr where none are taken); 0 once --help or
// --version has printed; TAVU_EXIT_USAGE once a usage error (an unknown
// option, a missing or bad value, more than `maxOperands` operands) has
// been told.
int tavuParseCommandLine(int argc, char** argv, const tavuCommand& command, std::size_t maxOperands,
                         std::vector<std::string>* operands);

// Keepers for the table: a whole number within [low, high], a real one
// within (low, high], a text, a flag.
template <typename Number>
tavuTake tavuTakeWhole(Number* into, long long low, long long high) {
  return [=](const char* text) {
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    const bool whole = end != text && *end == '\0' && errno == 0 && value >= low && value <= high;
    if (whole) *into = static_cast<Number>(value);
    errno = 0;  // out of range is said by the wants, not by strtoll
    return whole;
  };
}
tavuTake tavuTakeReal(double* into, double low, double high);
tavuTake tavuTakeText(const char** into);
tavuTake tavuTakeFlag(bool* into);

// "TOOL: TEXT" on standard error, "%m" standing for errno's text as it was
// on entry; returns `status`, the exit status to end with.
int tavuPrintError(int status, const char* format, ...) __attribute__((format(printf, 2, 3)));

// "TOOL: TEXT", then "Try 'TOOL --help'."; returns TAVU_EXIT_USAGE.
int tavuUsageError(const char* format, ...) __attribute__((format(printf, 1, 2)));
