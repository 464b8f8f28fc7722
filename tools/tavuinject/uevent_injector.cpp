#include "tools/tavuinject/uevent_injector.h"

#include <errno.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "tools/tavuinject/raw_bytes.h"

namespace {

uint64_t tavuNowNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

// Sleeps until `deadline`; a datagram that is late goes at once, so the
// average rate holds even when one sleep overshoots.
void tavuSleepUntil(uint64_t deadline) {
  timespec when{};
  when.tv_sec = static_cast<time_t>(deadline / 1000000000u);
  when.tv_nsec = static_cast<long>(deadline % 1000000000u);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr) == EINTR) {
  }
}

// 0, or the errno of the failed send.
int tavuSendOne(int fd, uint32_t group, const std::string& datagram) {
  sockaddr_nl destination{};
  destination.nl_family = AF_NETLINK;
  destination.nl_groups = 1u << (group - 1);
  for (;;) {
    const ssize_t sent =
        sendto(fd, datagram.data(), datagram.size(), 0,
               reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
    if (sent == static_cast<ssize_t>(datagram.size())) return 0;
    if (sent >= 0) return EMSGSIZE;  // netlink sends whole or not at all
    if (errno != EINTR) return errno;
  }
}

}  // namespace

int tavuOpenUeventSender() {
  const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
  if (fd < 0) return -1;
  sockaddr_nl self{};
  self.nl_family = AF_NETLINK;  // port 0: the kernel picks a free one
  if (bind(fd, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0) {
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

int tavuSendPlan(int fd, const tavuInjectPlan& plan, const tavuInjectOptions& options,
                 tavuInjectStats* stats, std::string* error) {
  uint64_t count = 0;
  if (!tavuPlanSize(plan, &count)) {
    *error = "too many datagrams to count";
    return TAVU_INJECT_USAGE;
  }
  const uint64_t start = tavuNowNs();
  const bool stamp = !options.timestampsPath.empty();
  if (stamp) stats->sendNs.reserve(count);
  for (uint64_t index = 0; index < count; ++index) {
    if (options.intervalNs != 0) tavuSleepUntil(start + index * options.intervalNs);
    const std::string datagram = tavuPlanDatagram(plan, index);
    if (options.verbose) {
      std::fprintf(stderr, "datagram %llu (%zu bytes): %s\n",
                   static_cast<unsigned long long>(index), datagram.size(),
                   tavuShowBytes(datagram).c_str());
    }
    if (stamp) stats->sendNs.push_back(tavuNowNs());
    const int failure = tavuSendOne(fd, options.group, datagram);
    if (failure != 0) {
      const bool refused = failure == EPERM || failure == EACCES;
      *error = "send of datagram " + std::to_string(index) + " to group " +
               std::to_string(options.group) + " failed: " + std::strerror(failure) +
               (refused ? " (sending to a uevent group needs CAP_NET_ADMIN)" : "");
      stats->seconds = static_cast<double>(tavuNowNs() - start) / 1e9;
      return refused ? TAVU_INJECT_REFUSED : TAVU_INJECT_SEND_FAILED;
    }
    ++stats->datagrams;
    stats->bytes += datagram.size();
  }
  stats->seconds = static_cast<double>(tavuNowNs() - start) / 1e9;
  return TAVU_INJECT_SENT;
}
