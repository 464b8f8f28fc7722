#include "uevent_classify.h"

#include <cstring>

namespace {

enum tavuTlorMatch { TAVU_NO_TLOR_PATH, TAVU_TLOR_DEVICE, TAVU_TLOR_OTHER };

// A bus device behind a link and a tlor: "/devices/link-", then "/tlor-",
// then "/kwb-", each searched from where the previous one begins, and a
// path that ends at the first ".02" from there. The first "/devices/link-"
// starts the search, so a later one is still found by the others.
tavuTlorMatch tavuMatchTlorPath(const char* path) {
  const char* link = strstr(path, "/devices/link-");
  const char* tlor = link != nullptr ? strstr(link, "/tlor-") : nullptr;
  const char* kwb = tlor != nullptr ? strstr(tlor, "/kwb-") : nullptr;
  if (kwb == nullptr) return TAVU_NO_TLOR_PATH;
  const char* suffix = strstr(kwb, ".02");
  if (suffix != nullptr && suffix[3] == '\0') return TAVU_TLOR_DEVICE;
  return TAVU_TLOR_OTHER;
}

const char* tavuClassifyKwb(const char* /*type*/, const char* path) {
  switch (tavuMatchTlorPath(path)) {
    case TAVU_TLOR_DEVICE:
      return "kwb-tlor";
    case TAVU_TLOR_OTHER:
      return nullptr;
    case TAVU_NO_TLOR_PATH:
      break;
  }
  return "kwb";
}

const char* tavuClassifyIic(const char* /*type*/, const char* path) {
  return strstr(path, "/iic-slv.") != nullptr ? "iic-slv" : "iic";
}

// Only the mailboxes among the network devices.
const char* tavuClassifyNet(const char* /*type*/, const char* path) {
  return strstr(path, "/mbx") != nullptr ? "net" : nullptr;
}

const char* tavuAsTtyKwb(const char* /*type*/, const char* /*path*/) {
  return "ttyKWB";
}
const char* tavuAsScan(const char* /*type*/, const char* /*path*/) {
  return "scan";
}
const char* tavuAsVrax(const char* /*type*/, const char* /*path*/) {
  return "vrax";
}
const char* tavuUnchanged(const char* type, const char* /*path*/) {
  return type;
}

struct tavuServedSubsystem {
  const char* pattern;  // a whole name, or a prefix and "*"
  const char* (*deliver)(const char* type, const char* path);
};

// The first row whose pattern matches decides.
const tavuServedSubsystem TAVU_SERVED[] = {
    {"ttyKWB", tavuAsTtyKwb}, {"kwb", tavuClassifyKwb}, {"iic-kwb", tavuClassifyIic},
    {"scan*", tavuAsScan},    {"vrax*", tavuAsVrax},    {"uart", tavuUnchanged},
    {"gpio", tavuUnchanged},  {"jtag", tavuUnchanged},  {"iomux", tavuUnchanged},
    {"net", tavuClassifyNet},
};

bool tavuMatchesPattern(const char* type, const char* pattern) {
  const size_t length = strlen(pattern);
  if (length > 0 && pattern[length - 1] == '*') return strncmp(type, pattern, length - 1) == 0;
  return strcmp(type, pattern) == 0;
}

const tavuServedSubsystem* tavuFindServed(const char* type) {
  for (const tavuServedSubsystem& row : TAVU_SERVED) {
    if (tavuMatchesPattern(type, row.pattern)) return &row;
  }
  return nullptr;
}

}  // namespace

const char* tavuDeliveredType(const char* type, const char* path) {
  const tavuServedSubsystem* row = tavuFindServed(type);
  return row != nullptr ? row->deliver(type, path) : nullptr;
}

bool tavuServesSubsystem(const char* type) {
  return tavuFindServed(type) != nullptr;
}

const char* tavuServedSubsystemPattern(size_t index) {
  return index < sizeof TAVU_SERVED / sizeof TAVU_SERVED[0] ? TAVU_SERVED[index].pattern : nullptr;
}
