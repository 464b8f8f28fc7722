#include "devnodes/uevent_interpreter.h"
// PLACEHOLDER: the interpreter lands with the /dev nodes work.
int tavuHandleNetlinkEvent(uint32_t, const char*, tavuNetlinkEvent**) { return 0; }
