#include "tavutrigger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

namespace {

// Why `name` under `dirFd` could not be opened: a link is ours to name.
int tavuOpenFailure(int dirFd, const char* name, int failure) {
  struct stat status {};
  if (fstatat(dirFd, name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode)) {
    return TAVU_TRIGGER_FURTHER_LINK;
  }
  return failure;
}

// The device's directory, opened one component at a time; -1 with
// `*failure` set.
int tavuOpenDeviceDir(int sysFd, const std::string& devPath, int* failure) {
  int fd = dup(sysFd);
  *failure = fd < 0 ? errno : 0;
  for (const std::filesystem::path& part : std::filesystem::path(devPath).relative_path()) {
    if (fd < 0) break;
    const int next = openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) *failure = tavuOpenFailure(fd, part.c_str(), errno);
    close(fd);
    fd = next;
  }
  return fd;
}

// 0 when the device's uevent entry is a regular file, as sysfs has it.
int tavuCheckUeventFile(int dirFd) {
  struct stat status {};
  if (fstatat(dirFd, "uevent", &status, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  if (S_ISLNK(status.st_mode)) return TAVU_TRIGGER_FURTHER_LINK;
  return S_ISREG(status.st_mode) ? 0 : TAVU_TRIGGER_NOT_A_FILE;
}

// Opens the checked uevent file for writing, again without following a
// link or blocking on a FIFO put there meanwhile; -1 with `*failure` set.
int tavuOpenUeventFile(int dirFd, int* failure) {
  const int fd = openat(dirFd, "uevent", O_WRONLY | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat status {};
  if (fd < 0 || fstat(fd, &status) != 0) {
    *failure = tavuOpenFailure(dirFd, "uevent", errno);
  } else if (!S_ISREG(status.st_mode)) {
    *failure = TAVU_TRIGGER_NOT_A_FILE;
  } else {
    return fd;
  }
  if (fd >= 0) close(fd);
  return -1;
}

// The kernel takes the action in one write.
int tavuWriteAction(int fd, const std::string& action) {
  const ssize_t written = write(fd, action.data(), action.size());
  if (written < 0) return errno;
  return static_cast<size_t>(written) == action.size() ? 0 : EIO;
}

}  // namespace

int tavuWriteUevent(int sysFd, const std::string& devPath, const std::string& action, bool dryRun) {
  int failure = 0;
  const int dirFd = tavuOpenDeviceDir(sysFd, devPath, &failure);
  if (dirFd < 0) return failure;
  failure = tavuCheckUeventFile(dirFd);
  if (failure == 0 && !dryRun) {
    const int fd = tavuOpenUeventFile(dirFd, &failure);
    if (fd >= 0) {
      failure = tavuWriteAction(fd, action);
      close(fd);
    }
  }
  close(dirFd);
  return failure;
}
