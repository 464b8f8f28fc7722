#include "bench/driver/uevent_listener.h"

#include <errno.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "bench/common/bench_clock.h"

namespace {

// Large enough that the driver hears every datagram of a paced stream.
constexpr int TAVU_LISTENER_RCVBUF = 8 << 20;
constexpr int TAVU_LISTENER_PRIORITY = 20;

// The SEQNUM= value of a datagram, or -1.
long tavuSeqnumOf(const char* data, size_t length) {
  size_t offset = 0;
  while (offset < length) {
    const char* text = data + offset;
    const size_t rest = length - offset;
    const void* end = std::memchr(text, '\0', rest);
    if (end == nullptr) break;
    if (rest > 7 && std::memcmp(text, "SEQNUM=", 7) == 0) return std::strtol(text + 7, nullptr, 10);
    offset += static_cast<size_t>(static_cast<const char*>(end) - text) + 1;
  }
  return -1;
}

}  // namespace

tavuUeventListener::~tavuUeventListener() {
  stop();
}

bool tavuUeventListener::start(uint32_t capacity, std::string* error) {
  iv_sentNs = std::vector<std::atomic<uint64_t>>(capacity);
  iv_fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
  iv_wakeFd = eventfd(0, EFD_CLOEXEC);
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;  // joins the group only when armed
  const int size = TAVU_LISTENER_RCVBUF;
  if (iv_fd < 0 || iv_wakeFd < 0 ||
      setsockopt(iv_fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0 ||
      bind(iv_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    *error = std::string("cannot open the listening uevent socket: ") + std::strerror(errno);
    return false;
  }
  if (pthread_create(&iv_thread, nullptr, tavuRun, this) != 0) {
    *error = "cannot start the listening thread";
    return false;
  }
  iv_started = true;
  sched_param param{};
  param.sched_priority = TAVU_LISTENER_PRIORITY;
  iv_realtime = pthread_setschedparam(iv_thread, SCHED_FIFO, &param) == 0;
  return true;
}

void tavuUeventListener::stop() {
  if (iv_started) {
    {
      std::lock_guard<std::mutex> lock(iv_mutex);
      iv_stopRequest = true;
    }
    const uint64_t one = 1;
    (void)!write(iv_wakeFd, &one, sizeof one);
    pthread_join(iv_thread, nullptr);
    iv_started = false;
  }
  if (iv_fd >= 0) close(iv_fd);
  if (iv_wakeFd >= 0) close(iv_wakeFd);
  iv_fd = iv_wakeFd = -1;
}

void tavuUeventListener::arm(bool every) {
  std::unique_lock<std::mutex> lock(iv_mutex);
  const uint64_t request = ++iv_armRequest;
  iv_requestEvery = every;
  const uint64_t one = 1;
  (void)!write(iv_wakeFd, &one, sizeof one);
  iv_armed.wait(lock, [&] { return iv_armDone >= request; });
}

uint64_t tavuUeventListener::sentNs(uint32_t seq) const {
  return seq < iv_sentNs.size() ? iv_sentNs[seq].load(std::memory_order_acquire) : 0;
}

void* tavuUeventListener::tavuRun(void* self) {
  static_cast<tavuUeventListener*>(self)->run();
  return nullptr;
}

void tavuUeventListener::drainSocket() {
  char buffer[4096];
  while (recv(iv_fd, buffer, sizeof buffer, MSG_DONTWAIT) >= 0 || errno == EINTR ||
         errno == ENOBUFS) {
  }
}

void tavuUeventListener::setMember(bool member) {
  if (member == iv_member) return;
  const int group = 1;
  (void)setsockopt(iv_fd, SOL_NETLINK, member ? NETLINK_ADD_MEMBERSHIP : NETLINK_DROP_MEMBERSHIP,
                   &group, sizeof group);
  iv_member = member;
}

void tavuUeventListener::note(const char* data, size_t length, uint64_t now) {
  uint64_t none = 0;
  iv_firstNs.compare_exchange_strong(none, now, std::memory_order_acq_rel);
  if (!iv_every.load(std::memory_order_relaxed)) {
    // Out of the group, the kernel no longer copies the burst to us: the
    // sender goes as fast as it would without the driver.
    setMember(false);
    return;
  }
  const long seq = tavuSeqnumOf(data, length);
  if (seq >= 0 && static_cast<size_t>(seq) < iv_sentNs.size()) {
    iv_sentNs[static_cast<size_t>(seq)].store(now, std::memory_order_release);
  }
  iv_heard.fetch_add(1, std::memory_order_acq_rel);
}

void tavuUeventListener::run() {
  char buffer[4096];
  for (;;) {
    // Once the first datagram is heard, a first-only listener stops
    // reading, so it costs the burst nothing more.
    const bool listen = iv_every.load() || iv_firstNs.load() == 0;
    pollfd fds[2] = {{iv_wakeFd, POLLIN, 0}, {iv_fd, POLLIN, 0}};
    if (poll(fds, listen ? 2 : 1, -1) < 0) continue;
    const uint64_t woken = tavuBenchNowNs();
    if (listen && (fds[1].revents & POLLIN) != 0) {
      const ssize_t n = recv(iv_fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n >= 0) note(buffer, static_cast<size_t>(n), woken);
    }
    if ((fds[0].revents & POLLIN) == 0) continue;
    uint64_t count = 0;
    (void)!read(iv_wakeFd, &count, sizeof count);
    std::lock_guard<std::mutex> lock(iv_mutex);
    if (iv_stopRequest) return;
    if (iv_armDone < iv_armRequest) {
      setMember(false);
      drainSocket();
      setMember(true);
      for (std::atomic<uint64_t>& sent : iv_sentNs) sent.store(0, std::memory_order_relaxed);
      iv_heard.store(0);
      iv_every.store(iv_requestEvery);
      iv_firstNs.store(0, std::memory_order_release);
      iv_armDone = iv_armRequest;
      iv_armed.notify_all();
    }
  }
}
