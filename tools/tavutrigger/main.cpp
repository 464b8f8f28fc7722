// tavutrigger: coldplug for tavunetlink. The kernel announced the devices
// that were there before the daemon started to nobody; this asks it to
// announce them again.
#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "uevent_classify.h"
#include "tool_report.h"
#include "trigger_scan.h"
#include "trigger_write.h"

namespace {

enum : int {
  TAVUTRIGGER_GO = -1,  // options good: go on
  TAVUTRIGGER_EXIT_OK = 0,
  TAVUTRIGGER_EXIT_FAILED = 1,
  TAVUTRIGGER_EXIT_USAGE = 2,
};

// The served classes fill the "%s".
const char TAVU_USAGE[] = R"TEXT(Usage: tavutrigger [OPTION]...
Asks the kernel to announce again the devices that were there before
tavunetlink: writes the action into ROOT/sys/class/CLASS/DEVICE/uevent for
every device of a served class, one line each ("add /sys/class/uart/ttyS1").

  --root DIR       the tree to work in (default /)
  --action ACTION  what to write (default add)
  --class NAME     only this class (repeatable)
  --dry-run        write nothing; print the same lines ending "(dry run)"
  -h, --help       print this text and exit

Served classes:%s

Exit status:
  0  every device triggered (or shown, with --dry-run)
  1  some device or class could not be triggered
  2  bad usage
)TEXT";

// What the kernel takes in a device's uevent file.
bool tavuIsKernelAction(const std::string& word) {
  for (const char* action :
       {"add", "remove", "change", "move", "online", "offline", "bind", "unbind"}) {
    if (word == action) return true;
  }
  return false;
}

struct tavuTriggerOptions {
  std::string iv_root = "/";
  std::string iv_action = "add";
  std::vector<std::string> iv_classes;  // only these; empty: every served one
  int iv_dryRun = 0;                    // a flag, as getopt_long sets it
};

// " ttyKWB kwb ...": the served subsystems, "*" ending a prefix.
std::string tavuServedClasses() {
  std::string list;
  for (size_t i = 0; tavuServedSubsystemPattern(i) != nullptr; ++i) {
    list += " " + std::string(tavuServedSubsystemPattern(i));
  }
  return list;
}

// TAVUTRIGGER_GO, or the exit status once the help or the error is printed.
int tavuParseOptions(int argc, char** argv, tavuTriggerOptions* options) {
  const option longOptions[] = {
      {"root", required_argument, nullptr, 'r'},  {"action", required_argument, nullptr, 'a'},
      {"class", required_argument, nullptr, 'c'}, {"dry-run", no_argument, &options->iv_dryRun, 1},
      {"help", no_argument, nullptr, 'h'},        {nullptr, 0, nullptr, 0}};
  for (int c; (c = getopt_long(argc, argv, "h", longOptions, nullptr)) != -1;) {
    const std::string value = optarg != nullptr ? optarg : "";
    switch (c) {
      case 0:  // a flag, set
        break;
      case 'r':
        if (value.empty()) {
          return tavuFail(TAVUTRIGGER_EXIT_USAGE, "--root needs a directory (try --help)");
        }
        options->iv_root = value;
        break;
      case 'a':
        if (!tavuIsKernelAction(value)) {
          return tavuFail(TAVUTRIGGER_EXIT_USAGE, "unknown action '%s' (try --help)", optarg);
        }
        options->iv_action = value;
        break;
      case 'c':
        if (!tavuServesSubsystem(value.c_str())) {
          return tavuFail(TAVUTRIGGER_EXIT_USAGE,
                          "unknown class '%s': the daemon serves%s (try --help)", optarg,
                          tavuServedClasses().c_str());
        }
        options->iv_classes.push_back(value);
        break;
      case 'h':
        std::printf(TAVU_USAGE, tavuServedClasses().c_str());
        return TAVUTRIGGER_EXIT_OK;
      default:
        return TAVUTRIGGER_EXIT_USAGE;  // getopt has said why
    }
  }
  if (optind < argc) {
    return tavuFail(TAVUTRIGGER_EXIT_USAGE, "unexpected argument '%s' (try --help)", argv[optind]);
  }
  return TAVUTRIGGER_GO;
}

// ROOT joined to a path that begins with "/", without a doubled "/".
std::string tavuUnderRoot(const std::string& root, const std::string& path) {
  std::string joined = root;
  while (!joined.empty() && joined.back() == '/') joined.pop_back();
  joined += path;
  return joined.empty() ? "/" : joined;
}

// Triggers one device, or says why not; true when it was done.
bool tavuTriggerOne(int sysFd, const tavuTriggerOptions& options, const tavuTriggerDevice& device) {
  std::string path = "/sys/class";
  if (!device.iv_class.empty()) path += "/" + device.iv_class;
  if (!device.iv_name.empty()) path += "/" + device.iv_name;
  path = tavuUnderRoot(options.iv_root, path);
  int failure = device.iv_failure;
  if (failure == 0) {
    failure = tavuWriteUevent(sysFd, device.iv_devPath, options.iv_action, options.iv_dryRun);
  }
  if (failure != 0) {
    tavuFail(0, "%s: %s", path.c_str(), tavuTriggerFailureText(failure));
    return false;
  }
  std::printf("%s %s%s\n", options.iv_action.c_str(), path.c_str(),
              options.iv_dryRun ? " (dry run)" : "");
  return true;
}

// The sysfs directory under the root; -1 after a report.
int tavuOpenSysfs(const std::string& root) {
  const int rootFd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const int sysFd =
      rootFd >= 0 ? openat(rootFd, "sys", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1;
  const int failure = errno;
  if (rootFd >= 0) close(rootFd);
  if (sysFd >= 0) return sysFd;
  const std::string path = tavuUnderRoot(root, rootFd >= 0 ? "/sys" : "");
  return tavuFail(-1, "%s: %s", path.c_str(), tavuTriggerFailureText(failure));
}

}  // namespace

int main(int argc, char** argv) {
  tavuTriggerOptions options;
  const int parsed = tavuParseOptions(argc, argv, &options);
  if (parsed != TAVUTRIGGER_GO) return parsed;
  const int sysFd = tavuOpenSysfs(options.iv_root);
  if (sysFd < 0) return TAVUTRIGGER_EXIT_FAILED;
  bool allDone = true;
  for (const tavuTriggerDevice& device : tavuListTriggerDevices(sysFd, options.iv_classes)) {
    allDone = tavuTriggerOne(sysFd, options, device) && allDone;
  }
  close(sysFd);
  return allDone ? TAVUTRIGGER_EXIT_OK : TAVUTRIGGER_EXIT_FAILED;
}
