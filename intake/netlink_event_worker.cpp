#include "intake/intake_threads.h"
// PLACEHOLDER: the worker lands with the intake work.
void* tavuMonitorNetlinkEventQueue(void*) { return nullptr; }
