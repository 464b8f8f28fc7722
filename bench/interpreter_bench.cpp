// What interpreting a uevent costs. Two groups:
//  - the interpreter on datagrams that make no node, against merely walking
//    the same datagram's strings (runs anywhere);
//  - the node operations and the interpreter with them, against bare
//    mkdir+mknod and unlink+rmdir (only inside the sandbox: they make nodes):
//      scripts/sandbox -- build/bin/interpreter_bench --benchmark_repetitions=5
#include <benchmark/benchmark.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "devnodes/dev_node_ops.h"
#include "devnodes/uevent_interpreter.h"
#include "devnodes/uevent_keys.h"

namespace {

std::string tavuDatagram(const std::vector<std::string>& strings) {
  std::string bytes;
  for (const std::string& s : strings) {
    bytes += s;
    bytes.push_back('\0');
  }
  return bytes;
}

// As the kernel sends them for a bus device behind a link (no node).
const std::string kBusAdd = tavuDatagram(
    {"add@/devices/link-0/tlor-1/kwb-3.02", "ACTION=add", "DEVPATH=/devices/link-0/tlor-1/kwb-3.02",
     "SUBSYSTEM=kwb", "MODALIAS=kwb:t0002", "LINK=0", "TLOR=1", "SEQNUM=1812"});
const std::string kBusRemove =
    tavuDatagram({"remove@/devices/link-0/tlor-1/kwb-3.02", "ACTION=remove",
                  "DEVPATH=/devices/link-0/tlor-1/kwb-3.02", "SUBSYSTEM=kwb", "MODALIAS=kwb:t0002",
                  "LINK=0", "TLOR=1", "SEQNUM=1813"});
// A class device with its node.
const std::string kUartAdd =
    tavuDatagram({"add@/class/uart/ttyS1", "ACTION=add", "DEVPATH=/class/uart/ttyS1",
                  "SUBSYSTEM=uart", "MAJOR=4", "MINOR=65", "DEVNAME=ttyS1", "SEQNUM=812"});
const std::string kUartRemove =
    tavuDatagram({"remove@/class/uart/ttyS1", "ACTION=remove", "DEVPATH=/class/uart/ttyS1",
                  "SUBSYSTEM=uart", "DEVNAME=ttyS1", "SEQNUM=813"});

const std::string& tavuBusDatagram(int64_t which) {
  return which == 0 ? kBusAdd : kBusRemove;
}
const char* tavuLabel(int64_t which) {
  return which == 0 ? "add" : "remove";
}

void tavuTouchString(const char* string, size_t stringLength, void* context) {
  *static_cast<size_t*>(context) += stringLength + static_cast<unsigned char>(string[0]);
}

void BM_WalkStrings(benchmark::State& state) {
  const std::string& bytes = tavuBusDatagram(state.range(0));
  while (state.KeepRunning()) {
    size_t sum = 0;
    tavuWalkUeventStrings(static_cast<uint32_t>(bytes.size()), bytes.data(), tavuTouchString, &sum);
    benchmark::DoNotOptimize(sum);
  }
  state.SetLabel(tavuLabel(state.range(0)));
}
BENCHMARK(BM_WalkStrings)->Arg(0)->Arg(1);

void BM_Interpret(benchmark::State& state) {
  const std::string& bytes = tavuBusDatagram(state.range(0));
  while (state.KeepRunning()) {
    tavuNetlinkEvent* event = nullptr;
    if (tavuHandleNetlinkEvent(static_cast<uint32_t>(bytes.size()), bytes.data(), &event) != 1) {
      state.SkipWithError("the datagram was not accepted");
      break;
    }
    delete event;
  }
  state.SetLabel(tavuLabel(state.range(0)));
}
BENCHMARK(BM_Interpret)->Arg(0)->Arg(1);

bool tavuInSandbox(benchmark::State& state) {
  const char* flag = std::getenv("TAVU_IN_SANDBOX");
  struct statfs info {};
  if (flag != nullptr && std::strcmp(flag, "1") == 0 && statfs("/dev", &info) == 0 &&
      info.f_type == TMPFS_MAGIC) {
    umask(022);
    return true;
  }
  state.SkipWithError("makes /dev nodes: run inside scripts/sandbox");
  return false;
}

// One device coming and going, by hand: the least any implementation does.
void BM_BareMkdirMknod(benchmark::State& state) {
  if (!tavuInSandbox(state)) return;
  while (state.KeepRunning()) {
    mkdir("/dev/tts", 0755);
    mknod("/dev/tts/1", S_IFCHR | 0660, makedev(4, 65));
    unlink("/dev/tts/1");
    rmdir("/dev/tts");
  }
}
BENCHMARK(BM_BareMkdirMknod);

void BM_NodeOps(benchmark::State& state) {
  if (!tavuInSandbox(state)) return;
  const std::string node = "/dev/tts/1";
  const std::string directory = "/dev/tts";
  while (state.KeepRunning()) {
    tavuCreateDevNode(node, directory, 4, 65);
    tavuRemoveDevNode(node, directory);
  }
}
BENCHMARK(BM_NodeOps);

void BM_InterpretWithNode(benchmark::State& state) {
  if (!tavuInSandbox(state)) return;
  while (state.KeepRunning()) {
    for (const std::string* bytes : {&kUartAdd, &kUartRemove}) {
      tavuNetlinkEvent* event = nullptr;
      tavuHandleNetlinkEvent(static_cast<uint32_t>(bytes->size()), bytes->data(), &event);
      delete event;
    }
  }
}
BENCHMARK(BM_InterpretWithNode);

}  // namespace
