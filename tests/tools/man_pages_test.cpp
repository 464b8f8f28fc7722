// Each manual page lists exactly the long options its tool's --help lists,
// and renders without a warning.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "tests/support/test_support.h"

namespace {

// Long options at the start of the help's option lines: "  -h, --help".
std::set<std::string> tavuHelpOptions(const std::string& help) {
  static const std::regex option(R"(^\s+(?:-\w, )?--([a-z0-9][a-z0-9-]*))");
  std::set<std::string> names;
  for (const std::string& line : tavuSplitLines(help)) {
    std::smatch match;
    if (std::regex_search(line, match, option)) names.insert(match[1]);
  }
  return names;
}

// Long options in the page's tags: the line after each ".TP".
std::set<std::string> tavuPageOptions(const std::string& page) {
  static const std::regex option(R"(\\-\\-([a-z0-9](?:[a-z0-9]|\\-)*))");
  std::set<std::string> names;
  std::istringstream lines(page);
  std::string line;
  bool tag = false;
  while (std::getline(lines, line)) {
    for (auto it = std::sregex_iterator(line.begin(), line.end(), option);
         tag && it != std::sregex_iterator(); ++it) {
      names.insert(std::regex_replace((*it)[1].str(), std::regex(R"(\\-)"), "-"));
    }
    tag = line == ".TP";
  }
  return names;
}

TEST(ManPages, ListTheOptionsOfTheHelpAndRenderCleanly) {
  const char* source = std::getenv("TAVU_SOURCE_DIR");
  ASSERT_NE(source, nullptr);
  const struct {
    const char* tool;
    const char* page;
    bool hasHelp;  // the daemon takes no option at all
  } pages[] = {
      {"tavunetlink", "tavunetlink.8", false}, {"tavutrace", "tavutrace.1", true},
      {"tavumon", "tavumon.1", true},          {"tavuinject", "tavuinject.1", true},
      {"tavutrigger", "tavutrigger.1", true},
  };
  for (const auto& p : pages) {
    SCOPED_TRACE(p.page);
    const std::string path = std::string(source) + "/man/" + p.page;
    const std::string page = tavuReadFile(path);
    ASSERT_FALSE(page.empty());
    std::set<std::string> help;
    if (p.hasHelp) {
      // tavutrace runs natively, also for the board's build.
      const tavuProgramRun run = std::string(p.tool) == "tavutrace"
                                     ? tavuRunCapturing({std::getenv("TAVU_TAVUTRACE"), "--help"})
                                     : tavuRunBuilt(p.tool, {"--help"});
      ASSERT_EQ(run.status, 0) << run.err;
      help = tavuHelpOptions(run.out);
      EXPECT_TRUE(help.count("help")) << run.out;
    }
    EXPECT_EQ(tavuPageOptions(page), help);
    const tavuProgramRun render = tavuRunCapturing({"groff", "-man", "-ww", "-z", "-Tutf8", path});
    EXPECT_EQ(render.status, 0);
    EXPECT_EQ(render.err, "");
  }
}

}  // namespace
