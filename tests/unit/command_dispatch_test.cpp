// Which requests the host answers, and with what.
#include <gtest/gtest.h>

#include "host/command_handlers.h"
#include "host/request_tokenizer.h"
#include "midi/cmidi_win32.h"
#include "platform/sim/sim_control.h"
#include "tests/support/captured_frames.h"

namespace {

TEST(CommandDispatch, AnswersOnlyExactCommandNames) {
  sim::reset();
  CMidiWin32 midi;
  const struct {
    const char* request;
    std::vector<std::string> replies;
  } cases[] = {
      {R"(["version"])", {R"(["version","1.5"])"}},
      {R"(["version",1,"x"])", {R"(["version","1.5"])"}},
      {R"(["VERSION"])", {}},
      {R"(["version "])", {}},
      {R"(["versions"])", {}},
      {R"(["vers\u0069on"])", {R"(["version","1.5"])"}},
      {R"([5])", {}},
      {R"([])", {}},
      {R"( ["version"])", {}},
      {R"({"version":1})", {}},
      {R"(["openout"])", {}},
      {R"(["openin"])", {}},
      {R"(["play"])", {}},
      {R"(["closeout"])", {}},
      {R"(["closein"])", {}},
      {R"(["openout","nothing"])", {R"(["openout",""])"}},
      {R"(["openin",5])", {R"(["openin",""])"}},
  };
  for (const auto& c : cases) {
    CapturedFrames frames(&midi);
    dispatchRequest(tokenizeRequest(c.request), midi);
    EXPECT_EQ(frames.texts(), c.replies) << c.request;
  }
}

}  // namespace
