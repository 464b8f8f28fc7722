#include "proc_probe.h"

#include <dirent.h>

#include <cstdio>
#include <fstream>
#include <sstream>

std::string tavuReadWholeFile(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool tavuReadCpuTicks(pid_t pid, uint64_t* ticks) {
  const std::string stat = tavuReadWholeFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t name = stat.rfind(')');
  unsigned long long user = 0, system = 0;
  // The name may hold ") ": utime and stime are the 12th and 13th fields after it.
  if (name == std::string::npos ||
      std::sscanf(stat.c_str() + name + 1, "%*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %llu %llu",
                  &user, &system) != 2) {
    return false;
  }
  *ticks = user + system;
  return true;
}

bool tavuAllThreadsTracedBy(pid_t pid, pid_t tracer) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  const std::string wanted = "\nTracerPid:\t" + std::to_string(tracer) + "\n";
  DIR* dir = opendir(tasks.c_str());
  bool traced = dir != nullptr;
  while (const dirent* entry = traced ? readdir(dir) : nullptr) {
    const std::string status = tavuReadWholeFile(tasks + "/" + entry->d_name + "/status");
    traced = entry->d_name[0] == '.' || status.find(wanted) != std::string::npos;
  }
  if (dir != nullptr) closedir(dir);
  return traced;
}

bool tavuReadRssKb(pid_t pid, uint64_t* kb) {
  const std::string status = tavuReadWholeFile("/proc/" + std::to_string(pid) + "/status");
  const size_t field = status.find("\nVmRSS:");
  unsigned long long value = 0;
  if (field == std::string::npos ||
      std::sscanf(status.c_str() + field, "\nVmRSS: %llu", &value) != 1) {
    return false;
  }
  *kb = value;
  return true;
}
