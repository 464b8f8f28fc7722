// tavuinject: plays the kernel inside a network namespace, sending uevent
// datagrams to a multicast group of the uevent netlink family.
#include <errno.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "tools/tavuinject/inject_options.h"
#include "tools/tavuinject/inject_plan.h"
#include "tools/tavuinject/netns_check.h"
#include "tools/tavuinject/raw_bytes.h"
#include "tools/tavuinject/uevent_injector.h"

namespace {

constexpr char TAVU_SYSCTL_NET_CORE[] = "/proc/sys/net/core";

int tavuFail(int status, const std::string& message) {
  std::fprintf(stderr, "tavuinject: %s\n", message.c_str());
  return status;
}

void tavuPrintSummary(const tavuInjectStats& stats, const tavuInjectOptions& options, int status) {
  if (options.json) {
    std::printf("{\"datagrams\":%llu,\"bytes\":%llu,\"seconds\":%.6f,\"status\":%d}\n",
                static_cast<unsigned long long>(stats.datagrams),
                static_cast<unsigned long long>(stats.bytes), stats.seconds, status);
  } else {
    std::fprintf(stderr, "sent %llu datagrams, %llu bytes in %.3f s\n",
                 static_cast<unsigned long long>(stats.datagrams),
                 static_cast<unsigned long long>(stats.bytes), stats.seconds);
  }
}

int tavuDryRun(const tavuInjectPlan& plan) {
  uint64_t count = 0;
  if (!tavuPlanSize(plan, &count)) return tavuFail(TAVU_INJECT_USAGE, "too many datagrams");
  for (uint64_t index = 0; index < count; ++index) {
    std::printf("%s\n", tavuShowBytes(tavuPlanDatagram(plan, index)).c_str());
  }
  return TAVU_INJECT_SENT;
}

// One line per datagram sent whole: its index and its send time.
void tavuWriteTimestamps(FILE* out, const tavuInjectStats& stats) {
  for (uint64_t index = 0; index < stats.datagrams && index < stats.sendNs.size(); ++index) {
    std::fprintf(out, "%llu %llu\n", static_cast<unsigned long long>(index),
                 static_cast<unsigned long long>(stats.sendNs[index]));
  }
}

// Refuses unless this is a private network namespace or the user said so.
bool tavuMaySend(const tavuInjectOptions& options) {
  if (options.allowHostNamespace) return true;
  switch (tavuCheckNetworkNamespace(TAVU_SYSCTL_NET_CORE)) {
    case TAVU_NETNS_PRIVATE:
      return true;
    case TAVU_NETNS_INITIAL:
      tavuFail(TAVU_INJECT_REFUSED,
               "refusing to send from the host's initial network namespace, where the system's "
               "device managers listen; run inside a private one (unshare --net, "
               "scripts/sandbox) or give --allow-host-namespace");
      return false;
    case TAVU_NETNS_UNKNOWN:
      tavuFail(TAVU_INJECT_REFUSED,
               std::string("refusing to send: cannot tell whether this network namespace is "
                           "private (") +
                   TAVU_SYSCTL_NET_CORE +
                   " unreadable); give --allow-host-namespace to send anyway");
      return false;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  tavuInjectOptions options;
  std::string error;
  if (!tavuParseInjectOptions(argc, argv, &options, &error)) {
    return tavuFail(TAVU_INJECT_USAGE, error + " (try --help)");
  }
  if (options.help) {
    std::fputs(tavuInjectUsage(), stdout);
    return TAVU_INJECT_SENT;
  }
  tavuInjectPlan plan;
  if (!tavuMakeInjectPlan(options, &plan, &error)) return tavuFail(TAVU_INJECT_USAGE, error);
  if (options.dryRun) return tavuDryRun(plan);
  if (!tavuMaySend(options)) return TAVU_INJECT_REFUSED;

  // Opened before anything is sent: a path that cannot be written is bad usage.
  FILE* timestamps = nullptr;
  if (!options.timestampsPath.empty() &&
      (timestamps = std::fopen(options.timestampsPath.c_str(), "w")) == nullptr) {
    return tavuFail(TAVU_INJECT_USAGE,
                    "cannot write " + options.timestampsPath + ": " + std::strerror(errno));
  }
  const int fd = tavuOpenUeventSender();
  if (fd < 0) {
    const int failure = errno;
    if (timestamps != nullptr) std::fclose(timestamps);
    const bool refused = failure == EPERM || failure == EACCES;
    return tavuFail(refused ? TAVU_INJECT_REFUSED : TAVU_INJECT_SEND_FAILED,
                    std::string("cannot open a uevent netlink socket: ") + std::strerror(failure));
  }
  tavuInjectStats stats;
  const int status = tavuSendPlan(fd, plan, options, &stats, &error);
  close(fd);
  if (timestamps != nullptr) {
    tavuWriteTimestamps(timestamps, stats);
    std::fclose(timestamps);
  }
  if (status != TAVU_INJECT_SENT) tavuFail(status, error);
  tavuPrintSummary(stats, options, status);
  return status;
}
