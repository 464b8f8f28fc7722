// The uevent interpreter: reads the keys of one datagram into the event's
// record, made once on the heap, decides whether the client hears of the
// event and under which type, and keeps /dev in step.
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

// The walk over one datagram: the record it fills, and what the
// interpreter decides on besides. A seen DEVPATH= shows as a non-null
// record->iv_path (null also when its copy could not be made, which drops
// the event all the same). The datagram travels along so that a binary
// entry can carry all of it.
struct tavuUeventKeys {
  tavuNetlinkEvent* record;
  uint32_t length;
  const char* data;
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

// Replaces an owned string by a heap copy of `value`; null when no memory.
void tavuReplaceString(char*& field, const char* value) {
  free(field);
  field = strdup(value);
}

// Each reads a key's value into its place; false when the value is malformed.
bool tavuReadAction(tavuUeventKeys& keys, const char* value) {
  const bool add = strcmp(value, "add") == 0;
  if (!add && strcmp(value, "remove") != 0) return false;
  keys.record->iv_action = add ? TAVU_ACTION_ADD : TAVU_ACTION_REMOVE;
  return true;
}

bool tavuReadDevpath(tavuUeventKeys& keys, const char* value) {
  tavuReplaceString(keys.record->iv_path, value);
  return true;
}

bool tavuReadSubsystem(tavuUeventKeys& keys, const char* value) {
  keys.subsystemSeen = true;
  tavuReplaceString(keys.record->iv_type, value);
  return true;
}

template <int32_t tavuNetlinkEvent::*field>
bool tavuReadEventNumber(tavuUeventKeys& keys, const char* value) {
  return tavuParseUeventNumber(value, &(keys.record->*field));
}

template <int32_t tavuUeventKeys::*field>
bool tavuReadDeviceNumber(tavuUeventKeys& keys, const char* value) {
  return tavuParseUeventNumber(value, &(keys.*field));
}

// Each malformed value has its own site, so the decoder tells them apart.
TAVU_BINARY_SITE(TAVU_BAD_ACTION, "uevent ACTION= value not recognised");
TAVU_BINARY_SITE(TAVU_BAD_SEQNUM, "uevent SEQNUM= value not a number");
TAVU_BINARY_SITE(TAVU_BAD_MAJOR, "uevent MAJOR= value not a number");
TAVU_BINARY_SITE(TAVU_BAD_MINOR, "uevent MINOR= value not a number");
TAVU_BINARY_SITE(TAVU_BAD_LINK, "uevent LINK= value not a number");
TAVU_BINARY_SITE(TAVU_BAD_TLOR, "uevent TLOR= value not a number");

// A key the interpreter reads: where its value goes and, for a value that
// cannot be read, the binary entry left and whether the event is rejected.
struct tavuUeventKey {
  const char* text;  // including its "="
  size_t length;
  bool (*read)(tavuUeventKeys& keys, const char* value);
  const tavuSite* malformed;  // null where every value is read
  bool rejects;
};

#define TAVU_KEY(text, read, malformed, rejects) \
  { text, sizeof(text) - 1, read, malformed, rejects }

// No key begins another, so the order does not matter. A bad LINK= is
// reported but does not cost the client its event.
const tavuUeventKey TAVU_UEVENT_KEYS[] = {
    TAVU_KEY("ACTION=", tavuReadAction, &TAVU_BAD_ACTION, true),
    TAVU_KEY("DEVPATH=", tavuReadDevpath, nullptr, false),
    TAVU_KEY("SUBSYSTEM=", tavuReadSubsystem, nullptr, false),
    TAVU_KEY("SEQNUM=", tavuReadEventNumber<&tavuNetlinkEvent::iv_seq>, &TAVU_BAD_SEQNUM, true),
    TAVU_KEY("MAJOR=", tavuReadDeviceNumber<&tavuUeventKeys::major>, &TAVU_BAD_MAJOR, true),
    TAVU_KEY("MINOR=", tavuReadDeviceNumber<&tavuUeventKeys::minor>, &TAVU_BAD_MINOR, true),
    TAVU_KEY("LINK=", tavuReadEventNumber<&tavuNetlinkEvent::iv_link>, &TAVU_BAD_LINK, false),
    TAVU_KEY("TLOR=", tavuReadEventNumber<&tavuNetlinkEvent::iv_tlor>, &TAVU_BAD_TLOR, true),
};

#undef TAVU_KEY

void tavuReadUeventString(tavuUeventKeys& keys, const char* string, size_t stringLength) {
  for (const tavuUeventKey& key : TAVU_UEVENT_KEYS) {
    if (stringLength < key.length || memcmp(string, key.text, key.length) != 0) continue;
    if (!key.read(keys, string + key.length)) {
      keys.rejected = keys.rejected || key.rejects;
      tavuReportBinary(*key.malformed, keys.data, keys.length);
    }
    return;
  }
}

// Each NUL-terminated string that lies wholly within the datagram, in
// order, against the key table. A tail without its NUL is passed over
// unread beyond `length`: a string cut short, whose value cannot be trusted.
void tavuReadUeventKeys(tavuUeventKeys& keys) {
  uint32_t offset = 0;
  while (offset < keys.length) {
    const char* string = keys.data + offset;
    const void* nul = memchr(string, '\0', keys.length - offset);
    if (nul == nullptr) break;
    const auto stringLength = static_cast<size_t>(static_cast<const char*>(nul) - string);
    tavuReadUeventString(keys, string, stringLength);
    offset += static_cast<uint32_t>(stringLength) + 1;
  }
}

// Without a SUBSYSTEM= key, a path naming a bus serial port still tells
// the type.
void tavuApplyTtyKwbRule(const tavuUeventKeys& keys) {
  tavuNetlinkEvent& record = *keys.record;
  if (keys.subsystemSeen || record.iv_path == nullptr) return;
  if (strstr(record.iv_path, "/ttyKWB") != nullptr) record.iv_type = strdup("ttyKWB");
}

// Decides whether the client hears of the event and gives the record its
// delivered type. A copy that cannot be made drops the event.
bool tavuAcceptUevent(const tavuUeventKeys& keys) {
  tavuNetlinkEvent& record = *keys.record;
  if (keys.rejected) return false;
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
  const tavuNetlinkEvent& record = *keys.record;
  std::string nodePath;
  std::string directory;
  if (!tavuMakeDevNodePath(record.iv_path, nodePath, directory)) return;
  if (record.iv_action == TAVU_ACTION_ADD && keys.major != 0) {
    tavuCreateDevNode(nodePath, directory, keys.major, keys.minor);
  } else if (record.iv_action == TAVU_ACTION_REMOVE) {
    tavuRemoveDevNode(nodePath, directory);
  }
}

}  // namespace

int tavuHandleNetlinkEvent(uint32_t length, const char* data, tavuNetlinkEvent** event) {
  if (data == nullptr || event == nullptr) return 0;
  tavuUeventKeys keys{new (std::nothrow) tavuNetlinkEvent, length, data};
  if (keys.record == nullptr) return 0;
  tavuReadUeventKeys(keys);
  // Decided before /dev changes, so that an event the client cannot be
  // told of leaves /dev as it was.
  if (!tavuAcceptUevent(keys)) {
    delete keys.record;
    return 0;
  }
  tavuKeepDevInStep(keys);
  keys.record->iv_time = time(nullptr);
  *event = keys.record;
  return 1;
}
