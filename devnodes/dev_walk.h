// Where the two rooms of the /dev walk meet: the safe descent
// (dev_walk.cpp) reaches directories below /dev without leaving it, and the
// kept directories (dev_kept.cpp) spare it the walk to those it reached
// before.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

// A directory of /dev as the walk holds it: open (O_PATH), with what the
// kernel said of it when it was reached or last looked up.
struct tavuDirectory {
  int iv_fd = -1;
  dev_t iv_device = 0;
  ino_t iv_inode = 0;
  uint64_t iv_mount = 0;  // the mount's id; 0 when the kernel does not tell
  mode_t iv_mode = 0;     // what it gives what is made in it
  uid_t iv_owner = 0;
};

// Looks `path` up from `at` as it stands now, following no link at its last
// component but entering a mount there: all of `found` but its descriptor.
bool tavuLookUp(int at, const char* path, tavuDirectory* found);

// True when a look-up tells the mount it ends in, which keeping a directory
// needs (statx, Linux 5.8).
bool tavuMountsTold();

// A kept directory: `path` is its place below /dev ("tts", "kwb0/1").
// Reaches it when it is kept and a look-up of `name` from `at` (its parent,
// or the root for one directly in /dev) finds it still there: then `found`
// is it, with its status as now. Lets it go, with those kept below it, when
// the look-up finds anything else.
bool tavuKeptReach(const std::string& path, int at, const char* name, tavuDirectory* found);
// Keeps `directory`, just reached, when its parent is kept (or it lies
// directly in /dev) and room can be made; false when the caller must close
// it itself.
bool tavuKeep(const std::string& path, const tavuDirectory& directory);
