// Every row of the classification table, with the path searches of the
// kwb rows taken apart.
#include "devnodes/uevent_classify.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct tavuClassifyCase {
  int row;
  const char* type;
  const char* path;
  const char* delivered;  // null: ignored
};

const tavuClassifyCase kClassifyCases[] = {
    {1, "ttyKWB", "/class/ttyKWB/ttyKWB3", "ttyKWB"},
    {1, "ttyKWB", "/anything", "ttyKWB"},
    {2, "kwb", "/devices/link-0/tlor-0/kwb-0.02", "kwb-tlor"},
    {2, "kwb", "/x/devices/link-12/y/tlor-3/z/kwb-7.02", "kwb-tlor"},
    {2, "kwb", "/devices/link-0/tlor-0/kwb-.02", "kwb-tlor"},
    // Each search starts where the previous text begins, so they may overlap.
    {2, "kwb", "/devices/link-/tlor-/kwb-.02", "kwb-tlor"},
    // The first "/devices/link-" starts the search; a later one is found too.
    {2, "kwb", "/devices/link-0/devices/link-1/tlor-0/kwb-0.02", "kwb-tlor"},
    {3, "kwb", "/devices/link-0/tlor-0/kwb-0.03", nullptr},
    {3, "kwb", "/devices/link-0/tlor-0/kwb-0.02/x", nullptr},
    {3, "kwb", "/devices/link-0/tlor-0/kwb-0", nullptr},
    // Only the first ".02" after "/kwb-" counts.
    {3, "kwb", "/devices/link-0/tlor-0/kwb-0.02.02", nullptr},
    {3, "kwb", "/devices/link-0/tlor-0/kwb-0.020", nullptr},
    {4, "kwb", "/devices/link-0/kwb-0.02", "kwb"},
    {4, "kwb", "/devices/tlor-0/kwb-0.02", "kwb"},
    {4, "kwb", "/devices/link-0/tlor-0/kwb0.02", "kwb"},
    // "/tlor-" before "/devices/link-" is not found from there.
    {4, "kwb", "/tlor-0/devices/link-0/kwb-0.02", "kwb"},
    {4, "kwb", "/kwb-0.02/devices/link-0/tlor-0", "kwb"},
    {4, "kwb", "/class/kwb/kwb0.1.2", "kwb"},
    {4, "kwb", "", "kwb"},
    {5, "iic-kwb", "/class/iic-kwb/iic-slv.5", "iic-slv"},
    {5, "iic-kwb", "/x/iic-slv./y", "iic-slv"},
    {6, "iic-kwb", "/class/iic-kwb/iic-0.3", "iic"},
    {6, "iic-kwb", "/class/iic-kwb/iic-slv5", "iic"},
    {7, "scan", "/class/scan/scan2", "scan"},
    {7, "scan7", "/any", "scan"},
    {7, "scanner", "/any", "scan"},
    {8, "vrax", "/class/vrax/vrax0", "vrax"},
    {8, "vrax-2", "/any", "vrax"},
    {9, "uart", "/class/uart/ttyS1", "uart"},
    {9, "gpio", "/class/gpio/gpio12", "gpio"},
    {9, "jtag", "/class/jtag/jtagmux", "jtag"},
    {9, "iomux", "/class/iomux/iomux0", "iomux"},
    {10, "net", "/class/net/mbx0", "net"},
    {10, "net", "/devices/x/mbx", "net"},
    {11, "net", "/class/net/eth0", nullptr},
    {11, "net", "/class/net/MBX0", nullptr},
    {12, "sca", "/class/scan/scan2", nullptr},
    {12, "UART", "/class/uart/ttyS1", nullptr},
    {12, "ttykwb", "/class/ttyKWB/ttyKWB3", nullptr},
    {12, "ttyKWB2", "/class/ttyKWB/ttyKWB3", nullptr},
    {12, "kwb ", "/class/kwb/kwb0", nullptr},
    {12, "iic", "/class/iic-kwb/iic-0.3", nullptr},
    {12, "uarts", "/class/uart/ttyS1", nullptr},
    {12, "gpi", "/class/gpio/gpio1", nullptr},
    {12, "Scan", "/class/scan/scan2", nullptr},
    {12, "", "/class/uart/ttyS1", nullptr},
    {12, "block", "/class/block/sda", nullptr},
};

TEST(UeventClassify, EveryRowOfTheTable) {
  for (const tavuClassifyCase& c : kClassifyCases) {
    SCOPED_TRACE(testing::Message() << "row " << c.row << ": " << c.type << " " << c.path);
    const char* delivered = tavuDeliveredType(c.type, c.path);
    if (c.delivered == nullptr) {
      EXPECT_EQ(delivered, nullptr) << delivered;
    } else {
      ASSERT_NE(delivered, nullptr);
      EXPECT_STREQ(delivered, c.delivered);
    }
  }
}

// Coldplug replays the subsystems of which some path is served: those of
// every row but the last.
TEST(UeventClassify, ServedSubsystemsAreTheTablesRows) {
  for (const tavuClassifyCase& c : kClassifyCases) {
    EXPECT_EQ(tavuServesSubsystem(c.type), c.row != 12) << c.type;
  }
}

TEST(UeventClassify, EveryDeliveredTypeIsListed) {
  for (const tavuClassifyCase& c : kClassifyCases) {
    const char* delivered = tavuDeliveredType(c.type, c.path);
    if (delivered == nullptr) continue;
    bool listed = false;
    for (const char* const* type = kTavuDeliveredTypes; *type != nullptr; ++type) {
      listed = listed || std::strcmp(*type, delivered) == 0;
    }
    EXPECT_TRUE(listed) << delivered;
  }
}

}  // namespace
