// The kept directories held to account: random sequences of changes to /dev
// (renames, exchanges, links and set-group-id directories of root's and of
// nobody's, mounts on /dev and below) and of node events, from a printed
// seed, made by the walk as it runs and by the same walk keeping nothing
// (statx without mounts), and by the walk of an old kernel (neither openat2
// nor mounts). The whole tree must be the same after every event.

#include <sched.h>
#include <sys/mount.h>

#include <random>

#include "dev_nodes.h"
#include "tavu_test.h"

namespace {

const char* const TAVU_NAMES[] = {"a", "b", "c"};
constexpr int TAVU_SEQUENCES = 24, TAVU_STEPS = 120;

// "/dev/a/c", from one to `most` levels, or /dev itself.
std::string tavuPickDir(std::mt19937& pick, int most) {
  std::string path = "/dev";
  for (int level = std::uniform_int_distribution<>(pick() % 16 == 0 ? 0 : 1, most)(pick); level > 0;
       --level)
    path += std::string("/") + TAVU_NAMES[pick() % 3];
  return path;
}

// The device path of a node in `directory` ("/dev" itself: "x").
std::string tavuDevicePath(const std::string& directory, unsigned minor) {
  std::string name = directory.size() > 5 ? directory.substr(5) + "." + std::to_string(minor) : "x";
  std::replace(name.begin(), name.end(), '/', '.');
  return "/class/gpio/" + name;
}

// One change to /dev as root or nobody may make it, or one event; returns
// whether it was an event. Failures are part of the game.
bool tavuStep(std::mt19937& pick) {
  const std::string one = tavuPickDir(pick, 3), other = tavuPickDir(pick, 3);
  const char* away = "/dev.old";  // /dev itself goes there and comes back
  const bool nobody = pick() % 4 == 0;
  if (nobody) (void)seteuid(65534);
  switch (pick() % 15) {
    case 0:
      (void)mkdir(one.c_str(), pick() % 2 ? 0755 : 02775);
      break;
    case 1:
      (void)rmdir(one.c_str());
      break;
    case 2:
      (void)rename(one.c_str(), pick() % 6 ? other.c_str() : away);
      break;
    case 3:
      (void)rename(away, one.c_str());
      break;
    case 4:
      (void)renameat2(AT_FDCWD, one.c_str(), AT_FDCWD, other.c_str(), RENAME_EXCHANGE);
      break;
    case 5:
      (void)symlink(one == "/dev" ? away : pick() % 2 ? "/out" : "../b", one.c_str());
      break;
    case 6:
      (void)chown(one.c_str(), pick() % 2 ? 0 : 65534, 100);
      break;
    case 7:
      (void)chmod(one.c_str(), pick() % 2 ? 0755 : 02775);
      break;
    case 8:
      (void)mount("none", one.c_str(), "tmpfs", 0, "mode=1777");
      break;
    case 9:
      (void)mount(one.c_str(), pick() % 3 ? other.c_str() : one.c_str(), nullptr, MS_BIND, nullptr);
      break;
    case 10:
      (void)umount2(one.c_str(), MNT_DETACH);
      break;
    default: {
      if (nobody) (void)seteuid(0);
      std::string node, directory;
      const unsigned minor = pick() % 3, what = pick() % 3;
      const std::string at = tavuPickDir(pick, 4);
      if (!tavuMakeDevNodePath(tavuDevicePath(at, minor), node, directory)) return false;
      const bool devBefore = std::filesystem::exists("/dev");
      if (what != 0) tavuCreateDevNode(node, directory, static_cast<int32_t>(what), 7);
      if (what != 1) tavuRemoveDevNode(node, directory);
      if (what == 0 && !devBefore && std::filesystem::exists("/dev"))
        std::puts("broken: /dev made");
      return true;
    }
  }
  if (nobody) (void)seteuid(0);
  return false;
}

// A root of its own: /dev a plain directory on it, /out for links to lead
// out to, /proc for the walk.
void tavuPrivateRoot() {
  char root[] = "/tmp/walk.XXXXXX";
  if (unshare(CLONE_NEWNS) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 || mkdtemp(root) == nullptr ||
      mount("none", root, "tmpfs", 0, "mode=755") != 0 || chdir(root) != 0 ||
      mkdir("dev", 0755) != 0 || mkdir("out", 01777) != 0 || mkdir("proc", 0555) != 0 ||
      mount("/proc", "proc", nullptr, MS_BIND | MS_REC, nullptr) != 0 || chroot(".") != 0 ||
      mkdir("/dev/shm", 0) != 0 || chmod("/dev/shm", 01777) != 0) {
    std::perror("walk: a private root");
    _exit(3);
  }
}

size_t tavuDescriptors() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& fd : std::filesystem::directory_iterator("/proc/self/fd"))
    ++count;
  return count;
}

