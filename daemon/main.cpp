#include "daemon/startup.h"

int main(int /*argc*/, char** argv) {
  tavuStartUp(argv[0]);
  tavuRunDeliveryLoop();
}
