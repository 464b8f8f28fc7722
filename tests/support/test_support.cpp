#include "tests/support/test_support.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

#include <gtest/gtest.h>

void tavuRequireSandbox() {
  const char* flag = std::getenv("TAVU_IN_SANDBOX");
  ASSERT_TRUE(flag != nullptr && std::string(flag) == "1")
      << "this test must run inside scripts/sandbox (private namespaces, tmpfs /dev)";
  ASSERT_EQ(geteuid(), 0u) << "this test needs root inside the sandbox";
}

tavuScratchDir::tavuScratchDir(const char* prefix) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/" + prefix + ".XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp " << pattern << ": " << std::strerror(errno);
    return;
  }
  iv_path = pattern;
}

tavuScratchDir::~tavuScratchDir() {
  std::error_code ignored;
  if (!iv_path.empty()) std::filesystem::remove_all(iv_path, ignored);
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

namespace {

std::string tavuTakeTempFile(const std::string& path) {
  std::string text = tavuReadFile(path);
  unlink(path.c_str());
  return text;
}

}  // namespace

tavuProgramRun tavuRunCapturing(const std::vector<std::string>& argv,
                                const std::function<bool()>& inChild) {
  tavuProgramRun run;
  char outPath[] = "/tmp/tavu-run-out.XXXXXX";
  char errPath[] = "/tmp/tavu-run-err.XXXXXX";
  const int out = mkstemp(outPath);
  const int err = mkstemp(errPath);
  std::fflush(stdout);
  const pid_t pid = out >= 0 && err >= 0 ? fork() : -1;
  if (pid == 0) {
    dup2(out, 1);
    dup2(err, 2);
    if (inChild && !inChild()) _exit(126);
    std::vector<std::string> words = argv;
    std::vector<char*> args;
    for (std::string& word : words) args.push_back(word.data());
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid) {
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  if (out >= 0) close(out);
  if (err >= 0) close(err);
  run.out = tavuTakeTempFile(outPath);
  run.err = tavuTakeTempFile(errPath);
  return run;
}

tavuProgramRun tavuRunBuilt(const std::string& name, const std::vector<std::string>& args,
                            const std::function<bool()>& inChild) {
  std::vector<std::string> argv = tavuEmulatorPrefix();
  argv.push_back(tavuBinDir() + "/" + name);
  argv.insert(argv.end(), args.begin(), args.end());
  return tavuRunCapturing(argv, inChild);
}

int tavuRunProgram(const std::vector<std::string>& argv, std::string* output) {
  std::vector<std::string> full = tavuEmulatorPrefix();
  full.insert(full.end(), argv.begin(), argv.end());
  tavuProgramRun run = tavuRunCapturing(full);
  if (output != nullptr) *output = run.out;
  return run.status;
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

#include <dirent.h>
#include <fcntl.h>
#include <sys/prctl.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

namespace {

// Children of this process that are still running, from /proc.
std::vector<pid_t> tavuChildrenOf(pid_t parent) {
  std::vector<pid_t> children;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return children;
  while (dirent* entry = readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    if (pid <= 0) continue;
    std::string stat = tavuReadFile("/proc/" + std::string(entry->d_name) + "/stat");
    // The parent pid is the second field after the parenthesised name.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    char state = 0;
    int ppid = 0;
    if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == parent &&
        state != 'Z') {
      children.push_back(pid);
    }
  }
  closedir(proc);
  return children;
}

}  // namespace

std::string tavuReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool tavuStartDaemon(tavuDaemonRun* run, const std::string& program,
                     const std::vector<std::string>& env, const std::string& argv0) {
  // As PID 1 of the sandbox this process collects orphans anyway; qemu-user
  // does not pass the prctl on.
  if (getpid() != 1 && prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
    ADD_FAILURE() << "cannot become a child subreaper: " << std::strerror(errno);
    return false;
  }
  const std::vector<pid_t> before = tavuChildrenOf(getpid());
  char pathTemplate[] = "/tmp/tavudaemon-out.XXXXXX";
  const int out = mkstemp(pathTemplate);
  if (out < 0) {
    ADD_FAILURE() << "mkstemp: " << std::strerror(errno);
    return false;
  }
  run->outputPath = pathTemplate;
  const std::string path =
      program.find('/') == std::string::npos ? tavuBinDir() + "/" + program : program;
  std::vector<std::string> argv = tavuEmulatorPrefix();
  const bool emulated = !argv.empty();
  if (emulated && !argv0.empty()) {
    argv.push_back("-0");
    argv.push_back(argv0);
  }
  argv.push_back(path);
  if (!emulated && !argv0.empty()) argv[0] = argv0;
  const std::string image = emulated ? argv[0] : path;
  run->launcherPid = fork();
  if (run->launcherPid == 0) {
    dup2(out, 1);
    close(out);
    for (const std::string& assignment : env) putenv(strdup(assignment.c_str()));
    std::vector<char*> args;
    for (auto& word : argv) args.push_back(word.data());
    args.push_back(nullptr);
    execvp(image.c_str(), args.data());
    _exit(127);
  }
  close(out);
  int status = 0;
  if (waitpid(run->launcherPid, &status, 0) != run->launcherPid) {
    ADD_FAILURE() << "launcher vanished";
    return false;
  }
  run->launcherStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  // The daemon is the launcher's child, now ours; it may already have ended.
  for (int attempt = 0; attempt < 200 && run->daemonPid < 0; ++attempt) {
    for (pid_t child : tavuChildrenOf(getpid())) {
      if (std::find(before.begin(), before.end(), child) == before.end()) run->daemonPid = child;
    }
    if (run->daemonPid < 0) {
      // A daemon that fails at once may end before it is ever seen running.
      const pid_t ended = waitpid(-1, &status, WNOHANG);
      if (ended > 0 && std::find(before.begin(), before.end(), ended) == before.end()) {
        run->endedStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  if (run->daemonPid < 0) {
    ADD_FAILURE() << "no daemon process found after the launcher ended with "
                  << run->launcherStatus;
    return false;
  }
  return true;
}

int tavuWaitDaemon(tavuDaemonRun* run, int timeoutMs) {
  if (run->endedStatus >= 0) return run->endedStatus;
  if (run->daemonPid < 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int status = 0;
    const pid_t ended = waitpid(run->daemonPid, &status, WNOHANG);
    if (ended == run->daemonPid) {
      run->daemonPid = -1;
      run->endedStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return run->endedStatus;
    }
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void tavuStopDaemon(tavuDaemonRun* run) {
  if (run->daemonPid <= 0) return;
  kill(run->daemonPid, SIGKILL);
  int status = 0;
  waitpid(run->daemonPid, &status, 0);
  run->daemonPid = -1;
}

std::string tavuDaemonOutput(const tavuDaemonRun& run) {
  return tavuReadFile(run.outputPath);
}

#include <linux/netlink.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

bool tavuSandboxOwnEntry(const std::string& path) {
  static const char* const kOwn[] = {"/dev/null", "/dev/zero",  "/dev/random", "/dev/urandom",
                                     "/dev/fd",   "/dev/stdin", "/dev/stdout", "/dev/stderr"};
  for (const char* own : kOwn) {
    if (path == own) return true;
  }
  return false;
}

void tavuListTree(const std::string& dir, std::vector<std::string>* lines) {
  DIR* handle = opendir(dir.c_str());
  if (handle == nullptr) return;
  while (dirent* entry = readdir(handle)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = dir + "/" + name;
    if (tavuSandboxOwnEntry(path)) continue;
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) continue;
    // Built whole: a path may be as long as the system allows.
    char head[32];
    const unsigned mode = info.st_mode & 07777;
    if (S_ISDIR(info.st_mode)) {
      std::snprintf(head, sizeof head, "d %04o ", mode);
      lines->push_back(head + path);
      tavuListTree(path, lines);
    } else if (S_ISCHR(info.st_mode)) {
      std::snprintf(head, sizeof head, "c %04o %u:%u ", mode, major(info.st_rdev),
                    minor(info.st_rdev));
      lines->push_back(head + path);
    } else {
      std::snprintf(head, sizeof head, "? %04o ", mode);
      lines->push_back(head + path);
    }
  }
  closedir(handle);
}

}  // namespace

std::vector<std::string> tavuDevTree() {
  std::vector<std::string> lines;
  tavuListTree("/dev", &lines);
  std::sort(lines.begin(), lines.end());
  return lines;
}

bool tavuWaitForPath(const std::string& path, bool present, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    struct stat info {};
    if ((lstat(path.c_str(), &info) == 0) == present) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool tavuWaitForUeventReader(pid_t pid, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (pid > 0) {
    std::istringstream table(tavuReadFile("/proc/net/netlink"));
    std::string line;
    std::getline(table, line);  // column names
    while (std::getline(table, line)) {
      std::istringstream fields(line);
      std::string socketAddress;
      int protocol = 0;
      long owner = 0;
      if (fields >> socketAddress >> protocol >> owner && protocol == NETLINK_KOBJECT_UEVENT &&
          owner == pid) {
        return true;
      }
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

tavuStdoutCapture::tavuStdoutCapture() {
  char path[] = "/tmp/tavu-stdout.XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) {
    ADD_FAILURE() << "mkstemp: " << std::strerror(errno);
    return;
  }
  iv_path = path;
  std::fflush(stdout);
  iv_saved = dup(1);
  dup2(fd, 1);
  close(fd);
}

tavuStdoutCapture::~tavuStdoutCapture() {
  (void)finish();
}

std::string tavuStdoutCapture::finish() {
  if (iv_saved < 0) return "";
  std::fflush(stdout);
  dup2(iv_saved, 1);
  close(iv_saved);
  iv_saved = -1;
  std::string text = tavuReadFile(iv_path);
  unlink(iv_path.c_str());
  return text;
}
