// libFuzzer target for the daemon's uevent interpreter, inside
// scripts/sandbox: it makes and removes real nodes. A record handed out is
// whole, and nothing is made outside /dev, not through a link another user
// put there, whatever the datagram.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "uevent_interpreter.h"

namespace {

std::ptrdiff_t tavuEntries(const char* directory) {
  return std::distance(std::filesystem::directory_iterator(directory), {});
}

const std::ptrdiff_t TAVU_ROOT_ENTRIES = tavuEntries("/");

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (std::getenv("TAVU_IN_SANDBOX") == nullptr) {
    std::fputs("uevent_fuzz: it makes nodes under /dev: run it inside scripts/sandbox\n", stderr);
    std::exit(2);
  }
  std::filesystem::create_directories("/tmp/outside");
  std::filesystem::create_directories("/dev/shm");
  (void)!symlink("/tmp/outside", "/dev/shm/x");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tavuNetlinkEvent* event = nullptr;
  const int result = tavuHandleNetlinkEvent(static_cast<uint32_t>(size),
                                            reinterpret_cast<const char*>(data), &event);
  if (result != (event != nullptr ? 1 : 0) ||
      (event != nullptr &&
       (event->iv_path == nullptr || event->iv_type == nullptr ||
        event->iv_action < TAVU_ACTION_NONE || event->iv_action > TAVU_ACTION_REMOVE)))
    std::abort();
  delete event;
  if (tavuEntries("/tmp/outside") != 0 || tavuEntries("/") != TAVU_ROOT_ENTRIES) std::abort();
  return 0;
}
