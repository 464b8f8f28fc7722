// Node paths and directories derived from kernel device paths, and the
// check that keeps every node operation inside /dev (hostile kernel paths
// through the node operations: dev_node_ops_test).
#include "devnodes/dev_node_paths.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct tavuNodePathCase {
  const char* devicePath;
  const char* nodePath;
  const char* directory;
};

// The worked examples, then the renaming and split rules at their edges.
const tavuNodePathCase kNodePathCases[] = {
    {"/class/ttyKWB/ttyKWB3", "/dev/ttsKWB/3", "/dev/ttsKWB"},
    {"/class/ttyKWB/ttyKWB12", "/dev/ttsKWB/12", "/dev/ttsKWB"},
    {"/class/uart/ttyS1", "/dev/tts/1", "/dev/tts"},
    {"/class/uart/ttyS10", "/dev/tts/10", "/dev/tts"},
    {"/class/gpio/gpio12", "/dev/gpio/12", "/dev/gpio"},
    {"/class/jtag/jtag1", "/dev/jtag/1", "/dev/jtag"},
    {"/class/iomux/iomux0", "/dev/iomux/0", "/dev/iomux"},
    {"/class/scan/scan2", "/dev/scan/2", "/dev/scan"},
    {"/class/vrax/vrax0", "/dev/vrax/0", "/dev/vrax"},
    {"/class/iic-kwb/iic-slv.5", "/dev/iic-slv/5", "/dev/iic-slv"},
    {"/class/iic-kwb/iic-0.3", "/dev/iic-0/3", "/dev/iic-0"},
    {"/class/kwb/kwb0.1.2", "/dev/kwb0/1/2", "/dev/kwb0/1"},
    {"/class/net/mbx0", "/dev/mbx/0", "/dev/mbx"},
    {"/class/jtag/jtagmux", "/dev/jtagmux", ""},
    // Renaming: only the leading "ttyKWB" or "ttyS"; names already renamed stay.
    {"/class/ttyKWB/ttyKWBx", "/dev/ttsKWBx", ""},
    {"/class/uart/ttySA0", "/dev/ttsA/0", "/dev/ttsA"},
    {"/class/uart/tts4", "/dev/tts/4", "/dev/tts"},
    {"/class/ttyKWB/ttsKWB7", "/dev/ttsKWB/7", "/dev/ttsKWB"},
    {"/class/uart/xttyS1", "/dev/xttyS/1", "/dev/xttyS"},
    {"/class/uart/ttyKW1", "/dev/ttyKW/1", "/dev/ttyKW"},
    // Only the last component counts, whatever lies between.
    {"/class/a/b/c/gpio3", "/dev/gpio/3", "/dev/gpio"},
    {"/class/gpio3", "/dev/gpio/3", "/dev/gpio"},
    // Split at the first digit only; dots take precedence over digits.
    {"/class/x/ab12cd34", "/dev/ab/12cd34", "/dev/ab"},
    {"/class/x/7seg", "/dev//7seg", "/dev/"},
    {"/class/x/a.b", "/dev/a/b", "/dev/a"},
    {"/class/x/a1.b2", "/dev/a1/b2", "/dev/a1"},
    {"/class/x/a..b", "/dev/a//b", "/dev/a/"},
    {"/class/x/.hidden", "/dev//hidden", "/dev/"},
    {"/class/x/trail.", "/dev/trail/", "/dev/trail"},
    // Nothing after "/class/": the path is /dev itself, which no call can harm.
    {"/class/", "/dev/", ""},
    {"/class/uart/", "/dev/", ""},
    {"/class/x/..", "/dev///", "/dev//"},
    {"/class/x/.", "/dev//", "/dev/"},
};

TEST(DevNodePath, WorkedExamplesAndRuleEdges) {
  for (const tavuNodePathCase& c : kNodePathCases) {
    SCOPED_TRACE(c.devicePath);
    std::string nodePath = "stale";
    std::string directory = "stale";
    ASSERT_TRUE(tavuMakeDevNodePath(c.devicePath, nodePath, directory));
    EXPECT_EQ(nodePath, c.nodePath);
    EXPECT_EQ(directory, c.directory);
  }
}

TEST(DevNodePath, OnlyPathsBeginningWithClassNameANode) {
  const char* const kNotNodes[] = {
      "/devices/link-0/tlor-0/kwb-0.02",
      "/devices/x/class/y",
      "class/uart/ttyS1",
      "/class",
      "/Class/uart/ttyS1",
      "",
      " /class/uart/ttyS1",
      "//class/uart/ttyS1",
  };
  for (const char* devicePath : kNotNodes) {
    SCOPED_TRACE(devicePath);
    std::string nodePath = "untouched";
    std::string directory = "untouched";
    EXPECT_FALSE(tavuMakeDevNodePath(devicePath, nodePath, directory));
    EXPECT_EQ(nodePath, "untouched");
    EXPECT_EQ(directory, "untouched");
  }
}

TEST(DevNodePath, PathInsideDevRefusesEveryWayOut) {
  struct Case {
    const char* path;
    bool inside;
  };
  const Case kCases[] = {
      {"/dev/tts/1", true},
      {"/dev/", true},
      {"/dev///x", true},
      {"/dev/a..b", true},
      {"/dev/...", true},
      {"/dev/.x/x.", true},
      {"/dev", false},
      {"/devx/y", false},
      {"dev/x", false},
      {"", false},
      {"/tmp/x", false},
      {"//dev/x", false},
      {"/dev/..", false},
      {"/dev/../x", false},
      {"/dev/./x", false},
      {"/dev/.", false},
      {"/dev/a/../../tmp", false},
      {"/dev/a/..", false},
      {"/dev//../x", false},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(tavuPathInsideDev(c.path), c.inside) << c.path;
  }
}

}  // namespace
