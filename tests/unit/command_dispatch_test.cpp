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
  sim::addDefaultDevices();
  sim::DeviceSpec cut;
  cut.name = u"Cut \xD83C";
  sim::addDevice(sim::Direction::kOut, cut);
  CMidiWin32 midi;
  const struct {
    std::string request;
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
      {R"([5,"version"])", {}},
      {R"(["play","x",300])", {}},
      {R"(["openout",")" + std::string(100000, 'x') + R"("])", {R"(["openout",""])"}},
      // Bytes that are not UTF-8 are dropped from a name; the rest of it counts.
      {"[\"openout\",\"Melvix\xFF\xC3 Synth\"]", {R"(["openout","Melvix Synth"])"}},
      // A name that ends in half a surrogate pair goes out as its escape and comes back as one.
      {R"(["openout","Cut \ud83c"])", {R"(["openout","Cut \ud83c"])"}},
  };
  for (const auto& c : cases) {
    CapturedFrames frames(&midi);
    dispatchRequest(tokenizeRequest(c.request), midi);
    EXPECT_EQ(frames.texts(), c.replies) << c.request.substr(0, 80);
  }
}

}  // namespace
