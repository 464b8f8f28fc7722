// Writing an action into one device's uevent file, never through a link.
#pragma once

#include <string>

// Writes `action` into the uevent file of the device at `devPath` (a path
// below the sysfs directory `sysFd`, "/devices/..." or "/class/..."); with
// `dryRun` only checks that the file is there. Every component is opened
// without following links, so nothing outside `sysFd` is ever reached.
// Returns 0, an errno, or a TAVU_TRIGGER_* code (trigger_scan.h).
int tavuWriteUevent(int sysFd, const std::string& devPath, const std::string& action, bool dryRun);
