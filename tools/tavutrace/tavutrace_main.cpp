// tavutrace: decodes a trace buffer of tavunetlink. See usage() below.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "tools/tavutrace/tavutrace_print.h"
#include "tools/tavutrace/trace_decode.h"

#ifndef TAVU_BUILD_ID
#define TAVU_BUILD_ID "unknown"
#endif

namespace {

enum tavuExitStatus {
  TAVU_EXIT_OK = 0,
  TAVU_EXIT_PARTIAL = 1,
  TAVU_EXIT_USAGE = 2,
  TAVU_EXIT_UNREADABLE = 3
};

constexpr char TAVU_USAGE[] =
    "Usage: tavutrace [--json] [--header] [BUFFER]\n"
    "       tavutrace --list-sites [--json]\n"
    "\n"
    "Decodes a trace buffer of tavunetlink into one line per entry, oldest\n"
    "first: the time (UTC) and the entry's text with its arguments filled in.\n"
    "Binary entries show the datagram's strings, then a hex dump.\n"
    "\n"
    "BUFFER is a buffer file, or the name of a buffer in $TAVU_TRACE_DIR\n"
    "(default /run/tavutrace); by default \"TAVUNL\". A word holding a \"/\" or\n"
    "naming an existing file is taken as a file.\n"
    "\n"
    "Options:\n"
    "  --json        one JSON object per line: seq, time, kind, hash, line,\n"
    "                text, args; binary entries also strings and hex\n"
    "  --header      print the buffer's header instead of its entries\n"
    "  --list-sites  print the report sites this decoder knows (hash, kind,\n"
    "                line, format, text; tab-separated) and exit\n"
    "  -h, --help    print this help and exit\n"
    "\n"
    "Exit status:\n"
    "  0  every entry decoded\n"
    "  1  damage found: what could be decoded was printed, the problems on stderr\n"
    "  2  bad usage\n"
    "  3  the buffer cannot be read or is not a trace buffer\n";

struct tavuOptions {
  bool json = false;
  bool header = false;
  bool listSites = false;
  bool help = false;
  const char* buffer = nullptr;
};

int tavuUsageError(const char* what, const char* word) {
  std::fprintf(stderr, "tavutrace: %s '%s' (try --help)\n", what, word);
  return TAVU_EXIT_USAGE;
}

// Returns -1 when the options are good, else the exit status.
int tavuParseOptions(int argc, char** argv, tavuOptions* options) {
  bool optionsDone = false;
  for (int i = 1; i < argc; ++i) {
    const char* word = argv[i];
    if (!optionsDone && word[0] == '-' && word[1] != '\0') {
      if (std::strcmp(word, "--json") == 0) {
        options->json = true;
      } else if (std::strcmp(word, "--header") == 0) {
        options->header = true;
      } else if (std::strcmp(word, "--list-sites") == 0) {
        options->listSites = true;
      } else if (std::strcmp(word, "--help") == 0 || std::strcmp(word, "-h") == 0) {
        options->help = true;
      } else if (std::strcmp(word, "--") == 0) {
        optionsDone = true;
      } else {
        return tavuUsageError("unknown option", word);
      }
    } else if (options->buffer != nullptr) {
      return tavuUsageError("more than one buffer given, also", word);
    } else {
      options->buffer = word;
    }
  }
  if (options->listSites && (options->header || options->buffer != nullptr)) {
    std::fprintf(stderr, "tavutrace: --list-sites takes no buffer (try --help)\n");
    return TAVU_EXIT_USAGE;
  }
  return -1;
}

std::string tavuBufferFile(const char* buffer) {
  if (buffer == nullptr) return tavuTraceBufferPath("TAVUNL");
  if (std::strchr(buffer, '/') != nullptr || access(buffer, F_OK) == 0) return buffer;
  return tavuTraceBufferPath(buffer);
}

void tavuWarnOtherBuild(const std::string& path, const tavuTraceBuffer& buffer) {
  if (tavuBuildRevision(buffer.buildId) == tavuBuildRevision(TAVU_BUILD_ID)) return;
  std::fprintf(stderr, "tavutrace: warning: %s was written by build %s, this decoder is build %s\n",
               path.c_str(), tavuEscapeText(buffer.buildId).c_str(), TAVU_BUILD_ID);
}

int tavuDecodeAndPrint(const tavuOptions& options) {
  const std::string path = tavuBufferFile(options.buffer);
  tavuTraceBuffer buffer;
  std::string error;
  if (!tavuReadTraceBufferFile(path, &buffer, &error)) {
    std::fprintf(stderr, "tavutrace: %s: %s\n", path.c_str(), error.c_str());
    return TAVU_EXIT_UNREADABLE;
  }
  tavuWarnOtherBuild(path, buffer);
  if (options.header) {
    tavuPrintHeader(stdout, buffer, options.json);
  } else {
    tavuPrintRecords(stdout, buffer, options.json);
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
  if (options.help) {
    std::fputs(TAVU_USAGE, stdout);
    return TAVU_EXIT_OK;
  }
  if (options.listSites) {
    tavuPrintSites(stdout, options.json);
    return TAVU_EXIT_OK;
  }
  return tavuDecodeAndPrint(options);
}
