// tavuinject: plays the kernel inside a private network namespace, sending
// uevents as the kernel announces hot-plug events.
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tool_options.h"
#include "uevent_input.h"
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

bool tavuReadInput(const tavuInjectOptions& options, std::vector<std::string>* datagrams,
                   std::string* error) {
  if (options.iv_file != nullptr) return tavuReadEventFile(options.iv_file, datagrams, error);
  datagrams->push_back(options.iv_raw);
  return options.iv_hex != nullptr ||
         tavuEventDatagram(options.iv_words, &datagrams->back(), error);
}

// The datagram of `round`: raw bytes go as given, "{n}" or not.
std::string tavuRoundDatagram(const tavuInjectOptions& options, const std::string& datagram,
                              uint64_t round) {
  return options.iv_hex != nullptr ? datagram : tavuCountedDatagram(datagram, round);
}

// What the socket would refuse, refused before anything goes: the last
// round's counter is the longest.
int tavuCheckSizes(const tavuInjectOptions& options, const std::vector<std::string>& datagrams,
                   const tavuUeventSender& sender) {
  for (std::size_t i = 0; i < datagrams.size(); ++i) {
    const std::size_t size = tavuRoundDatagram(options, datagrams[i], options.iv_repeat - 1).size();
    if (size <= sender.iv_limit) continue;
    return tavuPrintError(TAVU_INJECT_BAD_INPUT,
                          "datagram %zu is %zu bytes, more than the socket sends (%zu): %s", i + 1,
                          size, sender.iv_limit, std::strerror(EMSGSIZE));
  }
  return TAVU_INJECT_SENT;
}

// One line: NUL as \0, a backslash as \\, printable ASCII as is, else \xHH.
void tavuPrintBytes(const std::string& bytes) {
  for (const unsigned char c : bytes) {
    if (c == '\0' || c == '\\') {
      std::printf("\\%c", c == '\0' ? '0' : '\\');
    } else {
      std::printf(c < 0x20 || c >= 0x7f ? "\\x%02x" : "%c", c);
    }
  }
  std::putchar('\n');
}

// The status of a failed socket call, errno saying why: refused when
// privilege is missing.
int tavuSendFailure(const std::string& what) {
  const bool refused = errno == EPERM || errno == EACCES;
  return tavuPrintError(refused ? TAVU_INJECT_REFUSED : TAVU_INJECT_SEND_FAILED, "%s: %m%s",
                        what.c_str(),
                        refused ? " (sending to a uevent group needs CAP_NET_ADMIN)" : "");
}

// Every datagram of every round, in order, sent or, in a dry run, printed.
int tavuSendAll(const tavuInjectOptions& options, const std::vector<std::string>& datagrams,
                tavuUeventSender* sender) {
  for (uint64_t round = 0; round < options.iv_repeat; ++round) {
    for (const std::string& datagram : datagrams) {
      const std::string bytes = tavuRoundDatagram(options, datagram, round);
      if (options.iv_dryRun) {
        tavuPrintBytes(bytes);
      } else if (!tavuSendUevent(sender, bytes)) {
        return tavuSendFailure("send of datagram " + std::to_string(sender->iv_sent + 1) +
                               " failed");
      }
    }
  }
  return TAVU_INJECT_SENT;
}

// In a dry run nothing is sent: where would not matter.
int tavuInject(const tavuInjectOptions& options, const std::vector<std::string>& datagrams,
               tavuUeventSender* sender) {
  const int checked = tavuCheckSizes(options, datagrams, *sender);
  if (checked != TAVU_INJECT_SENT || options.iv_dryRun) {
    return checked != TAVU_INJECT_SENT ? checked : tavuSendAll(options, datagrams, sender);
  }
  std::string why;
  if (!tavuInPrivateNetworkNamespace(&why))
    return tavuPrintError(TAVU_INJECT_REFUSED, "%s", why.c_str());
  const int status = tavuSendAll(options, datagrams, sender);
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
  std::string error;
  if (!tavuReadInput(options, &datagrams, &error)) {
    return tavuPrintError(TAVU_INJECT_BAD_INPUT, "%s", error.c_str());
  }
  tavuUeventSender sender;
  if (!tavuOpenUeventSender(&sender, options.iv_rate)) {
    return tavuSendFailure("cannot open a uevent netlink socket");
  }
  const int status = tavuInject(options, datagrams, &sender);
  close(sender.iv_fd);
  return status;
}
