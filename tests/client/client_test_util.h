// Helpers of the client channel tests: the daemon's side run in-process or
// in a child, its reports read back from stdout or the trace buffer.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "devnodes/netlink_event.h"
#include "tests/support/raw_client.h"
#include "tests/support/test_support.h"

// The four bytes of a 32-bit number as this machine stores it, spelt out
// byte by byte (not copied from memory) so the expectation is independent.
std::string tavuHostWord(uint32_t value);

// A record as the interpreter makes it, texts strdup'd (null stays null).
tavuNetlinkEvent tavuMakeRecord(int32_t action, int32_t seq, const char* path, const char* type,
                                int32_t time = 1769860800, int32_t link = 0, int32_t tlor = 0);

// An acknowledgment header's 12 bytes.
std::string tavuAckBytes(uint32_t signature, int32_t serial, int32_t payloadLength);

// Sends this process's reports to a fresh trace buffer (g_tracInitCalled 1)
// and reads back what was written since.
class tavuTestTrace {
 public:
  tavuTestTrace();
  ~tavuTestTrace();
  tavuTestTrace(const tavuTestTrace&) = delete;
  tavuTestTrace& operator=(const tavuTestTrace&) = delete;

  // Rendered entries written since the last call.
  std::vector<std::string> newEntries();

 private:
  tavuScratchDir iv_dir{"tavuclienttrace"};
  size_t iv_seen = 0;
};

// A child process running `body` with its standard output in a file.
struct tavuChild {
  pid_t pid = -1;
  std::string outputPath;
};

// `body`'s result is the child's exit status.
tavuChild tavuStartChild(const std::function<int()>& body);

// Waits for the child (killing it after `timeoutMs`); returns its exit
// status (128 + signal when killed) and its output through `output`.
int tavuFinishChild(tavuChild* child, std::string* output, int timeoutMs = 20000);

// Sends `signo` to `pid` every `everyMs` until it ends or `timeoutMs` pass;
// returns how many were sent. Does not reap the process.
int tavuSignalUntilExit(pid_t pid, int signo, int everyMs, int timeoutMs);

// Installs a handler that does nothing, without SA_RESTART, so that a
// blocked call returns EINTR.
void tavuInterruptOn(int signo);

// Waits until an abstract Unix socket of this name listens in this
// network namespace (as /proc/net/unix shows it).
bool tavuWaitForAbstractName(const std::string& name, int timeoutMs = 10000);
