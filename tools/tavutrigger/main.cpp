// tavutrigger: coldplug for tavunetlink. The kernel announced the devices
// that were there before the daemon started to nobody; this asks it to
// announce them again.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/tavutrigger/trigger_options.h"
#include "tools/tavutrigger/trigger_scan.h"
#include "tools/tavutrigger/trigger_write.h"

namespace {

// ROOT joined to a path that begins with "/", without a doubled "/".
std::string tavuUnderRoot(const std::string& root, const std::string& path) {
  std::string joined = root;
  while (!joined.empty() && joined.back() == '/') joined.pop_back();
  joined += path;
  return joined.empty() ? "/" : joined;
}

std::string tavuClassPath(const tavuTriggerOptions& options, const tavuTriggerDevice& device) {
  std::string path = "/sys/class";
  if (!device.iv_class.empty()) path += "/" + device.iv_class;
  if (!device.iv_name.empty()) path += "/" + device.iv_name;
  return tavuUnderRoot(options.iv_root, path);
}

void tavuReportFailure(const std::string& path, int failure) {
  std::fprintf(stderr, "tavutrigger: %s: %s\n", path.c_str(),
               tavuTriggerFailureText(failure).c_str());
}

// Triggers one device, or says why not; true when it was done.
bool tavuTriggerOne(int sysFd, const tavuTriggerOptions& options, const tavuTriggerDevice& device) {
  const std::string path = tavuClassPath(options, device);
  int failure = device.iv_failure;
  if (failure == 0) {
    failure = tavuWriteUevent(sysFd, device.iv_devPath, options.iv_action, options.iv_dryRun);
  }
  if (failure != 0) {
    tavuReportFailure(path, failure);
    return false;
  }
  std::printf("%s %s%s\n", options.iv_action.c_str(), path.c_str(),
              options.iv_dryRun ? " (dry run)" : "");
  return true;
}

// The sysfs directory under the root; -1 after a report.
int tavuOpenSysfs(const tavuTriggerOptions& options) {
  const int rootFd = open(options.iv_root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const int sysFd =
      rootFd >= 0 ? openat(rootFd, "sys", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1;
  const int failure = errno;
  if (rootFd >= 0) close(rootFd);
  if (sysFd < 0) {
    tavuReportFailure(tavuUnderRoot(options.iv_root, rootFd >= 0 ? "/sys" : ""), failure);
  }
  return sysFd;
}

}  // namespace

int main(int argc, char** argv) {
  tavuTriggerOptions options;
  std::string error;
  if (!tavuParseTriggerOptions(argc, argv, &options, &error)) {
    std::fprintf(stderr, "tavutrigger: %s (try --help)\n", error.c_str());
    return TAVUTRIGGER_EXIT_USAGE;
  }
  if (options.iv_help) {
    std::fputs(tavuTriggerUsage().c_str(), stdout);
    return TAVUTRIGGER_EXIT_OK;
  }
  const int sysFd = tavuOpenSysfs(options);
  if (sysFd < 0) return TAVUTRIGGER_EXIT_FAILED;
  std::vector<std::string> passedOver;
  const std::vector<tavuTriggerDevice> devices =
      tavuListTriggerDevices(sysFd, options.iv_classes, options.iv_verbose ? &passedOver : nullptr);
  for (const std::string& note : passedOver) {
    std::fprintf(stderr, "tavutrigger: passed over %s\n", note.c_str());
  }
  bool allDone = true;
  for (const tavuTriggerDevice& device : devices) {
    allDone = tavuTriggerOne(sysFd, options, device) && allDone;
  }
  close(sysFd);
  return allDone ? TAVUTRIGGER_EXIT_OK : TAVUTRIGGER_EXIT_FAILED;
}
