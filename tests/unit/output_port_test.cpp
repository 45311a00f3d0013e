// Output ports against the simulated devices: what reaches the device for each length of message,
// what the result says when the device refuses, silencing, and closing.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "midi/cmidi_out_hw.h"
#include "midi/cmidi_out_sw.h"
#include "platform/sim/sim_control.h"
#include "tests/support/hex_text.h"
#include "tests/support/sim_calls.h"

using namespace melvix;

namespace {

using sim::Direction;
using sim::Fault;
using Maker = std::function<std::unique_ptr<CMidiOut>(HMIDIOUT, const WCHAR*)>;

// Both kinds of port share every operation; each test runs on both.
const struct {
  const char* kind;
  Maker make;
} kKinds[] = {
    {"CMidiOutHW",
     [](HMIDIOUT h, const WCHAR* n) -> std::unique_ptr<CMidiOut> {
       return std::make_unique<CMidiOutHW>(h, n);
     }},
    {"CMidiOutSW",
     [](HMIDIOUT h, const WCHAR* n) -> std::unique_ptr<CMidiOut> {
       return std::make_unique<CMidiOutSW>(h, n);
     }},
};

ByteString bytesOf(std::initializer_list<int> values) {
  ByteString out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

class OutputPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    sim::addDevice(Direction::kOut, namedDevice("Out"));
  }

