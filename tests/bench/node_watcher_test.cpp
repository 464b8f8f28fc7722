// The watcher's count of nodes follows a directory that comes and goes.
#include "bench/driver/node_watcher.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tests/support/test_support.h"

namespace {

class NodeWatcher : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(iv_parent.path().empty()); }
  void TearDown() override { iv_watcher.stop(); }
  std::string node(int n) const { return iv_dir + "/" + std::to_string(n); }
  void make(int n) const { close(open(node(n).c_str(), O_CREAT | O_WRONLY, 0600)); }
  tavuNodeCounts waitPresent(uint32_t present) {
    return iv_watcher.waitUntil([present](const tavuNodeCounts& c) { return c.present == present; },
                                2000, 5000);
  }
  tavuScratchDir iv_parent{"tavu-watch"};
  const std::string iv_dir = iv_parent.file("tts");
  tavuNodeWatcher iv_watcher;
};

TEST_F(NodeWatcher, CountsNodesThroughTheDirectorysRemovalAndReturn) {
  std::string error;
  ASSERT_TRUE(iv_watcher.start(iv_dir, 64, &error)) << error;
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(mkdir(iv_dir.c_str(), 0755), 0);
    for (int n = 0; n < 20; ++n) make(n);
    close(open((iv_dir + "/name").c_str(), O_CREAT | O_WRONLY, 0600));  // not a node number
    EXPECT_EQ(waitPresent(20).present, 20u);
    for (int n = 0; n < 20; ++n) unlink(node(n).c_str());
    unlink((iv_dir + "/name").c_str());
    ASSERT_EQ(rmdir(iv_dir.c_str()), 0);
    const tavuNodeCounts counts = waitPresent(0);
    EXPECT_EQ(counts.present, 0u);
    EXPECT_EQ(counts.created, 20u * (round + 1));
    EXPECT_EQ(counts.removed, 20u * (round + 1));
  }
}

TEST_F(NodeWatcher, FindsNodesMadeBeforeItStartedAndKeepsFirstAppearances) {
  ASSERT_EQ(mkdir(iv_dir.c_str(), 0755), 0);
  make(3);
  make(70);  // beyond the capacity: not counted
  std::string error;
  ASSERT_TRUE(iv_watcher.start(iv_dir, 64, &error)) << error;
  EXPECT_EQ(iv_watcher.counts().present, 1u);
  const uint64_t first = iv_watcher.createdNs(3);
  EXPECT_NE(first, 0u);
  unlink(node(3).c_str());
  waitPresent(0);
  make(3);
  waitPresent(1);
  EXPECT_EQ(iv_watcher.createdNs(3), first);
  iv_watcher.resetTimes();
  EXPECT_EQ(iv_watcher.createdNs(3), 0u);
  EXPECT_EQ(iv_watcher.createdNs(64), 0u);
  unlink((iv_dir + "/70").c_str());
}

TEST_F(NodeWatcher, WaitingEndsWhenNothingMoves) {
  std::string error;
  ASSERT_TRUE(iv_watcher.start(iv_dir, 64, &error)) << error;
  const tavuNodeCounts counts =
      iv_watcher.waitUntil([](const tavuNodeCounts& c) { return c.present == 5; }, 50, 5000);
  EXPECT_EQ(counts.present, 0u);
}

}  // namespace
