// One hot-plug event for the client: made by the interpreter, carried by
// pointer through g_hpEvQueue, destroyed by the delivery loop.
#pragma once

#include <cstdint>
#include <ctime>

class tavuNetlinkEvent {
 public:
  tavuNetlinkEvent() = default;
  // Copies the numbers and makes the copy its own heap copies of the texts;
  // a text whose copy cannot be made stays null.
  tavuNetlinkEvent(const tavuNetlinkEvent& other);
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
