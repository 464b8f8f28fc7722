#include "tests/devnodes/dev_sandbox.h"

#include <dirent.h>
#include <ftw.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace {

bool tavuSandboxOwnName(const std::string& name) {
  static const char* const kOwn[] = {"null", "zero",  "random", "urandom",
                                     "fd",   "stdin", "stdout", "stderr"};
  for (const char* own : kOwn) {
    if (name == own) return true;
  }
  return false;
}

bool tavuDevIsSandboxTmpfs() {
  const char* flag = std::getenv("TAVU_IN_SANDBOX");
  struct statfs info {};
  return flag != nullptr && std::strcmp(flag, "1") == 0 && statfs("/dev", &info) == 0 &&
         info.f_type == TMPFS_MAGIC;
}

int tavuRemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  return remove(path) == 0 ? 0 : -1;
}

std::vector<std::string>* g_treeLines = nullptr;  // nftw has no context argument

int tavuAddTreeLine(const char* path, const struct stat* info, int, struct FTW* where) {
  if (where->level == 0) return 0;
  const char type = S_ISDIR(info->st_mode) ? 'd' : S_ISREG(info->st_mode) ? 'f' : '?';
  char line[4200];
  std::snprintf(line, sizeof line, "%c %04o %s", type, static_cast<unsigned>(info->st_mode & 07777),
                path);
  g_treeLines->push_back(line);
  return 0;
}

}  // namespace

void tavuClearDev() {
  ASSERT_TRUE(tavuDevIsSandboxTmpfs()) << "refusing to clear a /dev that is not the sandbox's";
  DIR* dir = opendir("/dev");
  ASSERT_NE(dir, nullptr);
  std::vector<std::string> names;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != ".." && !tavuSandboxOwnName(name)) names.push_back(name);
  }
  closedir(dir);
  for (const std::string& name : names) {
    const std::string path = "/dev/" + name;
    EXPECT_EQ(nftw(path.c_str(), tavuRemoveEntry, 16, FTW_DEPTH | FTW_PHYS), 0) << path;
  }
}

std::vector<std::string> tavuTreeLines(const std::string& root) {
  std::vector<std::string> lines;
  g_treeLines = &lines;
  nftw(root.c_str(), tavuAddTreeLine, 16, FTW_PHYS);
  g_treeLines = nullptr;
  std::sort(lines.begin(), lines.end());
  return lines;
}

std::vector<std::string> tavuRootNames() {
  std::vector<std::string> names;
  DIR* dir = opendir("/");
  if (dir == nullptr) return names;
  while (dirent* entry = readdir(dir)) names.emplace_back(entry->d_name);
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

tavuDatagramCopy::tavuDatagramCopy(const std::string& bytes)
    : iv_data(static_cast<char*>(std::malloc(bytes.empty() ? 1 : bytes.size()))),
      iv_length(static_cast<uint32_t>(bytes.size())) {
  bytes.copy(iv_data, bytes.size());
}

tavuDatagramCopy::~tavuDatagramCopy() {
  std::free(iv_data);
}

void tavuDevTest::SetUp() {
  tavuRequireSandbox();
  umask(022);
  tavuClearDev();
}

void tavuDevTest::TearDown() {
  tavuClearDev();
}

std::vector<std::string> tavuSorted(std::vector<std::string> lines) {
  std::sort(lines.begin(), lines.end());
  return lines;
}
