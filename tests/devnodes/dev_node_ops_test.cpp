// Node creation and removal on the sandbox's /dev, step by step, checking
// the whole tree after each step; and hostile paths that must never reach
// outside /dev.
#include "devnodes/dev_node_ops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

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
// (for rmdir) and files (for unlink), named like what nodes are made of.
class HostilePaths : public tavuDevTest {
 protected:
  void SetUp() override {
    tavuDevTest::SetUp();
    ASSERT_EQ(mkdir("/tmp/marker", 0755), 0);
    ASSERT_EQ(mkdir("/tmp/marker/a", 0755), 0);
    ASSERT_EQ(mkdir("/tmp/marker/a/b", 0755), 0);
    std::ofstream("/tmp/marker/file") << "x";
    ASSERT_EQ(mkdir("/tmp/tts", 0755), 0);
    ASSERT_EQ(mkdir("/tmp/etc", 0755), 0);
    std::ofstream("/tmp/etc/passwd") << "x";
    iv_marker = tavuTreeLines("/tmp");
    iv_root = tavuRootNames();
  }
  void TearDown() override {
    EXPECT_EQ(tavuTreeLines("/tmp"), iv_marker);
    EXPECT_EQ(tavuRootNames(), iv_root);
    std::remove("/tmp/etc/passwd");
    rmdir("/tmp/etc");
    rmdir("/tmp/tts");
    std::remove("/tmp/marker/file");
    rmdir("/tmp/marker/a/b");
    rmdir("/tmp/marker/a");
    rmdir("/tmp/marker");
    tavuDevTest::TearDown();
  }

  bool outsideKept() const {
    return tavuTreeLines("/tmp") == iv_marker && tavuRootNames() == iv_root;
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

// The device path's last component, tty renamed, without its dots: with
// its slashes taken out, every entry one add makes is a prefix of this.
std::string tavuFlatNodeName(const std::string& devpath) {
  std::string name = devpath.substr(devpath.rfind('/') + 1);
  if (name.compare(0, 6, "ttyKWB") == 0) {
    name.replace(0, 6, "ttsKWB");
  } else if (name.compare(0, 4, "ttyS") == 0) {
    name.replace(0, 4, "tts");
  }
  name.erase(std::remove(name.begin(), name.end(), '.'), name.end());
  return name;
}

std::string tavuWithoutSlashes(std::string path) {
  path.erase(std::remove(path.begin(), path.end(), '/'), path.end());
  return path;
}

// What one add may leave in /dev: directories 0755 that form one chain and
// at most one node, 0640 with the event's number, at its end, all spelling
// out the node's name; nothing for a path that names no node. Returns what
// is wrong, or "".
std::string tavuCheckAddedTree(const Tree& tree, const std::string& devpath,
                               const std::string& number) {
  if (devpath.compare(0, 7, "/class/") != 0) {
    return tree.empty() ? "" : "an entry for a path that names no node";
  }
  const std::string flat = tavuFlatNodeName(devpath);
  const std::string nodeHead = "c 0640 " + number + " ";
  Tree chain;  // directories, then the node
  std::string node;
  for (const std::string& line : tree) {
    if (line.compare(0, 12, "d 0755 /dev/") == 0) {
      chain.push_back(line.substr(7));
    } else if (node.empty() && line.compare(0, nodeHead.size() + 5, nodeHead + "/dev/") == 0) {
      node = line.substr(nodeHead.size());
    } else {
      return "unexpected entry " + line;
    }
  }
  std::sort(chain.begin(), chain.end(),
            [](const std::string& a, const std::string& b) { return a.size() < b.size(); });
  if (!node.empty()) chain.push_back(node);
  for (size_t i = 0; i < chain.size(); ++i) {
    const std::string spelt = tavuWithoutSlashes(chain[i].substr(5));
    if (flat.compare(0, spelt.size(), spelt) != 0) return chain[i] + " does not spell the name";
    if (i > 0 && chain[i].compare(0, chain[i - 1].size() + 1, chain[i - 1] + "/") != 0) {
      return chain[i] + " is not below " + chain[i - 1];
    }
  }
  if (!node.empty() && tavuWithoutSlashes(node.substr(5)) != flat) return node + " is not the name";
  return "";
}

// Device paths a hostile or broken kernel might send: "..", ".", empty
// components, trailing slashes, names past NAME_MAX, bytes above 127, NULs
// that cut the path short, names of many dots, and the names of what lies
// outside /dev.
std::string tavuHostileComponent(std::mt19937& rng) {
  static const char* const kWords[] = {"tmp",   "etc",     "marker", "a",      "b",
                                       "file",  "dev",     "class",  "ttyS1",  "ttyKWB2",
                                       "gpio3", "kwb0.1",  "tts",    "passwd", "tmp.marker.n",
                                       "7seg",  "..tmp..", "x.",     ".x"};
  std::string word = kWords[rng() % (sizeof kWords / sizeof *kWords)];
  std::string bytes;
  switch (rng() % 10) {
    case 0:
      return "..";
    case 1:
      return ".";
    case 2:
      return "";
    case 3:
      return std::string(1 + rng() % 5, '.') + word;
    case 4: {
      // One draw a statement: the same seed must give the same paths on
      // every compiler.
      std::string dots(1 + rng() % 5, '.');
      return rng() % 2 == 0 ? word + dots + word : word + dots;
    }
    case 5: {
      std::string longName(NAME_MAX - 4 + rng() % 8, 'n');
      return longName + (rng() % 2 == 0 ? "1" : ".1");
    }
    case 6:
      for (uint32_t n = 1 + rng() % 8; n > 0; --n) bytes += static_cast<char>(128 + rng() % 128);
      return bytes;
    case 7:
      for (uint32_t n = rng() % 60; n > 0; --n) bytes += rng() % 3 == 0 ? "." : "a.";
      return bytes + word;
    case 8:
      for (uint32_t n = 1 + rng() % 12; n > 0; --n) bytes += static_cast<char>(1 + rng() % 255);
      return bytes;
    default:
      return word;
  }
}

// A chain of `levels` directories; past about 510 the node path runs past
// PATH_MAX. Such a datagram is longer than the reader would take, which the
// interpreter does not rely on.
std::string tavuDeepDevpath(uint32_t levels) {
  std::string path = "/class/kwb/";
  for (; levels > 0; --levels) path += "abcdefg.";
  return path + "z";
}

std::string tavuHostileDevpath(std::mt19937& rng) {
  static const char* const kStarts[] = {
      "/class/",  "/class/x/", "/class//", "/class/../../", "/class/x/../../../", "/class/./",
      "//class/", "/class",    "",         "class/",        "/devices/class/x/"};
  std::string path = kStarts[rng() % (sizeof kStarts / sizeof *kStarts)];
  for (uint32_t n = 1 + rng() % 5; n > 0; --n) {
    path += tavuHostileComponent(rng);
    if (n > 1) path += rng() % 4 == 0 ? "//" : "/";
  }
  switch (rng() % 128) {
    case 0:
      path += "/";
      break;
    case 1:
      path += "/..";
      break;
    case 2:
      path.insert(rng() % (path.size() + 1), 1, '\0');  // the rest is another string
      break;
    case 3:
      path = tavuDeepDevpath(480 + rng() % 100);
      break;
    default:
      break;
  }
  return path;
}

std::string tavuPrintable(const std::string& bytes) {
  std::string text;
  for (const char c : bytes.substr(0, 160)) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(c));
    text += c > 32 && c < 127 ? std::string(1, c) : escaped;
  }
  return bytes.size() > 160 ? text + "... (" + std::to_string(bytes.size()) + " bytes)" : text;
}

