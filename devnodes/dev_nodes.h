// From a kernel device path to its node under /dev, and the node made or
// removed there. Every filesystem call is made with errno cleared and its
// result ignored; none leaves /dev, whatever links or mounts other users
// have put in it.
#pragma once

#include <cstdint>
#include <string>

// True when the device path names a node (it begins with "/class/"); then
// `nodePath` and `directory` receive the node's path and its directory
// (empty when the node lies directly in /dev). When false, nothing is written.
bool tavuMakeDevNodePath(const std::string& devicePath, std::string& nodePath,
                         std::string& directory);

// True when `path` begins with "/dev/" and none of its components is "." or
// "..", so that it cannot name anything outside /dev. The node operations
// refuse any other path.
bool tavuPathInsideDev(const std::string& path);

// A character device node and the directories it needs, which keep the
// owner and group their directory gives (root's own, or root's alone in a
// set-group-id directory of another user's). A node already there stays.
void tavuCreateDevNode(const std::string& nodePath, const std::string& directory, int32_t major,
                       int32_t minor);
// The node, then every directory of its chain that it leaves empty.
void tavuRemoveDevNode(const std::string& nodePath, const std::string& directory);

// 0 when /dev can be used as a path reaches it now, or will be made by the
// first node it must hold; else the errno that keeps it from being used.
// The node operations ask again by themselves at every event.
int tavuDevUsable();
