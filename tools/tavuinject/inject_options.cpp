#include "tools/tavuinject/inject_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

const char TAVU_USAGE[] =
    R"(Usage: tavuinject [OPTIONS] KEY=VALUE...
       tavuinject [OPTIONS] --file PATH
       tavuinject [OPTIONS] --raw-hex HEX | --raw-file PATH

Plays the kernel for tests: sends uevent datagrams to a multicast group of
the NETLINK_KOBJECT_UEVENT family, as the kernel announces hot-plug events.
It refuses to run in the host's initial network namespace (see below).

Input, one of:
  KEY=VALUE...           one event from the command line, e.g.
                           ACTION=add DEVPATH=/class/uart/ttyS1 SUBSYSTEM=uart
                           SEQNUM=1 MAJOR=4 MINOR=65
  -f, --file PATH        events from a file ("-": standard input), format below
      --raw-hex HEX      one datagram of exactly these bytes: pairs of hex
                         digits, blanks and ':' between them ignored
      --raw-file PATH    one datagram of exactly the bytes of PATH

Building events (not for raw bytes):
      --header TEXT      the header string of a command-line event
                         (default: ACTION@DEVPATH, from those two keys)
      --no-header        send no header string
      --no-final-nul     leave out the NUL after the last string

Repeating and pacing:
  -n, --repeat N         send the whole input N times (default 1); in round k
                         every "{n}" in a value or header becomes FIRST+k
      --first FIRST      counter of the first round (default 0)
      --rate R           R datagrams per second
      --interval-us U    U microseconds from one datagram to the next
                         (default: as fast as possible)
  -g, --group G          multicast group 1 to 32 (default 1, the kernel's)

Output and safety:
      --dry-run          print each datagram to standard output and send
                         nothing (NUL as \0, other bytes as \xHH)
  -v, --verbose          print each datagram to standard error as it is sent
      --json             the summary as one JSON object on standard output
                         instead of the line on standard error
      --timestamps PATH  after sending, write to PATH one line per datagram
                         sent: its index and the CLOCK_MONOTONIC time in ns
                         taken just before its send (for measurements)
      --allow-host-namespace
                         send even from the host's initial network namespace
  -h, --help             this text

File format: one event a block of lines, blocks separated by blank lines.
  # comment              a line whose first non-blank character is '#'
  KEY=VALUE              one string of the event, sent as written
  @header TEXT           the header string (default ACTION@DEVPATH)
  @noheader              send no header string
Every string of an event is sent followed by a NUL, header first.

Namespace check: tavuinject sends only where the kernel's initial-namespace
sysctls (/proc/sys/net/core/netdev_max_backlog, netdev_budget) are absent
and the per-namespace ones (somaxconn) present, as in a namespace made by
unshare --net or scripts/sandbox. Sending needs CAP_NET_ADMIN there.

At the end it prints "sent N datagrams, B bytes in T s" to standard error.

Exit status:
  0  every datagram sent (or printed, with --dry-run)
  1  a send failed; the datagrams after it were not sent
  2  bad usage, or input that cannot be read or is malformed
  3  refused: not permitted to send, or not in a private network namespace
)";

bool tavuParseCount(const std::string& text, uint64_t* value) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long parsed = std::strtoull(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *value = parsed;
  return true;
}

bool tavuParseRate(const std::string& text, uint64_t* intervalNs) {
  char* end = nullptr;
  const double rate = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(rate) || rate <= 0 || rate > 1e9) {
    return false;
  }
  *intervalNs = static_cast<uint64_t>(std::llround(1e9 / rate));
  return true;
}

// Reads the value of option `name`: "--name=value" or the next word.
bool tavuOptionValue(const std::string& word, const std::string& name, int argc,
                     const char* const* argv, int* index, std::string* value, std::string* error) {
  if (word.size() > name.size() && word[name.size()] == '=') {
    *value = word.substr(name.size() + 1);
    return true;
  }
  if (*index + 1 >= argc) {
    *error = name + " needs a value";
    return false;
  }
  *value = argv[++*index];
  return true;
}

struct tavuOptionParse {
  int argc;
  const char* const* argv;
  int index;
  tavuInjectOptions* options;
  int sources;  // how many inputs were named
};

