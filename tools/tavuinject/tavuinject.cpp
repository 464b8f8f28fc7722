// tavuinject: plays the kernel inside a private network namespace, sending
// uevents as the kernel announces hot-plug events. What it sends is read
// from the command line, an event file or hex: each event one datagram as
// the kernel makes it (tavuUeventDatagram), a "{n}" in it until the
// round's counter replaces it. Errors are one line with every byte of the
// input that they show escaped.
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "text_format.h"
#include "tool_options.h"
#include "uevent_send.h"

namespace {

enum : int {
  TAVU_INJECT_SENT = 0,
  TAVU_INJECT_SEND_FAILED = 1,
  TAVU_INJECT_BAD_INPUT = TAVU_EXIT_USAGE,
  TAVU_INJECT_REFUSED = 3,
};

struct tavuInjectOptions {
  std::vector<std::string> iv_words;  // a command-line event's KEY=VALUE
  const char* iv_file = nullptr;
  const char* iv_hex = nullptr;
  std::string iv_raw;  // the bytes of iv_hex
  uint64_t iv_repeat = 1;
  double iv_rate = 0;
  bool iv_dryRun = false;
};

// ---- The input ---------------------------------------------------------

// Keys as the kernel writes them: letters, digits and '_'.
bool tavuIsKeyValue(const std::string& word, std::string* error) {
  static const char keyBytes[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_";
  const size_t equals = word.find('=');
  if (equals != 0 && equals != std::string::npos && word.find_first_not_of(keyBytes) == equals) {
    return true;
  }
  *error = "'" + tavuEscapeText(word) + "' is no KEY=VALUE (a key is letters, digits and '_')";
  return false;
}

// Adds the datagram of one event's KEY=VALUE `words`; false with `error` set
// when a word is no KEY=VALUE or ACTION= or DEVPATH= is missing.
bool tavuAddEvent(const std::vector<std::string>& words, std::vector<std::string>* datagrams,
                  std::string* error) {
  for (const std::string& word : words) {
    if (!tavuIsKeyValue(word, error)) return false;
  }
  if (tavuUeventValue(words, "ACTION=") == nullptr ||
      tavuUeventValue(words, "DEVPATH=") == nullptr) {
    *error = "an event needs ACTION= and DEVPATH=";
    return false;
  }
  datagrams->push_back(tavuUeventDatagram(words));
  return true;
}

// The whole file, or false with errno set.
bool tavuReadWhole(const std::string& path, std::string* text) {
  const int fd = path == "-" ? dup(STDIN_FILENO) : open(path.c_str(), O_RDONLY | O_CLOEXEC);
  char chunk[65536];
  ssize_t n = fd < 0 ? -1 : 0;
  while (fd >= 0 && ((n = read(fd, chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR))) {
    if (n > 0) text->append(chunk, static_cast<std::size_t>(n));
  }
  const int failure = errno;
  if (fd >= 0) close(fd);
  errno = failure;
  return n == 0;
}

// Adds the datagrams of the event file `path` ("-": standard input):
// blocks of KEY=VALUE lines separated by blank lines, '#' starting a
// comment line. False with `error` set when it cannot be read or is
// malformed, naming the line at fault.
bool tavuReadEventFile(const std::string& path, std::vector<std::string>* datagrams,
                       std::string* error) {
  std::string text;
  if (!tavuReadWhole(path, &text)) {
    *error = "cannot read '" + tavuEscapeText(path) + "': " + std::strerror(errno);
    return false;
  }
  std::istringstream in(text);
  std::vector<std::string> words;
  int first = 0;  // where the event begins: a missing key is the whole event's fault
  int bad = 0;    // the line at fault
  std::string line;
  for (int number = 1; bad == 0 && std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos) {
      if (!words.empty() && !tavuAddEvent(words, datagrams, error)) bad = first;
      words.clear();
    } else if (line[start] != '#') {
      if (words.empty()) first = number;
      words.push_back(line);
      if (!tavuIsKeyValue(line, error)) bad = number;
    }
  }
  if (bad == 0 && !words.empty() && !tavuAddEvent(words, datagrams, error)) bad = first;
  if (bad != 0) {
    *error = tavuEscapeText(path) + ":" + std::to_string(bad) + ": " + *error;
  } else if (datagrams->empty()) {
    *error = tavuEscapeText(path) + ": no event in it";
  }
  return bad == 0 && !datagrams->empty();
}

// "61 64:64" as bytes: pairs of hex digits, blanks and ':' ignored.
bool tavuParseHex(const std::string& text, std::string* bytes) {
  std::string digits;
  for (const char c : text) {
    if (std::isspace(static_cast<unsigned char>(c)) == 0 && c != ':') digits.push_back(c);
  }
  if (digits.size() % 2 != 0 ||
      digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
    return false;
  }
  for (size_t i = 0; i < digits.size(); i += 2) {
    bytes->push_back(static_cast<char>(std::strtol(digits.substr(i, 2).c_str(), nullptr, 16)));
  }
  return true;
}

// `datagram` in round `round`: every "{n}" replaced by the round's number,
// unless it is raw bytes, which go as given.
std::string tavuRoundDatagram(const tavuInjectOptions& options, const std::string& datagram,
                              uint64_t round) {
  if (options.iv_hex != nullptr) return datagram;
  const std::string number = std::to_string(round);
  std::string counted = datagram;
  for (size_t at = 0; (at = counted.find("{n}", at)) != std::string::npos; at += number.size()) {
    counted.replace(at, 3, number);
  }
  return counted;
}

// ---- The command line --------------------------------------------------

int tavuParseOptions(int argc, char** argv, tavuInjectOptions* options) {
  const int status = tavuParseCommandLine(
      argc, argv,
      {R"(Usage: tavuinject [OPTION]... KEY=VALUE...
       tavuinject [OPTION]... --file PATH
       tavuinject [OPTION]... --raw-hex HEX
Plays the kernel for tests: sends uevents to group 1 of NETLINK_KOBJECT_UEVENT.
Only in a private network namespace (unshare --net, scripts/sandbox).

  KEY=VALUE...       one event; ACTION= and DEVPATH= are needed
)",
       {{"file", 'f', "PATH", "a file of events", "events from a file, \"-\" for standard input",
         tavuTakeText(&options->iv_file)},
        {"raw-hex", 0, "HEX", "pairs of hex digits", "one datagram of exactly these bytes",
         [=](const char* hex) {
           options->iv_hex = hex;
           options->iv_raw.clear();
           return tavuParseHex(hex, &options->iv_raw);
         }},
        {"repeat", 'n', "N", "a whole number from 1",
         "send the input N times; \"{n}\" in a KEY=VALUE counts from 0",
         tavuTakeWhole(&options->iv_repeat, 1, INT64_MAX)},
        {"rate", 0, "R", "datagrams per second above 0",
         "R datagrams per second (default: as fast as possible)",
         tavuTakeReal(&options->iv_rate, 0, 1e9)},
        {"dry-run", 0, nullptr, nullptr, "check and print each datagram, and send nothing",
         tavuTakeFlag(&options->iv_dryRun)}},
       R"(Exit status:
  0  every datagram sent (or printed)
  1  a send failed
  2  bad usage, or input that cannot be read, is malformed or too long to send
  3  refused: not permitted to send, or not in a private network namespace
)"},
      SIZE_MAX, &options->iv_words);
  if (status != TAVU_OPTIONS_GOOD) return status;
  const int inputs = static_cast<int>(!options->iv_words.empty()) +
                     static_cast<int>(options->iv_file != nullptr) +
                     static_cast<int>(options->iv_hex != nullptr);
  if (inputs != 1) return tavuUsageError("give one input: KEY=VALUE words, --file or --raw-hex");
  return TAVU_OPTIONS_GOOD;
}

// ---- Sending -----------------------------------------------------------

// The status of a failed socket call, errno saying why: refused when
// privilege is missing.
int tavuSendFailure(const std::string& what) {
  const bool refused = errno == EPERM || errno == EACCES;
  return tavuPrintError(refused ? TAVU_INJECT_REFUSED : TAVU_INJECT_SEND_FAILED, "%s: %m%s",
                        what.c_str(),
                        refused ? " (sending to a uevent group needs CAP_NET_ADMIN)" : "");
}

// Every datagram of every round, in order, sent or, in a dry run, printed.
// First only what the socket would refuse is checked, before anything goes
// (the last round's counter is the longest).
int tavuInject(const tavuInjectOptions& options, const std::vector<std::string>& datagrams,
               tavuUeventSender* sender) {
  for (std::size_t i = 0; i < datagrams.size(); ++i) {
    const std::size_t size = tavuRoundDatagram(options, datagrams[i], options.iv_repeat - 1).size();
    if (size > sender->iv_limit) {
      return tavuPrintError(TAVU_INJECT_BAD_INPUT,
                            "datagram %zu is %zu bytes, more than the socket sends (%zu): %s",
                            i + 1, size, sender->iv_limit, std::strerror(EMSGSIZE));
    }
  }
  std::string why;  // in a dry run nothing is sent: where would not matter
  if (!options.iv_dryRun && !tavuInPrivateNetworkNamespace(&why))
    return tavuPrintError(TAVU_INJECT_REFUSED, "%s", why.c_str());
  int status = TAVU_INJECT_SENT;
  for (uint64_t round = 0; status == TAVU_INJECT_SENT && round < options.iv_repeat; ++round) {
    for (std::size_t i = 0; status == TAVU_INJECT_SENT && i < datagrams.size(); ++i) {
      const std::string bytes = tavuRoundDatagram(options, datagrams[i], round);
      if (options.iv_dryRun) {
        std::printf("%s\n", tavuEscapeText(bytes, TAVU_ESCAPE_DATAGRAM).c_str());
      } else if (!tavuSendUevent(sender, bytes)) {
        status =
            tavuSendFailure("send of datagram " + std::to_string(sender->iv_sent + 1) + " failed");
      }
    }
  }
  if (options.iv_dryRun) return status;
  std::fprintf(stderr, "sent %" PRIu64 " datagram%s, %" PRIu64 " bytes in %.3f s\n",
               sender->iv_sent, sender->iv_sent == 1 ? "" : "s", sender->iv_bytes,
               tavuSenderSeconds(*sender));
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  tavuInjectOptions options;
  const int parsed = tavuParseOptions(argc, argv, &options);
  if (parsed != TAVU_OPTIONS_GOOD) return parsed;
  std::vector<std::string> datagrams;
  if (options.iv_hex != nullptr) datagrams.push_back(options.iv_raw);
  std::string error;
  const bool read =
      options.iv_file != nullptr
          ? tavuReadEventFile(options.iv_file, &datagrams, &error)
          : options.iv_hex != nullptr || tavuAddEvent(options.iv_words, &datagrams, &error);
  if (!read) return tavuPrintError(TAVU_INJECT_BAD_INPUT, "%s", error.c_str());
  tavuUeventSender sender;
  if (!tavuOpenUeventSender(&sender, options.iv_rate)) {
    return tavuSendFailure("cannot open a uevent netlink socket");
  }
  const int status = tavuInject(options, datagrams, &sender);
  close(sender.iv_fd);
  return status;
}
