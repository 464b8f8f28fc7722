// Node creation and removal on the sandbox's /dev, step by step, checking
// the whole tree after each step; and hostile paths that must never reach
// outside /dev.
#include "devnodes/dev_node_ops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "devnodes/uevent_interpreter.h"
#include "tests/devnodes/dev_sandbox.h"
#include "tests/support/test_support.h"
#include "tests/support/uevent_sender.h"

namespace {

using Tree = std::vector<std::string>;

using DevNodeOps = tavuDevTest;

// Feeds one event through the interpreter; the record must be handed out.
void tavuFeed(const std::string& datagram) {
  tavuDatagramCopy copy(datagram);
  tavuNetlinkEvent* event = nullptr;
  ASSERT_EQ(tavuHandleNetlinkEvent(copy.iv_length, copy.iv_data, &event), 1);
  delete event;
}

std::string tavuAdd(const std::string& devpath, const std::string& subsystem, int major,
                    int minor) {
  return tavuClassEvent("add", devpath, subsystem, 1, major, minor);
}

std::string tavuRemove(const std::string& devpath, const std::string& subsystem) {
  return tavuClassEvent("remove", devpath, subsystem, 2);
}

TEST_F(DevNodeOps, NestedChainIsRemovedOnlyWhereEmpty) {
  tavuFeed(tavuAdd("/class/kwb/kwb0.1.2", "kwb", 250, 2));
  tavuFeed(tavuAdd("/class/kwb/kwb0.3", "kwb", 250, 3));
  EXPECT_EQ(tavuDevTree(), tavuSorted({"d 0755 /dev/kwb0", "d 0755 /dev/kwb0/1",
                                       "c 0640 250:2 /dev/kwb0/1/2", "c 0640 250:3 /dev/kwb0/3"}));
  tavuFeed(tavuRemove("/class/kwb/kwb0.1.2", "kwb"));
  EXPECT_EQ(tavuDevTree(), tavuSorted({"d 0755 /dev/kwb0", "c 0640 250:3 /dev/kwb0/3"}));
  tavuFeed(tavuRemove("/class/kwb/kwb0.3", "kwb"));
  EXPECT_EQ(tavuDevTree(), Tree{});
}

TEST_F(DevNodeOps, ReAddKeepsTheExistingNodeUnchanged) {
  tavuFeed(tavuAdd("/class/gpio/gpio12", "gpio", 254, 12));
  const Tree first = tavuDevTree();
  struct stat before {};
  ASSERT_EQ(lstat("/dev/gpio/12", &before), 0);
  tavuFeed(tavuAdd("/class/gpio/gpio12", "gpio", 253, 99));
  EXPECT_EQ(tavuDevTree(), first);
  struct stat after {};
  ASSERT_EQ(lstat("/dev/gpio/12", &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
}

TEST_F(DevNodeOps, NodeDirectlyInDevNeedsNoDirectory) {
  tavuFeed(tavuAdd("/class/jtag/jtagmux", "jtag", 248, 7));
  EXPECT_EQ(tavuDevTree(), Tree{"c 0640 248:7 /dev/jtagmux"});
  tavuFeed(tavuRemove("/class/jtag/jtagmux", "jtag"));
  EXPECT_EQ(tavuDevTree(), Tree{});
}

TEST_F(DevNodeOps, RemovalOfAMissingNodeChangesNothing) {
  tavuFeed(tavuAdd("/class/vrax/vrax0", "vrax", 246, 0));
  const Tree populated = tavuDevTree();
  tavuFeed(tavuRemove("/class/vrax/vrax1", "vrax"));
  EXPECT_EQ(tavuDevTree(), populated);
  tavuFeed(tavuRemove("/class/scan/scan1", "scan"));
  EXPECT_EQ(tavuDevTree(), populated);
}

TEST_F(DevNodeOps, RemovalLeavesADirectoryHoldingForeignEntries) {
  ASSERT_EQ(mkdir("/dev/tts", 0755), 0);
  std::ofstream("/dev/tts/foreign") << "x";
  tavuFeed(tavuAdd("/class/uart/ttyS3", "uart", 4, 67));
  tavuFeed(tavuRemove("/class/uart/ttyS3", "uart"));
  EXPECT_EQ(tavuDevTree(), tavuSorted({"d 0755 /dev/tts", "? 0644 /dev/tts/foreign"}));
}

TEST_F(DevNodeOps, MakeDirsMakesEveryPrefixAndRemoveDirsEveryEmptyLevel) {
  tavuMakeDirs("/dev/a/b/c");
  EXPECT_EQ(tavuDevTree(), tavuSorted({"d 0755 /dev/a", "d 0755 /dev/a/b", "d 0755 /dev/a/b/c"}));
  ASSERT_EQ(mkdir("/dev/a/keep", 0700), 0);
  tavuRemoveDirs("/dev/a/b/c");
  EXPECT_EQ(tavuDevTree(), tavuSorted({"d 0755 /dev/a", "d 0700 /dev/a/keep"}));
  tavuMakeDirs("");
  tavuRemoveDirs("");
  EXPECT_EQ(tavuDevTree(), tavuSorted({"d 0755 /dev/a", "d 0700 /dev/a/keep"}));
}

// A tree outside /dev that a ".." escape would reach: empty directories
// (for rmdir) and a file (for unlink), next to where nodes would be made.
class HostilePaths : public tavuDevTest {
 protected:
  void SetUp() override {
    tavuDevTest::SetUp();
    ASSERT_EQ(mkdir("/tmp/marker", 0755), 0);
    ASSERT_EQ(mkdir("/tmp/marker/a", 0755), 0);
    ASSERT_EQ(mkdir("/tmp/marker/a/b", 0755), 0);
    std::ofstream("/tmp/marker/file") << "x";
    iv_marker = tavuTreeLines("/tmp");
    iv_root = tavuRootNames();
  }
  void TearDown() override {
    EXPECT_EQ(tavuTreeLines("/tmp"), iv_marker);
    EXPECT_EQ(tavuRootNames(), iv_root);
    std::remove("/tmp/marker/file");
    rmdir("/tmp/marker/a/b");
    rmdir("/tmp/marker/a");
    rmdir("/tmp/marker");
    tavuDevTest::TearDown();
  }

  Tree iv_marker;
  Tree iv_root;
};

TEST_F(HostilePaths, DirectCallsOutsideDevAreRefused) {
  const char* const kOutside[] = {
      "/dev/../tmp/marker/new",
      "/dev/../tmp/marker/a/b",
      "/dev/../tmp/marker/file",
      "/dev/./../tmp/marker/a/b",
      "/dev/x/../../tmp/marker/a/b",
      "/dev//../tmp/marker/a/b",
      "/tmp/marker/a/b",
      "/tmp/marker/file",
      "/devx/../tmp/marker/a/b",
      "dev/../tmp/marker/a/b",
      "/dev/..",
      "/dev/.",
      "/dev/../tmp/marker/a/b/.",
  };
  for (const char* path : kOutside) {
    SCOPED_TRACE(path);
    tavuCreateDevNode(path, "", 1, 3);
    tavuCreateDevNode(std::string(path) + "/n", path, 1, 3);
    tavuMakeDirs(path);
    tavuRemoveDirs(path);
    tavuRemoveDevNode(path, "");
    tavuRemoveDevNode("/dev/x", path);
    EXPECT_EQ(tavuTreeLines("/tmp"), iv_marker);
    EXPECT_EQ(tavuDevTree(), Tree{});
  }
}

struct tavuHostileCase {
  std::string devpath;
  Tree afterAdd;  // inside /dev; the matching remove must clear it again
};

TEST_F(HostilePaths, KernelPathsCannotLeaveDev) {
  std::string deep = "/class/kwb/";
  Tree deepTree;
  std::string level = "/dev";
  for (int i = 0; i < 200; ++i) {
    deep += "a.";
    level += "/a";
    deepTree.push_back("d 0755 " + level);
  }
  deep += "z";
  deepTree.push_back("c 0640 1:3 " + level + "/z");
  const std::string kLongName(300, 'n');

  const tavuHostileCase kCases[] = {
      {"/class/uart/..", {}},
      {"/class/uart/.", {}},
      {"/class/uart/...", {}},
      {"/class/uart/", {}},
      {"/class//", {}},
      {"/class/", {}},
      {"/class/uart/..x", {"c 0640 1:3 /dev/x"}},
      {"/class/uart/x..", {"d 0755 /dev/x"}},
      {"/class/uart/ttyS..1", {"d 0755 /dev/tts", "c 0640 1:3 /dev/tts/1"}},
      {"/class/../../tmp/marker/a/b", {"c 0640 1:3 /dev/b"}},
      {"/class/../../tmp/marker/gpio1", {"d 0755 /dev/gpio", "c 0640 1:3 /dev/gpio/1"}},
      {"/class/x/../../tmp.marker.n",
       {"d 0755 /dev/tmp", "d 0755 /dev/tmp/marker", "c 0640 1:3 /dev/tmp/marker/n"}},
      {"/class/x/" + kLongName + "1", {}},
      {"/class/x/a." + kLongName, {"d 0755 /dev/a"}},
      {deep, deepTree},
  };
  for (const tavuHostileCase& c : kCases) {
    SCOPED_TRACE(c.devpath.substr(0, 60));
    tavuFeed(tavuAdd(c.devpath, "gpio", 1, 3));
    EXPECT_EQ(tavuDevTree(), tavuSorted(c.afterAdd));
    tavuFeed(tavuRemove(c.devpath, "gpio"));
    EXPECT_EQ(tavuDevTree(), Tree{});
    EXPECT_EQ(tavuTreeLines("/tmp"), iv_marker);
    tavuClearDev();
  }
}

}  // namespace
