// melvixcheck as a script or the installer runs it: its exit status says whether all is in order.
#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/program_paths.h"
#include "tests/support/scratch_dir.h"

namespace {

TEST(Melvixcheck, ItsExitStatusSaysWhetherAllIsInOrderOrItWasAskedWrongly) {
  const struct {
    std::vector<std::string> args;
    int status;
    const char* output;  // a part of what it prints
  } cases[] = {
      // Nothing here registers the host: a problem for every browser.
      {{"--json"}, 1, R"({"id":"registration.missing","browser":"chrome","status":"problem",)"},
      {{}, 1, "Run the Melvix installer again."},
      {{"--list-checks"}, 0, "host.no_reply "},
      {{"--bogus"}, 2, ""},
      {{"--trace", "maybe"}, 2, ""},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv = programCommand("MELVIX_CHECK");
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(argv.back());
    const RunResult run = runProgram(argv, "", {"MELVIX_SIM_DIR="});
    EXPECT_EQ(run.status, c.status);
    EXPECT_NE(run.output.find(c.output), std::string::npos) << run.output;
  }
}

// A helper looks an id up in the documentation: every one melvixcheck can report is there.
TEST(Melvixcheck, EveryIdItListsIsDocumented) {
  std::vector<std::string> argv = programCommand("MELVIX_CHECK");
  argv.push_back("--list-checks");
  const RunResult run = runProgram(argv, "");
  ASSERT_EQ(run.status, 0);
  const std::optional<std::string> docs = readWholeFile(MELVIX_SOURCE_DIR "/docs/melvixcheck.md");
  ASSERT_TRUE(docs);
  std::istringstream lines(run.output);
  int ids = 0;
  for (std::string id; lines >> id; lines.ignore(1000, '\n')) {
    ++ids;
    EXPECT_NE(docs->find("`" + id + "`"), std::string::npos) << id;
  }
  EXPECT_GT(ids, 20);
}

}  // namespace