  std::unique_ptr<CMidiOut> open(const Maker& make, const WCHAR* name = u"Out") {
    HMIDIOUT handle = nullptr;
    EXPECT_EQ(midiOutOpen(&handle, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    auto port = make(handle, name);
    forgetCalls();
    return port;
  }
};

TEST_F(OutputPortTest, TheLengthAloneChoosesAShortOrOneLongMessage) {
  const struct {
    ByteString bytes;
    std::vector<std::string> calls;
  } cases[] = {
      {bytesOf({}), {"midiOutShortMsg \"Out\" 00000000 -> 0"}},
      {bytesOf({0xF8}), {"midiOutShortMsg \"Out\" 000000f8 -> 0"}},
      {bytesOf({0xC5, 0x07}), {"midiOutShortMsg \"Out\" 000007c5 -> 0"}},
      {bytesOf({0x90, 0x3C, 0x7F}), {"midiOutShortMsg \"Out\" 007f3c90 -> 0"}},
      // A whole system-exclusive message of three bytes is still a short message.
      {bytesOf({0xF0, 0x7E, 0xF7}), {"midiOutShortMsg \"Out\" 00f77ef0 -> 0"}},
      {bytesOf({0xF0, 0x7E, 0x7F, 0xF7}),
       {"midiOutPrepareHeader \"Out\" 4 -> 0", "midiOutLongMsg \"Out\" 4 -> 0",
        "midiOutUnprepareHeader \"Out\" -> 0"}},
      // Two note messages given together are not split.
      {bytesOf({0x90, 0x3C, 0x7F, 0x80, 0x3C, 0x00}),
       {"midiOutPrepareHeader \"Out\" 6 -> 0", "midiOutLongMsg \"Out\" 6 -> 0",
        "midiOutUnprepareHeader \"Out\" -> 0"}},
  };
  for (const auto& kind : kKinds) {
    auto port = open(kind.make);
    for (const auto& c : cases) {
      forgetCalls();
      EXPECT_TRUE(port->SendRaw(c.bytes)) << kind.kind << " " << hexText(c.bytes);
      EXPECT_EQ(deviceCalls(), c.calls) << kind.kind << " " << hexText(c.bytes);
      auto got = sim::received();
      ASSERT_EQ(got.size(), 1u) << kind.kind << " " << hexText(c.bytes);
      EXPECT_EQ(got[0].isLong, c.bytes.size() >= 4) << kind.kind << " " << hexText(c.bytes);
      ByteString expected = c.bytes;
      if (expected.size() < 4) expected.resize(3, '\0');
      EXPECT_EQ(ByteString(got[0].bytes.begin(), got[0].bytes.end()), expected)
          << kind.kind << " " << hexText(c.bytes);
    }
  }
}

TEST_F(OutputPortTest, TheResultSaysWhetherTheDeviceTookTheMessage) {
  const ByteString kShort = bytesOf({0x90, 0x3C, 0x7F});
  const ByteString kLong = bytesOf({0xF0, 1, 2, 3, 4, 0xF7});
  const struct {
    const char* what;
    Fault fault;
    int times;
    ByteString bytes;
    bool result;
    std::vector<std::string> calls;
  } cases[] = {
      {"short refused",
       Fault::kShortMsg,
       1,
       kShort,
       false,
       {"midiOutShortMsg \"Out\" 007f3c90 -> 67"}},
      {"long refused: still unprepared",
       Fault::kLongMsg,
       1,
       kLong,
       false,
       {"midiOutPrepareHeader \"Out\" 6 -> 0", "midiOutLongMsg \"Out\" 6 -> 67",
        "midiOutUnprepareHeader \"Out\" -> 0"}},
      {"prepare fails: nothing sent, nothing unprepared",
       Fault::kPrepareHeader,
       1,
       kLong,
       false,
       {"midiOutPrepareHeader \"Out\" 6 -> 7"}},
      {"still playing: unprepare asked again at once",
       Fault::kStillPlaying,
       3,
       kLong,
       true,
       {"midiOutPrepareHeader \"Out\" 6 -> 0", "midiOutLongMsg \"Out\" 6 -> 0",
        "midiOutUnprepareHeader \"Out\" -> 65", "midiOutUnprepareHeader \"Out\" -> 65",
        "midiOutUnprepareHeader \"Out\" -> 65", "midiOutUnprepareHeader \"Out\" -> 0"}},
  };
  for (const auto& kind : kKinds) {
    auto port = open(kind.make);
    for (const auto& c : cases) {
      sim::setFault(Direction::kOut, u"Out", c.fault, c.times);
      forgetCalls();
      EXPECT_EQ(port->SendRaw(c.bytes), c.result) << kind.kind << ": " << c.what;
      EXPECT_EQ(deviceCalls(), c.calls) << kind.kind << ": " << c.what;
      // The fault is used up: the same bytes go through now.
      EXPECT_TRUE(port->SendRaw(c.bytes)) << kind.kind << ": " << c.what;
    }
  }
}

TEST_F(OutputPortTest, AHundredThousandBytesGoOutAsOneLongMessageUncut) {
  ByteString bytes(100000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
  auto port = open(kKinds[0].make);
  EXPECT_TRUE(port->SendRaw(bytes));
  auto got = sim::received();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_TRUE(got[0].isLong);
  EXPECT_EQ(ByteString(got[0].bytes.begin(), got[0].bytes.end()), bytes);
}

TEST_F(OutputPortTest, AllNotesOffSendsControlChange123OnEachChannelInOrder) {
  std::vector<std::string> expected;
  for (int channel = 0; channel < 16; ++channel) {
    char line[64];
    std::snprintf(line, sizeof line, "midiOutShortMsg \"Out\" 00007bb%x -> 0", channel);
    expected.push_back(line);
  }
  for (const auto& kind : kKinds) {
    auto port = open(kind.make);
    port->AllNotesOff();
    EXPECT_EQ(deviceCalls(), expected) << kind.kind;
    // Sent one by one even when the device refuses some.
    sim::setFault(Direction::kOut, u"Out", Fault::kShortMsg, 3);
    forgetCalls();
    port->AllNotesOff();
    EXPECT_EQ(callsStartingWith("midiOutShortMsg").size(), 16u) << kind.kind;
    EXPECT_EQ(sim::received().size(), 13u) << kind.kind;
  }
}

TEST_F(OutputPortTest, DestroyingAPortOnlyClosesItsDevice) {
  for (const auto& kind : kKinds) {
    auto port = open(kind.make);
    port.reset();
    EXPECT_EQ(deviceCalls(), std::vector<std::string>{"midiOutClose \"Out\" -> 0"}) << kind.kind;
    // The device is free again.
    HMIDIOUT handle = nullptr;
    EXPECT_EQ(midiOutOpen(&handle, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR) << kind.kind;
    midiOutClose(handle);
  }
}

TEST_F(OutputPortTest, APortKeepsTheNameItWasOpenedUnder) {
  for (const auto& kind : kKinds) {
    EXPECT_EQ(open(kind.make, u"")->Name(), u"") << kind.kind;
    EXPECT_EQ(open(kind.make, u"Another \u00e9 name")->Name(), u"Another \u00e9 name") << kind.kind;
  }
}

}  // namespace
