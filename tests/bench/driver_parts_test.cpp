// The driver's arithmetic and parsing: what it reads from /proc and from
// tavuinject, the medians and ratios it makes, the targets it checks.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "bench/driver/bench_options.h"
#include "bench/driver/proc_probe.h"
#include "bench/driver/report.h"
#include "bench/driver/results.h"
#include "bench/driver/stats.h"
#include "bench/driver/workload.h"

namespace {

TEST(NetlinkLine, ParsesTheColumnsOfProcNetNetlink) {
  tavuNetlinkSocketInfo info;
  ASSERT_TRUE(tavuParseNetlinkLine(
      "000000001335a068 15  20         ffffffff 4352     0        0     2        17       109809  ",
      &info));
  EXPECT_EQ(info.protocol, 15);
  EXPECT_EQ(info.portId, 20u);
  EXPECT_EQ(info.groups, 0xffffffffu);
  EXPECT_EQ(info.rmem, 4352u);
  EXPECT_EQ(info.drops, 17u);
  EXPECT_EQ(info.inode, 109809u);
  EXPECT_FALSE(tavuParseNetlinkLine(
      "sk               Eth Pid        Groups   Rmem     Wmem     Dump  Locks    Drops    Inode",
      &info));
  EXPECT_FALSE(tavuParseNetlinkLine("000000001335a068 15  20", &info));
  EXPECT_FALSE(tavuParseNetlinkLine("", &info));
}

TEST(ProcStat, FindsTicksAndParentPastANameWithBlanksAndParentheses) {
  const std::string stat =
      "4242 (odd) name (x)) S 17 4242 4242 0 -1 4194560 100 0 0 0 25 7 0 0 20 0 3 0 1234 "
      "10000000 300 18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 1 0 0 0 0 0";
  uint64_t ticks = 0;
  ASSERT_TRUE(tavuParseStatTicks(stat, &ticks));
  EXPECT_EQ(ticks, 32u);
  pid_t parent = 0;
  std::string comm;
  ASSERT_TRUE(tavuParseStatParent(stat, &parent, &comm));
  EXPECT_EQ(parent, 17);
  EXPECT_EQ(comm, "odd) name (x)");
  EXPECT_FALSE(tavuParseStatTicks("4242 (short) S 1 2 3", &ticks));
  EXPECT_FALSE(tavuParseStatTicks("no parenthesis at all", &ticks));
}

TEST(ProcStat, ReadsThisProcessesOwnFigures) {
  uint64_t ticks = 0, rss = 0;
  EXPECT_TRUE(tavuReadCpuTicks(getpid(), &ticks));
  ASSERT_TRUE(tavuReadRssKb(getpid(), &rss));
  EXPECT_GT(rss, 0u);
  EXPECT_FALSE(tavuReadRssKb(0x7ffffff0, &rss));
}

TEST(ProcStatus, ReadsAFieldInKilobytes) {
  const std::string status = "Name:\tx\nVmPeak:\t  9000 kB\nVmRSS:\t    1828 kB\nThreads:\t3\n";
  uint64_t kb = 0;
  ASSERT_TRUE(tavuParseStatusKb(status, "VmRSS", &kb));
  EXPECT_EQ(kb, 1828u);
  EXPECT_FALSE(tavuParseStatusKb(status, "Threads", &kb));  // not in kB
  EXPECT_FALSE(tavuParseStatusKb(status, "VmSwap", &kb));
  EXPECT_FALSE(tavuParseStatusKb(status, "VmRS", &kb));  // a prefix is not the field
}

TEST(Stats, MedianAndPercentile) {
  struct Case {
    std::vector<double> values;
    double median, p99, p50;
  };
  const Case cases[] = {
      {{5}, 5, 5, 5},
      {{3, 1, 2}, 2, 3, 2},
      {{4, 1, 3, 2}, 2.5, 4, 2},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(tavuMedian(c.values), c.median);
    EXPECT_EQ(tavuPercentile(c.values, 99), c.p99);
    EXPECT_EQ(tavuPercentile(c.values, 50), c.p50);
  }
  std::vector<double> hundred;
  for (int i = 100; i >= 1; --i) hundred.push_back(i);
  EXPECT_EQ(tavuPercentile(hundred, 99), 99);
  EXPECT_EQ(tavuPercentile(hundred, 100), 100);
  EXPECT_TRUE(std::isnan(tavuMedian({})));
  EXPECT_TRUE(std::isnan(tavuPercentile({1}, 0)));
}

TEST(Results, RatiosPairValuesOfTheSameRunOnly) {
  tavuBenchResults results;
  results.add(0, "add_rate", "floor", 100);
  results.add(0, "add_rate", "daemon", 90);
  results.add(1, "add_rate", "floor", 200);
  results.add(1, "add_rate", "daemon", 100);
  results.add(2, "add_rate", "daemon", 1000);  // no floor in run 2: no ratio
  EXPECT_EQ(results.median("add_rate", "daemon"), 100);
  EXPECT_DOUBLE_EQ(results.medianRatio("add_rate", "daemon", "add_rate", "floor"), 0.7);
  EXPECT_TRUE(std::isnan(results.medianRatio("add_rate", "daemon", "add_rate", "mdev")));
  EXPECT_FALSE(results.has("add_rate", "mdev"));
  EXPECT_EQ(results.json(3),
            "{\n  \"add_rate\": {\"daemon\": [90, 100, 1000], \"floor\": [100, 200, null]}\n}\n");
}

// The daemon's figures against a floor of 100 and an mdev of 40.
tavuBenchResults tavuThroughput(double daemon) {
  tavuBenchResults results;
  for (const char* metric : {"add_rate", "remove_rate"}) {
    results.add(0, metric, "floor", 100);
    results.add(0, metric, "mdev", 40);
    results.add(0, metric, "daemon", daemon);
  }
  return results;
}

bool tavuMet(const std::vector<tavuTargetVerdict>& verdicts, const std::string& target) {
  for (const tavuTargetVerdict& verdict : verdicts) {
    if (verdict.target == target) return verdict.met;
  }
  ADD_FAILURE() << "no verdict for " << target;
  return false;
}

TEST(Targets, ThroughputAgainstTheFloorAndMdev) {
  const auto at80 = tavuCheckTargets(tavuThroughput(80));
  EXPECT_TRUE(tavuMet(at80, "add_rate >= 0.8x floor"));
  EXPECT_TRUE(tavuMet(at80, "add_rate >= 2x mdev"));
  const auto at79 = tavuCheckTargets(tavuThroughput(79));
  EXPECT_FALSE(tavuMet(at79, "remove_rate >= 0.8x floor"));
  EXPECT_FALSE(tavuMet(at79, "remove_rate >= 2x mdev"));
  EXPECT_EQ(at79.size(), 4u);  // nothing else was measured, nothing else is judged
}

TEST(Targets, BurstIdleAndMemory) {
  tavuBenchResults results;
  results.add(0, "burst_capacity", "floor", 1000);
  results.add(0, "burst_capacity", "daemon", 1000);
  results.add(0, "idle_cpu_ms", "daemon", 10);
  results.add(0, "memory_per_event_bytes", "daemon", 130);
  results.add(0, "record_bytes", "daemon", 66);
  const auto verdicts = tavuCheckTargets(results);
  EXPECT_TRUE(tavuMet(verdicts, "burst_capacity >= floor's"));
  EXPECT_FALSE(tavuMet(verdicts, "idle_cpu_ms == 0"));
  EXPECT_TRUE(tavuMet(verdicts, "memory per queued event <= 2x record and strings"));
  results.add(1, "memory_per_event_bytes", "daemon", 140);
  results.add(2, "memory_per_event_bytes", "daemon", 150);
  EXPECT_FALSE(
      tavuMet(tavuCheckTargets(results), "memory per queued event <= 2x record and strings"));
}

TEST(Report, ShowsMeasuredRowsWithTheDaemonsRatios) {
  const std::string table = tavuResultsTable(tavuThroughput(80));
  EXPECT_NE(table.find("| adds/s, first datagram to last node present (1,000 unpaced) | 100 |  "
                       "| 40 | 80 |  |  | 0.80x | 2.00x |  |  |\n"),
            std::string::npos)
      << table;
  EXPECT_EQ(table.find("burst"), std::string::npos) << table;
}

TEST(Targets, AreCheckedForTheDaemonNamed) {
  tavuBenchResults results = tavuThroughput(50);
  results.add(0, "add_rate", "daemon-plain", 90);
  results.add(0, "remove_rate", "daemon-plain", 90);
  EXPECT_FALSE(tavuMet(tavuCheckTargets(results), "add_rate >= 0.8x floor"));
  EXPECT_TRUE(tavuMet(tavuCheckTargets(results, "daemon-plain"), "add_rate >= 0.8x floor"));
  EXPECT_TRUE(tavuMet(tavuCheckTargets(results, "daemon-plain"), "remove_rate >= 2x mdev"));
  EXPECT_NE(tavuResultsTable(results).find("| 0.90x | 2.25x |\n"), std::string::npos);
}

TEST(InjectSummary, ParsesTavuinjectsJsonLine) {
  tavuInjectRun run;
  ASSERT_TRUE(tavuParseInjectSummary(
      "{\"datagrams\":1000,\"bytes\":127445,\"seconds\":0.012500,\"status\":0}\n", &run));
  EXPECT_EQ(run.datagrams, 1000u);
  EXPECT_DOUBLE_EQ(run.seconds, 0.0125);
  EXPECT_EQ(run.status, 0);
  EXPECT_FALSE(tavuParseInjectSummary("sent 1000 datagrams, 127445 bytes in 0.012 s\n", &run));
}

TEST(SendTimes, ParsesTavuinjectsTimestampsFile) {
  std::vector<uint64_t> times;
  ASSERT_TRUE(tavuParseSendTimes("0 1000\n1 1500\n2 9000\n", &times));
  EXPECT_EQ(times, (std::vector<uint64_t>{1000, 1500, 9000}));
  EXPECT_TRUE(tavuParseSendTimes("", &times));
  EXPECT_TRUE(times.empty());
  EXPECT_FALSE(tavuParseSendTimes("0 1000\n2 1500\n", &times));  // an index missing
  EXPECT_FALSE(tavuParseSendTimes("0 1000\n1 x\n", &times));
}

int tavuParse(std::vector<const char*> words, tavuBenchConfig* config) {
  words.insert(words.begin(), "tavubench");
  return tavuParseBenchArgs(static_cast<int>(words.size()), const_cast<char**>(words.data()),
                            config);
}

TEST(BenchOptions, RequiredQuickRunsAndOnly) {
  tavuBenchConfig config;
  EXPECT_EQ(tavuParse({"--runs", "3"}, &config), TAVU_BENCH_USAGE);
  EXPECT_EQ(tavuParse({"--bin-dir", "b", "--mdev-conf", "m", "--runs", "0"}, &config),
            TAVU_BENCH_USAGE);
  EXPECT_EQ(tavuParse({"--bin-dir", "b", "--mdev-conf", "m", "--only", "nodes,bogus"}, &config),
            TAVU_BENCH_USAGE);
  EXPECT_EQ(tavuParse({"--bin-dir", "b", "--mdev-conf", "m", "--runs"}, &config), TAVU_BENCH_USAGE);

  tavuBenchConfig quick;
  ASSERT_EQ(tavuParse({"--quick", "--bin-dir", "b", "--mdev-conf", "m"}, &quick), -1);
  EXPECT_EQ(quick.runs, 1);
  EXPECT_LT(quick.memoryEvents, tavuBenchConfig().memoryEvents);

  tavuBenchConfig chosen;
  ASSERT_EQ(tavuParse({"--runs", "7", "--quick", "--bin-dir", "b", "--mdev-conf", "m", "--only",
                       "burst,idle"},
                      &chosen),
            -1);
  EXPECT_EQ(chosen.runs, 7);  // --runs wins over --quick, wherever it stands
  EXPECT_TRUE(tavuWantMeasure(chosen, "idle"));
  EXPECT_FALSE(tavuWantMeasure(chosen, "nodes"));
  EXPECT_TRUE(tavuWantMeasure(tavuBenchConfig(), "memory"));
}

}  // namespace
