// tavutrigger: coldplug for tavunetlink. The kernel announced the devices
// that were there before the daemon started to nobody; this asks it to
// announce them again.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "daemon_listens.h"
#include "tavutrigger.h"
#include "text_format.h"
#include "tool_options.h"
#include "uevent_classify.h"

namespace {

enum : int { TAVU_TRIGGER_DONE = 0, TAVU_TRIGGER_FAILED = 1 };

// As long as the service files have always waited for the daemon.
constexpr double TAVU_LISTENING_TIMEOUT = 5;

// The served classes fill the "%s".
const char TAVU_USAGE[] = R"TEXT(Usage: tavutrigger [OPTION]...
       tavutrigger --listening PID [--timeout SECONDS]
Asks the kernel to announce again the devices that were there before
tavunetlink: writes the action into ROOT/sys/class/CLASS/DEVICE/uevent for
every device of a served class, one line each ("add /sys/class/uart/ttyS1").

  --root DIR           the tree to work in (default /)
  --action ACTION      what to write (default add)
  --class NAME         only this class (repeatable)
  --dry-run            write nothing; print the same lines ending "(dry run)"
  --listening PID      trigger nothing: wait until process PID listens to the
                       kernel's uevents (holds a NETLINK_KOBJECT_UEVENT socket
                       that has joined every group)
  --timeout SECONDS    wait that long at most (default 5)
  -h, --help           print this text and exit

Served classes:%s

Exit status:
  0  every device triggered (or shown, with --dry-run); PID listens
  1  some device or class could not be triggered; PID does not listen in time
  2  bad usage
)TEXT";

struct tavuTriggerOptions {
  const char* iv_root = nullptr;        // nullptr: "/"
  const char* iv_action = nullptr;      // nullptr: "add"
  std::vector<std::string> iv_classes;  // only these; empty: every served one
  bool iv_dryRun = false;
  pid_t iv_listening = 0;  // 0: trigger
  double iv_timeout = 0;   // 0: not given
};

// " ttyKWB kwb ...": the served subsystems, "*" ending a prefix.
std::string tavuServedClasses() {
  std::string list;
  for (size_t i = 0; tavuServedSubsystemPattern(i) != nullptr; ++i) {
    list += " " + std::string(tavuServedSubsystemPattern(i));
  }
  return list;
}

// A directory, which errno says why not when it is none.
bool tavuTakeRoot(const char* path, const char** root) {
  const int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  close(fd);
  *root = path;
  return true;
}

// What the kernel takes in a device's uevent file.
bool tavuTakeAction(const char* word, const char** action) {
  for (const char* known :
       {"add", "remove", "change", "move", "online", "offline", "bind", "unbind"}) {
    if (std::strcmp(word, known) != 0) continue;
    *action = known;
    return true;
  }
  return false;
}

int tavuParseOptions(int argc, char** argv, tavuTriggerOptions* options) {
  const std::string served = tavuServedClasses();
  const std::string classes = "a class the daemon serves (" + served.substr(1) + ")";
  std::string usage = TAVU_USAGE;
  usage.replace(usage.find("%s"), 2, served);
  std::vector<std::string> operands;
  const int status = tavuParseCommandLine(
      argc, argv,
      {{"root", 0, "a directory",
        [=](const char* v) { return tavuTakeRoot(v, &options->iv_root); }},
       {"action", 0,
        "an action the kernel takes (add remove change move online offline bind unbind)",
        [=](const char* v) { return tavuTakeAction(v, &options->iv_action); }},
       {"class", 0, classes.c_str(),
        [=](const char* v) {
          options->iv_classes.emplace_back(v);
          return tavuServesSubsystem(v);
        }},
       {"dry-run", 0, nullptr, tavuTakeFlag(&options->iv_dryRun)},
       {"listening", 0, "a process id", tavuTakeWhole(&options->iv_listening, 1, INT32_MAX)},
       {"timeout", 0, "seconds above 0", tavuTakeReal(&options->iv_timeout, 0, 86400)}},
      usage, 0, &operands);
  if (status != TAVU_OPTIONS_GOOD) return status;
  const bool triggers = options->iv_root != nullptr || options->iv_action != nullptr ||
                        !options->iv_classes.empty() || options->iv_dryRun;
  if (options->iv_listening != 0 && triggers) {
    return tavuUsageError(
        "--listening triggers nothing: it takes no --root, --action, --class or --dry-run");
  }
  if (options->iv_listening == 0 && options->iv_timeout != 0) {
    return tavuUsageError("--timeout goes with --listening");
  }
  if (options->iv_root == nullptr) options->iv_root = "/";
  if (options->iv_action == nullptr) options->iv_action = "add";
  if (options->iv_timeout == 0) options->iv_timeout = TAVU_LISTENING_TIMEOUT;
  return TAVU_OPTIONS_GOOD;
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
    tavuFail(0, "%s: %s", tavuEscapeText(path).c_str(), tavuTriggerFailureText(failure));
    return false;
  }
  std::printf("%s %s%s\n", options.iv_action, path.c_str(), options.iv_dryRun ? " (dry run)" : "");
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
  return tavuFail(-1, "%s: %s", tavuEscapeText(path).c_str(), tavuTriggerFailureText(failure));
}

// Until process `pid` listens to the kernel, its end or the timeout.
int tavuAwaitListening(pid_t pid, double timeout) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
  while (!tavuDaemonListens(pid)) {
    if (access(("/proc/" + std::to_string(pid)).c_str(), F_OK) != 0) {
      return tavuFail(TAVU_TRIGGER_FAILED, "process %d: %s", static_cast<int>(pid),
                      std::strerror(ESRCH));
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return tavuFail(TAVU_TRIGGER_FAILED,
                      "process %d has not joined the kernel's uevent groups within %g s",
                      static_cast<int>(pid), timeout);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return TAVU_TRIGGER_DONE;
}

// Every device of the served classes, or of those asked for.
int tavuTriggerAll(const tavuTriggerOptions& options) {
  const int sysFd = tavuOpenSysfs(options.iv_root);
  if (sysFd < 0) return TAVU_TRIGGER_FAILED;
  bool allDone = true;
  for (const tavuTriggerDevice& device : tavuListTriggerDevices(sysFd, options.iv_classes)) {
    allDone = tavuTriggerOne(sysFd, options, device) && allDone;
  }
  close(sysFd);
  return allDone ? TAVU_TRIGGER_DONE : TAVU_TRIGGER_FAILED;
}

}  // namespace

int main(int argc, char** argv) {
  tavuTriggerOptions options;
  const int parsed = tavuParseOptions(argc, argv, &options);
  if (parsed != TAVU_OPTIONS_GOOD) return parsed;
  return options.iv_listening != 0 ? tavuAwaitListening(options.iv_listening, options.iv_timeout)
                                   : tavuTriggerAll(options);
}
