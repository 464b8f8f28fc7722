#include "uevent_send.h"

#include <errno.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr char TAVU_NET_CORE[] = "/proc/sys/net/core/";
constexpr uint64_t TAVU_NS_PER_SECOND = 1000000000u;
// What netlink keeps of a socket's send buffer for itself.
constexpr int TAVU_NETLINK_SEND_RESERVE = 32;

bool tavuNetCoreHas(const char* name) {
  return access((std::string(TAVU_NET_CORE) + name).c_str(), F_OK) == 0;
}

uint64_t tavuNowNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * TAVU_NS_PER_SECOND +
         static_cast<uint64_t>(now.tv_nsec);
}

// A datagram that is late goes at once, so the average rate holds.
void tavuSleepUntil(uint64_t ns) {
  const timespec when{static_cast<time_t>(ns / TAVU_NS_PER_SECOND),
                      static_cast<long>(ns % TAVU_NS_PER_SECOND)};
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
  *sender = tavuUeventSender();
  sender->iv_rate = rate;
  sender->iv_fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
  int buffer = 0;
  socklen_t size = sizeof buffer;
  if (sender->iv_fd < 0 || getsockopt(sender->iv_fd, SOL_SOCKET, SO_SNDBUF, &buffer, &size) != 0) {
    return false;
  }
  sender->iv_limit = static_cast<std::size_t>(buffer - TAVU_NETLINK_SEND_RESERVE);
  return true;
}

bool tavuSendUevent(tavuUeventSender* sender, const std::string& datagram) {
  if (sender->iv_sent > 0 && sender->iv_rate > 0) {
    tavuSleepUntil(sender->iv_startNs + static_cast<uint64_t>(static_cast<double>(sender->iv_sent) *
                                                              1e9 / sender->iv_rate));
  }
  sender->iv_lastNs = tavuNowNs();
  if (sender->iv_sent == 0) sender->iv_startNs = sender->iv_lastNs;
  const sockaddr_nl group{AF_NETLINK, 0, 0, 1};  // the kernel's group
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
  return sender.iv_sent == 0 ? 0 : static_cast<double>(tavuNowNs() - sender.iv_startNs) / 1e9;
}

const char* tavuUeventValue(const std::vector<std::string>& words, const std::string& key) {
  for (auto word = words.rbegin(); word != words.rend(); ++word) {
    if (word->compare(0, key.size(), key) == 0) return word->c_str() + key.size();
  }
  return nullptr;
}

std::string tavuUeventDatagram(const std::vector<std::string>& words) {
  const char* action = tavuUeventValue(words, "ACTION=");
  const char* devpath = tavuUeventValue(words, "DEVPATH=");
  std::string datagram;
  if (action != nullptr && devpath != nullptr)
    datagram = std::string(action) + "@" + devpath + '\0';
  for (const std::string& word : words) datagram += word + '\0';
  return datagram;
}
