// What tavuinject will send, made from its options: the datagrams of one
// round, repeated with the counter.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/tavuinject/inject_options.h"
#include "tools/tavuinject/uevent_template.h"

struct tavuInjectPlan {
  bool raw = false;
  std::string rawBytes;                    // raw: the one datagram of each round
  std::vector<tavuUeventTemplate> events;  // otherwise: the events of each round
  bool finalNul = true;
  uint64_t rounds = 1;
  uint64_t first = 0;
};

// Reads and checks the input the options name. Returns false with `error`
// set when it cannot be read or is malformed.
bool tavuMakeInjectPlan(const tavuInjectOptions& options, tavuInjectPlan* plan, std::string* error);

// How many datagrams the plan sends; false when that overflows.
bool tavuPlanSize(const tavuInjectPlan& plan, uint64_t* count);

// The datagram at `index` (0 to tavuPlanSize-1), in sending order.
std::string tavuPlanDatagram(const tavuInjectPlan& plan, uint64_t index);
