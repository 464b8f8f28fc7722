#include "tools/tavuinject/netns_check.h"

#include <unistd.h>

namespace {

bool tavuExists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

}  // namespace

tavuNetnsVerdict tavuCheckNetworkNamespace(const std::string& sysctlDir) {
  for (const char* initialOnly : {"netdev_max_backlog", "netdev_budget"}) {
    if (tavuExists(sysctlDir + "/" + initialOnly)) return TAVU_NETNS_INITIAL;
  }
  if (!tavuExists(sysctlDir + "/somaxconn")) return TAVU_NETNS_UNKNOWN;
  return TAVU_NETNS_PRIVATE;
}
