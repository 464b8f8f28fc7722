// tavutrigger as a program on a fake sysfs tree shaped like the real one
// (class entries are links into /devices): what it writes into which
// uevent file, in which order, and what it refuses.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "tools/tavutrigger/trigger_order.h"

namespace {

namespace fs = std::filesystem;

const char kUntouched[] = "MAJOR=4\nMINOR=65\n";

// A temporary directory holding ROOT (the tree) and, beside it, files that
// a hostile link points at.
class TavuTrigger : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(iv_top.empty());
    // Served devices, links as the kernel makes them.
    addLinkedDevice("uart", "ttyS10", "virtual/uart/ttyS10");
    addLinkedDevice("uart", "ttyS2", "virtual/uart/ttyS2");
    addLinkedDevice("gpio", "gpio3", "platform/gpio/gpio3");
    addLinkedDevice("net", "mbx0", "virtual/net/mbx0");
    addLinkedDevice("scan7", "scan0", "platform/scan7/scan0");
    // A class directory holding the device itself, as older kernels have it.
    writeFile("sys/class/ttyKWB/ttyKWB3/uevent", kUntouched);
    // Not served: a path, a class, a plain file of a served class.
    addLinkedDevice("net", "eth0", "pci0000:00/net/eth0");
    addLinkedDevice("block", "sda", "pci0000:00/block/sda");
    writeFile("sys/class/gpio/export", "");
  }

  void writeFile(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(iv_root + "/" + path).parent_path());
    std::ofstream(iv_root + "/" + path) << text;
  }
  void addLink(const std::string& path, const std::string& target) {
    fs::create_directories(fs::path(iv_root + "/" + path).parent_path());
    fs::create_symlink(target, iv_root + "/" + path);
  }
  void addLinkedDevice(const std::string& cls, const std::string& name,
                       const std::string& devices) {
    writeFile("sys/devices/" + devices + "/uevent", kUntouched);
    addLink("sys/class/" + cls + "/" + name, "../../devices/" + devices);
  }
  static std::string readFile(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // Every file under the temporary directory with its text.
  std::map<std::string, std::string> files() const {
    std::map<std::string, std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(iv_top)) {
      if (entry.is_regular_file() && !entry.is_symlink()) {
        found[entry.path().string().substr(iv_top.size())] = readFile(entry.path());
      }
    }
    return found;
  }
  // The tree as it was, with `written` files holding `action`.
  std::map<std::string, std::string> expectedFiles(const std::vector<std::string>& written,
                                                   const std::string& action) {
    std::map<std::string, std::string> expected = iv_before;
    for (const std::string& path : written) expected["/root/sys/" + path + "/uevent"] = action;
    return expected;
  }
  tavuProgramRun run(std::vector<std::string> args) {
    iv_before = files();
    args.insert(args.begin(), {"--root", iv_root});
    return tavuRunBuilt("tavutrigger", args);
  }
  std::vector<std::string> lines(const std::vector<std::string>& classPaths,
                                 const std::string& action, const std::string& mark = "") {
    std::vector<std::string> expected;
    expected.reserve(classPaths.size());
    const std::string start = action + " " + iv_root + "/sys/class/";
    for (const std::string& path : classPaths) {
      expected.push_back(start + path);
      expected.back() += mark;
    }
    return expected;
  }

  tavuScratchDir iv_dir{"tavutrigger"};
  const std::string iv_top = iv_dir.path();
  const std::string iv_root = iv_top + "/root";
  std::map<std::string, std::string> iv_before;
};

const std::vector<std::string> kAllClassPaths = {"gpio/gpio3",     "net/mbx0",   "scan7/scan0",
                                                 "ttyKWB/ttyKWB3", "uart/ttyS2", "uart/ttyS10"};
const std::vector<std::string> kAllWritten = {
    "devices/platform/gpio/gpio3", "devices/virtual/net/mbx0",   "devices/platform/scan7/scan0",
    "class/ttyKWB/ttyKWB3",        "devices/virtual/uart/ttyS2", "devices/virtual/uart/ttyS10"};

