// Sending datagrams to the kernel's uevent multicast group, paced or in a
// burst, and only where no real device manager can hear them.
#pragma once

#include <cstdint>
#include <string>

// Whether this process sees a private network namespace, where its multicast
// reaches a test's listeners and not the machine's device managers; false
// with `why` set otherwise.
bool tavuInPrivateNetworkNamespace(std::string* why);

struct tavuUeventSender {
  int iv_fd = -1;
  double iv_rate = 0;   // datagrams per second; 0: as fast as possible
  double iv_start = 0;  // monotonic seconds of the first send
  uint64_t iv_sent = 0;
  uint64_t iv_bytes = 0;
};

// Opens the sending socket; false with errno set.
bool tavuOpenUeventSender(tavuUeventSender* sender, double rate);

// Sends `datagram` to group 1 once its time has come; false with errno set.
bool tavuSendUevent(tavuUeventSender* sender, const std::string& datagram);

// Seconds from the first send to now.
double tavuSenderSeconds(const tavuUeventSender& sender);