// Handles the option `word` (argv[index]); false with `error` set.
bool tavuParseOption(const std::string& word, tavuOptionParse* parse, std::string* error) {
  tavuInjectOptions& o = *parse->options;
  const std::string name = word.substr(0, word.find('='));
  auto value = [&](std::string* out) {
    return tavuOptionValue(word, name, parse->argc, parse->argv, &parse->index, out, error);
  };
  std::string text;
  if (word == "-h" || word == "--help") {
    o.help = true;
  } else if (word == "--no-header") {
    o.noHeader = true;
  } else if (word == "--no-final-nul") {
    o.finalNul = false;
  } else if (word == "--dry-run") {
    o.dryRun = true;
  } else if (word == "-v" || word == "--verbose") {
    o.verbose = true;
  } else if (word == "--json") {
    o.json = true;
  } else if (word == "--allow-host-namespace") {
    o.allowHostNamespace = true;
  } else if (name == "-f" || name == "--file" || name == "--raw-file") {
    if (!value(&o.path)) return false;
    o.source =
        name == "--raw-file" ? tavuInjectOptions::FROM_RAW_FILE : tavuInjectOptions::FROM_FILE;
    ++parse->sources;
  } else if (name == "--raw-hex") {
    if (!value(&o.hex)) return false;
    o.source = tavuInjectOptions::FROM_RAW_HEX;
    ++parse->sources;
  } else if (name == "--timestamps") {
    if (!value(&o.timestampsPath)) return false;
  } else if (name == "--header") {
    if (!value(&o.header)) return false;
    o.headerGiven = true;
  } else if (name == "-n" || name == "--repeat" || name == "--first") {
    uint64_t* target = name == "--first" ? &o.first : &o.repeat;
    if (!value(&text)) return false;
    if (!tavuParseCount(text, target)) {
      *error = name + " needs a whole number, not '" + text + "'";
      return false;
    }
  } else if (name == "--rate") {
    if (!value(&text)) return false;
    if (!tavuParseRate(text, &o.intervalNs)) {
      *error = "--rate needs a positive number of datagrams per second, not '" + text + "'";
      return false;
    }
  } else if (name == "--interval-us") {
    uint64_t micros = 0;
    if (!value(&text)) return false;
    if (!tavuParseCount(text, &micros) || micros > UINT64_MAX / 1000) {
      *error = "--interval-us needs a whole number of microseconds, not '" + text + "'";
      return false;
    }
    o.intervalNs = micros * 1000;
  } else if (name == "-g" || name == "--group") {
    uint64_t group = 0;
    if (!value(&text)) return false;
    if (!tavuParseCount(text, &group) || group < 1 || group > 32) {
      *error = "--group needs a group from 1 to 32, not '" + text + "'";
      return false;
    }
    o.group = static_cast<uint32_t>(group);
  } else {
    *error = "unknown option '" + word + "'";
    return false;
  }
  return true;
}

// Rules between options that each parsed well.
bool tavuCheckCombination(const tavuOptionParse& parse, std::string* error) {
  const tavuInjectOptions& o = *parse.options;
  const bool raw =
      o.source == tavuInjectOptions::FROM_RAW_HEX || o.source == tavuInjectOptions::FROM_RAW_FILE;
  if (parse.sources > 1 || (parse.sources == 1 && !o.keys.empty())) {
    *error = "give one input: KEY=VALUE words, --file, --raw-hex or --raw-file";
    return false;
  }
  if (o.source == tavuInjectOptions::FROM_KEYS && o.keys.empty()) {
    *error = "nothing to send: give KEY=VALUE words, --file, --raw-hex or --raw-file";
    return false;
  }
  if (o.headerGiven && o.noHeader) {
    *error = "--header and --no-header exclude each other";
    return false;
  }
  if ((o.headerGiven || o.noHeader) && o.source != tavuInjectOptions::FROM_KEYS) {
    *error = "--header and --no-header are for command-line events; a file uses @header";
    return false;
  }
  if (raw && !o.finalNul) {
    *error = "--no-final-nul is for built events; raw bytes are sent as given";
    return false;
  }
  if (o.repeat == 0) {
    *error = "--repeat needs at least 1";
    return false;
  }
  return true;
}

}  // namespace

const char* tavuInjectUsage() {
  return TAVU_USAGE;
}

bool tavuParseInjectOptions(int argc, const char* const* argv, tavuInjectOptions* options,
                            std::string* error) {
  *options = tavuInjectOptions{};
  tavuOptionParse parse{argc, argv, 1, options, 0};
  bool optionsEnded = false;
  for (; parse.index < argc; ++parse.index) {
    const std::string word = argv[parse.index];
    if (!optionsEnded && word == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && word.size() > 1 && word[0] == '-') {
      if (!tavuParseOption(word, &parse, error)) return false;
      if (options->help) return true;
    } else {
      options->keys.push_back(word);
    }
  }
  return tavuCheckCombination(parse, error);
}
