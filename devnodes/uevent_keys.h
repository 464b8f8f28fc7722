// Reading one uevent datagram: walking its NUL-terminated strings and
// taking the values of the keys the daemon knows.
#pragma once

#include <cstddef>
#include <cstdint>

#include "devnodes/netlink_event.h"

// What the walk over one datagram leaves for the interpreter to decide on.
// A seen DEVPATH= shows as a non-null record.iv_path (null also when its
// copy could not be made, which drops the event all the same).
struct tavuUeventKeys {
  tavuNetlinkEvent record;  // the scratch record: numbers and both strings
  bool subsystemSeen = false;
  int32_t major = 0;
  int32_t minor = 0;
  bool rejected = false;  // a malformed value was met
};

using tavuUeventStringVisitor = void (*)(const char* string, size_t stringLength, void* context);

// Calls `visit` for each NUL-terminated string that lies wholly within the
// datagram, in order. A tail without its NUL is passed over unread beyond
// `length`: it is a string cut short, whose value cannot be trusted.
// Returns the number of strings visited.
uint32_t tavuWalkUeventStrings(uint32_t length, const char* data, tavuUeventStringVisitor visit,
                               void* context);

// strtol in base 10 into 32 bits, saturated. True when at least one
// character was consumed and the conversion ended at the NUL; `number`
// receives the value, or 0 when it is not a number.
bool tavuParseUeventNumber(const char* value, int32_t* number);

// Handles every string of the datagram against the key table, leaving the
// result in `keys`. A malformed value writes its site's binary entry,
// carrying the whole datagram.
void tavuReadUeventKeys(uint32_t length, const char* data, tavuUeventKeys* keys);
