// The hot-plug event for the client, as the interpreter makes it: it
// travels to the delivery loop by pointer, which destroys it once told.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <ctime>

// The longest uevent taken off the socket; the kernel drops the rest of a
// longer one, so no text of an event is longer either.
constexpr std::size_t TAVU_UEVENT_MAX = 4096;

enum : int32_t { TAVU_ACTION_NONE = 0, TAVU_ACTION_ADD = 1, TAVU_ACTION_REMOVE = 2 };

class tavuNetlinkEvent {
 public:
  tavuNetlinkEvent() = default;
  tavuNetlinkEvent(const tavuNetlinkEvent&) = delete;
  tavuNetlinkEvent& operator=(const tavuNetlinkEvent&) = delete;
  ~tavuNetlinkEvent() {
    std::free(iv_path);
    std::free(iv_type);
  }

  time_t iv_time = 0;
  int32_t iv_action = TAVU_ACTION_NONE;  // TAVU_ACTION_*
  int32_t iv_seq = 0;
  int32_t iv_link = 0;
  int32_t iv_tlor = 0;
  char* iv_path = nullptr;  // the kernel's device path, strdup'd
  char* iv_type = nullptr;  // the delivered device type, strdup'd
};