TEST_F(TavuTrigger, RunsOverTheServedDevicesInOrder) {
  const struct {
    std::vector<std::string> args;
    std::string action;
    std::vector<std::string> classPaths;
    std::vector<std::string> written;
  } cases[] = {
      {{}, "add", kAllClassPaths, kAllWritten},
      {{"--action", "remove", "--class", "uart", "--class=net"},
       "remove",
       {"net/mbx0", "uart/ttyS2", "uart/ttyS10"},
       {"devices/virtual/net/mbx0", "devices/virtual/uart/ttyS2", "devices/virtual/uart/ttyS10"}},
      {{"--class", "iomux", "-v"}, "add", {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const tavuProgramRun result = run(c.args);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(tavuSplitLines(result.out), lines(c.classPaths, c.action));
    EXPECT_EQ(files(), expectedFiles(c.written, c.action));
    for (const std::string& path : c.written) writeFile("sys/" + path + "/uevent", kUntouched);
  }
}

// Links out of the tree, a link inside the device path, a uevent that is a
// link or no file: each reported, nothing outside written, the rest done;
// a dry run finds the same and writes nothing.
TEST_F(TavuTrigger, RefusesWhatItCannotTriggerSafelyAndGoesOn) {
  std::ofstream(iv_top + "/outside") << kUntouched;
  addLink("sys/class/uart/ttyS4", "../../../../outside");
  addLink("sys/class/uart/ttyS5", iv_top + "/outside");
  addLink("sys/devices/escape", "../..");
  addLink("sys/class/uart/ttyS6", "../../devices/escape");
  addLink("sys/devices/virtual/uart/ttyS7/uevent", "../../../../../outside");
  addLink("sys/class/uart/ttyS7", "../../devices/virtual/uart/ttyS7");
  fs::create_directories(iv_root + "/sys/devices/virtual/uart/ttyS8/uevent");
  addLink("sys/class/uart/ttyS8", "../../devices/virtual/uart/ttyS8");
  for (const bool dryRun : {true, false}) {
    SCOPED_TRACE(dryRun ? "dry run" : "written");
    const tavuProgramRun result =
        run(dryRun ? std::vector<std::string>{"--dry-run"} : std::vector<std::string>{});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(tavuSplitLines(result.out), lines(kAllClassPaths, "add", dryRun ? " (dry run)" : ""));
    EXPECT_EQ(files(), dryRun ? iv_before : expectedFiles(kAllWritten, "add"));
    const std::vector<std::string> errors = tavuSplitLines(result.err);
    const std::string prefix = "tavutrigger: " + iv_root + "/sys/class/uart/ttyS";
    EXPECT_EQ(errors, (std::vector<std::string>{
                          prefix + "4: link leads out of the sysfs tree; not followed",
                          prefix + "5: link leads out of the sysfs tree; not followed",
                          prefix + "6: a further link on the way to its uevent file; not followed",
                          prefix + "7: a further link on the way to its uevent file; not followed",
                          prefix + "8: its uevent entry is not a regular file"}));
  }
}

TEST_F(TavuTrigger, BadUsage) {
  const struct {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"--action", "explode"}, "unknown action 'explode'"},
      {{"--class", "block"}, "unknown class 'block'"},
      {{"--class"}, "--class needs a value"},
      {{"--dry-run=yes"}, "--dry-run takes no value"},
      {{"--force"}, "unknown option --force"},
      {{"uart"}, "unexpected argument 'uart'"},
  };
  for (const auto& c : cases) {
    const tavuProgramRun result = tavuRunBuilt("tavutrigger", c.args);
    EXPECT_EQ(result.status, 2) << c.message;
    EXPECT_EQ(result.err.rfind("tavutrigger: ", 0), 0u) << result.err;
    EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "");
  }
  const tavuProgramRun missing = tavuRunBuilt("tavutrigger", {"--root", iv_top + "/none"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "tavutrigger: " + iv_top + "/none: No such file or directory\n");
}

TEST(TavuTriggerOrder, NumbersInNamesCompareByValue) {
  const std::pair<const char*, const char*> ordered[] = {
      {"ttyKWB2", "ttyKWB10"}, {"iic-0.3", "iic-0.10"},
      {"gpio9", "gpio10a"},    {"kwb01", "kwb1"},  // equal by value: byte order decides
      {"kwb", "kwb0"},         {"Z", "a"},
  };
  for (const auto& pair : ordered) {
    EXPECT_TRUE(tavuNaturalLess(pair.first, pair.second)) << pair.first << " " << pair.second;
    EXPECT_FALSE(tavuNaturalLess(pair.second, pair.first)) << pair.first << " " << pair.second;
  }
}

}  // namespace
