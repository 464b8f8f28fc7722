#include "driver.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

std::string tavuReadWholeFile(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool tavuReadUsage(pid_t pid, uint64_t* ticks, uint64_t* rssKb) {
  const std::string stat = tavuReadWholeFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t name = stat.rfind(')');
  unsigned long long user = 0, system = 0, pages = 0;
  // The name may hold ") ": utime and stime are the 12th and 13th fields
  // after it, rss (in pages) the 22nd.
  if (name == std::string::npos ||
      std::sscanf(stat.c_str() + name + 1,
                  "%*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %llu %llu %*s %*s %*s %*s %*s %*s "
                  "%*s %*s %llu",
                  &user, &system, &pages) != 3) {
    return false;
  }
  if (ticks != nullptr) *ticks = user + system;
  if (rssKb != nullptr) *rssKb = pages * static_cast<uint64_t>(sysconf(_SC_PAGESIZE)) / 1024;
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