// Replays one sequence in a process of its own: one line per event with
// the tree, and a line for whatever breaks the rules.
void tavuReplay(unsigned seed) {
  tavuPrivateRoot();
  umask(022);
  std::mt19937 pick(seed);
  const size_t before = tavuDescriptors();
  size_t most = 0;
  for (int step = 0; step < TAVU_STEPS; ++step) {
    if (!tavuStep(pick)) continue;
    most = std::max(most, tavuDescriptors() - before);
    if (most > 32) std::printf("broken: %zu descriptors held\n", most);
    const tavuLines tree = std::filesystem::exists("/dev") ? tavuDevTree(true) : tavuLines{};
    const tavuLines out = tavuDevTree(true, "/out");  // where links lead
    std::printf("step %d: %s %s\n", step, ::testing::PrintToString(tree).c_str(),
                ::testing::PrintToString(out).c_str());
  }
  std::printf("held %s\n", most > 0 ? "some" : "none");
}

// Each sequence in a child of its own, forked from a process that has
// walked nothing yet.
int tavuReplayAll(unsigned seed) {
  for (int sequence = 0; sequence < TAVU_SEQUENCES; ++sequence) {
    std::printf("sequence %d\n", sequence);
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
      tavuReplay(seed + static_cast<unsigned>(sequence));
      std::fflush(stdout);
      _exit(0);
    }
    int raw = 0;
    if (waitpid(child, &raw, 0) != child || tavuStatusOf(raw) != 0) return 1;
  }
  return 0;
}

// The lines of a replay that begin with `head`.
tavuLines tavuLinesOf(const tavuLines& lines, const std::string& head) {
  tavuLines found;
  std::copy_if(lines.begin(), lines.end(), std::back_inserter(found),
               [&](const std::string& line) { return line.rfind(head, 0) == 0; });
  return found;
}

TEST(WalkDifferential, KeptDirectoriesMakeTheTreeOfAWalkThatKeepsNothing) {
  ASSERT_NO_FATAL_FAILURE(tavuRequireSandbox());
  const std::string given = tavuEnv("TAVU_WALK_SEED");
  const unsigned seed = given.empty() ? std::random_device()() : std::stoul(given);
  std::printf("seed %u (TAVU_WALK_SEED=%u replays it)\n", seed, seed);
  std::fflush(stdout);
  // Nothing kept; kept as this kernel allows; an old kernel's walk.
  const char* const plans[] = {"statx+", "", "openat2+,statx+"};
  std::string files[3];
  pid_t pids[3];
  for (int i = 0; i < 3; ++i) {
    files[i] = tavuTempFile();
    pids[i] = tavuSpawn("walk_differential_test", "walk", {"--replay", std::to_string(seed)},
                        files[i], "", plans[i]);
  }
  tavuLines replays[3];
  for (int i = 0; i < 3; ++i) {
    int raw = 0;
    ASSERT_EQ(waitpid(pids[i], &raw, 0), pids[i]);
    ASSERT_EQ(tavuStatusOf(raw), 0) << "plan '" << plans[i] << "', seed " << seed;
    replays[i] = tavuSplit(tavuReadFile(files[i]));
    unlink(files[i].c_str());
    EXPECT_THAT(tavuLinesOf(replays[i], "broken"), ::testing::IsEmpty()) << "seed " << seed;
  }
  EXPECT_THAT(tavuLinesOf(replays[0], "held some"), ::testing::IsEmpty());
  // Under the emulator statx tells no mounts: nothing is kept there.
  if (tavuEnv("TAVU_EMULATOR").empty()) {
    EXPECT_THAT(tavuLinesOf(replays[1], "held some"), ::testing::Not(::testing::IsEmpty()));
  }
  for (int i = 1; i < 3; ++i) {
    const tavuLines expected = tavuLinesOf(replays[0], "s"), made = tavuLinesOf(replays[i], "s");
    const auto differ = std::mismatch(expected.begin(), expected.end(), made.begin(), made.end());
    ASSERT_TRUE(differ.first == expected.end() && differ.second == made.end())
        << "seed " << seed << ", plan '" << plans[i] << "', after\n  "
        << (differ.first != expected.begin() ? *(differ.first - 1) : "the start") << "\nexpected "
        << (differ.first != expected.end() ? *differ.first : "the end") << "\nmade     "
        << (differ.second != made.end() ? *differ.second : "the end");
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--replay") == 0)
    return tavuReplayAll(static_cast<unsigned>(std::stoul(argv[2])));
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
