// tavutrigger's command line.
#pragma once

#include <string>
#include <vector>

// Exit statuses, as the usage text lists them.
enum : int {
  TAVUTRIGGER_EXIT_OK = 0,      // every device triggered (or shown, with --dry-run)
  TAVUTRIGGER_EXIT_FAILED = 1,  // some device or class could not be triggered
  TAVUTRIGGER_EXIT_USAGE = 2,   // bad arguments
};

struct tavuTriggerOptions {
  std::string iv_root = "/";
  std::string iv_action = "add";
  std::vector<std::string> iv_classes;  // only these classes; empty: every served one
  bool iv_dryRun = false;
  bool iv_verbose = false;
  bool iv_help = false;
};

// The text of --help, with the served classes filled in.
std::string tavuTriggerUsage();

// Fills `options` from argv[1..]; returns false with a one-line `error`.
bool tavuParseTriggerOptions(int argc, const char* const* argv, tavuTriggerOptions* options,
                             std::string* error);
