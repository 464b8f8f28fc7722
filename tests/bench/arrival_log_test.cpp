// The client's arrival log, written by one process and read by another
// while it is written.
#include "bench/common/arrival_log.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "tests/support/test_support.h"

namespace {

class ArrivalLog : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(iv_dir.path().empty()); }
  tavuScratchDir iv_dir{"tavu-arrivals"};
  const std::string iv_path = iv_dir.file("client.log");
};

TEST_F(ArrivalLog, AnotherProcessSeesEveryRecordAndTheState) {
  tavuArrivalLog writer;
  ASSERT_TRUE(writer.create(iv_path, 100));
  EXPECT_EQ(access((iv_path + ".part").c_str(), F_OK), -1);  // renamed into place
  const pid_t child = fork();
  if (child == 0) {
    tavuArrivalLog log;
    if (!log.open(iv_path)) _exit(1);
    for (int32_t seq = 0; seq < 50; ++seq) {
      log.append({seq, 1 + seq % 2, 1000u + static_cast<uint64_t>(seq), 2000u});
    }
    log.setState(TAVU_CLIENT_ENDED);
    _exit(0);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_EQ(status, 0);
  tavuArrivalLog reader;
  ASSERT_TRUE(reader.open(iv_path));
  EXPECT_EQ(reader.state(), TAVU_CLIENT_ENDED);
  ASSERT_EQ(reader.count(), 50u);
  EXPECT_EQ(writer.count(), 50u);  // the creator's mapping is shared too
  for (uint32_t i = 0; i < 50; ++i) {
    EXPECT_EQ(reader.at(i).seq, static_cast<int32_t>(i));
    EXPECT_EQ(reader.at(i).action, static_cast<int32_t>(1 + i % 2));
    EXPECT_EQ(reader.at(i).arrivalNs, 1000u + i);
  }
}

TEST_F(ArrivalLog, AFullLogTakesNoMore) {
  tavuArrivalLog log;
  ASSERT_TRUE(log.create(iv_path, 2));
  EXPECT_TRUE(log.append({1, 1, 1, 1}));
  EXPECT_TRUE(log.append({2, 1, 2, 2}));
  EXPECT_FALSE(log.append({3, 1, 3, 3}));
  EXPECT_EQ(log.count(), 2u);
}

TEST_F(ArrivalLog, RefusesFilesThatAreNoLog) {
  const std::string other = iv_dir.file("other");
  std::ofstream(other) << std::string(4096, 'x');
  tavuArrivalLog log;
  errno = 0;
  EXPECT_FALSE(log.open(other));
  EXPECT_EQ(errno, EINVAL);
  EXPECT_FALSE(log.open(iv_dir.file("missing")));
  EXPECT_EQ(errno, ENOENT);
}

}  // namespace
