// The plain floor: path-named calls, no walk, no check of what /dev holds.
#include <errno.h>
#include <unistd.h>

#include "floor_nodes.h"

void tavuPlainAdd(char* node, size_t dirEnd, dev_t device) {
  // The directory is made only when the node cannot be: the one call no
  // device manager can spare is the mknod.
  if (mknod(node, TAVU_FLOOR_NODE_MODE, device) == 0 || errno != ENOENT) return;
  node[dirEnd] = '\0';
  (void)mkdir(node, TAVU_FLOOR_DIR_MODE);
  node[dirEnd] = '/';
  (void)mknod(node, TAVU_FLOOR_NODE_MODE, device);
}

void tavuPlainRemove(char* node, size_t dirEnd) {
  (void)unlink(node);
  node[dirEnd] = '\0';
  (void)rmdir(node);  // without state, only rmdir can tell whether it is empty
  node[dirEnd] = '/';
}
