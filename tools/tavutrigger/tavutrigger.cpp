// tavutrigger: coldplug for tavunetlink. The kernel announced the devices
// that were there before the daemon started to nobody; this asks it to
// announce them again. Also the probe of whether the daemon listens to the
// kernel, which the service files wait on.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "daemon_listens.h"
#include "text_format.h"
#include "tool_options.h"
#include "uevent_classify.h"

namespace {

enum : int { TAVU_TRIGGER_DONE = 0, TAVU_TRIGGER_FAILED = 1 };

// As long as the service files have always waited for the daemon.
constexpr double TAVU_LISTENING_TIMEOUT = 5;

// A class entry's link leads out of sysfs: it is not followed.
constexpr int TAVU_TRIGGER_LEAVES_SYSFS = -1;

struct tavuTriggerOptions {
  const char* iv_root = nullptr;        // nullptr: "/"
  std::string iv_sys;                   // ROOT/sys, without a doubled "/"
  const char* iv_action = nullptr;      // nullptr: "add"
  std::vector<std::string> iv_classes;  // only these; empty: every served one
  bool iv_dryRun = false;
  pid_t iv_listening = 0;  // 0: trigger
  double iv_timeout = 0;   // 0: not given
};

// ---- The command line -------------------------------------------------

int tavuParseOptions(int argc, char** argv, tavuTriggerOptions* options) {
  std::string served;  // " ttyKWB kwb ...", "*" ending a prefix
  for (size_t i = 0; const char* pattern = tavuServedSubsystemPattern(i); ++i) {
    served += std::string(" ") + pattern;
  }
  const std::string classes = "a class the daemon serves (" + served.substr(1) + ")";
  const int status = tavuParseCommandLine(
      argc, argv,
      {R"(Usage: tavutrigger [OPTION]...
       tavutrigger --listening PID [--timeout SECONDS]
Asks the kernel to announce again the devices that were there before
tavunetlink: writes the action into ROOT/sys/class/CLASS/DEVICE/uevent for
every device of a served class, one line each ("add /sys/class/uart/ttyS1").

)",
       {{"root", 0, "DIR", "a directory", "the tree to work in (default /)",
         [=](const char* path) {  // a directory, errno saying why not
           const int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
           if (fd >= 0) close(fd);
           options->iv_root = path;
           return fd >= 0;
         }},
        {"action", 0, "ACTION",
         "an action the kernel takes (add remove change move online offline bind unbind)",
         "what to write (default add)",
         [=](const char* action) {  // what the kernel takes in a device's uevent file
           for (const char* known :
                {"add", "remove", "change", "move", "online", "offline", "bind", "unbind"}) {
             if (std::strcmp(action, known) == 0) options->iv_action = known;
           }
           return options->iv_action != nullptr;
         }},
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
      0, nullptr);
  if (status != TAVU_OPTIONS_GOOD) return status;
  const bool triggers = options->iv_root != nullptr || options->iv_action != nullptr ||
                        !options->iv_classes.empty() || options->iv_dryRun;
  if (options->iv_listening != 0 && triggers) {
    return tavuUsageError(
        "--listening triggers nothing: it takes no --root, --action, --class or --dry-run");
  }
  if (options->iv_listening == 0 && options->iv_timeout != 0)
    return tavuUsageError("--timeout goes with --listening");
  const std::string root = options->iv_root != nullptr ? options->iv_root : "";
  options->iv_sys = root.substr(0, root.find_last_not_of('/') + 1) + "/sys";
  if (options->iv_action == nullptr) options->iv_action = "add";
  if (options->iv_timeout == 0) options->iv_timeout = TAVU_LISTENING_TIMEOUT;
  return TAVU_OPTIONS_GOOD;
}

// ---- Waiting for the daemon -------------------------------------------

// Until process `pid` listens to the kernel, its end or the timeout.
int tavuAwaitListening(pid_t pid, double timeout) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
  while (!tavuFindUeventSocket(pid)) {
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

// ---- Triggering -------------------------------------------------------

// Tells why `entry` could not be triggered; false.
bool tavuNotTriggered(const std::string& entry, int failure) {
  tavuPrintError(0, "%s: %s", tavuEscapeText(entry).c_str(),
                 failure == TAVU_TRIGGER_LEAVES_SYSFS
                     ? "link leads out of the sysfs tree; not followed"
                     : std::strerror(failure));
  return false;
}

// The names in the directory `path`, in version order ("ttyKWB2" before
// "ttyKWB10"); false, told, when it cannot be read.
bool tavuReadDirectory(const std::string& path, std::vector<std::string>* names) {
  dirent** entries = nullptr;
  const int count = scandir(path.c_str(), &entries, nullptr, versionsort);
  if (count < 0) return tavuNotTriggered(path, errno);
  for (int i = 0; i < count; ++i) {
    const std::string name = entries[i]->d_name;
    if (name != "." && name != "..") names->push_back(name);
    free(entries[i]);
  }
  free(entries);
  return true;
}

// The device path that a class entry's link `target` names, resolved by its
// text from /class/CLASS; false when it would lead out of sysfs.
bool tavuResolveClassLink(const std::string& className, const std::string& target,
                          std::string* devPath) {
  if (target.empty() || target[0] == '/') return false;
  std::filesystem::path path =
      std::filesystem::path("class/" + className + "/" + target).lexically_normal();
  if (path.filename().empty()) path = path.parent_path();  // a trailing "/"
  if (path.empty() || path == "." || *path.begin() == "..") return false;
  *devPath = "/" + path.generic_string();
  return true;
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

// Triggers the class entry `name` through its device path: the entry itself
// on older kernels, else where its link leads. Nothing for one that is no
// device (a plain file such as gpio's "export") or one the daemon does not
// serve; false, told, for one that cannot be triggered.
bool tavuTriggerEntry(const tavuTriggerOptions& options, const std::string& className,
                      const std::string& name) {
  const std::string entry = options.iv_sys + "/class/" + className + "/" + name;
  std::string devPath = "/class/" + className + "/" + name;
  struct stat status {};
  char target[4096];
  if (lstat(entry.c_str(), &status) != 0) return tavuNotTriggered(entry, errno);
  if (S_ISLNK(status.st_mode)) {
    const ssize_t length = readlink(entry.c_str(), target, sizeof target - 1);
    if (length < 0) return tavuNotTriggered(entry, errno);
    if (!tavuResolveClassLink(className, std::string(target, length), &devPath))
      return tavuNotTriggered(entry, TAVU_TRIGGER_LEAVES_SYSFS);
  } else if (!S_ISDIR(status.st_mode)) {
    return true;
  }
  if (tavuDeliveredType(className.c_str(), devPath.c_str()) == nullptr) return true;
  const int failure = tavuWriteUevent(options, options.iv_sys + devPath + "/uevent");
  if (failure != 0) return tavuNotTriggered(entry, failure);
  std::printf("%s %s%s\n", options.iv_action, entry.c_str(), options.iv_dryRun ? " (dry run)" : "");
  return true;
}

// Every device of the served classes under ROOT/sys (only those asked for,
// if any), classes then names in version order, each told.
int tavuTriggerAll(const tavuTriggerOptions& options) {
  const int sysFd = open(options.iv_sys.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (sysFd < 0) {
    return tavuPrintError(TAVU_TRIGGER_FAILED, "%s: %m", tavuEscapeText(options.iv_sys).c_str());
  }
  close(sysFd);
  const std::vector<std::string>& only = options.iv_classes;
  std::vector<std::string> classes;
  bool allDone = tavuReadDirectory(options.iv_sys + "/class", &classes);
  for (const std::string& className : classes) {
    const bool wanted =
        only.empty() || std::find(only.begin(), only.end(), className) != only.end();
    std::vector<std::string> names;
    if (wanted && tavuServesSubsystem(className.c_str()))
      allDone &= tavuReadDirectory(options.iv_sys + "/class/" + className, &names);
    for (const std::string& name : names) allDone &= tavuTriggerEntry(options, className, name);
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
