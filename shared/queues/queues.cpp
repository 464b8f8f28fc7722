#include "queues.h"

#include <cstdlib>
#include <cstring>

// The queues are never destroyed: exit runs while the detached threads may
// still be using them, so they live until the process is gone.
tavuQueue<NetlinkDatagram*>& g_netlinkDataQueue = *new tavuQueue<NetlinkDatagram*>;
tavuQueue<tavuNetlinkEvent*>& g_hpEvQueue = *new tavuQueue<tavuNetlinkEvent*>;

pthread_mutex_t g_netlinkDataQueue_mutex;
pthread_cond_t g_netlinkDataQueue_cond;
pthread_mutex_t g_hpEvQueue_mutex;
pthread_cond_t g_hpEvQueue_cond;

std::atomic<int32_t> g_netlinkSocketFd{-1};
std::atomic<int32_t> g_clientSockfd{-1};

std::atomic<bool> g_intakeStopped{false};

std::atomic<int32_t> g_totalNetlinkEvents{0};
std::atomic<int32_t> g_totalTavuEvents{0};
std::atomic<int32_t> g_sentToClient{0};

NetlinkDatagram* tavuNewDatagram(const char* bytes, ssize_t length) {
  auto* datagram = static_cast<NetlinkDatagram*>(std::calloc(1, sizeof(NetlinkDatagram)));
  if (datagram == nullptr) return nullptr;
  datagram->length = static_cast<int32_t>(length);
  const auto size = static_cast<size_t>(length);
  // malloc(0) may give null or a unique pointer; either is a valid empty copy.
  datagram->data = static_cast<char*>(std::malloc(size));
  if (size == 0) return datagram;
  if (datagram->data == nullptr) {
    std::free(datagram);
    return nullptr;
  }
  std::memcpy(datagram->data, bytes, size);
  return datagram;
}

void tavuFreeDatagram(NetlinkDatagram* datagram) {
  if (datagram == nullptr) return;
  std::free(datagram->data);
  std::free(datagram);
}
