// The floor's node calls, in two forms: the plain one, the least a device
// manager can make, and the hardened one, the daemon's walk call for call.
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

// Opens /dev (made when missing), the mount table and a watch on /dev;
// false with errno.
bool tavuHardenedStart();
// poll of the mount table and the watch, then mknodat below the held
// descriptor of /dev, in the directory kept open. The first time, or after
// its name was reported on: openat2 of the directory (no link, no other
// file system) and fstat first.
void tavuHardenedAdd(char* node, size_t dirEnd, dev_t device);
// poll as above, unlinkat of the node, unlinkat of the directory (which
// stays while it holds other nodes).
void tavuHardenedRemove(char* node, size_t dirEnd);
