// Which uevents the daemon serves, and under which type the client hears
// of them.
#pragma once

#include <cstddef>

// The type delivered to the client for an event of subsystem `type` at the
// device path `path`: a static literal, possibly `type`'s own text, or null
// when the daemon does not serve the event.
const char* tavuDeliveredType(const char* type, const char* path);

// Whether some device path of subsystem `type` is served: the classes that
// coldplug replays.
bool tavuServesSubsystem(const char* type);

// The served subsystems one by one, as patterns: a name, or a prefix and
// "*" for every subsystem that begins with it; null past the last.
const char* tavuServedSubsystemPattern(size_t index);
