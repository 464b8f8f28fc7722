// Which uevents the daemon serves, and under which type the client hears
// of them.
#pragma once

// The type delivered to the client for an event of subsystem `type` at the
// device path `path`: a static literal, possibly `type`'s own text, or null
// when the daemon does not serve the event.
const char* tavuDeliveredType(const char* type, const char* path);

// Each of the types that tavuDeliveredType can give, then a null.
extern const char* const kTavuDeliveredTypes[];
