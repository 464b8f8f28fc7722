// Sending the plan's datagrams to a uevent multicast group, paced or in a
// burst.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/tavuinject/inject_options.h"
#include "tools/tavuinject/inject_plan.h"

struct tavuInjectStats {
  uint64_t datagrams = 0;  // sent whole
  uint64_t bytes = 0;
  double seconds = 0;            // from the first send to the last
  std::vector<uint64_t> sendNs;  // with --timestamps: CLOCK_MONOTONIC before each send
};

// Opens a uevent netlink socket bound to a port the kernel chooses.
// Returns the descriptor, or -1 with errno set.
int tavuOpenUeventSender();

// Sends every datagram of the plan on `fd`, `intervalNs` apart (0: at
// once), to multicast group `group`. Returns a TAVU_INJECT_* status; on
// failure `error` says why. With `verbose` each datagram is shown on
// standard error before it is sent.
int tavuSendPlan(int fd, const tavuInjectPlan& plan, const tavuInjectOptions& options,
                 tavuInjectStats* stats, std::string* error);
