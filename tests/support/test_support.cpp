#include "tests/support/test_support.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include <gtest/gtest.h>

void tavuRequireSandbox() {
  const char* flag = std::getenv("TAVU_IN_SANDBOX");
  ASSERT_TRUE(flag != nullptr && std::string(flag) == "1")
      << "this test must run inside scripts/sandbox (private namespaces, tmpfs /dev)";
  ASSERT_EQ(geteuid(), 0u) << "this test needs root inside the sandbox";
}

std::string tavuBinDir() {
  const char* dir = std::getenv("TAVU_BIN_DIR");
  return dir != nullptr ? dir : "build/bin";
}

std::vector<std::string> tavuEmulatorPrefix() {
  std::vector<std::string> words;
  const char* emulator = std::getenv("TAVU_EMULATOR");
  if (emulator == nullptr) return words;
  std::string list = emulator;
  // CMake passes a list separated by ";" or blanks.
  for (char& c : list) {
    if (c == ';') c = ' ';
  }
  std::istringstream in(list);
  std::string word;
  while (in >> word) words.push_back(word);
  return words;
}

int tavuRunProgram(const std::vector<std::string>& argv, std::string* output) {
  std::vector<std::string> full = tavuEmulatorPrefix();
  full.insert(full.end(), argv.begin(), argv.end());
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(pipeFds[1], 1);
    close(pipeFds[0]);
    close(pipeFds[1]);
    std::vector<char*> args;
    for (auto& word : full) args.push_back(word.data());
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(pipeFds[1]);
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  close(pipeFds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (output != nullptr) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
