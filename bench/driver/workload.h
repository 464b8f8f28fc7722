// The benchmark plays the kernel: it sends the workload's uevents itself,
// noting the time just before each send, where every span it measures
// starts. And it makes the sandbox into a machine where mdev can serve them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Device n is /class/uart/ttyS<n>, numbers 4:<n>, SEQNUM n, node /dev/tts/<n>.
constexpr char TAVU_BENCH_NODE_DIR[] = "/dev/tts";

enum tavuBenchEvents {
  TAVU_UART_ADD,     // event n: add of ttyS<n>
  TAVU_UART_REMOVE,  // event n: remove of ttyS<n>
  TAVU_GPIO_CYCLE,   // event n: add (n even), then remove, of gpio<n/2>
};

// Sends events 0 to count-1, `rate` per second or, with 0, as fast as it
// can; `sendNs` gets each one's CLOCK_MONOTONIC time. False with `error`.
bool tavuSendEvents(tavuBenchEvents events, uint32_t count, uint32_t rate,
                    std::vector<uint64_t>* sendNs, std::string* error);

// A tmpfs over /sys with /sys/class/uart/ttyS<n>/dev ("4:<n>") for every n
// below `devices`, where mdev reads device numbers.
bool tavuMakeFakeSysfs(uint32_t devices, std::string* error);

// An overlay over /etc that adds `conf` as /etc/mdev.conf, the one place
// mdev reads it from.
bool tavuInstallMdevConf(const std::string& conf, const std::string& workDir, std::string* error);

// Removes the workload's nodes and their directory behind the subject's back.
void tavuRemoveBenchNodes();
