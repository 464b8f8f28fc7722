// Playing the kernel: uevent datagrams made as the kernel makes them and
// sent to its multicast group, paced or in a burst, only where no real
// device manager can hear them. tavuinject, the tests and the benchmark
// all send through here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Whether this process sees a private network namespace, where its multicast
// reaches a test's listeners and not the machine's device managers; false
// with `why` set otherwise.
bool tavuInPrivateNetworkNamespace(std::string* why);

struct tavuUeventSender {
  int iv_fd = -1;
  double iv_rate = 0;       // datagrams per second; 0: as fast as possible
  uint64_t iv_startNs = 0;  // CLOCK_MONOTONIC of the first send
  uint64_t iv_lastNs = 0;   // CLOCK_MONOTONIC just before the latest send
  uint64_t iv_sent = 0;
  uint64_t iv_bytes = 0;
  std::size_t iv_limit = 0;  // the longest datagram the socket sends
};

// Opens the sending socket; false with errno set.
bool tavuOpenUeventSender(tavuUeventSender* sender, double rate);

// Sends `datagram` to group 1 once its time has come; false with errno set
// (EMSGSIZE, from the kernel, for one longer than iv_limit).
bool tavuSendUevent(tavuUeventSender* sender, const std::string& datagram);

// Seconds from the first send to now.
double tavuSenderSeconds(const tavuUeventSender& sender);

// The value of the last of the KEY=VALUE `words` that begins with `key`
// ("ACTION="), or nullptr.
const char* tavuUeventValue(const std::vector<std::string>& words, const std::string& key);

// The kernel's datagram of KEY=VALUE words: "ACTION@DEVPATH" (from ACTION=
// and DEVPATH=, when both are among the words) then every word, each
// followed by a NUL.
std::string tavuUeventDatagram(const std::vector<std::string>& words);
