// tavuinject: plays the kernel inside a private network namespace, sending
// uevents as the kernel announces hot-plug events.
#include <getopt.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tool_report.h"
#include "uevent_input.h"
#include "uevent_send.h"

namespace {

enum : int {
  TAVU_INJECT_GO = -1,  // options good: go on
  TAVU_INJECT_SENT = 0,
  TAVU_INJECT_SEND_FAILED = 1,
  TAVU_INJECT_USAGE = 2,
  TAVU_INJECT_REFUSED = 3,
};

const char TAVU_USAGE[] = R"(Usage: tavuinject [OPTION]... KEY=VALUE...
       tavuinject [OPTION]... --file PATH
       tavuinject [OPTION]... --raw-hex HEX
Plays the kernel for tests: sends uevents to group 1 of NETLINK_KOBJECT_UEVENT.
Only in a private network namespace (unshare --net, scripts/sandbox).

  KEY=VALUE...       one event; ACTION= and DEVPATH= are needed
  -f, --file PATH    events from a file, "-" for standard input
      --raw-hex HEX  one datagram of exactly these bytes
  -n, --repeat N     send the input N times; "{n}" in a KEY=VALUE counts from 0
      --rate R       R datagrams per second (default: as fast as possible)
      --dry-run      print each datagram and send nothing
  -h, --help         print this text and exit

Exit status:
  0  every datagram sent (or printed)
  1  a send failed
  2  bad usage, or input that cannot be read or is malformed
  3  refused: not permitted to send, or not in a private network namespace
)";

struct tavuInjectOptions {
  std::vector<std::string> iv_words;  // a command-line event's KEY=VALUE
  const char* iv_file = nullptr;
  const char* iv_hex = nullptr;
  uint64_t iv_repeat = 1;
  double iv_rate = 0;
  int iv_dryRun = 0;  // a flag, as getopt_long sets it
};

bool tavuParseRepeat(const char* text, uint64_t* repeat) {
  char* end = nullptr;
  errno = 0;
  *repeat = std::strtoull(text, &end, 10);
  // strtoull takes a sign, and wraps "-1" around.
  return std::isdigit(static_cast<unsigned char>(text[0])) != 0 && *end == '\0' && errno == 0 &&
         *repeat > 0;
}

bool tavuParseRate(const char* text, double* rate) {
  char* end = nullptr;
  *rate = std::strtod(text, &end);
  return *end == '\0' && std::isfinite(*rate) && *rate > 0 && *rate <= 1e9;
}

// TAVU_INJECT_GO, or the exit status once the help or the error is printed.
int tavuParseOptions(int argc, char** argv, tavuInjectOptions* options) {
  const option longOptions[] = {{"file", required_argument, nullptr, 'f'},
                                {"raw-hex", required_argument, nullptr, 'x'},
                                {"repeat", required_argument, nullptr, 'n'},
                                {"rate", required_argument, nullptr, 'r'},
                                {"dry-run", no_argument, &options->iv_dryRun, 1},
                                {"help", no_argument, nullptr, 'h'},
                                {nullptr, 0, nullptr, 0}};
  for (int c; (c = getopt_long(argc, argv, "f:n:h", longOptions, nullptr)) != -1;) {
    switch (c) {
      case 0:  // a flag, set
        break;
      case 'f':
        options->iv_file = optarg;
        break;
      case 'x':
        options->iv_hex = optarg;
        break;
      case 'n':
        if (!tavuParseRepeat(optarg, &options->iv_repeat)) {
          return tavuFail(TAVU_INJECT_USAGE,
                          "--repeat needs a whole number from 1, not '%s' (try --help)", optarg);
        }
        break;
      case 'r':
        if (!tavuParseRate(optarg, &options->iv_rate)) {
          return tavuFail(TAVU_INJECT_USAGE,
                          "--rate needs datagrams per second above 0, not '%s' (try --help)",
                          optarg);
        }
        break;
      case 'h':
        std::fputs(TAVU_USAGE, stdout);
        return TAVU_INJECT_SENT;
      default:
        return TAVU_INJECT_USAGE;  // getopt has said why
    }
  }
  options->iv_words.assign(argv + optind, argv + argc);
  const int inputs = static_cast<int>(!options->iv_words.empty()) +
                     static_cast<int>(options->iv_file != nullptr) +
                     static_cast<int>(options->iv_hex != nullptr);
  if (inputs == 1) return TAVU_INJECT_GO;
  return tavuFail(TAVU_INJECT_USAGE,
                  "give one input: KEY=VALUE words, --file or --raw-hex (try --help)");
}

bool tavuReadInput(const tavuInjectOptions& options, std::vector<std::string>* datagrams,
                   std::string* error) {
  if (options.iv_file != nullptr) return tavuReadEventFile(options.iv_file, datagrams, error);
  datagrams->emplace_back();
  if (options.iv_hex == nullptr) {
    return tavuEventDatagram(options.iv_words, &datagrams->back(), error);
  }
  if (tavuParseHex(options.iv_hex, &datagrams->back())) return true;
  *error = "--raw-hex needs pairs of hex digits, not '" + std::string(options.iv_hex) + "'";
  return false;
}

// Calls `each` with every datagram of every round, in order, until it
// returns non-zero; returns that, or 0.
template <typename Each>
int tavuForEachDatagram(const tavuInjectOptions& options, const std::vector<std::string>& datagrams,
                        Each each) {
  for (uint64_t round = 0; round < options.iv_repeat; ++round) {
    for (const std::string& datagram : datagrams) {
      // Raw bytes go as given, "{n}" or not.
      const int status =
          each(options.iv_hex != nullptr ? datagram : tavuCountedDatagram(datagram, round));
      if (status != 0) return status;
    }
  }
  return 0;
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
  return tavuFail(refused ? TAVU_INJECT_REFUSED : TAVU_INJECT_SEND_FAILED, "%s: %m%s", what.c_str(),
                  refused ? " (sending to a uevent group needs CAP_NET_ADMIN)" : "");
}

int tavuSendAll(const tavuInjectOptions& options, const std::vector<std::string>& datagrams) {
  std::string why;
  if (!tavuInPrivateNetworkNamespace(&why)) return tavuFail(TAVU_INJECT_REFUSED, "%s", why.c_str());
  tavuUeventSender sender;
  if (!tavuOpenUeventSender(&sender, options.iv_rate)) {
    return tavuSendFailure("cannot open a uevent netlink socket");
  }
  const int status = tavuForEachDatagram(options, datagrams, [&](const std::string& datagram) {
    if (tavuSendUevent(&sender, datagram)) return 0;
    return tavuSendFailure("send of datagram " + std::to_string(sender.iv_sent) + " failed");
  });
  close(sender.iv_fd);
  std::fprintf(stderr, "sent %" PRIu64 " datagrams, %" PRIu64 " bytes in %.3f s\n", sender.iv_sent,
               sender.iv_bytes, tavuSenderSeconds(sender));
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  tavuInjectOptions options;
  const int parsed = tavuParseOptions(argc, argv, &options);
  if (parsed != TAVU_INJECT_GO) return parsed;
  std::vector<std::string> datagrams;
  std::string error;
  if (!tavuReadInput(options, &datagrams, &error)) {
    return tavuFail(TAVU_INJECT_USAGE, "%s", error.c_str());
  }
  if (!options.iv_dryRun) return tavuSendAll(options, datagrams);
  return tavuForEachDatagram(options, datagrams, [](const std::string& datagram) {
    tavuPrintBytes(datagram);
    return TAVU_INJECT_SENT;
  });
}
