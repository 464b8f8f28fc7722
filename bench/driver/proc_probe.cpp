#include "bench/driver/proc_probe.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

constexpr int TAVU_NETLINK_UEVENT = 15;

// The text after the command name's closing parenthesis: the name may hold
// blanks and parentheses itself.
bool tavuStatFields(const std::string& stat, std::vector<std::string>* fields) {
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream rest(stat.substr(close + 1));
  std::string field;
  while (rest >> field) fields->push_back(field);
  return true;
}

bool tavuParseUnsigned(const std::string& text, uint64_t* value) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  char* end = nullptr;
  *value = std::strtoull(text.c_str(), &end, 10);
  return *end == '\0';
}

}  // namespace

std::string tavuReadWholeFile(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool tavuParseNetlinkLine(const std::string& line, tavuNetlinkSocketInfo* info) {
  tavuNetlinkSocketInfo parsed;
  int dump = 0, locks = 0;
  uint32_t wmem = 0;
  char sk[32];
  const int fields = std::sscanf(line.c_str(),
                                 "%31s %d %" SCNu32 " %" SCNx32 " %" SCNu32 " %" SCNu32
                                 " %d %d %" SCNu32 " %" SCNu64,
                                 sk, &parsed.protocol, &parsed.portId, &parsed.groups, &parsed.rmem,
                                 &wmem, &dump, &locks, &parsed.drops, &parsed.inode);
  if (fields != 10) return false;
  *info = parsed;
  return true;
}

std::vector<tavuNetlinkSocketInfo> tavuReadNetlinkSockets(const std::string& path) {
  std::vector<tavuNetlinkSocketInfo> sockets;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    tavuNetlinkSocketInfo info;
    if (tavuParseNetlinkLine(line, &info)) sockets.push_back(info);
  }
  return sockets;
}

std::vector<uint64_t> tavuSocketInodes(pid_t pid) {
  std::vector<uint64_t> inodes;
  const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* fds = opendir(dir.c_str());
  if (fds == nullptr) return inodes;
  while (const dirent* entry = readdir(fds)) {
    char target[64];
    const std::string link = dir + "/" + entry->d_name;
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    uint64_t inode = 0;
    if (std::sscanf(target, "socket:[%" SCNu64 "]", &inode) == 1) inodes.push_back(inode);
  }
  closedir(fds);
  return inodes;
}

bool tavuFindUeventSocket(pid_t pid, tavuNetlinkSocketInfo* info) {
  const std::vector<uint64_t> inodes = tavuSocketInodes(pid);
  for (const tavuNetlinkSocketInfo& socket : tavuReadNetlinkSockets()) {
    if (socket.protocol != TAVU_NETLINK_UEVENT || socket.groups == 0) continue;
    for (uint64_t inode : inodes) {
      if (inode == socket.inode) {
        *info = socket;
        return true;
      }
    }
  }
  return false;
}

bool tavuNetlinkSocketByInode(uint64_t inode, tavuNetlinkSocketInfo* info) {
  for (const tavuNetlinkSocketInfo& socket : tavuReadNetlinkSockets()) {
    if (socket.inode == inode) {
      *info = socket;
      return true;
    }
  }
  return false;
}

bool tavuParseStatTicks(const std::string& stat, uint64_t* ticks) {
  // After the name: state is field 3, utime 14 and stime 15.
  std::vector<std::string> fields;
  uint64_t user = 0, system = 0;
  if (!tavuStatFields(stat, &fields) || fields.size() < 13) return false;
  if (!tavuParseUnsigned(fields[11], &user) || !tavuParseUnsigned(fields[12], &system)) {
    return false;
  }
  *ticks = user + system;
  return true;
}

bool tavuReadCpuTicks(pid_t pid, uint64_t* ticks) {
  return tavuParseStatTicks(tavuReadWholeFile("/proc/" + std::to_string(pid) + "/stat"), ticks);
}

bool tavuParseStatParent(const std::string& stat, pid_t* parent, std::string* comm) {
  const size_t open = stat.find('(');
  const size_t close = stat.rfind(')');
  std::vector<std::string> fields;
  uint64_t value = 0;
  if (open == std::string::npos || close == std::string::npos || close < open) return false;
  if (!tavuStatFields(stat, &fields) || fields.size() < 2) return false;
  if (!tavuParseUnsigned(fields[1], &value)) return false;
  *parent = static_cast<pid_t>(value);
  *comm = stat.substr(open + 1, close - open - 1);
  return true;
}

bool tavuParseStatusKb(const std::string& status, const std::string& field, uint64_t* kb) {
  std::istringstream lines(status);
  std::string line;
  const std::string prefix = field + ":";
  while (std::getline(lines, line)) {
    if (line.compare(0, prefix.size(), prefix) != 0) continue;
    std::istringstream rest(line.substr(prefix.size()));
    std::string number, unit;
    rest >> number >> unit;
    return unit == "kB" && tavuParseUnsigned(number, kb);
  }
  return false;
}

bool tavuReadRssKb(pid_t pid, uint64_t* kb) {
  return tavuParseStatusKb(tavuReadWholeFile("/proc/" + std::to_string(pid) + "/status"), "VmRSS",
                           kb);
}

std::vector<pid_t> tavuThreadIds(pid_t pid) {
  std::vector<pid_t> tids;
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR* tasks = opendir(dir.c_str());
  if (tasks == nullptr) return tids;
  while (const dirent* entry = readdir(tasks)) {
    uint64_t tid = 0;
    if (tavuParseUnsigned(entry->d_name, &tid)) tids.push_back(static_cast<pid_t>(tid));
  }
  closedir(tasks);
  std::sort(tids.begin(), tids.end());
  return tids;
}

bool tavuParseSchedstat(const std::string& text, tavuSchedstat* stat) {
  std::istringstream fields(text);
  std::string cpu, wait, slices;
  return static_cast<bool>(fields >> cpu >> wait >> slices) &&
         tavuParseUnsigned(cpu, &stat->cpuNs) && tavuParseUnsigned(wait, &stat->waitNs) &&
         tavuParseUnsigned(slices, &stat->slices);
}

bool tavuReadSchedstat(pid_t pid, pid_t tid, tavuSchedstat* stat) {
  return tavuParseSchedstat(tavuReadWholeFile("/proc/" + std::to_string(pid) + "/task/" +
                                              std::to_string(tid) + "/schedstat"),
                            stat);
}
