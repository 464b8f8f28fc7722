// The programs measured: the floor (also in its hardened form), BusyBox
// mdev in daemon mode, and tavunetlink with its client.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "arrivals.h"
#include "bench_config.h"
#include "child_process.h"

enum tavuSubjectKind { TAVU_FLOOR, TAVU_FLOOR_HARDENED, TAVU_MDEV, TAVU_DAEMON };
constexpr int TAVU_SUBJECT_KINDS = 4;

const char* tavuSubjectName(tavuSubjectKind kind);

struct tavuSubject {
  tavuSubjectKind kind = TAVU_FLOOR;
  pid_t pid = -1;       // the process that owns the uevent socket
  uint32_t groups = 0;  // the multicast groups its uevent socket joins
  pid_t clientPid = -1;
  tavuArrivals* arrivals = nullptr;  // the client's, once it runs
};

// Starts the subject and waits until its uevent socket listens and, for
// the daemon `withClient`, until its client has done the handshake. False
// with `error` set and nothing left running.
bool tavuStartSubject(const tavuBenchConfig& config, tavuSubjectKind kind, bool withClient,
                      tavuSubject* subject, std::string* error);

// Starts the daemon's client and waits for its handshake.
bool tavuStartClient(const tavuBenchConfig& config, tavuSubject* subject, std::string* error);

void tavuStopSubject(tavuSubject* subject);

// The kernel's drops for the subject's socket so far; false when it is gone.
bool tavuSubjectDrops(const tavuSubject& subject, uint32_t* drops, std::string* error);

// Events the client has acknowledged so far (0 without a client).
uint32_t tavuClientCount(const tavuSubject& subject);

// Waits until the client has acknowledged `target` events in all, or none
// for `quietMs`; returns the count then.
uint32_t tavuWaitClientCount(const tavuSubject& subject, uint32_t target, int quietMs);
