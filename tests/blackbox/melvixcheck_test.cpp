// melvixcheck as a script or the installer runs it: its exit status says whether all is in order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/program_paths.h"

namespace {

TEST(Melvixcheck, ItsExitStatusSaysWhetherAllIsInOrderOrItWasAskedWrongly) {
  const struct {
    std::vector<std::string> args;
    int status;
    const char* output;  // a part of what it prints
  } cases[] = {
      // Nothing here registers the host: a problem for every browser.
      {{"--json"}, 1, "{\"ok\":false,"},
      {{}, 1, "Run the Melvix installer again."},
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

}  // namespace
