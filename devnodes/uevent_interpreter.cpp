// The uevent interpreter: reads the keys of one datagram, decides whether
// the client hears of the event and under which type, and keeps /dev in step.
#include "uevent_interpreter.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "dev_nodes.h"
#include "report.h"
#include "uevent_classify.h"

namespace {

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

// strtol in base 10 into 32 bits, saturated. True when at least one
// character was consumed and the conversion ended at the NUL; `number`
// receives the value, or 0 when it is not a number.
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
const tavuUeventKey TAVU_UEVENT_KEYS[] = {
    TAVU_KEY("ACTION=", tavuHandleAction),       TAVU_KEY("DEVPATH=", tavuHandleDevpath),
    TAVU_KEY("SUBSYSTEM=", tavuHandleSubsystem), TAVU_KEY("SEQNUM=", tavuHandleSeqnum),
    TAVU_KEY("MAJOR=", tavuHandleMajor),         TAVU_KEY("MINOR=", tavuHandleMinor),
    TAVU_KEY("LINK=", tavuHandleLink),           TAVU_KEY("TLOR=", tavuHandleTlor),
};

#undef TAVU_KEY

void tavuHandleUeventString(const char* string, size_t stringLength, tavuKeyWalk& walk) {
  for (const tavuUeventKey& key : TAVU_UEVENT_KEYS) {
    if (stringLength >= key.length && memcmp(string, key.text, key.length) == 0) {
      key.handle(walk, string + key.length);
      return;
    }
  }
}

// Each NUL-terminated string that lies wholly within the datagram, in
// order, against the key table. A tail without its NUL is passed over
// unread beyond `length`: a string cut short, whose value cannot be trusted.
void tavuReadUeventKeys(uint32_t length, const char* data, tavuUeventKeys* keys) {
  tavuKeyWalk walk{keys, length, data};
  uint32_t offset = 0;
  while (offset < length) {
    const char* string = data + offset;
    const void* nul = memchr(string, '\0', length - offset);
    if (nul == nullptr) break;
    const auto stringLength = static_cast<size_t>(static_cast<const char*>(nul) - string);
    tavuHandleUeventString(string, stringLength, walk);
    offset += static_cast<uint32_t>(stringLength) + 1;
  }
}

// Without a SUBSYSTEM= key, a path naming a bus serial port still tells
// the type.
void tavuApplyTtyKwbRule(tavuUeventKeys* keys) {
  tavuNetlinkEvent& record = keys->record;
  if (keys->subsystemSeen || record.iv_path == nullptr) return;
  if (strstr(record.iv_path, "/ttyKWB") != nullptr) record.iv_type = strdup("ttyKWB");
}

// Decides whether the client hears of the event and gives the record its
// delivered type. A copy that cannot be made drops the event.
bool tavuAcceptUevent(tavuUeventKeys* keys) {
  tavuNetlinkEvent& record = keys->record;
  if (keys->rejected) return false;
  tavuApplyTtyKwbRule(keys);
  if (record.iv_path == nullptr || record.iv_type == nullptr) return false;
  const char* delivered = tavuDeliveredType(record.iv_type, record.iv_path);
  if (delivered == nullptr) return false;
  if (strcmp(delivered, record.iv_type) != 0) {
    char* copy = strdup(delivered);
    if (copy == nullptr) return false;
    free(record.iv_type);
    record.iv_type = copy;
  }
  return true;
}

// Only class devices have nodes; an "add" needs a major number, a
// "remove" does not.
void tavuKeepDevInStep(const tavuUeventKeys& keys) {
  std::string nodePath;
  std::string directory;
  if (!tavuMakeDevNodePath(keys.record.iv_path, nodePath, directory)) return;
  if (keys.record.iv_action == TAVU_ACTION_ADD && keys.major != 0) {
    tavuCreateDevNode(nodePath, directory, keys.major, keys.minor);
  } else if (keys.record.iv_action == TAVU_ACTION_REMOVE) {
    tavuRemoveDevNode(nodePath, directory);
  }
}

}  // namespace

int tavuHandleNetlinkEvent(uint32_t length, const char* data, tavuNetlinkEvent** event) {
  if (data == nullptr || event == nullptr) return 0;
  tavuUeventKeys keys;
  tavuReadUeventKeys(length, data, &keys);
  if (!tavuAcceptUevent(&keys)) return 0;
  // The record is made before /dev changes, so that an event the client
  // cannot be told of leaves /dev as it was.
  auto* record = new (std::nothrow) tavuNetlinkEvent(keys.record);
  if (record == nullptr) return 0;
  if (record->iv_path == nullptr || record->iv_type == nullptr) {
    delete record;
    return 0;
  }
  tavuKeepDevInStep(keys);
  record->iv_time = time(nullptr);
  *event = record;
  return 1;
}
