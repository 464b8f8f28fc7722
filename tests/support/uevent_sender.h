// Plays the kernel in tests: sends uevent datagrams to multicast group 1 of
// the uevent netlink family. Only inside the sandbox's network namespace.
#pragma once

#include <string>
#include <vector>

// A datagram as the kernel makes it: "action@devpath", then each KEY=VALUE,
// every string ending with a NUL.
std::string tavuUeventDatagram(const std::string& header, const std::vector<std::string>& keys);

// The usual add/remove event of a class device.
std::string tavuClassEvent(const std::string& action, const std::string& devpath,
                           const std::string& subsystem, int seqnum, int major = 0, int minor = 0);

class tavuUeventSender {
 public:
  tavuUeventSender();
  ~tavuUeventSender();
  tavuUeventSender(const tavuUeventSender&) = delete;
  tavuUeventSender& operator=(const tavuUeventSender&) = delete;

  bool ok() const { return iv_fd >= 0; }
  // Returns true when the whole datagram was sent.
  bool send(const std::string& datagram);

 private:
  int iv_fd = -1;
};
