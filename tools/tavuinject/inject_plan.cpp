#include "tools/tavuinject/inject_plan.h"

#include <fstream>
#include <iostream>
#include <iterator>

#include "tools/tavuinject/raw_bytes.h"
#include "tools/tavuinject/uevent_file.h"

namespace {

bool tavuReadInput(const std::string& path, std::string* text, std::string* error) {
  if (path == "-") {
    text->assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    return true;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read '" + path + "'";
    return false;
  }
  text->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) {
    *error = "error reading '" + path + "'";
    return false;
  }
  return true;
}

bool tavuEventFromKeys(const tavuInjectOptions& options, tavuUeventTemplate* event,
                       std::string* error) {
  for (const std::string& word : options.keys) {
    std::pair<std::string, std::string> key;
    if (!tavuSplitKeyValue(word, &key, error)) return false;
    event->keys.push_back(key);
  }
  if (options.headerGiven) {
    event->headerMode = tavuUeventTemplate::HEADER_GIVEN;
    event->header = options.header;
  } else if (options.noHeader) {
    event->headerMode = tavuUeventTemplate::HEADER_NONE;
  }
  event->origin = "command line";
  if (!tavuCheckTemplate(*event, error)) {
    if (event->headerMode == tavuUeventTemplate::HEADER_FROM_KEYS) {
      *error += " (--header TEXT or --no-header)";
    }
    return false;
  }
  return true;
}

}  // namespace

bool tavuMakeInjectPlan(const tavuInjectOptions& options, tavuInjectPlan* plan,
                        std::string* error) {
  *plan = tavuInjectPlan{};
  plan->finalNul = options.finalNul;
  plan->rounds = options.repeat;
  plan->first = options.first;
  std::string text;
  switch (options.source) {
    case tavuInjectOptions::FROM_KEYS: {
      tavuUeventTemplate event;
      if (!tavuEventFromKeys(options, &event, error)) return false;
      plan->events.push_back(event);
      return true;
    }
    case tavuInjectOptions::FROM_FILE:
      if (!tavuReadInput(options.path, &text, error)) return false;
      return tavuParseUeventFile(text, options.path == "-" ? "stdin" : options.path, &plan->events,
                                 error);
    case tavuInjectOptions::FROM_RAW_HEX:
      plan->raw = true;
      if (!tavuParseHexBytes(options.hex, &plan->rawBytes, error)) {
        *error = "--raw-hex: " + *error;
        return false;
      }
      return true;
    case tavuInjectOptions::FROM_RAW_FILE:
      plan->raw = true;
      return tavuReadInput(options.path, &plan->rawBytes, error);
  }
  return false;
}

bool tavuPlanSize(const tavuInjectPlan& plan, uint64_t* count) {
  const uint64_t perRound = plan.raw ? 1 : plan.events.size();
  if (perRound != 0 && plan.rounds > UINT64_MAX / perRound) return false;
  *count = perRound * plan.rounds;
  return true;
}

std::string tavuPlanDatagram(const tavuInjectPlan& plan, uint64_t index) {
  if (plan.raw) return plan.rawBytes;
  const uint64_t perRound = plan.events.size();
  const uint64_t counter = plan.first + index / perRound;
  return tavuBuildDatagram(plan.events[index % perRound], counter, plan.finalNul);
}
