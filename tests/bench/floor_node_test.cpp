// The floor's parsing and naming: it must make exactly the daemon's node
// for the workload, or the two would not be doing the same work.
#include "bench/floor/floor_node.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "devnodes/dev_node_paths.h"

namespace {

std::string tavuDatagram(const std::vector<std::string>& strings) {
  std::string bytes;
  for (const std::string& text : strings) bytes += text + '\0';
  return bytes;
}

struct tavuParseCase {
  const char* name;
  std::string datagram;
  bool names;
  tavuFloorAction action;
  const char* devpath;
  int major;
  int minor;
};

TEST(FloorParse, ReadsTheKeysThatNameANode) {
  const tavuParseCase cases[] = {
      {"add",
       tavuDatagram({"add@/class/uart/ttyS1", "ACTION=add", "DEVPATH=/class/uart/ttyS1",
                     "SUBSYSTEM=uart", "MAJOR=4", "MINOR=65", "SEQNUM=9"}),
       true, TAVU_FLOOR_ADD, "/class/uart/ttyS1", 4, 65},
      {"remove without numbers", tavuDatagram({"ACTION=remove", "DEVPATH=/class/gpio/gpio3"}), true,
       TAVU_FLOOR_REMOVE, "/class/gpio/gpio3", 0, 0},
      {"other action", tavuDatagram({"ACTION=change", "DEVPATH=/class/uart/ttyS1"}), true,
       TAVU_FLOOR_OTHER, "/class/uart/ttyS1", 0, 0},
      {"no device path", tavuDatagram({"ACTION=add", "MAJOR=4", "MINOR=1"}), false, TAVU_FLOOR_ADD,
       nullptr, 4, 1},
      {"header only: the action comes from ACTION= alone", tavuDatagram({"add@/class/uart/ttyS1"}),
       false, TAVU_FLOOR_OTHER, nullptr, 0, 0},
      {"last string without its NUL is not read",
       tavuDatagram({"ACTION=add", "MAJOR=4"}) + "DEVPATH=/class/uart/ttyS1", false, TAVU_FLOOR_ADD,
       nullptr, 4, 0},
      {"empty", "", false, TAVU_FLOOR_OTHER, nullptr, 0, 0},
  };
  for (const tavuParseCase& c : cases) {
    SCOPED_TRACE(c.name);
    tavuFloorEvent event;
    EXPECT_EQ(tavuFloorParse(c.datagram.data(), c.datagram.size(), &event), c.names);
    EXPECT_EQ(event.action, c.action);
    EXPECT_STREQ(event.devpath, c.devpath);
    EXPECT_EQ(event.major, c.major);
    EXPECT_EQ(event.minor, c.minor);
  }
}

TEST(FloorNodePath, MakesTheDaemonsNodeForEveryNameOfTheWorkloadsForm) {
  const char* const devpaths[] = {
      "/class/uart/ttyS1", "/class/uart/ttyS10",    "/class/ttyKWB/ttyKWB12", "/class/gpio/gpio12",
      "/class/jtag/jtag1", "/class/uart/ttyS99999", "/class/iomux/iomux0",    "/class/scan/scan2"};
  for (const char* devpath : devpaths) {
    SCOPED_TRACE(devpath);
    char node[TAVU_FLOOR_PATH_MAX];
    size_t dirLength = 0;
    ASSERT_TRUE(tavuFloorNodePath(devpath, node, sizeof node, &dirLength));
    std::string daemonNode, daemonDir;
    ASSERT_TRUE(tavuMakeDevNodePath(devpath, daemonNode, daemonDir));
    EXPECT_EQ(node, daemonNode);
    EXPECT_EQ(std::string(node, dirLength), daemonDir);
  }
}

TEST(FloorNodePath, RefusesWhatItDoesNotServe) {
  const char* const devpaths[] = {"/devices/link-0/tlor-0/kwb-0.02",  // not a class device
                                  "/devices/x/class/uart/ttyS1",      // /class/ not at the start
                                  "/class/jtag/jtagmux",              // no digit to split at
                                  "/class/"};
  for (const char* devpath : devpaths) {
    SCOPED_TRACE(devpath);
    char node[TAVU_FLOOR_PATH_MAX];
    size_t dirLength = 0;
    EXPECT_FALSE(tavuFloorNodePath(devpath, node, sizeof node, &dirLength));
  }
}

TEST(FloorNodePath, RefusesANameTooLongForTheBuffer) {
  char node[16];
  size_t dirLength = 0;
  EXPECT_TRUE(tavuFloorNodePath("/class/uart/ttyS123", node, sizeof node, &dirLength));
  EXPECT_STREQ(node, "/dev/tts/123");
  EXPECT_FALSE(tavuFloorNodePath("/class/uart/ttyS1234567", node, sizeof node, &dirLength));
  EXPECT_FALSE(
      tavuFloorNodePath("/class/gpio/gpiochip-with-a-long-name1", node, sizeof node, &dirLength));
}

}  // namespace
