// The floor's node calls, in two forms: the plain one, the least a device
// manager can make, and the hardened one, the daemon's own walk.
// Both take the node as "/dev/tts/12", cut at `dirEnd` (the "/" before its
// name), a path they may change while they work and put back.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

constexpr mode_t TAVU_FLOOR_NODE_MODE = S_IFCHR | 0660;
constexpr mode_t TAVU_FLOOR_DIR_MODE = 0755;
constexpr size_t TAVU_FLOOR_DEV_LENGTH = 5;  // "/dev/", where a path below /dev starts

// mknod, and mkdir only when it fails with ENOENT.
void tavuPlainAdd(char* node, size_t dirEnd, dev_t device);
// unlink, then rmdir of the directory.
void tavuPlainRemove(char* node, size_t dirEnd);

// Whether /dev can be used; false with errno.
bool tavuHardenedStart();
// The daemon's tavuCreateDevNode and tavuRemoveDevNode.
void tavuHardenedAdd(char* node, size_t dirEnd, dev_t device);
void tavuHardenedRemove(char* node, size_t dirEnd);
