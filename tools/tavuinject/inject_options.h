// tavuinject's command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Exit statuses.
enum : int {
  TAVU_INJECT_SENT = 0,         // every datagram sent (or shown, with --dry-run)
  TAVU_INJECT_SEND_FAILED = 1,  // a send failed; the rest were not tried
  TAVU_INJECT_USAGE = 2,        // bad arguments or unreadable, malformed input
  TAVU_INJECT_REFUSED = 3,      // not permitted, or not in a private network namespace
};

struct tavuInjectOptions {
  enum Source { FROM_KEYS, FROM_FILE, FROM_RAW_HEX, FROM_RAW_FILE };
  Source source = FROM_KEYS;
  std::vector<std::string> keys;  // FROM_KEYS: the KEY=VALUE words
  std::string path;               // FROM_FILE, FROM_RAW_FILE ("-": standard input)
  std::string hex;                // FROM_RAW_HEX
  bool headerGiven = false;
  std::string header;
  bool noHeader = false;
  bool finalNul = true;
  uint64_t repeat = 1;
  uint64_t first = 0;
  uint64_t intervalNs = 0;  // between datagrams; 0: as fast as possible
  uint32_t group = 1;
  bool dryRun = false;
  bool verbose = false;
  bool json = false;
  std::string timestampsPath;  // where to write each send's time; "" for none
  bool allowHostNamespace = false;
  bool help = false;
};

// Parses argv[1..argc-1]. Returns false with `error` set on bad usage.
bool tavuParseInjectOptions(int argc, const char* const* argv, tavuInjectOptions* options,
                            std::string* error);

// The text of --help.
const char* tavuInjectUsage();
