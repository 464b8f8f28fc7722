#include "tests/support/uevent_sender.h"

#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

std::string tavuUeventDatagram(const std::string& header, const std::vector<std::string>& keys) {
  std::string datagram = header;
  datagram.push_back('\0');
  for (const std::string& key : keys) {
    datagram += key;
    datagram.push_back('\0');
  }
  return datagram;
}

std::string tavuClassEvent(const std::string& action, const std::string& devpath,
                           const std::string& subsystem, int seqnum, int major, int minor) {
  std::vector<std::string> keys = {"ACTION=" + action, "DEVPATH=" + devpath,
                                   "SUBSYSTEM=" + subsystem, "SEQNUM=" + std::to_string(seqnum)};
  if (major != 0) {
    keys.push_back("MAJOR=" + std::to_string(major));
    keys.push_back("MINOR=" + std::to_string(minor));
  }
  return tavuUeventDatagram(action + "@" + devpath, keys);
}

tavuUeventSender::tavuUeventSender() {
  static std::atomic<uint32_t> next{0};
  iv_fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
  if (iv_fd < 0) return;
  // A port of its own: left to the kernel, the first socket bound takes the
  // process id, which an in-process reader binds.
  sockaddr_nl self{};
  self.nl_family = AF_NETLINK;
  self.nl_pid = 0x10000000u + static_cast<uint32_t>(getpid()) * 16u + next.fetch_add(1) % 16u;
  if (bind(iv_fd, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0) {
    close(iv_fd);
    iv_fd = -1;
  }
}

tavuUeventSender::~tavuUeventSender() {
  if (iv_fd >= 0) close(iv_fd);
}

bool tavuUeventSender::send(const std::string& datagram) {
  sockaddr_nl group{};
  group.nl_family = AF_NETLINK;
  group.nl_groups = 1;
  const ssize_t sent = sendto(iv_fd, datagram.data(), datagram.size(), 0,
                              reinterpret_cast<sockaddr*>(&group), sizeof group);
  return sent == static_cast<ssize_t>(datagram.size());
}
