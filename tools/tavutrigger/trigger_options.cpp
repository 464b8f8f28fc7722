#include "tools/tavutrigger/trigger_options.h"

#include <cstring>

#include "devnodes/uevent_classify.h"
#include "tools/common/option_walk.h"

namespace {

// What the kernel takes in a device's uevent file.
const char* const kTavuKernelActions[] = {"add",    "remove",  "change", "move",
                                          "online", "offline", "bind",   "unbind"};

const char TAVU_USAGE_HEAD[] =
    "Usage: tavutrigger [OPTION]...\n"
    "Asks the kernel to send again the uevents of the devices that already\n"
    "exist, so that tavunetlink, started after them, makes their nodes: writes\n"
    "the action into ROOT/sys/class/CLASS/DEVICE/uevent for every device of\n"
    "the classes the daemon serves, and prints one line per device:\n"
    "  add /sys/class/uart/ttyS1\n"
    "Classes in name order, then devices, numbers inside names by value\n"
    "(ttyKWB2 before ttyKWB10). A class entry is followed only as far as it\n"
    "stays inside ROOT/sys.\n"
    "\n"
    "  --root DIR       the tree to work in (default /)\n"
    "  --action ACTION  what to write (default add): add, remove, change,\n"
    "                   move, online, offline, bind or unbind; the daemon\n"
    "                   acts on add and remove only\n"
    "  --class NAME     only this class (repeatable)\n"
    "  --dry-run        write nothing; print the same lines ending \"(dry run)\"\n"
    "  -v, --verbose    tell on standard error which entries are passed over\n"
    "  -h, --help       print this text and exit\n"
    "\n";

const char TAVU_USAGE_TAIL[] =
    "\n"
    "Every device that cannot be triggered is reported on standard error with\n"
    "its path and the reason; the others are still triggered.\n"
    "\n"
    "Exit status:\n"
    "  0  every device triggered (or shown, with --dry-run)\n"
    "  1  some device or class could not be triggered\n"
    "  2  bad usage\n";

bool tavuIsKernelAction(const std::string& word) {
  for (const char* action : kTavuKernelActions) {
    if (word == action) return true;
  }
  return false;
}

std::string tavuServedClassList() {
  std::string list;
  for (size_t i = 0; tavuServedSubsystemPattern(i) != nullptr; ++i) {
    list += (i == 0 ? "" : " ") + std::string(tavuServedSubsystemPattern(i));
  }
  return list;
}

bool tavuTakesValue(const std::string& name) {
  return name == "--root" || name == "--action" || name == "--class";
}

bool tavuApplyValue(const std::string& name, const std::string& value, tavuTriggerOptions* options,
                    std::string* error) {
  if (name == "--root") {
    if (value.empty()) *error = "--root needs a directory";
    options->iv_root = value;
  } else if (name == "--action") {
    if (!tavuIsKernelAction(value)) *error = "unknown action '" + value + "' (see --help)";
    options->iv_action = value;
  } else if (!tavuServesSubsystem(value.c_str())) {
    *error = "unknown class '" + value + "': the daemon serves " + tavuServedClassList();
  } else {
    options->iv_classes.push_back(value);
  }
  return error->empty();
}

bool tavuApplyFlag(const std::string& word, tavuTriggerOptions* options, std::string* error) {
  if (word == "--dry-run") {
    options->iv_dryRun = true;
  } else if (word == "-v" || word == "--verbose") {
    options->iv_verbose = true;
  } else if (word == "-h" || word == "--help") {
    options->iv_help = true;
  } else if (word.empty() || word[0] != '-') {
    *error = "unexpected argument '" + word + "'";
  } else {
    *error = "unknown option " + word;
  }
  return error->empty();
}

}  // namespace

std::string tavuTriggerUsage() {
  return TAVU_USAGE_HEAD +
         ("Classes served (a * stands for any ending):\n  " + tavuServedClassList() + "\n") +
         TAVU_USAGE_TAIL;
}

bool tavuParseTriggerOptions(int argc, const char* const* argv, tavuTriggerOptions* options,
                             std::string* error) {
  *options = tavuTriggerOptions{};
  error->clear();
  return tavuWalkOptions(argc, argv, options, tavuTakesValue, tavuApplyValue, tavuApplyFlag, error);
}
