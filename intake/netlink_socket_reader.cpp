#include "intake/intake_threads.h"
// PLACEHOLDER: the reader lands with the intake work.
void* tavuMonitorNetlinkSocket(void*) { return nullptr; }
