#include "driver.h"

#include <dirent.h>
#include <errno.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "uevent_send.h"

namespace {

// The words of event n, as the kernel sends them.
std::vector<std::string> tavuEventWords(tavuBenchEvents events, uint32_t n) {
  const bool uart = events != TAVU_GPIO_CYCLE;
  const std::string action =
      events == TAVU_UART_ADD || (events == TAVU_GPIO_CYCLE && n % 2 == 0) ? "add" : "remove";
  const std::string subsystem = uart ? "uart" : "gpio";
  const std::string unit = std::to_string(uart ? n : n / 2);
  const std::string device = (uart ? "ttyS" : "gpio") + unit;
  return {"ACTION=" + action,
          "DEVPATH=/class/" + subsystem + "/" + device,
          "SUBSYSTEM=" + subsystem,
          uart ? "MAJOR=4" : "MAJOR=254",
          "MINOR=" + unit,
          "DEVNAME=" + device,
          "SEQNUM=" + std::to_string(n)};
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
  // Made beforehand, so that an unpaced burst goes as fast as sending can.
  std::vector<std::string> datagrams;
  for (uint32_t n = 0; n < count; ++n)
    datagrams.push_back(tavuUeventDatagram(tavuEventWords(events, n)));
  tavuUeventSender sender;
  if (!tavuOpenUeventSender(&sender, rate)) return tavuFailed("uevent socket", error);
  sendNs->assign(count, 0);
  bool sent = true;
  for (uint32_t n = 0; sent && n < count; ++n) {
    sent = tavuSendUevent(&sender, datagrams[n]);
    (*sendNs)[n] = sender.iv_lastNs;
  }
  if (!sent) tavuFailed("send of datagram " + std::to_string(sender.iv_sent + 1), error);
  close(sender.iv_fd);
  return sent;
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
