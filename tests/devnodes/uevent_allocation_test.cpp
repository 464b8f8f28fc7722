// When memory for a copy or for the record cannot be had, nothing is
// handed out and nothing allocated during the call outlives it. The
// allocation calls are wrapped at link time (see CMakeLists.txt); each run
// makes a different one of them fail.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "devnodes/uevent_interpreter.h"
#include "tests/devnodes/dev_sandbox.h"
#include "tests/support/uevent_sender.h"

namespace {

// Allocations made by the interpreter while armed, by call number.
struct tavuAllocationWatch {
  bool armed = false;
  int calls = 0;
  int failAt = -1;  // the call number that fails; -1: none
  void* live[64] = {};
  int liveCount = 0;
};
tavuAllocationWatch g_watch;

bool tavuShouldFail() {
  if (!g_watch.armed) return false;
  return g_watch.calls++ == g_watch.failAt;
}

void tavuNoteAllocated(void* pointer) {
  if (!g_watch.armed || pointer == nullptr) return;
  if (g_watch.liveCount < 64) g_watch.live[g_watch.liveCount++] = pointer;
}

void tavuNoteFreed(void* pointer) {
  for (int i = 0; i < g_watch.liveCount; ++i) {
    if (g_watch.live[i] == pointer) {
      g_watch.live[i] = g_watch.live[--g_watch.liveCount];
      return;
    }
  }
}

}  // namespace

// A C string copy may reach the library as strdup or, when the compiler
// knows its length, as malloc.
extern "C" {
char* __real_strdup(const char* text);
void* __real_malloc(size_t size);
void __real_free(void* pointer);

char* __wrap_strdup(const char* text) {
  if (tavuShouldFail()) return nullptr;
  char* copy = __real_strdup(text);
  tavuNoteAllocated(copy);
  return copy;
}

void* __wrap_malloc(size_t size) {
  if (tavuShouldFail()) return nullptr;
  void* block = __real_malloc(size);
  tavuNoteAllocated(block);
  return block;
}

void __wrap_free(void* pointer) {
  if (g_watch.armed) tavuNoteFreed(pointer);
  __real_free(pointer);
}
}

// The record's own allocation; its wrapped name depends on the width of size_t.
#define TAVU_WRAP_NEW_NAME2(real, wrap)                          \
  extern "C" void* real(size_t, const std::nothrow_t&) noexcept; \
  extern "C" void* wrap(size_t size, const std::nothrow_t& tag) noexcept
#if __SIZEOF_SIZE_T__ == 8
TAVU_WRAP_NEW_NAME2(__real__ZnwmRKSt9nothrow_t, __wrap__ZnwmRKSt9nothrow_t) {
  return tavuShouldFail() ? nullptr : __real__ZnwmRKSt9nothrow_t(size, tag);
}
#else
TAVU_WRAP_NEW_NAME2(__real__ZnwjRKSt9nothrow_t, __wrap__ZnwjRKSt9nothrow_t) {
  return tavuShouldFail() ? nullptr : __real__ZnwjRKSt9nothrow_t(size, tag);
}
#endif

namespace {

// Runs the interpreter with allocation call `failAt` failing; returns the
// number of allocation calls the run made.
int tavuRunWithFailure(const std::string& bytes, int failAt, int* result,
                       tavuNetlinkEvent** event) {
  tavuDatagramCopy copy(bytes);
  g_watch = tavuAllocationWatch{};
  g_watch.failAt = failAt;
  g_watch.armed = true;
  *result = tavuHandleNetlinkEvent(copy.iv_length, copy.iv_data, event);
  g_watch.armed = false;
  return g_watch.calls;
}

struct tavuAllocationCase {
  std::string datagram;
  int superseded;  // leading allocations whose loss a later key makes good
};

TEST(UeventAllocation, EveryFailedAllocationDropsTheEventCleanly) {
  // Not under /class/, so no node is made: this test needs no sandbox.
  const tavuAllocationCase kCases[] = {
      // Received type replaced by the delivered one.
      {tavuUeventDatagram(
           "add@/devices/link-0/tlor-0/kwb-0.02",
           {"ACTION=add", "DEVPATH=/devices/link-0/tlor-0/kwb-0.02", "SUBSYSTEM=kwb", "SEQNUM=4"}),
       0},
      // Type taken from the path.
      {tavuUeventDatagram("add@/devices/x/ttyKWB3", {"DEVPATH=/devices/x/ttyKWB3"}), 0},
      // Keys repeated: the first copies are released, or not needed when lost.
      {tavuUeventDatagram("add@/devices/u", {"DEVPATH=/devices/a", "SUBSYSTEM=gpio",
                                             "DEVPATH=/devices/u", "SUBSYSTEM=uart"}),
       2},
  };
  for (const tavuAllocationCase& c : kCases) {
    SCOPED_TRACE(c.datagram.c_str());
    int result = 0;
    tavuNetlinkEvent* event = nullptr;
    const int calls = tavuRunWithFailure(c.datagram, -1, &result, &event);
    ASSERT_EQ(result, 1);
    ASSERT_NE(event, nullptr);
    const std::string path = event->iv_path;
    const std::string type = event->iv_type;
    delete event;
    ASSERT_GE(calls, 3);  // the two strings and the record at least
    for (int failAt = 0; failAt < calls; ++failAt) {
      SCOPED_TRACE(testing::Message() << "allocation " << failAt << " of " << calls << " fails");
      tavuNetlinkEvent* const untouched = reinterpret_cast<tavuNetlinkEvent*>(&result);
      tavuNetlinkEvent* handedOut = untouched;
      tavuRunWithFailure(c.datagram, failAt, &result, &handedOut);
      if (failAt < c.superseded) {
        // The record is whole, and its two strings are all that is left.
        ASSERT_EQ(result, 1);
        ASSERT_NE(handedOut, untouched);
        EXPECT_EQ(handedOut->iv_path, path);
        EXPECT_EQ(handedOut->iv_type, type);
        EXPECT_EQ(g_watch.liveCount, 2);
        delete handedOut;
        continue;
      }
      EXPECT_EQ(result, 0);
      EXPECT_EQ(handedOut, untouched);
      EXPECT_EQ(g_watch.liveCount, 0) << "a copy made during the call was not released";
    }
  }
}

}  // namespace
