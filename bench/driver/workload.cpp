#include "bench/driver/workload.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

#include "bench/driver/proc_probe.h"
#include "bench/driver/spawn.h"

namespace {

const char* tavuEventFileName(tavuBenchEvents events) {
  switch (events) {
    case TAVU_EVENTS_ADD:
      return "uart-add.events";
    case TAVU_EVENTS_REMOVE:
      return "uart-remove.events";
    case TAVU_EVENTS_GPIO_CYCLE:
      return "gpio-cycle.events";
  }
  return "unknown.events";
}

// One event block as the kernel sends it for a class device with a node.
std::string tavuClassEventBlock(const std::string& action, const std::string& subsystem,
                                const std::string& name, int major) {
  return "ACTION=" + action + "\nDEVPATH=/class/" + subsystem + "/" + name +
         "{n}\nSUBSYSTEM=" + subsystem + "\nMAJOR=" + std::to_string(major) +
         "\nMINOR={n}\nDEVNAME=" + name + "{n}\nSEQNUM={n}\n";
}

bool tavuWriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::trunc);
  out << text;
  return static_cast<bool>(out.flush());
}

bool tavuFail(std::string* error, const std::string& what) {
  *error = what + ": " + std::strerror(errno);
  return false;
}

}  // namespace

std::string tavuEventFileText(tavuBenchEvents events) {
  switch (events) {
    case TAVU_EVENTS_ADD:
      return tavuClassEventBlock("add", "uart", "ttyS", TAVU_BENCH_MAJOR);
    case TAVU_EVENTS_REMOVE:
      return tavuClassEventBlock("remove", "uart", "ttyS", TAVU_BENCH_MAJOR);
    case TAVU_EVENTS_GPIO_CYCLE:
      return tavuClassEventBlock("add", "gpio", "gpio", 254) + "\n" +
             tavuClassEventBlock("remove", "gpio", "gpio", 254);
  }
  return "";
}

std::string tavuEventFilePath(const tavuBenchConfig& config, tavuBenchEvents events) {
  return config.workDir + "/" + tavuEventFileName(events);
}

bool tavuWriteEventFiles(const tavuBenchConfig& config, std::string* error) {
  for (tavuBenchEvents events : {TAVU_EVENTS_ADD, TAVU_EVENTS_REMOVE, TAVU_EVENTS_GPIO_CYCLE}) {
    const std::string path = tavuEventFilePath(config, events);
    if (!tavuWriteFile(path, tavuEventFileText(events))) return tavuFail(error, "write " + path);
  }
  return true;
}

bool tavuMakeFakeSysfs(uint32_t count, std::string* error) {
  if (mount("tavusys", "/sys", "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=0755") != 0) {
    return tavuFail(error, "mount a tmpfs over /sys");
  }
  for (const char* dir : {"/sys/class", "/sys/class/uart"}) {
    if (mkdir(dir, 0755) != 0) return tavuFail(error, std::string("mkdir ") + dir);
  }
  for (uint32_t n = 0; n < count; ++n) {
    const std::string dir = "/sys/class/uart/ttyS" + std::to_string(n);
    const std::string numbers = std::to_string(TAVU_BENCH_MAJOR) + ":" + std::to_string(n) + "\n";
    if (mkdir(dir.c_str(), 0755) != 0 || !tavuWriteFile(dir + "/dev", numbers)) {
      return tavuFail(error, "make " + dir);
    }
  }
  return true;
}

bool tavuInstallMdevConf(const tavuBenchConfig& config, std::string* error) {
  const std::string upper = config.workDir + "/etc-upper";
  const std::string work = config.workDir + "/etc-work";
  mkdir(upper.c_str(), 0755);
  mkdir(work.c_str(), 0755);
  const std::string options = "lowerdir=/etc,upperdir=" + upper + ",workdir=" + work;
  if (mount("tavuetc", "/etc", "overlay", 0, options.c_str()) != 0) {
    return tavuFail(error, "mount an overlay over /etc");
  }
  const std::string conf = tavuReadWholeFile(config.mdevConf);
  if (conf.empty()) return tavuFail(error, "read " + config.mdevConf);
  if (!tavuWriteFile("/etc/mdev.conf", conf)) return tavuFail(error, "write /etc/mdev.conf");
  return true;
}

bool tavuParseInjectSummary(const std::string& json, tavuInjectRun* run) {
  static const std::regex kSummary(
      R"(\{"datagrams":([0-9]+),"bytes":[0-9]+,"seconds":([0-9.]+),"status":([0-9]+)\})");
  std::smatch match;
  if (!std::regex_search(json, match, kSummary)) return false;
  run->datagrams = std::stoull(match[1].str());
  run->seconds = std::stod(match[2].str());
  run->status = std::stoi(match[3].str());
  return true;
}

bool tavuParseSendTimes(const std::string& text, std::vector<uint64_t>* sendNs) {
  std::istringstream lines(text);
  unsigned long long index = 0, ns = 0;
  sendNs->clear();
  while (lines >> index >> ns) {
    if (index != sendNs->size()) return false;
    sendNs->push_back(ns);
  }
  return lines.eof();
}

bool tavuInject(const tavuBenchConfig& config, tavuBenchEvents events, uint32_t first,
                uint32_t count, uint32_t rate, tavuInjectRun* run, std::string* error) {
  const std::string output = config.workDir + "/inject.out";
  const std::string times = config.workDir + "/inject.times";
  unlink(output.c_str());
  unlink(times.c_str());
  std::vector<std::string> argv = {config.binDir + "/tavuinject",
                                   "--file",
                                   tavuEventFilePath(config, events),
                                   "--repeat",
                                   std::to_string(count),
                                   "--first",
                                   std::to_string(first),
                                   "--json",
                                   "--timestamps",
                                   times};
  if (rate != 0) {
    argv.push_back("--rate");
    argv.push_back(std::to_string(rate));
  }
  const pid_t pid = tavuSpawn(argv, output);
  if (pid < 0) return tavuFail(error, "start " + argv[0]);
  const int status = tavuWaitChild(pid, 600000);
  if (status < 0) tavuKillChild(pid);
  const std::string text = tavuReadWholeFile(output);
  if (!tavuParseInjectSummary(text, run) || status != 0) {
    *error = "tavuinject ended with status " + std::to_string(status) + ": " + text;
    return false;
  }
  if (!tavuParseSendTimes(tavuReadWholeFile(times), &run->sendNs) ||
      run->sendNs.size() != run->datagrams) {
    *error = "tavuinject wrote no send time for every datagram (" + times + ")";
    return false;
  }
  return true;
}

void tavuRemoveBenchNodes() {
  DIR* dir = opendir(TAVU_BENCH_NODE_DIR);
  if (dir == nullptr) return;
  const int fd = dirfd(dir);
  while (const dirent* entry = readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      unlinkat(fd, entry->d_name, 0);
    }
  }
  closedir(dir);
  rmdir(TAVU_BENCH_NODE_DIR);
}
