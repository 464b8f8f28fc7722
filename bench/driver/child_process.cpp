#include "driver.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

pid_t tavuSpawn(const std::vector<std::string>& argv, const std::string& output) {
  std::vector<char*> words(argv.size() + 1, nullptr);
  for (size_t i = 0; i < argv.size(); ++i) words[i] = const_cast<char*>(argv[i].c_str());
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  const int failed = posix_spawnp(&pid, words[0], &actions, nullptr, words.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return failed == 0 ? pid : -1;
}

int tavuWaitChild(pid_t pid, uint64_t deadlineNs) {
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (done < 0 && errno != EINTR) return -2;
    if (tavuBenchNowNs() >= deadlineNs) return -1;
    tavuSleepMs(1);
  }
}

void tavuKillChild(pid_t pid) {
  if (pid > 0 && kill(pid, SIGKILL) == 0) (void)waitpid(pid, nullptr, 0);
}

void tavuSleepMs(int ms) {
  const timespec pause{ms / 1000, (ms % 1000) * 1000000L};
  (void)nanosleep(&pause, nullptr);
}
