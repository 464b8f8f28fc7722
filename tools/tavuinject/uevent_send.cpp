#include "uevent_send.h"

#include <errno.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cmath>

namespace {

constexpr char TAVU_NET_CORE[] = "/proc/sys/net/core/";

bool tavuNetCoreHas(const char* name) {
  return access((std::string(TAVU_NET_CORE) + name).c_str(), F_OK) == 0;
}

double tavuNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// A datagram that is late goes at once, so the average rate holds.
void tavuSleepUntil(double seconds) {
  const timespec when{static_cast<time_t>(seconds), static_cast<long>(std::fmod(seconds, 1) * 1e9)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr) == EINTR) {
  }
}

}  // namespace

// The kernel registers some net.core sysctls for the initial namespace alone,
// somaxconn in every one, and /proc/sys/net shows the reader's namespace. A
// kernel that made them all per-namespace would make this refuse, never send.
bool tavuInPrivateNetworkNamespace(std::string* why) {
  if (tavuNetCoreHas("netdev_max_backlog") || tavuNetCoreHas("netdev_budget")) {
    *why =
        "refusing to send from the host's initial network namespace, where the machine's device "
        "managers listen; run inside a private one (unshare --net, scripts/sandbox)";
    return false;
  }
  if (!tavuNetCoreHas("somaxconn")) {
    *why = "refusing to send: cannot tell whether this network namespace is private (" +
           std::string(TAVU_NET_CORE) + " unreadable)";
    return false;
  }
  return true;
}

bool tavuOpenUeventSender(tavuUeventSender* sender, double rate) {
  sender->iv_rate = rate;
  sender->iv_fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
  return sender->iv_fd >= 0;
}

bool tavuSendUevent(tavuUeventSender* sender, const std::string& datagram) {
  if (sender->iv_sent == 0) {
    sender->iv_start = tavuNow();
  } else if (sender->iv_rate > 0) {
    tavuSleepUntil(sender->iv_start + static_cast<double>(sender->iv_sent) / sender->iv_rate);
  }
  sockaddr_nl group{};
  group.nl_family = AF_NETLINK;
  group.nl_groups = 1;  // the kernel's
  ssize_t sent;
  while ((sent = sendto(sender->iv_fd, datagram.data(), datagram.size(), 0,
                        reinterpret_cast<const sockaddr*>(&group), sizeof group)) < 0 &&
         errno == EINTR) {
  }
  if (sent < 0) return false;
  ++sender->iv_sent;
  sender->iv_bytes += datagram.size();
  return true;
}

double tavuSenderSeconds(const tavuUeventSender& sender) {
  return sender.iv_sent == 0 ? 0 : tavuNow() - sender.iv_start;
}
