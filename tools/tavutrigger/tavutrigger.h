// tavutrigger's two halves: finding the class devices to trigger under a
// sysfs tree, and writing an action into one device's uevent file, both
// without following a link out of the tree.
#pragma once

#include <string>
#include <vector>

// One class entry to trigger, or one that cannot be.
struct tavuTriggerDevice {
  std::string iv_class;
  std::string iv_name;     // empty: the class directory itself failed
  std::string iv_devPath;  // below sysfs: "/devices/..." or "/class/..."
  int iv_failure = 0;      // 0, an errno, or a TAVU_TRIGGER_* code
};

// Failures of our own, beside errno values.
enum : int {
  TAVU_TRIGGER_LEAVES_SYSFS = -1,  // a class entry's link leads out of sysfs
  TAVU_TRIGGER_FURTHER_LINK = -2,  // a link beyond the class entry's own
  TAVU_TRIGGER_NOT_A_FILE = -3,    // the uevent entry is not a regular file
};

// What a failure means, for a person.
const char* tavuTriggerFailureText(int failure);

// The entries of the served classes under the sysfs directory `sysFd` (only
// those of `onlyClasses` when it is not empty), classes then names in
// version order ("ttyKWB2" before "ttyKWB10"). Entries that are no device,
// or whose device path the daemon does not serve, are left out.
std::vector<tavuTriggerDevice> tavuListTriggerDevices(int sysFd,
                                                      const std::vector<std::string>& onlyClasses);

// Writes `action` into the uevent file of the device at `devPath` (a path
// below the sysfs directory `sysFd`, "/devices/..." or "/class/..."); with
// `dryRun` only checks that the file is there. Every component is opened
// without following links, so nothing outside `sysFd` is ever reached.
// Returns 0, an errno, or a TAVU_TRIGGER_* code.
int tavuWriteUevent(int sysFd, const std::string& devPath, const std::string& action, bool dryRun);
