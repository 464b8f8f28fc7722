// tavutrace: decodes a trace buffer of tavunetlink. See TAVU_USAGE below.
#include <getopt.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "text_format.h"
#include "tool_report.h"
#include "daemon_sites.h"
#include "tavutrace_print.h"

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

// The default daemon binary fills the "%s".
constexpr char TAVU_USAGE[] = R"(Usage: tavutrace [--daemon FILE] [--json] [--header] [BUFFER]
       tavutrace --list-sites [--daemon FILE] [--json]
Decodes a trace buffer of tavunetlink, one line per entry, with the texts of
the daemon binary that wrote it. BUFFER is a file, or a buffer's name in
$TAVU_TRACE_DIR (default /run/tavutrace); by default TAVUNL.

  --daemon FILE  the daemon binary (default %s)
  --json         one JSON object per line
  --header       print the buffer's header instead of its entries
  --list-sites   print the daemon binary's report sites and exit
  -h, --help     print this text and exit

Exit status:
  0  every entry decoded
  1  damage found: what could be decoded was printed
  2  bad usage
  3  the buffer or the daemon binary cannot be read
)";

struct tavuOptions {
  const char* daemon = TAVU_DEFAULT_DAEMON;
  int json = 0;  // flags, as getopt_long sets them
  int header = 0;
  int listSites = 0;
  const char* buffer = nullptr;
};

// Returns -1 when the options are good, else the exit status.
int tavuParseOptions(int argc, char** argv, tavuOptions* options) {
  const option longOptions[] = {{"daemon", required_argument, nullptr, 'd'},
                                {"json", no_argument, &options->json, 1},
                                {"header", no_argument, &options->header, 1},
                                {"list-sites", no_argument, &options->listSites, 1},
                                {"help", no_argument, nullptr, 'h'},
                                {nullptr, 0, nullptr, 0}};
  for (int c; (c = getopt_long(argc, argv, ":h", longOptions, nullptr)) != -1;) {
    switch (c) {
      case 0:  // a flag, set
        break;
      case 'd':
        options->daemon = optarg;
        break;
      case 'h':
        std::printf(TAVU_USAGE, TAVU_DEFAULT_DAEMON);
        return TAVU_EXIT_OK;
      case ':':
        return tavuFail(TAVU_EXIT_USAGE, "a value is needed for '%s' (try --help)",
                        argv[optind - 1]);
      default:
        return tavuFail(TAVU_EXIT_USAGE, "unknown option '%s' (try --help)", argv[optind - 1]);
    }
  }
  if (optind < argc) options->buffer = argv[optind];
  if (optind + 1 < argc) {
    return tavuFail(TAVU_EXIT_USAGE, "a second buffer '%s' (try --help)", argv[optind + 1]);
  }
  if (options->listSites && (options->header || options->buffer != nullptr)) {
    return tavuFail(TAVU_EXIT_USAGE,
                    "--list-sites takes neither a buffer nor --header, given '%s' (try --help)",
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
  tavuFail(0, "daemon binary %s: %s", daemon, error.c_str());
  return false;
}

void tavuWarnOtherBuild(const std::string& path, const tavuTraceBuffer& buffer, const char* daemon,
                        const tavuSiteTable& table) {
  if (buffer.buildId == table.buildId) return;
  tavuFail(0, "warning: %s was written by build %s, but %s is build %s: %s", path.c_str(),
           tavuEscapeText(buffer.buildId).c_str(), daemon,
           table.buildId.empty() ? "unknown" : tavuEscapeText(table.buildId).c_str(),
           "texts may be wrong or missing");
}

int tavuDecodeAndPrint(const tavuOptions& options) {
  const std::string path = tavuBufferFile(options.buffer);
  tavuTraceBuffer buffer;
  tavuSiteTable table;
  std::string error;
  if (!tavuReadTraceBufferFile(path, &buffer, &error)) {
    return tavuFail(TAVU_EXIT_UNREADABLE, "%s: %s", path.c_str(), error.c_str());
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
    tavuFail(0, "%s: %s", path.c_str(), problem.c_str());
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
