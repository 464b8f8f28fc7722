// tavutrigger's finding of the class devices to trigger under a sysfs tree.
#pragma once

#include <string>
#include <vector>

// One class entry to trigger, or one that cannot be.
struct tavuTriggerDevice {
  std::string iv_entry;   // ROOT/sys/class/CLASS/NAME, or the directory that failed
  std::string iv_uevent;  // the device's uevent file, through the device path
  int iv_failure = 0;     // 0, an errno, or TAVU_TRIGGER_LEAVES_SYSFS
};

// A class entry's link leads out of sysfs: it is not followed.
constexpr int TAVU_TRIGGER_LEAVES_SYSFS = -1;

// The entries of the served classes under the sysfs tree `sys` (only those
// of `onlyClasses` when it is not empty), classes then names in version
// order ("ttyKWB2" before "ttyKWB10"). Entries that are no device, or whose
// device path the daemon does not serve, are left out.
std::vector<tavuTriggerDevice> tavuListTriggerDevices(const std::string& sys,
                                                      const std::vector<std::string>& onlyClasses);
