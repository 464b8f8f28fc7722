// tavutrace: decodes a trace buffer of tavunetlink. See TAVU_USAGE below.
#include <getopt.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "tools/common/text_format.h"
#include "tools/tavutrace/daemon_sites.h"
#include "tools/tavutrace/tavutrace_print.h"

#ifndef TAVU_DEFAULT_DAEMON
#define TAVU_DEFAULT_DAEMON "/usr/sbin/tavunetlink"
#endif

namespace {

enum tavuExitStatus {
  TAVU_EXIT_OK = 0,
  TAVU_EXIT_PARTIAL = 1,
  TAVU_EXIT_USAGE = 2,
  TAVU_EXIT_UNREADABLE = 3
};

constexpr char TAVU_USAGE[] =
    "Usage: tavutrace [--daemon FILE] [--json] [--header] [BUFFER]\n"
    "       tavutrace --list-sites [--daemon FILE] [--json]\n"
    "\n"
    "Decodes a trace buffer of tavunetlink into one line per entry, oldest\n"
    "first: the time (UTC) and the entry's text with its arguments filled in.\n"
    "Binary entries show the datagram's strings, then a hex dump. The texts\n"
    "come from the daemon binary that wrote the buffer; another build than the\n"
    "buffer's is warned about on stderr, and the decoding goes on.\n"
    "\n"
    "BUFFER is a buffer file, or the name of a buffer in $TAVU_TRACE_DIR\n"
    "(default /run/tavutrace); by default \"TAVUNL\". A word holding a \"/\" or\n"
    "naming an existing file is taken as a file.\n"
    "\n"
    "Options:\n"
    "  --daemon FILE  the daemon binary whose report sites give the texts, of\n"
    "                 either byte order and word size, stripped or not\n"
    "                 (default " TAVU_DEFAULT_DAEMON
    ")\n"
    "  --json         one JSON object per line: seq, time, kind, hash, line,\n"
    "                 text, args; binary entries also strings and hex\n"
    "  --header       print the buffer's header instead of its entries\n"
    "                 (no daemon binary is read)\n"
    "  --list-sites   print the daemon binary's report sites (hash, kind, line,\n"
    "                 text; tab-separated) and exit\n"
    "  -h, --help     print this help and exit\n"
    "\n"
    "Exit status:\n"
    "  0  every entry decoded\n"
    "  1  damage found: what could be decoded was printed, the problems on stderr\n"
    "  2  bad usage\n"
    "  3  the buffer cannot be read or is not a trace buffer, or the daemon\n"
    "     binary cannot be read or holds no report sites\n";

struct tavuOptions {
  const char* daemon = TAVU_DEFAULT_DAEMON;
  bool json = false;
  bool header = false;
  bool listSites = false;
  const char* buffer = nullptr;
};

int tavuBadUsage(const char* what, const char* word) {
  std::fprintf(stderr, "tavutrace: %s '%s' (try --help)\n", what, word);
  return TAVU_EXIT_USAGE;
}

// Returns -1 when the options are good, else the exit status.
int tavuParseOptions(int argc, char** argv, tavuOptions* options) {
  static const option longOptions[] = {
      {"daemon", required_argument, nullptr, 'd'}, {"json", no_argument, nullptr, 'j'},
      {"header", no_argument, nullptr, 'H'},       {"list-sites", no_argument, nullptr, 'l'},
      {"help", no_argument, nullptr, 'h'},         {nullptr, 0, nullptr, 0}};
  for (int c; (c = getopt_long(argc, argv, ":h", longOptions, nullptr)) != -1;) {
    switch (c) {
      case 'd':
        options->daemon = optarg;
        break;
      case 'j':
        options->json = true;
        break;
      case 'H':
        options->header = true;
        break;
      case 'l':
        options->listSites = true;
        break;
      case 'h':
        std::fputs(TAVU_USAGE, stdout);
        return TAVU_EXIT_OK;
      case ':':
        return tavuBadUsage("a value is needed for", argv[optind - 1]);
      default:
        return tavuBadUsage("unknown option", argv[optind - 1]);
    }
  }
  if (optind < argc) options->buffer = argv[optind];
  if (optind + 1 < argc) return tavuBadUsage("more than one buffer given, also", argv[optind + 1]);
  if (options->listSites && (options->header || options->buffer != nullptr)) {
    return tavuBadUsage("--list-sites takes neither a buffer nor --header, given",
                        options->header ? "--header" : options->buffer);
  }
  return -1;
}

std::string tavuBufferFile(const char* buffer) {
  if (buffer == nullptr) return tavuTraceBufferPath("TAVUNL");
  if (std::strchr(buffer, '/') != nullptr || access(buffer, F_OK) == 0) return buffer;
  return tavuTraceBufferPath(buffer);
}

bool tavuLoadSites(const char* daemon, tavuSiteTable* table) {
  std::string error;
  if (tavuReadDaemonSites(daemon, table, &error)) return true;
  std::fprintf(stderr, "tavutrace: daemon binary %s: %s\n", daemon, error.c_str());
  return false;
}

void tavuWarnOtherBuild(const std::string& path, const tavuTraceBuffer& buffer, const char* daemon,
                        const tavuSiteTable& table) {
  if (buffer.buildId == table.buildId) return;
  std::fprintf(stderr,
               "tavutrace: warning: %s was written by build %s, but %s is build %s: "
               "texts may be wrong or missing\n",
               path.c_str(), tavuEscapeText(buffer.buildId).c_str(), daemon,
               table.buildId.empty() ? "unknown" : tavuEscapeText(table.buildId).c_str());
}

int tavuDecodeAndPrint(const tavuOptions& options) {
  const std::string path = tavuBufferFile(options.buffer);
  tavuTraceBuffer buffer;
  tavuSiteTable table;
  std::string error;
  if (!tavuReadTraceBufferFile(path, &buffer, &error)) {
    std::fprintf(stderr, "tavutrace: %s: %s\n", path.c_str(), error.c_str());
    return TAVU_EXIT_UNREADABLE;
  }
  if (options.header) {
    tavuPrintHeader(stdout, buffer, options.json);
  } else {
    if (!tavuLoadSites(options.daemon, &table)) return TAVU_EXIT_UNREADABLE;
    tavuWarnOtherBuild(path, buffer, options.daemon, table);
    tavuPrintRecords(stdout, buffer, table, options.json);
  }
  std::fflush(stdout);
  for (const std::string& problem : buffer.problems) {
    std::fprintf(stderr, "tavutrace: %s: %s\n", path.c_str(), problem.c_str());
  }
  return buffer.problems.empty() ? TAVU_EXIT_OK : TAVU_EXIT_PARTIAL;
}

}  // namespace

int main(int argc, char** argv) {
  tavuOptions options;
  const int status = tavuParseOptions(argc, argv, &options);
  if (status >= 0) return status;
  if (!options.listSites) return tavuDecodeAndPrint(options);
  tavuSiteTable table;
  if (!tavuLoadSites(options.daemon, &table)) return TAVU_EXIT_UNREADABLE;
  tavuPrintSites(stdout, table, options.json);
  return TAVU_EXIT_OK;
}
