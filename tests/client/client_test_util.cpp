#include "tests/client/client_test_util.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "daemon/globals.h"
#include "platform/trace_kelu.h"
#include "tests/support/own_sites.h"
#include "tests/support/test_support.h"
#include "tools/tavutrace/trace_render.h"

std::string tavuHostWord(uint32_t value) {
  const char bytes[4] = {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
                         static_cast<char>(value >> 8), static_cast<char>(value)};
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  return std::string(bytes, 4);
#else
  return std::string{bytes[3], bytes[2], bytes[1], bytes[0]};
#endif
}

tavuNetlinkEvent tavuMakeRecord(int32_t action, int32_t seq, const char* path, const char* type,
                                int32_t time, int32_t link, int32_t tlor) {
  tavuNetlinkEvent record;
  record.iv_time = time;
  record.iv_action = action;
  record.iv_seq = seq;
  record.iv_link = link;
  record.iv_tlor = tlor;
  record.iv_path = path != nullptr ? strdup(path) : nullptr;
  record.iv_type = type != nullptr ? strdup(type) : nullptr;
  return tavuNetlinkEvent(record);
}

std::string tavuAckBytes(uint32_t signature, int32_t serial, int32_t payloadLength) {
  return tavuHostWord(signature) + tavuHostWord(static_cast<uint32_t>(serial)) +
         tavuHostWord(static_cast<uint32_t>(payloadLength));
}

namespace {
constexpr char kTraceName[] = "CLIENTTEST";
}

tavuTestTrace::tavuTestTrace() {
  if (iv_dir.path().empty()) return;
  setenv("TAVU_TRACE_DIR", iv_dir.path().c_str(), 1);
  trace_kelu_desc_t desc = TRACE_KELU_NO_BUFFER;
  EXPECT_EQ(trace_kelu_init_buffer(&desc, kTraceName, 32000), 0);
  g_netlinkTrace.store(desc);
  g_tracInitCalled.store(1);
}

tavuTestTrace::~tavuTestTrace() {
  g_tracInitCalled.store(0);
  g_netlinkTrace.store(TRACE_KELU_NO_BUFFER);
  unsetenv("TAVU_TRACE_DIR");
}

std::vector<std::string> tavuTestTrace::newEntries() {
  tavuTraceBuffer buffer;
  std::string error;
  std::vector<std::string> entries;
  if (!tavuReadTraceBufferFile(tavuTraceBufferPath(kTraceName), &buffer, &error)) {
    ADD_FAILURE() << "cannot read the trace buffer: " << error;
    return entries;
  }
  EXPECT_TRUE(buffer.problems.empty()) << buffer.problems.front();
  for (size_t i = iv_seen; i < buffer.records.size(); ++i) {
    entries.push_back(tavuRenderRecord(buffer.records[i], tavuOwnSites()));
  }
  iv_seen = buffer.records.size();
  return entries;
}

tavuChild tavuStartChild(const std::function<int()>& body) {
  tavuChild child;
  char path[] = "/tmp/tavuclientchild.XXXXXX";
  const int out = mkstemp(path);
  if (out < 0) {
    ADD_FAILURE() << "mkstemp: " << std::strerror(errno);
    return child;
  }
  child.outputPath = path;
  std::fflush(stdout);
  child.pid = fork();
  if (child.pid == 0) {
    dup2(out, 1);
    close(out);
    const int status = body();
    std::fflush(stdout);
    _exit(status);
  }
  close(out);
  if (child.pid < 0) ADD_FAILURE() << "fork: " << std::strerror(errno);
  return child;
}

int tavuFinishChild(tavuChild* child, std::string* output, int timeoutMs) {
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (waitpid(child->pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      ADD_FAILURE() << "child " << child->pid << " did not end within " << timeoutMs << " ms";
      kill(child->pid, SIGKILL);
      waitpid(child->pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  child->pid = -1;
  if (output != nullptr) *output = tavuReadFile(child->outputPath);
  std::remove(child->outputPath.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int tavuSignalUntilExit(pid_t pid, int signo, int everyMs, int timeoutMs) {
  int sent = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == pid) {
      break;
    }
    if (kill(pid, signo) == 0) ++sent;
    std::this_thread::sleep_for(std::chrono::milliseconds(everyMs));
  }
  return sent;
}

namespace {
void tavuIgnoreSignal(int) {}
}  // namespace

void tavuInterruptOn(int signo) {
  struct sigaction action {};
  action.sa_handler = tavuIgnoreSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: blocked calls fail with EINTR
  sigaction(signo, &action, nullptr);
}

bool tavuWaitForAbstractName(const std::string& name, int timeoutMs) {
  const std::string wanted = " @" + name;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (tavuReadFile("/proc/net/unix").find(wanted) != std::string::npos) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}
