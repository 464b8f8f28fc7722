#include "devnodes/netlink_event.h"

#include <cstdlib>
#include <cstring>

tavuNetlinkEvent::tavuNetlinkEvent(const tavuNetlinkEvent& other)
    : iv_time(other.iv_time),
      iv_action(other.iv_action),
      iv_seq(other.iv_seq),
      iv_link(other.iv_link),
      iv_tlor(other.iv_tlor),
      iv_path(other.iv_path != nullptr ? strdup(other.iv_path) : nullptr),
      iv_type(other.iv_type != nullptr ? strdup(other.iv_type) : nullptr) {}

tavuNetlinkEvent::~tavuNetlinkEvent() {
  if (iv_path != nullptr) free(iv_path);
  if (iv_type != nullptr) free(iv_type);
}
