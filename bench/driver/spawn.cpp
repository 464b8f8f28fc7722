#include "bench/driver/spawn.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "bench/common/bench_clock.h"
#include "bench/driver/proc_probe.h"

pid_t tavuSpawn(const std::vector<std::string>& argv, const std::string& outputPath) {
  std::vector<char*> words;
  words.reserve(argv.size() + 1);
  for (const std::string& word : argv) words.push_back(const_cast<char*>(word.c_str()));
  words.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (!outputPath.empty()) {
    posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  }
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, words[0], &actions, nullptr, words.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    errno = rc;
    return -1;
  }
  return pid;
}

int tavuWaitChild(pid_t pid, int timeoutMs) {
  const uint64_t deadline = tavuBenchNowNs() + static_cast<uint64_t>(timeoutMs) * 1000000u;
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (done < 0 && errno != EINTR) return -2;  // not ours, or already reaped
    if (tavuBenchNowNs() >= deadline) return -1;
    tavuSleepMs(1);
  }
}

void tavuKillChild(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGKILL);
  (void)tavuWaitChild(pid, 5000);
}

bool tavuBecomeSubreaper() {
  return prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0;
}

pid_t tavuFindChild(const std::string& comm, const std::vector<pid_t>& known, int timeoutMs) {
  const uint64_t deadline = tavuBenchNowNs() + static_cast<uint64_t>(timeoutMs) * 1000000u;
  const pid_t self = getpid();
  do {
    DIR* proc = opendir("/proc");
    while (const dirent* entry = proc != nullptr ? readdir(proc) : nullptr) {
      const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
      if (pid <= 0 || std::find(known.begin(), known.end(), pid) != known.end()) continue;
      pid_t parent = 0;
      std::string name;
      const std::string stat = tavuReadWholeFile("/proc/" + std::string(entry->d_name) + "/stat");
      if (tavuParseStatParent(stat, &parent, &name) && parent == self && name == comm) {
        closedir(proc);
        return pid;
      }
    }
    if (proc != nullptr) closedir(proc);
    tavuSleepMs(2);
  } while (tavuBenchNowNs() < deadline);
  return -1;
}

void tavuSleepMs(int ms) {
  timespec pause{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}
