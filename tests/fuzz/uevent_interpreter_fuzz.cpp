// libFuzzer target for the uevent interpreter, inside scripts/sandbox: it
// makes and removes real nodes. Every record handed out keeps its
// invariants, and nothing outside /dev ever changes, whatever the datagram.
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "uevent_interpreter.h"

namespace {

// Outside /dev: a path that escaped it could reach in here.
constexpr char kCanary[] = "/tmp/canary";

[[noreturn]] void tavuFinding(const char* what) {
  std::fprintf(stderr, "uevent fuzz: %s\n", what);
  std::abort();
}

// What lies outside /dev where a path that escaped it would land: the
// root's entries and everything below /tmp, kind, mode and name each.
std::string tavuOutsideDev() {
  static std::string found;  // an nftw callback takes no context
  found.clear();
  const auto note = [](const char* path, const struct stat* info, int, FTW* where) -> int {
    found += std::to_string(info->st_mode) + " " + path + "\n";
    return where->level > 0 && std::strcmp(path, "/tmp") != 0 ? FTW_SKIP_SUBTREE : FTW_CONTINUE;
  };
  nftw("/", note, 16, FTW_PHYS | FTW_ACTIONRETVAL);
  return found;
}

std::string g_outside;  // as it was before the first input

// What another user could leave in /dev: a way out of it, which the
// daemon's walk must not take.
void tavuHostileDev() {
  mkdir("/dev/shm", 01777);
  symlink(kCanary, "/dev/shm/x");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (std::getenv("TAVU_IN_SANDBOX") == nullptr) tavuFinding("runs only inside scripts/sandbox");
  umask(022);
  mkdir(kCanary, 0755);
  mkdir("/tmp/canary/1", 0755);
  tavuHostileDev();
  g_outside = tavuOutsideDev();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tavuNetlinkEvent* event = nullptr;
  const int result = tavuHandleNetlinkEvent(static_cast<uint32_t>(size),
                                            reinterpret_cast<const char*>(data), &event);
  if (result != 0 && (event == nullptr || event->iv_path == nullptr || event->iv_type == nullptr ||
                      event->iv_action < 0 || event->iv_action > 2)) {
    tavuFinding("a record handed out breaks its invariants");
  }
  if (result == 0 && event != nullptr) tavuFinding("result 0 but a record was handed out");
  delete event;
  if (tavuOutsideDev() != g_outside) tavuFinding("something outside /dev changed");
  return 0;
}
