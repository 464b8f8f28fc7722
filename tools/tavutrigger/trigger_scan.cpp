#include "tools/tavutrigger/trigger_scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "devnodes/uevent_classify.h"
#include "tools/tavutrigger/trigger_order.h"

namespace {

constexpr int TAVU_DIR_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// The names in the directory `fd`, sorted; empty with `*failure` set
// when it cannot be read. `fd` stays open.
std::vector<std::string> tavuReadNames(int fd, int* failure) {
  const int copy = dup(fd);
  DIR* dir = copy >= 0 ? fdopendir(copy) : nullptr;
  if (dir == nullptr) {
    *failure = errno;
    if (copy >= 0) close(copy);
    return {};
  }
  std::vector<std::string> names;
  while (const dirent* entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
      names.emplace_back(entry->d_name);
    }
  }
  closedir(dir);
  std::sort(names.begin(), names.end(), tavuNaturalLess);
  return names;
}

// Opens the directory `name` under `parentFd` and reads its names; -1
// with `*failure` set when it cannot be opened.
int tavuOpenDirectory(int parentFd, const std::string& name, std::vector<std::string>* names,
                      int* failure) {
  const int fd = openat(parentFd, name.c_str(), TAVU_DIR_FLAGS);
  if (fd < 0) {
    *failure = errno;
  } else {
    *names = tavuReadNames(fd, failure);
  }
  return fd;
}

bool tavuWanted(const std::string& className, const std::vector<std::string>& onlyClasses) {
  if (!tavuServesSubsystem(className.c_str())) return false;
  return onlyClasses.empty() ||
         std::find(onlyClasses.begin(), onlyClasses.end(), className) != onlyClasses.end();
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

void tavuPassOver(std::vector<std::string>* passedOver, const tavuTriggerDevice& device,
                  const std::string& reason) {
  if (passedOver == nullptr) return;
  std::string note = device.iv_class;
  note += "/";
  note += device.iv_name;
  note += ": ";
  note += reason;
  passedOver->push_back(note);
}

// Appends the devices of one class directory to `devices`.
void tavuListClass(int classesFd, const std::string& className,
                   std::vector<tavuTriggerDevice>* devices, std::vector<std::string>* passedOver) {
  tavuTriggerDevice failed{className, "", "", 0};
  std::vector<std::string> names;
  const int classFd = tavuOpenDirectory(classesFd, className, &names, &failed.iv_failure);
  if (failed.iv_failure != 0) {
    devices->push_back(failed);
    if (classFd >= 0) close(classFd);
    return;
  }
  for (const std::string& name : names) {
    tavuTriggerDevice device{className, name, "", 0};
    if (!tavuDescribeEntry(classFd, name, &device)) {
      tavuPassOver(passedOver, device, "no device");
    } else if (device.iv_failure == 0 &&
               tavuDeliveredType(className.c_str(), device.iv_devPath.c_str()) == nullptr) {
      tavuPassOver(passedOver, device, "not served at " + device.iv_devPath);
    } else {
      devices->push_back(device);
    }
  }
  if (classFd >= 0) close(classFd);
}

}  // namespace

std::string tavuTriggerFailureText(int failure) {
  switch (failure) {
    case TAVU_TRIGGER_LEAVES_SYSFS:
      return "link leads out of the sysfs tree; not followed";
    case TAVU_TRIGGER_FURTHER_LINK:
      return "a further link on the way to its uevent file; not followed";
    case TAVU_TRIGGER_NOT_A_FILE:
      return "its uevent entry is not a regular file";
    default:
      return strerror(failure);
  }
}

bool tavuResolveClassLink(const std::string& className, const std::string& target,
                          std::string* devPath) {
  if (target.empty() || target[0] == '/') return false;
  std::vector<std::string> parts{"class", className};
  size_t start = 0;
  while (start <= target.size()) {
    size_t end = target.find('/', start);
    if (end == std::string::npos) end = target.size();
    const std::string part = target.substr(start, end - start);
    if (part == "..") {
      if (parts.empty()) return false;
      parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  if (parts.empty()) return false;
  devPath->clear();
  for (const std::string& part : parts) *devPath += "/" + part;
  return true;
}

std::vector<tavuTriggerDevice> tavuListTriggerDevices(int sysFd,
                                                      const std::vector<std::string>& onlyClasses,
                                                      std::vector<std::string>* passedOver) {
  std::vector<tavuTriggerDevice> devices;
  tavuTriggerDevice failed{"", "", "", 0};
  std::vector<std::string> classes;
  const int classesFd = tavuOpenDirectory(sysFd, "class", &classes, &failed.iv_failure);
  if (failed.iv_failure != 0) {
    if (classesFd >= 0) close(classesFd);
    return {failed};
  }
  for (const std::string& className : classes) {
    if (tavuWanted(className, onlyClasses)) {
      tavuListClass(classesFd, className, &devices, passedOver);
    }
  }
  close(classesFd);
  for (const std::string& wanted : onlyClasses) {
    const bool present = std::find(classes.begin(), classes.end(), wanted) != classes.end();
    if (!present && passedOver != nullptr) passedOver->push_back(wanted + ": no such class here");
  }
  return devices;
}
