#include "bench/driver/bench_options.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace {

const char TAVU_BENCH_HELP[] =
    R"(Usage: tavubench --bin-dir DIR --mdev-conf FILE [OPTIONS]

The end-to-end benchmark of tavunetlink. Plays the kernel with tavuinject
and measures, against the floor program (tavubench-floor) and BusyBox mdev
in daemon mode on the same workload, in every run:

  nodes    /dev nodes per second for an unpaced burst of 1,000 adds, then the
           matching removes, from the first datagram sent to the last node
           present (gone); for the daemon also events per second to the
           client's last acknowledgment
  burst    the largest unpaced burst taken without a kernel drop, and the
           drops at 2,000, 5,000 and 10,000 datagrams
  latency  at a steady 5,000 events per second: from a datagram's sending to
           its node (all) and to its arrival at the client (daemon); median
           and 99th percentile
  memory   the daemon's resident memory per event queued while no client is
           connected (100,000 events, paced), and after they drain
  idle     processor time used in 10 idle seconds
  ack      what one-message-at-a-time acknowledgment costs on a Unix socket

Subjects: floor; floor-walk (the floor making the daemon's filesystem
calls); mdev; daemon (tavunetlink as built, with tavubench-client);
daemon-plain (the same, its reader thread put back to the ordinary policy
once it runs: what the reader's real-time priority buys).

Runs are interleaved (every subject once per run, in a rotating order); the
figures are medians over the runs, each ratio the median of the ratios taken
within one run. It must run as root inside scripts/sandbox: it mounts a fake
sysfs over /sys and an overlay over /etc for mdev's configuration.

  --bin-dir DIR      where tavunetlink, tavuinject, tavubench-floor and
                     tavubench-client are
  --mdev-conf FILE   mdev's configuration (bench/mdev/mdev.conf)
  --busybox PATH     the busybox program (default: busybox on PATH)
  --runs N           number of runs (default 5)
  --quick            one short run of every measure, for a smoke test
  --only LIST        only these measures, comma-separated
  --work-dir DIR     scratch directory (default /tmp/tavubench)
  --json FILE        also write every run's figures to FILE
  -h, --help         this text

Exit status: 0 measured and every target met; 1 measured, but a target was
missed; 2 bad usage; 3 cannot run (outside the sandbox, a program missing,
a subject that would not start).
)";

const std::vector<std::string> kMeasures = {"nodes", "burst", "latency", "memory", "idle", "ack"};

bool tavuParseMeasures(const std::string& list, std::vector<std::string>* measures) {
  std::istringstream words(list);
  std::string word;
  while (std::getline(words, word, ',')) {
    if (std::find(kMeasures.begin(), kMeasures.end(), word) == kMeasures.end()) return false;
    measures->push_back(word);
  }
  return !measures->empty();
}

void tavuMakeQuick(tavuBenchConfig* config) {
  config->runs = 1;
  config->burstCap = 5000;
  config->dropSizes = {2000};
  config->latencySeconds = 0.5;
  config->memoryEvents = 10000;
  config->idleSeconds = 2;
  config->ackMessages = 5000;
}

int tavuBadArg(const std::string& message) {
  std::fprintf(stderr, "tavubench: %s (try --help)\n", message.c_str());
  return TAVU_BENCH_USAGE;
}

}  // namespace

int tavuParseBenchArgs(int argc, char** argv, tavuBenchConfig* config) {
  bool quick = false;
  int runs = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    const bool hasValue = i + 1 < argc;
    if (word == "-h" || word == "--help") {
      std::fputs(TAVU_BENCH_HELP, stdout);
      return TAVU_BENCH_OK;
    }
    if (word == "--quick") {
      quick = true;
    } else if (word == "--bin-dir" && hasValue) {
      config->binDir = argv[++i];
    } else if (word == "--mdev-conf" && hasValue) {
      config->mdevConf = argv[++i];
    } else if (word == "--busybox" && hasValue) {
      config->busybox = argv[++i];
    } else if (word == "--work-dir" && hasValue) {
      config->workDir = argv[++i];
    } else if (word == "--json" && hasValue) {
      config->jsonPath = argv[++i];
    } else if (word == "--runs" && hasValue) {
      char* end = nullptr;
      runs = static_cast<int>(std::strtol(argv[++i], &end, 10));
      if (*end != '\0' || runs < 1 || runs > 100) return tavuBadArg("bad --runs");
    } else if (word == "--only" && hasValue) {
      if (!tavuParseMeasures(argv[++i], &config->measures)) {
        return tavuBadArg("bad --only; measures are nodes,burst,latency,memory,idle,ack");
      }
    } else {
      return tavuBadArg("unknown or incomplete argument '" + word + "'");
    }
  }
  if (config->binDir.empty() || config->mdevConf.empty()) {
    return tavuBadArg("--bin-dir and --mdev-conf are required");
  }
  if (quick) tavuMakeQuick(config);
  config->quick = quick;
  if (runs != 0) config->runs = runs;
  return -1;
}

bool tavuWantMeasure(const tavuBenchConfig& config, const std::string& measure) {
  return config.measures.empty() || std::find(config.measures.begin(), config.measures.end(),
                                              measure) != config.measures.end();
}