// Whatever the interpreter makes of it; only /dev is judged.
void tavuFeedAny(const std::string& datagram) {
  tavuDatagramCopy copy(datagram);
  tavuNetlinkEvent* event = nullptr;
  tavuHandleNetlinkEvent(copy.iv_length, copy.iv_data, &event);
  delete event;
}

// Hand-picked paths first, then random ones from a fixed seed (printed;
// TAVU_HOSTILE_SEED chooses another). After each add, /dev holds only that
// node's chain; after the matching remove, nothing; outside /dev nothing
// ever changes.
TEST_F(HostilePaths, KernelPathsNeverReachOutsideDev) {
  constexpr size_t kCases = 3000;
  const char* chosen = std::getenv("TAVU_HOSTILE_SEED");
  const auto seed =
      static_cast<uint32_t>(chosen != nullptr ? std::strtoul(chosen, nullptr, 10) : 20261206);
  std::printf("hostile device paths: seed %u, %zu cases\n", seed, kCases);
  std::mt19937 rng(seed);
  std::vector<std::string> paths = {"/class/uart/..",
                                    "/class/uart/.",
                                    "/class/uart/...",
                                    "/class/uart/",
                                    "/class//",
                                    "/class/",
                                    "/class/uart/..x",
                                    "/class/uart/x..",
                                    "/class/uart/ttyS..1",
                                    "/class/../../tmp/marker/a/b",
                                    "/class/../../tmp/marker/gpio1",
                                    "/class/x/../../tmp.marker.n",
                                    "/class/x/" + std::string(300, 'n') + "1",
                                    "/class/x/a." + std::string(300, 'n'),
                                    "/class/x/..tmp..marker..a..b",
                                    std::string("/class/x/gpio1") + '\0' + "/../../tmp/marker/file",
                                    tavuDeepDevpath(200),
                                    tavuDeepDevpath(520)};
  while (paths.size() < kCases) paths.push_back(tavuHostileDevpath(rng));
  static const char* const kSubsystems[] = {"gpio",   "uart",    "jtag",  "iomux",
                                            "ttyKWB", "iic-kwb", "scan0", "vrax1"};

  size_t made = 0;
  for (const std::string& devpath : paths) {
    const std::string subsystem = kSubsystems[rng() % (sizeof kSubsystems / sizeof *kSubsystems)];
    const int major = static_cast<int>(1 + rng() % 511);
    const int minor = static_cast<int>(rng() % 1024);
    tavuFeedAny(tavuClassEvent("add", devpath, subsystem, 1, major, minor));
    const Tree added = tavuDevTree();
    made += added.empty() ? 0 : 1;
    std::string wrong = tavuCheckAddedTree(added, devpath.substr(0, devpath.find('\0')),
                                           std::to_string(major) + ":" + std::to_string(minor));
    if (wrong.empty() && !outsideKept()) wrong = "the add changed something outside /dev";
    tavuFeedAny(tavuClassEvent("remove", devpath, subsystem, 2));
    const Tree left = tavuDevTree();
    if (wrong.empty() && !left.empty()) wrong = "the remove left " + left.front();
    if (wrong.empty() && !outsideKept()) wrong = "the remove changed something outside /dev";
    if (!wrong.empty()) {
      ADD_FAILURE() << "device path " << tavuPrintable(devpath) << " (" << subsystem
                    << "): " << wrong;
      return;
    }
  }
  // Unless many paths reach the node operations, the test proves little.
  std::printf("%zu of them made entries in /dev\n", made);
  EXPECT_GT(made, kCases / 4);
}

}  // namespace
