#include "daemon.h"

// Which build this is, beside its report sites: the trace decoder compares
// it with the build a trace buffer's header names.
[[gnu::section("tavu_build"), gnu::used]] static const char TAVU_BUILD_RECORD[] = TAVU_BUILD_ID;

int main(int /*argc*/, char** argv) {
  tavuStartUp(argv[0]);
  tavuRunDeliveryLoop();
}
