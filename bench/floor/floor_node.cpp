#include "bench/floor/floor_node.h"

#include <errno.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr mode_t TAVU_FLOOR_NODE_MODE = S_IFCHR | 0660;
constexpr mode_t TAVU_FLOOR_DIR_MODE = 0755;

bool tavuStartsWith(const char* text, size_t length, const char* prefix) {
  const size_t prefixLength = std::strlen(prefix);
  return length >= prefixLength && std::memcmp(text, prefix, prefixLength) == 0;
}

// The value after `key` when `text` starts with it, else null.
const char* tavuValueOf(const char* text, size_t length, const char* key) {
  return tavuStartsWith(text, length, key) ? text + std::strlen(key) : nullptr;
}

void tavuTakeKey(const char* text, size_t length, tavuFloorEvent* event) {
  const char* value = nullptr;
  if ((value = tavuValueOf(text, length, "ACTION=")) != nullptr) {
    if (std::strcmp(value, "add") == 0) {
      event->action = TAVU_FLOOR_ADD;
    } else if (std::strcmp(value, "remove") == 0) {
      event->action = TAVU_FLOOR_REMOVE;
    }
  } else if ((value = tavuValueOf(text, length, "DEVPATH=")) != nullptr) {
    event->devpath = value;
  } else if ((value = tavuValueOf(text, length, "MAJOR=")) != nullptr) {
    event->major = std::atoi(value);
  } else if ((value = tavuValueOf(text, length, "MINOR=")) != nullptr) {
    event->minor = std::atoi(value);
  }
}

// Copies `text` to `out` (which holds `room` bytes); false when it does not fit.
bool tavuAppend(char* out, size_t room, size_t* used, const char* text, size_t length) {
  if (*used + length >= room) return false;
  std::memcpy(out + *used, text, length);
  *used += length;
  out[*used] = '\0';
  return true;
}

// Runs `call` on the directory part of `node`, which ends at `dirLength`.
template <typename Call>
void tavuOnDirectory(char* node, size_t dirLength, Call call) {
  node[dirLength] = '\0';
  call(node);
  node[dirLength] = '/';
}

}  // namespace

bool tavuFloorParse(const char* data, size_t length, tavuFloorEvent* event) {
  *event = tavuFloorEvent();
  size_t offset = 0;
  while (offset < length) {
    const void* end = std::memchr(data + offset, '\0', length - offset);
    if (end == nullptr) break;
    const size_t stringLength = static_cast<const char*>(end) - (data + offset);
    tavuTakeKey(data + offset, stringLength, event);
    offset += stringLength + 1;
  }
  return event->devpath != nullptr;
}

bool tavuFloorNodePath(const char* devpath, char* node, size_t nodeSize, size_t* dirLength) {
  static const char kClass[] = "/class/";
  if (std::strncmp(devpath, kClass, sizeof kClass - 1) != 0) return false;
  const char* name = std::strrchr(devpath, '/') + 1;
  size_t used = 0;
  if (!tavuAppend(node, nodeSize, &used, "/dev/", 5)) return false;
  if (std::strncmp(name, "ttyKWB", 6) == 0) {
    if (!tavuAppend(node, nodeSize, &used, "ttsKWB", 6)) return false;
    name += 6;
  } else if (std::strncmp(name, "ttyS", 4) == 0) {
    if (!tavuAppend(node, nodeSize, &used, "tts", 3)) return false;
    name += 4;
  }
  const size_t prefix = std::strcspn(name, "0123456789");
  if (name[prefix] == '\0') return false;
  if (!tavuAppend(node, nodeSize, &used, name, prefix)) return false;
  *dirLength = used;
  if (!tavuAppend(node, nodeSize, &used, "/", 1)) return false;
  return tavuAppend(node, nodeSize, &used, name + prefix, std::strlen(name + prefix));
}

void tavuFloorAddNode(char* node, size_t dirLength, int major, int minor, bool walk) {
  const dev_t device = makedev(static_cast<unsigned>(major), static_cast<unsigned>(minor));
  if (walk) {
    (void)mkdir("/dev", TAVU_FLOOR_DIR_MODE);
    tavuOnDirectory(node, dirLength,
                    [](const char* dir) { (void)mkdir(dir, TAVU_FLOOR_DIR_MODE); });
    (void)mknod(node, TAVU_FLOOR_NODE_MODE, device);
    return;
  }
  // The directory is made only when the node cannot be: the one call that
  // no device manager can spare is the mknod.
  if (mknod(node, TAVU_FLOOR_NODE_MODE, device) == 0 || errno != ENOENT) return;
  tavuOnDirectory(node, dirLength, [](const char* dir) { (void)mkdir(dir, TAVU_FLOOR_DIR_MODE); });
  (void)mknod(node, TAVU_FLOOR_NODE_MODE, device);
}

void tavuFloorRemoveNode(char* node, size_t dirLength, bool walk) {
  (void)unlink(node);
  // Without state, only an rmdir can tell whether the directory is empty.
  tavuOnDirectory(node, dirLength, [](const char* dir) { (void)rmdir(dir); });
  if (walk) (void)rmdir("/dev");
}

bool tavuFloorHandle(const char* data, size_t length, bool walk) {
  tavuFloorEvent event;
  if (!tavuFloorParse(data, length, &event) || event.action == TAVU_FLOOR_OTHER) return false;
  char node[TAVU_FLOOR_PATH_MAX];
  size_t dirLength = 0;
  if (!tavuFloorNodePath(event.devpath, node, sizeof node, &dirLength)) return false;
  if (event.action == TAVU_FLOOR_ADD) {
    if (event.major == 0) return false;
    tavuFloorAddNode(node, dirLength, event.major, event.minor, walk);
  } else {
    tavuFloorRemoveNode(node, dirLength, walk);
  }
  return true;
}
