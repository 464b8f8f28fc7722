#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "tavutrigger.h"
#include "uevent_classify.h"

namespace {

int tavuNotDots(const dirent* entry) {
  return static_cast<int>(strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0);
}

// The names in the directory `path`, in version order; an errno, or 0.
int tavuReadDirectory(const std::string& path, std::vector<std::string>* names) {
  dirent** entries = nullptr;
  const int count = scandir(path.c_str(), &entries, tavuNotDots, versionsort);
  if (count < 0) return errno;
  for (int i = 0; i < count; ++i) {
    names->emplace_back(entries[i]->d_name);
    free(entries[i]);
  }
  free(entries);
  return 0;
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

// Fills `device` for the class entry `name`: its uevent file through the
// device path, the entry itself on older kernels, else where its link
// leads; false when it is no device (a plain file such as gpio's "export")
// or one the daemon does not serve.
bool tavuDescribeEntry(const std::string& sys, const std::string& className,
                       const std::string& name, tavuTriggerDevice* device) {
  device->iv_entry = sys + "/class/" + className + "/" + name;
  std::string devPath = "/class/" + className + "/" + name;
  struct stat status {};
  char target[4096];
  if (lstat(device->iv_entry.c_str(), &status) != 0) {
    device->iv_failure = errno;
  } else if (S_ISLNK(status.st_mode)) {
    const ssize_t length = readlink(device->iv_entry.c_str(), target, sizeof target - 1);
    if (length < 0) {
      device->iv_failure = errno;
    } else if (!tavuResolveClassLink(className, std::string(target, length), &devPath)) {
      device->iv_failure = TAVU_TRIGGER_LEAVES_SYSFS;
    }
  } else if (!S_ISDIR(status.st_mode)) {
    return false;
  }
  device->iv_uevent = sys + devPath + "/uevent";
  return device->iv_failure != 0 ||
         tavuDeliveredType(className.c_str(), devPath.c_str()) != nullptr;
}

}  // namespace

std::vector<tavuTriggerDevice> tavuListTriggerDevices(const std::string& sys,
                                                      const std::vector<std::string>& onlyClasses) {
  std::vector<tavuTriggerDevice> devices;
  std::vector<std::string> classes;
  int failure = tavuReadDirectory(sys + "/class", &classes);
  if (failure != 0) devices.push_back({sys + "/class", "", failure});
  for (const std::string& className : classes) {
    const bool wanted = onlyClasses.empty() || std::find(onlyClasses.begin(), onlyClasses.end(),
                                                         className) != onlyClasses.end();
    std::vector<std::string> names;
    failure = wanted && tavuServesSubsystem(className.c_str())
                  ? tavuReadDirectory(sys + "/class/" + className, &names)
                  : 0;
    if (failure != 0) devices.push_back({sys + "/class/" + className, "", failure});
    for (const std::string& name : names) {
      tavuTriggerDevice device;
      if (tavuDescribeEntry(sys, className, name, &device)) devices.push_back(device);
    }
  }
  return devices;
}
