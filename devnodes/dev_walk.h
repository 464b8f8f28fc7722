// Reaching a directory below /dev without leaving it: /dev is taken as a
// path reaches it now (a link at /dev itself is followed, only root can
// make one), and below it no link is followed and no other file system is
// entered, whatever other users have put there.
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

// One directory of /dev, open as an O_PATH descriptor.
struct tavuDevLevel {
  int iv_fd = -1;
  bool iv_owned = false;     // false for /dev itself, which the walk keeps open
  struct stat iv_status {};  // filled when asked for: what it gives what is made in it
};

// Opens /dev (made first when missing, as mkdir would) and the mount table
// that tells when it must be opened again. Returns 0 or the errno that
// keeps /dev from being used; the walk retries by itself at every event.
int tavuOpenDevRoot();

// Takes /dev as a path reaches it now, opening it again when the mount
// table has changed since it was last taken; once per node operation. False
// when it cannot be had.
bool tavuDevRootNow();

// The names of the directory levels below /dev of `directory` ("/dev/kwb0/1"
// gives kwb0 and 1; "" and "/dev/" give none); empty levels are skipped as
// a path skips them.
std::vector<std::string> tavuLevelsBelowDev(const std::string& directory);

// Opens the directory `levels` below /dev as last taken into `level`, its status filled
// when `status` is set. With `make`, missing levels are made (0755) and
// given the owner and group their parent gives. False, with nothing left
// open, when it cannot be reached inside /dev.
bool tavuOpenDevLevel(const std::vector<std::string>& levels, bool make, bool status,
                      tavuDevLevel* level);
void tavuCloseDevLevel(const tavuDevLevel& level);

// Gives `name`, just made in `parent`, the owner and group a directory of
// root's gives (root, and the directory's group where it is set-group-id)
// and hands it to root (0:0) in a set-group-id directory of another user's,
// which must not give its group to a device node.
void tavuOwnAsParentGives(const tavuDevLevel& parent, const char* name);
