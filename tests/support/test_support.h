// Helpers shared by the tests.
#pragma once

#include <functional>
#include <string>
#include <vector>

// Fails the current test unless it runs inside scripts/sandbox as root:
// tests that make nodes or open netlink sockets must never pass elsewhere.
void tavuRequireSandbox();

// A fresh directory under $TMPDIR (or /tmp) for one test, removed with all
// it holds when the object goes. path() is empty (and the test failed) when
// it could not be made.
class tavuScratchDir {
 public:
  explicit tavuScratchDir(const char* prefix);
  ~tavuScratchDir();
  tavuScratchDir(const tavuScratchDir&) = delete;
  tavuScratchDir& operator=(const tavuScratchDir&) = delete;

  const std::string& path() const { return iv_path; }
  std::string file(const std::string& name) const { return iv_path + "/" + name; }

 private:
  std::string iv_path;
};

// Directory of the built programs (build/bin of the preset under test).
std::string tavuBinDir();

// The emulator prefix for programs of this build ("" when native).
std::vector<std::string> tavuEmulatorPrefix();

struct tavuProgramRun {
  int status = -1;  // exit status, 128 + signal when killed
  std::string out;
  std::string err;
};

// Runs `argv` as given and waits for it; `inChild`, when set, runs in the
// child before exec (false: the child ends 126).
tavuProgramRun tavuRunCapturing(const std::vector<std::string>& argv,
                                const std::function<bool()>& inChild = nullptr);

// The program `name` of this build (under the emulator when cross-built).
tavuProgramRun tavuRunBuilt(const std::string& name, const std::vector<std::string>& args,
                            const std::function<bool()>& inChild = nullptr);

// Runs a program of this build (under the emulator when cross-built) and
// returns its exit status, with its standard output in `output`.
int tavuRunProgram(const std::vector<std::string>& argv, std::string* output);

std::vector<std::string> tavuSplitLines(const std::string& text);

#include <sys/types.h>

// A daemon started as a user would start it: the launching command forks
// and returns, the daemon runs on. The test process makes itself a child
// subreaper so that it can collect the daemon's own exit status.
struct tavuDaemonRun {
  pid_t launcherPid = -1;
  int launcherStatus = -1;  // exit status of the launching command
  pid_t daemonPid = -1;     // the forked daemon, once found
  int endedStatus = -1;     // its exit status, once it has ended
  std::string outputPath;   // the daemon's standard output
};

// Starts `program` (a path, or a name in tavuBinDir()) with its standard
// output to a file; waits for the launcher to end and finds the daemon.
// Returns false (with a gtest failure) when either step fails.
// `env` holds NAME=VALUE words added to the environment; `argv0`, when not
// empty, is the program's first command-line word in place of its path.
bool tavuStartDaemon(tavuDaemonRun* run, const std::string& program = "tavunetlink",
                     const std::vector<std::string>& env = {}, const std::string& argv0 = "");

// Waits up to `timeoutMs` for the daemon to end; returns its exit status
// (128 + signal when killed), or -1 when it is still running.
int tavuWaitDaemon(tavuDaemonRun* run, int timeoutMs);

// Kills the daemon if it still runs and reaps it.
void tavuStopDaemon(tavuDaemonRun* run);

// What the daemon has printed so far.
std::string tavuDaemonOutput(const tavuDaemonRun& run);

std::string tavuReadFile(const std::string& path);

// The /dev tree as sorted lines, one per entry below /dev, leaving out the
// sandbox's own null, zero, random, urandom and fd links:
//   "d 0755 /dev/tts"   "c 0640 4:65 /dev/tts/1"
std::vector<std::string> tavuDevTree();

// Waits until `path` exists (or, with `present` false, is gone).
bool tavuWaitForPath(const std::string& path, bool present = true, int timeoutMs = 10000);

// Waits until process `pid` has bound a uevent netlink socket: uevents sent
// before then are lost, as they would be on the board.
bool tavuWaitForUeventReader(pid_t pid, int timeoutMs = 20000);

// Redirects file descriptor 1 to a file until finish(); nests.
class tavuStdoutCapture {
 public:
  tavuStdoutCapture();
  ~tavuStdoutCapture();
  tavuStdoutCapture(const tavuStdoutCapture&) = delete;
  tavuStdoutCapture& operator=(const tavuStdoutCapture&) = delete;
  std::string finish();

 private:
  int iv_saved = -1;
  std::string iv_path;
};
