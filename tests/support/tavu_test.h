// What every test of the daemon stands on: the daemon started as a user
// starts it, inside scripts/sandbox; the kernel played by the tools' uevent
// sender; the client played byte by byte; /dev as a listing; the trace
// decoded by tavutrace. It brings the system and standard headers every
// test uses.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "daemon_listens.h"
#include "tavuclient.h"
#include "uevent_send.h"

using tavuLines = std::vector<std::string>;

// Names a table's test after its row's `name`.
template <typename Row>
std::string tavuRowName(const ::testing::TestParamInfo<Row>& info) {
  return info.param.name;
}

inline std::string tavuEnv(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// What can be read of a file; a /proc file of a thread or process that
// ended meanwhile reads as what was read before (a stream would throw).
inline std::string tavuReadFile(const std::string& path) {
  std::string text;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  char bytes[4096];
  for (ssize_t n; fd >= 0 && (n = read(fd, bytes, sizeof bytes)) > 0;)
    text.append(bytes, static_cast<size_t>(n));
  if (fd >= 0) close(fd);
  return text;
}

inline tavuLines tavuSplit(const std::string& text) {
  tavuLines lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Fails the test unless it runs as root inside scripts/sandbox: whatever
// makes nodes or opens netlink sockets must never pass anywhere else.
inline void tavuRequireSandbox() {
  ASSERT_EQ(tavuEnv("TAVU_IN_SANDBOX"), "1")
      << "this test runs only inside scripts/sandbox (private namespaces, a tmpfs /dev)";
  ASSERT_EQ(geteuid(), 0u) << "this test needs root inside the sandbox";
}

// A state's deadline, generous for a loaded machine; TAVU_TEST_SCALE
// stretches it under the emulator and the sanitizers.
inline std::chrono::milliseconds tavuPatience() {
  const std::string scale = tavuEnv("TAVU_TEST_SCALE");
  return std::chrono::milliseconds(5000 * (scale.empty() ? 1 : std::stoi(scale)));
}

// Waits until `ready` holds. A state that does not come within its
// deadline fails the test, which names it; returns whether it came.
inline bool tavuAwait(const std::string& state, const std::function<bool()>& ready) {
  const auto deadline = std::chrono::steady_clock::now() + tavuPatience();
  while (!ready()) {
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "still not so after " << tavuPatience().count() << " ms: " << state;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// How many descriptors process `pid` (or "self") holds.
inline long tavuDescriptors(const std::string& pid) {
  const std::filesystem::directory_iterator fds("/proc/" + pid + "/fd");
  return std::distance(begin(fds), end(fds));
}

struct tavuRun {
  int status = -1;  // exit status, 128 + signal when killed
  std::string out, err;
};

inline int tavuStatusOf(int raw) {
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

inline std::string tavuTempFile() {
  char path[] = "/tmp/tavu-test.XXXXXX";
  close(mkstemp(path));
  return path;
}

// Starts `name` (see tavuRunProgram) with `argv0` as its first word, its
// output into files (no `err`: standard error stays the test's) and
// TAVU_FAULTS set to `plan`.
inline pid_t tavuSpawn(const std::string& name, const std::string& argv0, const tavuLines& args,
                       const std::string& out, const std::string& err,
                       const std::string& plan = "") {
  const bool ours = name.find('/') == std::string::npos;
  std::istringstream emulator(ours ? tavuEnv("TAVU_EMULATOR") : "");
  tavuLines words{std::istream_iterator<std::string>(emulator), {}};
  const bool emulated = !words.empty();
  if (emulated) words.insert(words.end(), {"-0", argv0});  // the emulator's own option
  words.push_back(ours ? tavuEnv("TAVU_BIN_DIR") + "/" + name : name);
  words.insert(words.end(), args.begin(), args.end());
  const std::string image = words[0];
  if (!emulated) words[0] = argv0;
  const pid_t pid = fork();
  if (pid != 0) return pid;
  if (!freopen(out.c_str(), "w", stdout) || (!err.empty() && !freopen(err.c_str(), "w", stderr)))
    _exit(126);
  setenv("TAVU_FAULTS", plan.c_str(), 1);
  std::vector<char*> argv;
  for (const std::string& word : words) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  execvp(image.c_str(), argv.data());
  _exit(127);
}

// Runs a program of this build (under the emulator when cross-built), or
// any program when `name` holds a "/"; with TAVU_FAULTS set to `plan`.
inline tavuRun tavuRunProgram(const std::string& name, const tavuLines& args,
                              const std::string& plan = "") {
  const std::string out = tavuTempFile(), err = tavuTempFile();
  const pid_t pid = tavuSpawn(name, name, args, out, err, plan);
  tavuRun run;
  int raw = 0;
  if (waitpid(pid, &raw, 0) == pid) run.status = tavuStatusOf(raw);
  run.out = tavuReadFile(out);
  run.err = tavuReadFile(err);
  unlink(out.c_str());
  unlink(err.c_str());
  return run;
}

// The daemon, or its fault-injecting build when a plan is given
// (fault_injection.cpp). Killed when the object goes.
class tavuDaemon {
 public:
  // Another build of the daemon than the plain one, e.g. with other uids allowed.
  explicit tavuDaemon(std::string program = "tavunetlink") : iv_program(std::move(program)) {}
  ~tavuDaemon() {
    if (iv_pid > 0 && iv_status < 0 && kill(iv_pid, SIGKILL) == 0) waitpid(iv_pid, nullptr, 0);
    unlink(iv_outputPath.c_str());
  }
  // Runs the launching command, which must end with `launcherStatus`, and
  // finds the daemon it left behind.
  void start(const std::string& faultPlan = "", const std::string& argv0 = "tavunetlink",
             int launcherStatus = 0) {
    // The daemon outlives its launcher: adopt it to learn how it ends.
    ASSERT_TRUE(getpid() == 1 || prctl(PR_SET_CHILD_SUBREAPER, 1) == 0);
    if (!faultPlan.empty()) iv_program = "tavunetlink_faulty";
    iv_outputPath = tavuTempFile();
    const pid_t launcher = tavuSpawn(iv_program, argv0, {}, iv_outputPath, "", faultPlan);
    int raw = 0;
    ASSERT_EQ(waitpid(launcher, &raw, 0), launcher);
    ASSERT_EQ(tavuStatusOf(raw), launcherStatus) << output();
    if (launcherStatus != 0) return;
    // Orphaned as its launcher ended, the daemon is our only child, running
    // or ended. A board's kernel may keep no list of children: each
    // process's parent is read instead.
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
      const bool process = std::isdigit(entry.path().filename().c_str()[0]) != 0;
      const std::string stat =
          process ? tavuReadFile(entry.path() / "stat") : "";  // "pid (name) state ppid"
      int parent = 0;
      if (!stat.empty() && std::sscanf(&stat[stat.rfind(')') + 1], " %*c %d", &parent) == 1 &&
          parent == getpid())
        iv_pid = std::atoi(stat.c_str());
    }
    ASSERT_GT(iv_pid, 0) << "no daemon left behind by its launcher: " << output();
  }
  // Once the daemon's uevent socket has joined the kernel's groups.
  void waitListening() {
    ASSERT_TRUE(tavuAwait("the daemon listens to the kernel",
                          [&] { return tavuFindUeventSocket(iv_pid) || !running(); }));
    ASSERT_TRUE(running()) << "the daemon ended before it listened: " << output();
  }
  // Datagrams the kernel dropped for want of room.
  long ueventDrops() const {
    tavuUeventSocket socket;
    return tavuFindUeventSocket(iv_pid, 0xffffffffu, &socket) ? socket.iv_drops : -1;
  }
  int waitEnd() {
    tavuAwait("the daemon ends", [this] { return !running(); });
    return iv_status;
  }
  bool running() {
    int raw = 0;
    if (iv_status < 0 && waitpid(iv_pid, &raw, WNOHANG) == iv_pid) iv_status = tavuStatusOf(raw);
    return iv_status < 0;
  }
  std::string output() const { return tavuReadFile(iv_outputPath); }
  // Waits for `line` among the lines printed, or the trace's entries.
  void waitPrinted(const std::string& line) {
    if (!tavuAwait("printed: " + line, [&] {
          return ::testing::Value(tavuSplit(output()), ::testing::Contains(line));
        }))
      ADD_FAILURE() << "printed:\n" << output();
  }
  void waitTraced(const std::string& line) {
    if (!tavuAwait("traced: " + line,
                   [&] { return ::testing::Value(trace(), ::testing::Contains(line)); }))
      ADD_FAILURE() << "trace: " << ::testing::PrintToString(trace());
  }
  // The trace buffer decoded by tavutrace with this daemon's own table, one
  // entry a line without its time.
  tavuLines trace() const {
    const tavuRun run = tavuRunProgram(
        tavuEnv("TAVU_TRACE_TOOL"),
        {"--daemon", tavuEnv("TAVU_BIN_DIR") + "/" + iv_program, "/run/tavutrace/TAVUNL"});
    tavuLines entries = tavuSplit(run.out);
    // "2026-12-06T10:00:00.000000Z text"; a binary entry's dump lines are indented.
    for (std::string& line : entries) line.erase(0, line[0] == ' ' ? 0 : line.find(' ') + 1);
    return entries;
  }
  pid_t pid() const { return iv_pid; }

 private:
  std::string iv_program, iv_outputPath;
  pid_t iv_pid = -1;
  int iv_status = -1;
};

// Bytes of a 32-bit number in host order, a message header, a handshake.
inline std::string tavuWord(int32_t value) {
  return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

inline std::string tavuHeader(uint32_t signature, int32_t serial, int32_t length) {
  return tavuWord(static_cast<int32_t>(signature)) + tavuWord(serial) + tavuWord(length);
}

inline std::string tavuHandshake(int32_t serial) {
  return tavuHeader(0x12345678, serial, 17) + std::string("ready to receive\0", 17);
}

// The client, speaking the wire protocol byte by byte; it reads events
// with the client library, which checks each.
class tavuWireClient {
 public:
  ~tavuWireClient() { close(); }
  // As the client library connects: to the daemon alone, once it listens.
  void connect() {
    close();
    tavuAwait("the daemon's client socket takes a connection",
              [&] { return (iv_fd = tavuclient_connect()) >= 0; });
    const timeval deadline{static_cast<time_t>(tavuPatience().count() / 1000), 0};  // each read's
    setsockopt(iv_fd, SOL_SOCKET, SO_RCVTIMEO, &deadline, sizeof deadline);
  }
  // The 29-byte handshake in one write; returns the reply's bytes, if any.
  std::string handshake(int32_t serial) {
    send(tavuHandshake(serial));
    std::string reply(12, '\0');
    reply.resize(
        static_cast<size_t>(std::max<ssize_t>(0, recv(iv_fd, &reply[0], 12, MSG_WAITALL))));
    return reply;
  }
  bool send(const std::string& bytes) {
    return ::send(iv_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }  // every byte in one write
  bool acknowledge(int32_t serial) { return send(tavuHeader(0x12345678, serial, 0)); }
  // The next event; all zero when none came.
  tavuclient_event receive() {
    tavuclient_event event{};
    if (tavuclient_receive_event(iv_fd, &event) != 1) ADD_FAILURE() << "no event: " << errno;
    return event;
  }
  void close() {
    if (iv_fd >= 0) ::close(iv_fd);
    iv_fd = -1;
  }
  int fd() const { return iv_fd; }

 private:
  int iv_fd = -1;
};

// Sends a datagram of exactly these bytes to multicast group 1, as the
// kernel would; or the uevent of these KEY=VALUE strings.
inline void tavuSendDatagram(const std::string& bytes) {
  static tavuUeventSender sender;
  ASSERT_TRUE(sender.iv_fd >= 0 || tavuOpenUeventSender(&sender, 0)) << std::strerror(errno);
  ASSERT_TRUE(tavuSendUevent(&sender, bytes)) << std::strerror(errno);
}

inline void tavuSendUevent(const tavuLines& keys) {
  tavuSendDatagram(tavuUeventDatagram(keys));
}

// The sandbox's own entries of /dev.
inline bool tavuSandboxOwn(const std::filesystem::path& path) {
  static const std::set<std::string> own = {"null", "zero",  "random", "urandom",
                                            "fd",   "stdin", "stdout", "stderr"};
  return path.parent_path() == "/dev" && own.count(path.filename()) != 0;
}

// Everything below /dev but the sandbox's own entries, sorted, one line
// each: "d 0755 /dev/tts", "c 0640 4:65 /dev/tts/1", "l 0777 /dev/shm/x";
// with `owners`, "d 0755 0:0 /dev/tts". Or the same of another tree.
inline tavuLines tavuDevTree(bool owners = false, const char* top = "/dev") {
  tavuLines found;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(top)) {
    struct stat info {};
    if (tavuSandboxOwn(entry.path()) || lstat(entry.path().c_str(), &info) != 0) continue;
    const char* type = S_ISCHR(info.st_mode) ? "c" : S_ISDIR(info.st_mode) ? "d" : "l";
    char head[64];
    int length = std::snprintf(head, sizeof head, "%s %04o ", type, info.st_mode & 07777);
    if (owners) length += std::snprintf(head + length, 24, "%u:%u ", info.st_uid, info.st_gid);
    if (*type == 'c')
      std::snprintf(head + length, 24, "%u:%u ", major(info.st_rdev), minor(info.st_rdev));
    found.push_back(head + entry.path().string());
  }
  std::sort(found.begin(), found.end());
  return found;
}

// All that goes.
inline void tavuClearDev() {
  for (const auto& entry : std::filesystem::directory_iterator("/dev"))
    if (!tavuSandboxOwn(entry.path())) std::filesystem::remove_all(entry.path());
}
