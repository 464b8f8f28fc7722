// libFuzzer target for tavuHandleNetlinkEvent. It makes and removes real
// nodes, so it refuses to run anywhere but inside scripts/sandbox; see
// run_uevent_fuzz.sh for how the test runs it.
#include <ftw.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "daemon/globals.h"
#include "devnodes/uevent_classify.h"
#include "devnodes/uevent_interpreter.h"
#include "platform/trace_kelu.h"

namespace {

bool tavuDevIsSandboxTmpfs() {
  const char* flag = std::getenv("TAVU_IN_SANDBOX");
  struct statfs info {};
  return flag != nullptr && std::strcmp(flag, "1") == 0 && statfs("/dev", &info) == 0 &&
         info.f_type == TMPFS_MAGIC;
}

bool tavuSandboxOwnName(const char* name) {
  static const char* const kOwn[] = {"null", "zero",  "random", "urandom",
                                     "fd",   "stdin", "stdout", "stderr"};
  for (const char* own : kOwn) {
    if (std::strcmp(name, own) == 0) return true;
  }
  return false;
}

int tavuRemoveOurs(const char* path, const struct stat*, int, struct FTW* where) {
  if (where->level == 0) return 0;
  if (where->level == 1 && tavuSandboxOwnName(path + where->base)) return 0;
  remove(path);
  return 0;
}

// Nodes made by the inputs pile up; clear them now and then so that the
// sandbox's small /dev never fills.
void tavuTidyDev() {
  nftw("/dev", tavuRemoveOurs, 16, FTW_DEPTH | FTW_PHYS);
}

bool tavuIsDeliveredType(const char* type) {
  for (const char* const* known = kTavuDeliveredTypes; *known != nullptr; ++known) {
    if (std::strcmp(*known, type) == 0) return true;
  }
  return false;
}

// A record that breaks its invariants is a finding like a crash.
void tavuCheckRecord(const tavuNetlinkEvent* event) {
  if (event == nullptr || event->iv_path == nullptr || event->iv_type == nullptr ||
      event->iv_action < 0 || event->iv_action > 2 || !tavuIsDeliveredType(event->iv_type)) {
    std::fprintf(stderr, "uevent fuzz: record handed out breaks its invariants\n");
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!tavuDevIsSandboxTmpfs()) {
    std::fprintf(stderr,
                 "uevent fuzz: makes /dev nodes, so it runs only inside scripts/sandbox "
                 "(TAVU_IN_SANDBOX=1 and a tmpfs /dev)\n");
    std::exit(2);
  }
  umask(022);
  // Binary entries go to a real buffer in the sandbox's trace directory.
  trace_kelu_desc_t desc = TRACE_KELU_NO_BUFFER;
  trace_kelu_init_buffer(&desc, "TAVUNL", 32000);
  g_netlinkTrace.store(desc);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static unsigned runs = 0;
  tavuNetlinkEvent* event = nullptr;
  if (tavuHandleNetlinkEvent(static_cast<uint32_t>(size), reinterpret_cast<const char*>(data),
                             &event) != 0) {
    tavuCheckRecord(event);
    delete event;
  } else if (event != nullptr) {
    std::fprintf(stderr, "uevent fuzz: result 0 but a record was handed out\n");
    std::abort();
  }
  if (++runs % 4096 == 0) tavuTidyDev();
  return 0;
}
