// The event files the driver writes must be ones tavuinject reads as the
// kernel's datagrams of the workload.
#include "bench/driver/workload.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "tests/support/test_support.h"

namespace {

std::string tavuDryRun(tavuBenchEvents events, const std::string& repeat,
                       const std::string& first) {
  char pattern[] = "/tmp/tavu-events-XXXXXX";
  const int fd = mkstemp(pattern);
  EXPECT_GE(fd, 0);
  close(fd);
  std::ofstream(pattern) << tavuEventFileText(events);
  std::string output;
  const int status = tavuRunProgram({tavuBinDir() + "/tavuinject", "--dry-run", "--file", pattern,
                                     "--repeat", repeat, "--first", first},
                                    &output);
  unlink(pattern);
  EXPECT_EQ(status, 0) << output;
  return output;
}

TEST(Workload, AddsAndRemovesOfSerialPortsAsTheKernelSendsThem) {
  EXPECT_EQ(tavuDryRun(TAVU_EVENTS_ADD, "2", "41"),
            "add@/class/uart/ttyS41\\0ACTION=add\\0DEVPATH=/class/uart/ttyS41\\0SUBSYSTEM=uart\\0"
            "MAJOR=4\\0MINOR=41\\0DEVNAME=ttyS41\\0SEQNUM=41\\0\n"
            "add@/class/uart/ttyS42\\0ACTION=add\\0DEVPATH=/class/uart/ttyS42\\0SUBSYSTEM=uart\\0"
            "MAJOR=4\\0MINOR=42\\0DEVNAME=ttyS42\\0SEQNUM=42\\0\n");
  EXPECT_EQ(tavuDryRun(TAVU_EVENTS_REMOVE, "1", "0"),
            "remove@/class/uart/ttyS0\\0ACTION=remove\\0DEVPATH=/class/uart/ttyS0\\0"
            "SUBSYSTEM=uart\\0MAJOR=4\\0MINOR=0\\0DEVNAME=ttyS0\\0SEQNUM=0\\0\n");
}

TEST(Workload, AGpioCycleLeavesDevAsItWas) {
  const std::string output = tavuDryRun(TAVU_EVENTS_GPIO_CYCLE, "2", "5");
  const std::string expected[] = {"add@/class/gpio/gpio5\\0", "remove@/class/gpio/gpio5\\0",
                                  "add@/class/gpio/gpio6\\0", "remove@/class/gpio/gpio6\\0"};
  size_t at = 0;
  for (const std::string& start : expected) {
    SCOPED_TRACE(start);
    ASSERT_EQ(output.compare(at, start.size(), start), 0) << output;
    at = output.find('\n', at) + 1;
  }
  EXPECT_EQ(at, output.size());
}

}  // namespace
