// Gives the memory of a long backlog back to the system once it has drained.
#pragma once

#include <cstdint>

// Called by the delivery loop after each delivery, with the number of records
// still queued. Main thread only.
void tavuReleaseDrainedBacklog(int32_t queued);
