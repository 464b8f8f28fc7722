#include "devnodes/uevent_keys.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "daemon/report.h"

namespace {

// The datagram travels along so that a binary entry can carry all of it.
struct tavuKeyWalk {
  tavuUeventKeys* keys;
  uint32_t length;
  const char* data;
};

// Replaces an owned string by a heap copy of `value`; null when no memory.
void tavuReplaceString(char*& field, const char* value) {
  free(field);
  field = strdup(value);
}

void tavuHandleAction(tavuKeyWalk& walk, const char* value) {
  tavuNetlinkEvent& record = walk.keys->record;
  if (strcmp(value, "add") == 0) {
    record.iv_action = TAVU_ACTION_ADD;
  } else if (strcmp(value, "remove") == 0) {
    record.iv_action = TAVU_ACTION_REMOVE;
  } else {
    walk.keys->rejected = true;
    TAVU_TRACE_BINARY("uevent ACTION= value not recognised", walk.data, walk.length);
  }
}

void tavuHandleDevpath(tavuKeyWalk& walk, const char* value) {
  tavuReplaceString(walk.keys->record.iv_path, value);
}

void tavuHandleSubsystem(tavuKeyWalk& walk, const char* value) {
  walk.keys->subsystemSeen = true;
  tavuReplaceString(walk.keys->record.iv_type, value);
}

// Each malformed number has its own site, so the decoder tells them apart.
void tavuHandleSeqnum(tavuKeyWalk& walk, const char* value) {
  if (tavuParseUeventNumber(value, &walk.keys->record.iv_seq)) return;
  walk.keys->rejected = true;
  TAVU_TRACE_BINARY("uevent SEQNUM= value not a number", walk.data, walk.length);
}

void tavuHandleMajor(tavuKeyWalk& walk, const char* value) {
  if (tavuParseUeventNumber(value, &walk.keys->major)) return;
  walk.keys->rejected = true;
  TAVU_TRACE_BINARY("uevent MAJOR= value not a number", walk.data, walk.length);
}

void tavuHandleMinor(tavuKeyWalk& walk, const char* value) {
  if (tavuParseUeventNumber(value, &walk.keys->minor)) return;
  walk.keys->rejected = true;
  TAVU_TRACE_BINARY("uevent MINOR= value not a number", walk.data, walk.length);
}

// A bad LINK= is reported but does not cost the client its event.
void tavuHandleLink(tavuKeyWalk& walk, const char* value) {
  if (tavuParseUeventNumber(value, &walk.keys->record.iv_link)) return;
  TAVU_TRACE_BINARY("uevent LINK= value not a number", walk.data, walk.length);
}

void tavuHandleTlor(tavuKeyWalk& walk, const char* value) {
  if (tavuParseUeventNumber(value, &walk.keys->record.iv_tlor)) return;
  walk.keys->rejected = true;
  TAVU_TRACE_BINARY("uevent TLOR= value not a number", walk.data, walk.length);
}

struct tavuUeventKey {
  const char* text;  // including its "="
  size_t length;
  void (*handle)(tavuKeyWalk& walk, const char* value);
};

#define TAVU_KEY(text, handler) \
  { text, sizeof(text) - 1, handler }

// Compared in this order; the first match decides.
const tavuUeventKey kUeventKeys[] = {
    TAVU_KEY("ACTION=", tavuHandleAction),       TAVU_KEY("DEVPATH=", tavuHandleDevpath),
    TAVU_KEY("SUBSYSTEM=", tavuHandleSubsystem), TAVU_KEY("SEQNUM=", tavuHandleSeqnum),
    TAVU_KEY("MAJOR=", tavuHandleMajor),         TAVU_KEY("MINOR=", tavuHandleMinor),
    TAVU_KEY("LINK=", tavuHandleLink),           TAVU_KEY("TLOR=", tavuHandleTlor),
};

#undef TAVU_KEY

void tavuHandleUeventString(const char* string, size_t stringLength, void* context) {
  auto& walk = *static_cast<tavuKeyWalk*>(context);
  for (const tavuUeventKey& key : kUeventKeys) {
    if (stringLength >= key.length && memcmp(string, key.text, key.length) == 0) {
      key.handle(walk, string + key.length);
      return;
    }
  }
}

}  // namespace

uint32_t tavuWalkUeventStrings(uint32_t length, const char* data, tavuUeventStringVisitor visit,
                               void* context) {
  uint32_t visited = 0;
  uint32_t offset = 0;
  while (offset < length) {
    const char* string = data + offset;
    const void* nul = memchr(string, '\0', length - offset);
    if (nul == nullptr) break;
    const auto stringLength = static_cast<size_t>(static_cast<const char*>(nul) - string);
    visit(string, stringLength, context);
    ++visited;
    offset += static_cast<uint32_t>(stringLength) + 1;
  }
  return visited;
}

bool tavuParseUeventNumber(const char* value, int32_t* number) {
  char* end = nullptr;
  long parsed = strtol(value, &end, 10);
  if (end == value || *end != '\0') {
    *number = 0;
    return false;
  }
  // Where long is wider than 32 bits, saturate as a 32-bit strtol would.
  if (parsed > INT32_MAX) parsed = INT32_MAX;
  if (parsed < INT32_MIN) parsed = INT32_MIN;
  *number = static_cast<int32_t>(parsed);
  return true;
}

void tavuReadUeventKeys(uint32_t length, const char* data, tavuUeventKeys* keys) {
  tavuKeyWalk walk{keys, length, data};
  tavuWalkUeventStrings(length, data, tavuHandleUeventString, &walk);
}
