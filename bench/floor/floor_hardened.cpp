// The hardened floor: the daemon's own walk, linked, and nothing more.
#include <sys/sysmacros.h>

#include <cerrno>
#include <string>

#include "dev_nodes.h"
#include "floor_nodes.h"

bool tavuHardenedStart() {
  errno = tavuDevUsable();
  return errno == 0;
}

void tavuHardenedAdd(char* node, size_t dirEnd, dev_t device) {
  tavuCreateDevNode(node, std::string(node, dirEnd), static_cast<int32_t>(major(device)),
                    static_cast<int32_t>(minor(device)));
}

void tavuHardenedRemove(char* node, size_t dirEnd) {
  tavuRemoveDevNode(node, std::string(node, dirEnd));
}
