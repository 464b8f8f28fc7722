#include "bench/driver/workload.h"

#include <dirent.h>
#include <errno.h>
#include <linux/netlink.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "bench/common/arrivals.h"
#include "bench/driver/proc_probe.h"

namespace {

int g_senderFd = -1;

// As the kernel sends it: "ACTION@DEVPATH", then KEY=VALUE strings, each
// ended by a NUL.
std::string tavuDatagram(tavuBenchEvents events, uint32_t n) {
  const bool uart = events != TAVU_GPIO_CYCLE;
  const std::string action =
      events == TAVU_UART_ADD || (events == TAVU_GPIO_CYCLE && n % 2 == 0) ? "add" : "remove";
  const std::string subsystem = uart ? "uart" : "gpio";
  const std::string unit = std::to_string(uart ? n : n / 2);
  const std::string device = (uart ? "ttyS" : "gpio") + unit;
  const std::string path = "/class/" + subsystem + "/" + device;
  std::string datagram = action + "@" + path;
  for (const std::string& key : {"ACTION=" + action, "DEVPATH=" + path, "SUBSYSTEM=" + subsystem,
                                 std::string(uart ? "MAJOR=4" : "MAJOR=254"), "MINOR=" + unit,
                                 "DEVNAME=" + device, "SEQNUM=" + std::to_string(n)}) {
    datagram += '\0' + key;
  }
  return datagram + '\0';
}

bool tavuWriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::trunc);
  return static_cast<bool>(out << text << std::flush);
}

bool tavuFailed(const std::string& what, std::string* error) {
  *error = what + ": " + std::strerror(errno);
  return false;
}

}  // namespace

bool tavuSendEvents(tavuBenchEvents events, uint32_t count, uint32_t rate,
                    std::vector<uint64_t>* sendNs, std::string* error) {
  if (g_senderFd < 0)
    g_senderFd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
  if (g_senderFd < 0) return tavuFailed("uevent socket", error);
  // Made beforehand, so that an unpaced burst goes as fast as sending can.
  std::vector<std::string> datagrams;
  for (uint32_t n = 0; n < count; ++n) datagrams.push_back(tavuDatagram(events, n));
  sockaddr_nl group{};
  group.nl_family = AF_NETLINK;
  group.nl_groups = 1;
  sendNs->assign(count, 0);
  const uint64_t start = tavuBenchNowNs();
  for (uint32_t n = 0; n < count; ++n) {
    // A late datagram goes at once, so that the rate holds on average.
    const uint64_t due = rate != 0 ? start + n * 1000000000ull / rate : 0;
    const timespec when{static_cast<time_t>(due / 1000000000u),
                        static_cast<long>(due % 1000000000u)};
    while (rate != 0 && clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr) == EINTR) {
    }
    (*sendNs)[n] = tavuBenchNowNs();
    if (sendto(g_senderFd, datagrams[n].data(), datagrams[n].size(), 0,
               reinterpret_cast<const sockaddr*>(&group), sizeof group) < 0) {
      return tavuFailed("send of datagram " + std::to_string(n), error);
    }
  }
  return true;
}

bool tavuMakeFakeSysfs(uint32_t devices, std::string* error) {
  if (mount("tavusys", "/sys", "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=0755") != 0 ||
      mkdir("/sys/class", 0755) != 0 || mkdir("/sys/class/uart", 0755) != 0) {
    return tavuFailed("a tmpfs over /sys", error);
  }
  for (uint32_t n = 0; n < devices; ++n) {
    const std::string dir = "/sys/class/uart/ttyS" + std::to_string(n);
    if (mkdir(dir.c_str(), 0755) != 0 ||
        !tavuWriteFile(dir + "/dev", "4:" + std::to_string(n) + "\n")) {
      return tavuFailed(dir, error);
    }
  }
  return true;
}

bool tavuInstallMdevConf(const std::string& conf, const std::string& workDir, std::string* error) {
  const std::string upper = workDir + "/etc-upper";
  const std::string work = workDir + "/etc-work";
  const std::string options = "lowerdir=/etc,upperdir=" + upper + ",workdir=" + work;
  const std::string text = tavuReadWholeFile(conf);
  if (text.empty()) return tavuFailed("read " + conf, error);
  if (mkdir(upper.c_str(), 0755) != 0 || mkdir(work.c_str(), 0755) != 0 ||
      mount("tavuetc", "/etc", "overlay", 0, options.c_str()) != 0 ||
      !tavuWriteFile("/etc/mdev.conf", text)) {
    return tavuFailed("/etc/mdev.conf over /etc", error);
  }
  return true;
}

void tavuRemoveBenchNodes() {
  DIR* dir = opendir(TAVU_BENCH_NODE_DIR);
  while (const dirent* entry = dir != nullptr ? readdir(dir) : nullptr) {
    if (entry->d_name[0] != '.') (void)unlinkat(dirfd(dir), entry->d_name, 0);
  }
  if (dir != nullptr) closedir(dir);
  (void)rmdir(TAVU_BENCH_NODE_DIR);
}
