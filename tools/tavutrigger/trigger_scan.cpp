#include "tavutrigger.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "uevent_classify.h"

namespace {

int tavuNotDots(const dirent* entry) {
  return static_cast<int>(strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0);
}

// Opens the directory `name` under `parentFd` into `*fd`, never through a
// link, and reads its names in version order; an errno, or 0.
int tavuReadDirectory(int parentFd, const std::string& name, int* fd,
                      std::vector<std::string>* names) {
  *fd = openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  dirent** entries = nullptr;
  const int count = *fd < 0 ? -1 : scandirat(*fd, ".", &entries, tavuNotDots, versionsort);
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

// Fills `device` for the entry `name` of the class directory; false when
// the entry is no device (a plain file such as gpio's "export").
bool tavuDescribeEntry(int classFd, const std::string& name, tavuTriggerDevice* device) {
  struct stat status {};
  if (fstatat(classFd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    device->iv_failure = errno;
    return true;
  }
  if (S_ISDIR(status.st_mode)) {
    device->iv_devPath = "/class/" + device->iv_class + "/" + name;
    return true;
  }
  if (!S_ISLNK(status.st_mode)) return false;
  char target[4096];
  const ssize_t length = readlinkat(classFd, name.c_str(), target, sizeof target - 1);
  if (length < 0) {
    device->iv_failure = errno;
  } else if (!tavuResolveClassLink(device->iv_class, std::string(target, length),
                                   &device->iv_devPath)) {
    device->iv_failure = TAVU_TRIGGER_LEAVES_SYSFS;
  }
  return true;
}

void tavuListClass(int classesFd, const std::string& className,
                   std::vector<tavuTriggerDevice>* devices) {
  int classFd = -1;
  std::vector<std::string> names;
  const int failure = tavuReadDirectory(classesFd, className, &classFd, &names);
  if (failure != 0) devices->push_back({className, "", "", failure});
  for (const std::string& name : names) {
    tavuTriggerDevice device{className, name, "", 0};
    if (tavuDescribeEntry(classFd, name, &device) &&
        (device.iv_failure != 0 ||
         tavuDeliveredType(className.c_str(), device.iv_devPath.c_str()) != nullptr)) {
      devices->push_back(device);
    }
  }
  if (classFd >= 0) close(classFd);
}

}  // namespace

const char* tavuTriggerFailureText(int failure) {
  if (failure == TAVU_TRIGGER_LEAVES_SYSFS) return "link leads out of the sysfs tree; not followed";
  if (failure == TAVU_TRIGGER_FURTHER_LINK) {
    return "a further link on the way to its uevent file; not followed";
  }
  if (failure == TAVU_TRIGGER_NOT_A_FILE) return "its uevent entry is not a regular file";
  return strerror(failure);
}

std::vector<tavuTriggerDevice> tavuListTriggerDevices(int sysFd,
                                                      const std::vector<std::string>& onlyClasses) {
  int classesFd = -1;
  std::vector<std::string> classes;
  const int failure = tavuReadDirectory(sysFd, "class", &classesFd, &classes);
  std::vector<tavuTriggerDevice> devices;
  if (failure != 0) devices.push_back({"", "", "", failure});
  for (const std::string& className : classes) {
    const bool wanted = onlyClasses.empty() || std::find(onlyClasses.begin(), onlyClasses.end(),
                                                         className) != onlyClasses.end();
    if (wanted && tavuServesSubsystem(className.c_str())) {
      tavuListClass(classesFd, className, &devices);
    }
  }
  if (classesFd >= 0) close(classesFd);
  return devices;
}
