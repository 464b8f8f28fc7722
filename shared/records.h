// The two records that travel between the daemon's threads by pointer:
// reader -> worker a NetlinkDatagram, worker -> main thread a
// tavuNetlinkEvent.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>

// One datagram as received from the kernel uevent socket.
struct NetlinkDatagram {
  int32_t length;  // bytes received
  char* data;      // malloc'd copy of exactly `length` bytes, no NUL added
};

// A zero-filled record holding a heap copy of exactly `length` bytes of
// `bytes` (no NUL added). Null when memory could not be had: the reader
// queues the null all the same, and the worker reports it.
NetlinkDatagram* tavuNewDatagram(const char* bytes, ssize_t length);

// Frees the data block, then the record; a null record is ignored.
void tavuFreeDatagram(NetlinkDatagram* datagram);

// One hot-plug event for the client: made by the interpreter, destroyed by
// the delivery loop.
class tavuNetlinkEvent {
 public:
  tavuNetlinkEvent() = default;
  tavuNetlinkEvent(const tavuNetlinkEvent&) = delete;
  tavuNetlinkEvent& operator=(const tavuNetlinkEvent&) = delete;
  ~tavuNetlinkEvent();

  time_t iv_time = 0;
  int32_t iv_action = 0;  // TAVU_ACTION_*
  int32_t iv_seq = 0;
  int32_t iv_link = 0;
  int32_t iv_tlor = 0;
  char* iv_path = nullptr;  // the kernel's device path, strdup'd
  char* iv_type = nullptr;  // the delivered device type, strdup'd
};

enum : int32_t { TAVU_ACTION_NONE = 0, TAVU_ACTION_ADD = 1, TAVU_ACTION_REMOVE = 2 };
