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
constexpr unsigned TAVU_SEQUENCES = 24;
constexpr int TAVU_STEPS = 120;

// "/dev/a/c", from one to `most` levels, or /dev itself.
std::string tavuPickDir(std::mt19937& pick, int most) {
  std::string path = "/dev";
  for (int level = std::uniform_int_distribution<>(pick() % 16 == 0 ? 0 : 1, most)(pick); level > 0;
       --level)
    path += std::string("/") + TAVU_NAMES[pick() % 3];
  return path;
}

using tavuChange = void (*)(const char* one, const char* other, unsigned dice);
const char TAVU_AWAY[] = "/dev.old";  // where /dev itself goes, and comes back from

// Changes to /dev as root or nobody may make them; failures are part of the game.
// clang-format off
const tavuChange TAVU_CHANGES[] = {
    [](const char* one, const char*, unsigned dice) { (void)mkdir(one, dice % 2 ? 0755 : 02775); },
    [](const char* one, const char*, unsigned) { (void)rmdir(one); },
    [](const char* one, const char* other, unsigned dice) { (void)rename(one, dice % 6 ? other : TAVU_AWAY); },
    [](const char* one, const char*, unsigned) { (void)rename(TAVU_AWAY, one); },
    [](const char*, const char*, unsigned) { (void)rename("/dev", TAVU_AWAY); },
    [](const char* one, const char* other, unsigned) { (void)renameat2(AT_FDCWD, one, AT_FDCWD, other, RENAME_EXCHANGE); },
    [](const char* one, const char*, unsigned dice) { (void)symlink(std::strcmp(one, "/dev") == 0 ? TAVU_AWAY : dice % 2 ? "/out" : "../b", one); },
    [](const char* one, const char*, unsigned dice) { (void)chown(one, dice % 2 ? 0 : 65534, 100); },
    [](const char* one, const char*, unsigned dice) { (void)chmod(one, dice % 2 ? 0755 : 02775); },
    [](const char* one, const char*, unsigned) { (void)mount("none", one, "tmpfs", 0, "mode=1777"); },
    [](const char* one, const char* other, unsigned dice) { (void)mount(one, dice % 3 ? other : one, nullptr, MS_BIND, nullptr); },
    [](const char* one, const char*, unsigned) { (void)umount2(one, MNT_DETACH); },
};
// clang-format on

// /dev itself first, when it is there, then what it holds.
tavuLines tavuTreeNow() {
  if (!std::filesystem::exists("/dev")) return {};
  tavuLines tree = tavuDevTree(true);
  tree.insert(tree.begin(), "/dev");
  return tree;
}

// A node added, removed, or both, at one to four levels ("/dev/x" at none).
// A removal alone makes nothing, not even /dev.
void tavuEvent(std::mt19937& pick) {
  const std::string at = tavuPickDir(pick, 4).substr(4);
  std::string name = at.empty() ? "x" : at.substr(1) + "." + std::to_string(pick() % 3), node, dir;
  std::replace(name.begin(), name.end(), '/', '.');
  const unsigned what = pick() % 3;
  const tavuLines before = what == 0 ? tavuTreeNow() : tavuLines{};
  if (!tavuMakeDevNodePath("/class/gpio/" + name, node, dir)) return;
  if (what != 0) tavuCreateDevNode(node, dir, static_cast<int32_t>(what), 7);
  if (what != 1) tavuRemoveDevNode(node, dir);
  const tavuLines after = what == 0 ? tavuTreeNow() : tavuLines{};
  if (!std::includes(before.begin(), before.end(), after.begin(), after.end()))
    std::puts("broken: a removal made something");
}

// One change or one event; true for an event.
bool tavuStep(std::mt19937& pick) {
  const unsigned which = pick() % 16;
  if (which >= std::size(TAVU_CHANGES)) {
    tavuEvent(pick);
    return true;
  }
  const std::string one = tavuPickDir(pick, 3), other = tavuPickDir(pick, 3);
  const bool nobody = pick() % 4 == 0;
  if (nobody) (void)seteuid(65534);
  TAVU_CHANGES[which](one.c_str(), other.c_str(), static_cast<unsigned>(pick()));
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

// Replays one sequence in a process that has walked nothing yet: a line
// per event with the tree, one for whatever breaks the rules, and last
// whether the walk held any descriptor between events.
int tavuReplay(unsigned sequence) {
  tavuPrivateRoot();
  umask(022);
  std::mt19937 pick(sequence);
  const long before = tavuDescriptors("self");
  long most = 0;
  // A path that climbs out of /dev, which no device path gives, is refused on every walk.
  tavuCreateDevNode("/dev/../out/x", "/dev/../out", 1, 7);
  if (std::filesystem::exists("/out/x")) std::puts("broken: made outside /dev");
  for (int step = 0; step < TAVU_STEPS; ++step) {
    if (!tavuStep(pick)) continue;
    most = std::max(most, tavuDescriptors("self") - before);
    if (most > 30) std::printf("broken: %ld descriptors held\n", most);
    const tavuLines out = tavuDevTree(true, "/out");  // where links lead
    std::printf("step %d: %s %s\n", step, ::testing::PrintToString(tavuTreeNow()).c_str(),
                ::testing::PrintToString(out).c_str());
  }
  std::printf("held %s\n", most > 0 ? "some" : "none");
  return 0;
}

TEST(WalkDifferential, KeptDirectoriesMakeTheTreeOfAWalkThatKeepsNothing) {
  ASSERT_NO_FATAL_FAILURE(tavuRequireSandbox());
  const std::string given = tavuEnv("TAVU_WALK_SEED");
  const unsigned seed = given.empty() ? std::random_device()() : std::stoul(given);
  std::printf("seed %u (TAVU_WALK_SEED=%u replays it)\n", seed, seed);
  std::fflush(stdout);
  // Nothing kept; kept as this kernel allows; an old kernel's walk.
  const char* const plans[] = {"statx+", "", "openat2+,statx+"};
  bool held = false;
  for (unsigned sequence = seed; sequence != seed + TAVU_SEQUENCES; ++sequence) {
    tavuLines replays[3];
    for (int i = 0; i < 3; ++i) {
      const tavuRun run = tavuRunProgram("walk_differential_test",
                                         {"--replay", std::to_string(sequence)}, plans[i]);
      replays[i] = tavuSplit(run.out);
      ASSERT_EQ(run.status, 0) << "plan '" << plans[i] << "', sequence " << sequence << run.err;
      ASSERT_THAT(replays[i], ::testing::Each(::testing::Not(::testing::StartsWith("broken"))))
          << "plan '" << plans[i] << "', sequence " << sequence;
      const size_t steps = replays[0].size() - 1, made = replays[i].size() - 1;  // but "held"
      for (size_t k = 0; k < std::max(steps, made); ++k)
        ASSERT_EQ(k < made ? replays[i][k] : "the end", k < steps ? replays[0][k] : "the end")
            << "plan '" << plans[i] << "', sequence " << sequence << ", after "
            << (k > 0 ? replays[0][k - 1] : "the start");
    }
    EXPECT_EQ(replays[0].back(), "held none");
    held = held || replays[1].back() == "held some";
  }
  // Under the emulator statx tells no mounts: nothing is kept there.
  EXPECT_TRUE(held || !tavuEnv("TAVU_EMULATOR").empty()) << "no directory kept";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--replay") == 0)
    return tavuReplay(static_cast<unsigned>(std::stoul(argv[2])));
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
