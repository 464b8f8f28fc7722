// Whether tavuinject runs in a private network namespace, where its
// multicast reaches only the listeners of a test, or in the host's initial
// one, where the system's real device managers listen.
//
// The kernel registers some net.core sysctls for the initial namespace
// alone (netdev_max_backlog, netdev_budget), while others (somaxconn) exist
// in every namespace; /proc/sys/net shows those of the reader's namespace.
// So: somaxconn present and the initial-only ones absent means private.
// A kernel that made those per-namespace would make this refuse wrongly,
// never send wrongly.
#pragma once

#include <string>

enum tavuNetnsVerdict {
  TAVU_NETNS_PRIVATE,
  TAVU_NETNS_INITIAL,
  TAVU_NETNS_UNKNOWN,  // the sysctl directory cannot be read
};

// `sysctlDir` is normally "/proc/sys/net/core".
tavuNetnsVerdict tavuCheckNetworkNamespace(const std::string& sysctlDir);
