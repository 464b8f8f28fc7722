// The floor's whole job, cut to what no device manager can avoid: read the
// three keys that name a node, and make or remove that node and its one
// directory. No allocation, no queue, no state between datagrams.
#pragma once

#include <cstddef>

enum tavuFloorAction { TAVU_FLOOR_OTHER, TAVU_FLOOR_ADD, TAVU_FLOOR_REMOVE };

struct tavuFloorEvent {
  tavuFloorAction action = TAVU_FLOOR_OTHER;
  const char* devpath = nullptr;  // points into the datagram
  int major = 0;
  int minor = 0;
};

// Finds ACTION=, DEVPATH=, MAJOR= and MINOR= among the datagram's
// NUL-terminated strings. A last string without its NUL is not read.
// Returns false when the datagram names no node (no DEVPATH=).
bool tavuFloorParse(const char* data, size_t length, tavuFloorEvent* event);

// Room for "/dev/" and a kernel device name.
constexpr size_t TAVU_FLOOR_PATH_MAX = 512;

// The node of a class device: "/class/uart/ttyS12" gives "/dev/tts/12" and
// the directory length 8 ("/dev/tts"). Names are split before their first
// digit; "ttyS" becomes "tts" and "ttyKWB" "ttsKWB", as the daemon names
// them. Returns false for a path outside /class/, a name without a digit or
// one too long for `node`.
bool tavuFloorNodePath(const char* devpath, char* node, size_t nodeSize, size_t* dirLength);

// With `walk` the calls are the daemon's own (mkdir of every level, then
// mknod; unlink, then rmdir of every level up to /dev), to price that
// design against the minimum.
void tavuFloorAddNode(char* node, size_t dirLength, int major, int minor, bool walk);
void tavuFloorRemoveNode(char* node, size_t dirLength, bool walk);

// Handles one datagram; returns true when it made or removed a node.
bool tavuFloorHandle(const char* data, size_t length, bool walk);
