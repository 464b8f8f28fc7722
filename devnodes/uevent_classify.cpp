#include "devnodes/uevent_classify.h"

#include <cstring>

const char* const kTavuDeliveredTypes[] = {"ttyKWB", "kwb-tlor", "kwb",  "iic-slv", "iic",
                                           "scan",   "vrax",     "uart", "gpio",    "jtag",
                                           "iomux",  "net",      nullptr};

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

const char* tavuClassifyKwb(const char* path) {
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

bool tavuIsOneOf(const char* type, const char* const* names) {
  for (; *names != nullptr; ++names) {
    if (strcmp(type, *names) == 0) return true;
  }
  return false;
}

}  // namespace

const char* tavuDeliveredType(const char* type, const char* path) {
  static const char* const kUnchanged[] = {"uart", "gpio", "jtag", "iomux", nullptr};
  if (strcmp(type, "ttyKWB") == 0) return "ttyKWB";
  if (strcmp(type, "kwb") == 0) return tavuClassifyKwb(path);
  if (strcmp(type, "iic-kwb") == 0) return strstr(path, "/iic-slv.") != nullptr ? "iic-slv" : "iic";
  if (strncmp(type, "scan", 4) == 0) return "scan";
  if (strncmp(type, "vrax", 4) == 0) return "vrax";
  if (tavuIsOneOf(type, kUnchanged)) return type;
  if (strcmp(type, "net") == 0) return strstr(path, "/mbx") != nullptr ? "net" : nullptr;
  return nullptr;
}
