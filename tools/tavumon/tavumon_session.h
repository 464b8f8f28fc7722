// One connection to the daemon: handshake, then events until done.
#pragma once

#include "tools/tavumon/tavumon_options.h"

// Returns the exit status: TAVUMON_EXIT_OK or TAVUMON_EXIT_FAILURE.
int tavumonRunSession(const tavumonOptions& options);
