#include "tests/tools/run_capture.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/test_support.h"

namespace {

// Reads both pipes to their end, whichever has data, so neither blocks the child.
void tavuDrainPipes(int outFd, int errFd, tavuProgramRun* run) {
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  std::string* sinks[2] = {&run->out, &run->err};
  int open = 2;
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
}

}  // namespace

tavuProgramRun tavuRunCapturing(const std::vector<std::string>& argv) {
  tavuProgramRun run;
  int outPipe[2];
  int errPipe[2];
  if (pipe(outPipe) != 0) return run;
  if (pipe(errPipe) != 0) {
    close(outPipe[0]);
    close(outPipe[1]);
    return run;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    close(outPipe[0]);
    close(outPipe[1]);
    close(errPipe[0]);
    close(errPipe[1]);
    std::vector<std::string> words = argv;
    std::vector<char*> args;
    args.reserve(words.size() + 1);
    for (std::string& word : words) args.push_back(word.data());
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  tavuDrainPipes(outPipe[0], errPipe[0], &run);
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid) {
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  return run;
}

tavuProgramRun tavuRunTavutrace(const std::vector<std::string>& args) {
  std::vector<std::string> argv = tavuEmulatorPrefix();
  argv.push_back(tavuBinDir() + "/tavutrace");
  argv.insert(argv.end(), args.begin(), args.end());
  return tavuRunCapturing(argv);
}

std::vector<std::string> tavuSplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}
