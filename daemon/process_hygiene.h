// What the daemon makes of the process it was started in, before it opens
// any socket of its own.
#pragma once

// Opens /dev/null on whichever of descriptors 0, 1 and 2 is closed, so that
// no socket of the daemon ever takes one of them; closes every other
// descriptor inherited from the launcher; ignores SIGPIPE, so that a report
// printed into a closed pipe costs the report, not the daemon.
void tavuTidyInheritedProcess();
