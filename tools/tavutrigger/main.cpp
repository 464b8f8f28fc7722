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

struct tavuTriggerOptions {
  const char* iv_root = nullptr;        // nullptr: "/"
  std::string iv_sys;                   // ROOT/sys, without a doubled "/"
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
    if (std::strcmp(word, known) == 0) *action = known;
  }
  return *action != nullptr;
}

int tavuParseOptions(int argc, char** argv, tavuTriggerOptions* options) {
  const std::string served = tavuServedClasses();
  const std::string classes = "a class the daemon serves (" + served.substr(1) + ")";
  std::vector<std::string> operands;
  const int status = tavuParseCommandLine(
      argc, argv,
      {R"(Usage: tavutrigger [OPTION]...
       tavutrigger --listening PID [--timeout SECONDS]
Asks the kernel to announce again the devices that were there before
tavunetlink: writes the action into ROOT/sys/class/CLASS/DEVICE/uevent for
every device of a served class, one line each ("add /sys/class/uart/ttyS1").

)",
       {{"root", 0, "DIR", "a directory", "the tree to work in (default /)",
         [=](const char* v) { return tavuTakeRoot(v, &options->iv_root); }},
        {"action", 0, "ACTION",
         "an action the kernel takes (add remove change move online offline bind unbind)",
         "what to write (default add)",
         [=](const char* v) { return tavuTakeAction(v, &options->iv_action); }},
        {"class", 0, "NAME", classes.c_str(), "only this class (repeatable)",
         [=](const char* v) {
           options->iv_classes.emplace_back(v);
           return tavuServesSubsystem(v);
         }},
        {"dry-run", 0, nullptr, nullptr, "write nothing; print the same lines ending \"(dry run)\"",
         tavuTakeFlag(&options->iv_dryRun)},
        {"listening", 0, "PID", "a process id",
         "trigger nothing: wait until process PID listens to the\nkernel's uevents (holds a "
         "NETLINK_KOBJECT_UEVENT socket\nthat has joined every group)",
         tavuTakeWhole(&options->iv_listening, 1, INT32_MAX)},
        {"timeout", 0, "SECONDS", "seconds above 0", "wait that long at most (default 5)",
         tavuTakeReal(&options->iv_timeout, 0, 86400)}},
       "Served classes:" + served + R"(

Exit status:
  0  every device triggered (or shown, with --dry-run); PID listens
  1  some device or class could not be triggered; PID does not listen in time
  2  bad usage
)"},
      0, &operands);
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
  options->iv_sys = options->iv_root != nullptr ? options->iv_root : "";
  while (!options->iv_sys.empty() && options->iv_sys.back() == '/') options->iv_sys.pop_back();
  options->iv_sys += "/sys";
  if (options->iv_action == nullptr) options->iv_action = "add";
  if (options->iv_timeout == 0) options->iv_timeout = TAVU_LISTENING_TIMEOUT;
  return TAVU_OPTIONS_GOOD;
}

// Writes the action into the device's uevent file, or with --dry-run only
// opens it; 0 or an errno. The kernel takes the action in one write.
int tavuWriteUevent(const tavuTriggerOptions& options, const std::string& uevent) {
  const int fd = open(uevent.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  const std::size_t size = options.iv_dryRun ? 0 : std::strlen(options.iv_action);
  const ssize_t written = size == 0 ? 0 : write(fd, options.iv_action, size);
  const int failure = written < 0 ? errno : static_cast<std::size_t>(written) == size ? 0 : EIO;
  close(fd);
  return failure;
}

// Triggers one device, or says why not; true when it was done.
bool tavuTriggerOne(const tavuTriggerOptions& options, const tavuTriggerDevice& device) {
  const int failure =
      device.iv_failure != 0 ? device.iv_failure : tavuWriteUevent(options, device.iv_uevent);
  if (failure != 0) {
    tavuPrintError(0, "%s: %s", tavuEscapeText(device.iv_entry).c_str(),
                   failure == TAVU_TRIGGER_LEAVES_SYSFS
                       ? "link leads out of the sysfs tree; not followed"
                       : std::strerror(failure));
    return false;
  }
  std::printf("%s %s%s\n", options.iv_action, device.iv_entry.c_str(),
              options.iv_dryRun ? " (dry run)" : "");
  return true;
}

// Until process `pid` listens to the kernel, its end or the timeout.
int tavuAwaitListening(pid_t pid, double timeout) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
  while (!tavuDaemonListens(pid)) {
    if (access(("/proc/" + std::to_string(pid)).c_str(), F_OK) != 0) {
      return tavuPrintError(TAVU_TRIGGER_FAILED, "process %d: %s", static_cast<int>(pid),
                            std::strerror(ESRCH));
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return tavuPrintError(TAVU_TRIGGER_FAILED,
                            "process %d has not joined the kernel's uevent groups within %g s",
                            static_cast<int>(pid), timeout);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return TAVU_TRIGGER_DONE;
}

// Every device of the served classes, or of those asked for.
int tavuTriggerAll(const tavuTriggerOptions& options) {
  const int sysFd = open(options.iv_sys.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (sysFd < 0) {
    return tavuPrintError(TAVU_TRIGGER_FAILED, "%s: %m", tavuEscapeText(options.iv_sys).c_str());
  }
  close(sysFd);
  bool allDone = true;
  for (const tavuTriggerDevice& device :
       tavuListTriggerDevices(options.iv_sys, options.iv_classes)) {
    allDone = tavuTriggerOne(options, device) && allDone;
  }
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
