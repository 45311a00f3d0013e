// Which requests the host answers, and with what.
#include <gtest/gtest.h>

#include "host/command_handlers.h"
#include "host/request_tokenizer.h"
#include "midi/cmidi_win32.h"
#include "platform/sim/sim_control.h"

using namespace melvix;

namespace {

std::vector<std::string> replyOf(const Reply& reply) {
  return reply ? std::vector<std::string>{*reply} : std::vector<std::string>{};
}

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
    EXPECT_EQ(replyOf(dispatchRequest(tokenizeRequest(c.request), midi)), c.replies)
        << c.request.substr(0, 80);
  }
}

// The request loop's way, handleRequest, does exactly what dispatching the items does: the same
// replies, and the same bytes sent for "play", whose items it takes without making them.
TEST(CommandDispatch, TheRequestLoopDoesWhatTheItemsSay) {
  sim::reset();
  sim::addDefaultDevices();
  CMidiWin32 midi;
  std::string big = R"(["play",240)";
  while (big.size() < 100000) big += ",1,2000,\"s\"";
  const std::vector<std::string> requests = {
      R"(["version"])",
      R"(["version",1,"x"])",
      R"(["vers\u0069on"])",
      R"(["VERSION"])",
      "[5]",
      "",
      R"(["openout","nothing"])",
      R"(["openin",5])",
      R"(["refresh"])",
      R"(["openout","Melvix Synth"])",
      R"(["play",144,60,100])",
      R"(["play"])",
      R"(["play",1,2,3,4,5])",
      R"(["play","x",300,1.5,-7])",
      R"(["pl\u0061y",176,123,0])",
      R"( ["play",144,60,100])",
      R"(["play",144,60,100)",
      R"(["play\"",144])",
      R"([ "play" , 144 , 61 , 1 ])",
      big,
      R"(["closeout"])",
  };
  Request scratch;
  for (const std::string& request : requests) {
    for (bool outputOpen : {false, true}) {
      // Each way from the same state, on a fresh record of what the devices received.
      std::vector<std::string> replies[2];
      std::vector<std::string> received[2];
      for (int way = 0; way < 2; ++way) {
        if (outputOpen) {
          midi.OpenOut(u"Melvix Synth");
        } else {
          midi.CloseOut();
        }
        sim::clearReceived();
        replies[way] = replyOf(way == 0 ? dispatchRequest(tokenizeRequest(request), midi)
                                        : handleRequest(request, scratch, midi));
        for (const sim::Received& r : sim::received()) received[way].push_back(r.toString());
      }
      EXPECT_EQ(replies[1], replies[0]) << request.substr(0, 60) << " open " << outputOpen;
      EXPECT_EQ(received[1], received[0]) << request.substr(0, 60) << " open " << outputOpen;
    }
  }
}

}  // namespace
