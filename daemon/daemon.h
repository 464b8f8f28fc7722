// The daemon's two halves: start-up, then the delivery loop. Neither returns.
#pragma once

// Names the program, forks into the background, prepares the queue locks,
// starts the worker and reader threads, waits for the client and creates
// the trace buffer. Returns only in the daemon process, ready to deliver.
void tavuStartUp(const char* argv0);

// Delivers queued events to the client until a stop is seen; ends the
// process with exit.
[[noreturn]] void tavuRunDeliveryLoop();
