// tavutrigger as a program on a fake sysfs tree shaped like the real one
// (class entries are links into /devices): what it writes into which
// uevent file, in which order, what it refuses, and its exit statuses.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

const char kUntouched[] = "MAJOR=4\nMINOR=65\n";

struct Row {
  const char* name;
  std::vector<std::string> args;  // after "--root root", run in the scratch directory
  int status;
  const char* action;                // written, and printed before each path
  const char* mark;                  // printed after each path
  std::vector<std::string> out;      // CLASS/DEVICE of each line printed
  std::vector<std::string> written;  // the uevent files below root/sys given the action
  std::vector<std::string> err;      // "BIN" stands for the program
};

const std::vector<std::string> kAll = {"gpio/gpio3",     "net/mbx0",   "scan7/scan0",
                                       "ttyKWB/ttyKWB3", "uart/ttyS2", "uart/ttyS10"};
const std::vector<std::string> kAllWritten = {
    "devices/platform/gpio/gpio3", "devices/virtual/net/mbx0",   "devices/platform/scan7/scan0",
    "class/ttyKWB/ttyKWB3",        "devices/virtual/uart/ttyS2", "devices/virtual/uart/ttyS10"};
const std::string kUart = "tavutrigger: root/sys/class/uart/ttyS";
const std::string kOut = ": link leads out of the sysfs tree; not followed";
const std::string kLink = ": a further link on the way to its uevent file; not followed";
const std::vector<std::string> kRefused = {kUart + "4" + kOut, kUart + "5" + kOut,
                                           kUart + "6" + kLink, kUart + "7" + kLink,
                                           kUart + "8: its uevent entry is not a regular file"};

// clang-format off
const Row kRows[] = {
  {"every_served_device", {}, 1, "add", "", kAll, kAllWritten, kRefused},
  {"dry_run", {"--dry-run"}, 1, "add", " (dry run)", kAll, {}, kRefused},
  {"some_classes", {"--action", "remove", "--class", "gpio", "--class=net"}, 0, "remove", "",
   {"gpio/gpio3", "net/mbx0"}, {"devices/platform/gpio/gpio3", "devices/virtual/net/mbx0"}, {}},
  {"served_class_not_here", {"--class", "iomux"}, 0, "", "", {}, {}, {}},
  {"no_root", {"--root", "none"}, 1, "", "", {}, {}, {"tavutrigger: none: No such file or directory"}},
  {"no_sys", {"--root", "root/sys/class"}, 1, "", "", {}, {},
   {"tavutrigger: root/sys/class/sys: No such file or directory"}},
  {"empty_root", {"--root="}, 2, "", "", {}, {}, {"tavutrigger: --root needs a directory (try --help)"}},
  {"bad_action", {"--action", "explode"}, 2, "", "", {}, {},
   {"tavutrigger: unknown action 'explode' (try --help)"}},
  {"unserved_class", {"--class", "block"}, 2, "", "", {}, {}, {"tavutrigger: unknown class 'block': "
   "the daemon serves ttyKWB kwb iic-kwb scan* vrax* uart gpio jtag iomux net (try --help)"}},
  {"missing_value", {"--class"}, 2, "", "", {}, {}, {"BIN: option '--class' requires an argument"}},
  {"argument", {"uart"}, 2, "", "", {}, {}, {"tavutrigger: unexpected argument 'uart' (try --help)"}},
};
// clang-format on

class TavuTrigger : public ::testing::TestWithParam<Row> {
 protected:
  void SetUp() override {
    ASSERT_FALSE(iv_top.empty());
    for (const char* device :
         {"virtual/uart/ttyS10", "virtual/uart/ttyS2", "platform/gpio/gpio3", "virtual/net/mbx0",
          "platform/scan7/scan0", "pci0/net/eth0", "pci0/block/sda"}) {
      const fs::path path(device);  // CLASS/DEVICE, linked as the kernel does
      writeFile("sys/devices/" + path.string() + "/uevent", kUntouched);
      addLink(
          "sys/class/" + path.parent_path().filename().string() + "/" + path.filename().string(),
          "../../devices/" + path.string());
    }
    writeFile("sys/class/ttyKWB/ttyKWB3/uevent", kUntouched);  // as older kernels have it
    writeFile("sys/class/gpio/export", "");
    // Hostile: links out of the tree, a link inside the device path, a
    // uevent that is a link or no file.
    writeFile("../outside", kUntouched);
    addLink("sys/class/uart/ttyS4", "../../../../outside");
    addLink("sys/class/uart/ttyS5", iv_top + "/outside");
    addLink("sys/devices/escape", "../..");
    addLink("sys/class/uart/ttyS6", "../../devices/escape");
    addLink("sys/devices/virtual/uart/ttyS7/uevent", "../../../../../outside");
    addLink("sys/class/uart/ttyS7", "../../devices/virtual/uart/ttyS7");
    fs::create_directories(iv_root + "/sys/devices/virtual/uart/ttyS8/uevent");
    addLink("sys/class/uart/ttyS8", "../../devices/virtual/uart/ttyS8");
  }

  void writeFile(const std::string& path, const std::string& text) const {
    fs::create_directories(fs::path(iv_root + "/" + path).parent_path());
    std::ofstream(iv_root + "/" + path) << text;
  }
  void addLink(const std::string& path, const std::string& target) const {
    fs::create_directories(fs::path(iv_root + "/" + path).parent_path());
    fs::create_symlink(target, iv_root + "/" + path);
  }
  // Every file under the scratch directory with its text.
  std::map<std::string, std::string> files() const {
    std::map<std::string, std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(iv_top)) {
      if (entry.is_regular_file() && !entry.is_symlink()) {
        found[entry.path().string()] = tavuReadFile(entry.path());
      }
    }
    return found;
  }
  tavuScratchDir iv_dir{"tavutrigger"};
  const std::string iv_top = iv_dir.path();
  const std::string iv_root = iv_top + "/root";
};

TEST_P(TavuTrigger, WritesTheServedDevicesInOrderAndNothingElse) {
  const Row& row = GetParam();
  std::map<std::string, std::string> expected = files();
  for (const std::string& path : row.written) {
    expected[iv_root + "/sys/" + path + "/uevent"] = row.action;
  }
  std::vector<std::string> out;
  for (const std::string& path : row.out) {
    out.push_back(row.action + " root/sys/class/"s + path + row.mark);
  }
  std::vector<std::string> err = row.err;
  if (!err.empty() && err[0].rfind("BIN", 0) == 0) {
    err[0].replace(0, 3, tavuBinDir() + "/tavutrigger");
  }
  std::vector<std::string> args = row.args;
  args.insert(args.begin(), {"--root", "root"});

  const tavuProgramRun run =
      tavuRunBuilt("tavutrigger", args, [&] { return chdir(iv_top.c_str()) == 0; });
  EXPECT_EQ(run.status, row.status) << run.err;
  EXPECT_EQ(tavuSplitLines(run.out), out);
  EXPECT_EQ(files(), expected);
  EXPECT_EQ(tavuSplitLines(run.err), err);
}

INSTANTIATE_TEST_SUITE_P(Rows, TavuTrigger, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return info.param.name; });

}  // namespace
