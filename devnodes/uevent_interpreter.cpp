#include "devnodes/uevent_interpreter.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "devnodes/dev_node_ops.h"
#include "devnodes/dev_node_paths.h"
#include "devnodes/uevent_classify.h"
#include "devnodes/uevent_keys.h"

namespace {

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
