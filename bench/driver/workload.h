// The benchmark's workload: serial ports of the "uart" class, as the
// kernel announces them, played by tavuinject; and the fake sysfs and
// configuration that let BusyBox mdev make the same nodes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bench/driver/bench_options.h"

// Device n is /class/uart/ttyS<n>, numbers 4:<n>, node /dev/tts/<n>.
constexpr int TAVU_BENCH_MAJOR = 4;
constexpr char TAVU_BENCH_NODE_DIR[] = "/dev/tts";

enum tavuBenchEvents {
  TAVU_EVENTS_ADD,         // add of ttyS<n>
  TAVU_EVENTS_REMOVE,      // remove of ttyS<n>
  TAVU_EVENTS_GPIO_CYCLE,  // add, then remove, of gpio<n>: leaves /dev as it was
};

// The tavuinject event file for `events` ("{n}" is the device number).
std::string tavuEventFileText(tavuBenchEvents events);

// Writes the event files into the work directory; false with `error` set.
bool tavuWriteEventFiles(const tavuBenchConfig& config, std::string* error);
std::string tavuEventFilePath(const tavuBenchConfig& config, tavuBenchEvents events);

// Mounts a tmpfs over /sys holding /sys/class/uart/ttyS<n>/dev ("4:<n>")
// for every n below `count`: mdev reads device numbers there.
bool tavuMakeFakeSysfs(uint32_t count, std::string* error);

// Lays an overlay over /etc that adds `conf` as /etc/mdev.conf, the one
// place mdev reads it from.
bool tavuInstallMdevConf(const tavuBenchConfig& config, std::string* error);

struct tavuInjectRun {
  int status = -1;               // tavuinject's exit status
  uint64_t datagrams = 0;        // sent
  double seconds = 0;            // from its first send to its last
  std::vector<uint64_t> sendNs;  // CLOCK_MONOTONIC just before each send, by index
};

// Sends `count` datagrams of `events` with device numbers first, first+1,
// ...; `rate` per second, 0 as fast as possible. Waits for tavuinject to
// end. False with `error` set when it did not send them all.
bool tavuInject(const tavuBenchConfig& config, tavuBenchEvents events, uint32_t first,
                uint32_t count, uint32_t rate, tavuInjectRun* run, std::string* error);

// Parses tavuinject's --json summary.
bool tavuParseInjectSummary(const std::string& json, tavuInjectRun* run);

// Parses tavuinject's --timestamps file: "index ns" lines, indexes in order
// from 0. False for anything else.
bool tavuParseSendTimes(const std::string& text, std::vector<uint64_t>* sendNs);

// Removes the nodes of the workload (and their directory) directly.
void tavuRemoveBenchNodes();
