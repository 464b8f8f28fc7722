// tavumon: prints the hot-plug events of the tavunetlink daemon.
#include <cstdio>
#include <string>

#include "tools/tavumon/tavumon_options.h"
#include "tools/tavumon/tavumon_session.h"

int main(int argc, char** argv) {
  tavumonOptions options;
  std::string error;
  if (!tavumonParseOptions(argc, argv, &options, &error)) {
    std::fprintf(stderr, "tavumon: %s (try --help)\n", error.c_str());
    return TAVUMON_EXIT_USAGE;
  }
  if (options.iv_help) {
    std::fputs(TAVUMON_USAGE, stdout);
    return TAVUMON_EXIT_OK;
  }
  return tavumonRunSession(options);
}
