// From a kernel device path to the /dev node path and its directory.
#pragma once

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
