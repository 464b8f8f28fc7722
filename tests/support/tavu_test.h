// What every test of the daemon stands on: the daemon started as a user
// starts it, inside scripts/sandbox; the kernel played by the tools' uevent
// sender; the client played byte by byte; /dev as a listing; the trace
// decoded by tavutrace.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using tavuLines = std::vector<std::string>;

// Names a table's test after its row's `name`.
inline std::string tavuRowName(const ::testing::TestParamInfo<const char*>& info) {
  return info.param;
}
template <typename Row>
std::string tavuRowName(const ::testing::TestParamInfo<Row>& info) {
  return info.param.name;
}

// Fails the test unless it runs as root inside scripts/sandbox: whatever
// makes nodes or opens netlink sockets must never pass anywhere else.
void tavuRequireSandbox();

// Waits until `ready` holds. A state that does not come within its
// deadline (seconds, longer under the emulator and the sanitizers) fails
// the test, which names it; returns whether it came.
bool tavuAwait(const std::string& state, const std::function<bool()>& ready);

std::string tavuEnv(const char* name);
std::string tavuReadFile(const std::string& path);
tavuLines tavuSplit(const std::string& text);

struct tavuRun {
  int status = -1;  // exit status, 128 + signal when killed
  std::string out, err;
};

// Runs a program of this build (under the emulator when cross-built), or
// any program when `name` holds a "/".
tavuRun tavuRunProgram(const std::string& name, const tavuLines& args);

// The daemon, or its fault-injecting build when a plan is given
// (fault_injection.cpp). Killed when the object goes.
class tavuDaemon {
 public:
  // Another build of the daemon than the plain one, e.g. with other uids allowed.
  explicit tavuDaemon(std::string program = "tavunetlink") : iv_program(std::move(program)) {}
  ~tavuDaemon();
  // Runs the launching command, which must end with `launcherStatus`, and
  // finds the daemon it left behind.
  void start(const std::string& faultPlan = "", const std::string& argv0 = "tavunetlink",
             int launcherStatus = 0);
  // Once the daemon's uevent socket has joined the kernel's groups.
  void waitListening();
  long ueventDrops() const;  // datagrams the kernel dropped for want of room
  int waitEnd();             // its exit status
  bool running();
  std::string output() const { return tavuReadFile(iv_outputPath); }
  // Waits for `line` among the lines printed, or the trace's entries.
  void waitPrinted(const std::string& line);
  void waitTraced(const std::string& line);
  // The trace buffer decoded by tavutrace with this daemon's own table, one
  // entry a line without its time.
  tavuLines trace() const;
  pid_t pid() const { return iv_pid; }

 private:
  std::string iv_program, iv_outputPath;
  pid_t iv_pid = -1;
  int iv_status = -1;
};

// One event message as read off the socket.
struct tavuWireEvent {
  int32_t signature = 0, serial = 0, length = 0;
  int32_t time = 0, action = 0, seq = 0, link = 0, tlor = 0;
  std::string path, type, payload;
};

// The client, speaking the wire protocol byte by byte.
class tavuWireClient {
 public:
  ~tavuWireClient() { close(); }
  void connect();
  // The 29-byte handshake in one write; returns the reply's bytes, if any.
  std::string handshake(int32_t serial);
  bool send(const std::string& bytes);  // every byte in one write
  bool acknowledge(int32_t serial);
  tavuWireEvent receive();
  void close();
  int fd() const { return iv_fd; }

 private:
  int iv_fd = -1;
};

// Bytes of a 32-bit number in host order, a message header, a handshake.
std::string tavuWord(int32_t value);
std::string tavuHeader(uint32_t signature, int32_t serial, int32_t length);
std::string tavuHandshake(int32_t serial);

// Sends the uevent of these KEY=VALUE strings to multicast group 1, as the
// kernel would.
void tavuSendUevent(const tavuLines& keys);

// Everything below /dev but the sandbox's own entries, sorted, one line
// each: "d 0755 /dev/tts", "c 0640 4:65 /dev/tts/1", "l 0777 /dev/shm/x".
tavuLines tavuDevTree();
void tavuClearDev();  // all that goes
