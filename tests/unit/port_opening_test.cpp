// Opening, switching and closing the current ports, against the simulated devices: the names the
// open operations return, which port class is made, and the order of the device calls.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "midi/cmidi_out_hw.h"
#include "midi/cmidi_out_sw.h"
#include "midi/cmidi_win32.h"
#include "midi/sysex_buffers.h"
#include "platform/sim/sim_control.h"
#include "tests/support/captured_frames.h"
#include "tests/support/sim_calls.h"

using namespace melvix;

namespace {

using sim::Direction;
using sim::Fault;
using Calls = std::vector<std::string>;

Calls allNotesOff(const std::string& device) {
  Calls out;
  for (int channel = 0; channel < 16; ++channel) {
    char line[80];
    std::snprintf(line, sizeof line, "midiOutShortMsg \"%s\" 00007bb%x -> 0", device.c_str(),
                  channel);
    out.push_back(line);
  }
  return out;
}

Calls inputClosing(const std::string& device) {
  const std::string q = "\"" + device + "\"";
  Calls out = {"midiInStop " + q + " -> 0", "midiInReset " + q + " -> 0"};
  for (int i = 0; i < SysexBuffers::kCount; ++i)
    out.push_back("midiInUnprepareHeader " + q + " -> 0");
  out.push_back("midiInClose " + q + " -> 0");
  return out;
}

Calls inputStarting(const std::string& device) {
  const std::string q = "\"" + device + "\"";
  Calls out;
  for (int i = 0; i < SysexBuffers::kCount; ++i) {
    out.push_back("midiInPrepareHeader " + q + " 256 -> 0");
    out.push_back("midiInAddBuffer " + q + " -> 0");
  }
  out.push_back("midiInStart " + q + " -> 0");
  return out;
}

Calls joined(std::initializer_list<Calls> parts) {
  Calls out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::string kindOf(const CMidiOut* port) {
  if (port == nullptr) return "none";
  if (dynamic_cast<const CMidiOutSW*>(port) != nullptr) return "SW";
  if (dynamic_cast<const CMidiOutHW*>(port) != nullptr) return "HW";
  return "other";
}

class PortOpeningTest : public ::testing::Test {
 protected:
  void SetUp() override { sim::reset(); }
  void TearDown() override { sim::reset(); }
};

TEST_F(PortOpeningTest, OutputOpenByNameReturnsTheNameOfThePortCurrentAfterwards) {
  for (const char* name : {"Zero", "Twin", "Twin", "Busy", "Twin "}) {
    sim::addDevice(Direction::kOut, namedDevice(name));
  }
  sim::setFault(Direction::kOut, u"Busy", Fault::kOpen);
  CMidiWin32 midi;
  const struct {
    std::u16string request;
    std::u16string reply;
    Calls openCalls;  // the device calls of the open itself, before any old port is touched
    std::string kind;
  } steps[] = {
      // An empty name while nothing is open is the current name: no device is even counted.
      {u"", u"", {}, "none"},
      {u"Nothing", u"", {}, "none"},
      {u"Twin", u"Twin", {"midiOutOpen 1 \"Twin\" -> 0"}, "HW"},
      {u"Twin", u"Twin", {}, "HW"},
      {u"Busy", u"Twin", {"midiOutOpen 3 \"Busy\" -> 4"}, "HW"},
      {u"twin", u"Twin", {}, "HW"},
      {u"Twin ", u"Twin ", {"midiOutOpen 4 \"Twin \" -> 0"}, "HW"},
      {u"", u"Twin ", {}, "HW"},
      {u"Zero", u"Zero", {"midiOutOpen 0 \"Zero\" -> 0"}, "SW"},
      {u"Twin", u"Twin", {"midiOutOpen 1 \"Twin\" -> 0"}, "HW"},
  };
  std::u16string current;
  for (const auto& step : steps) {
    const std::string what = "open " + sim::utf8(step.request) + " with " + sim::utf8(current);
    forgetCalls();
    EXPECT_EQ(midi.OpenOut(step.request), step.reply) << what;
    EXPECT_EQ(midi.OutName(), step.reply) << what;
    EXPECT_EQ(kindOf(midi.Out()), step.kind) << what;
    Calls expected = step.openCalls;
    if (step.reply != current) {
      expected = joined({expected,
                         allNotesOff(sim::utf8(current)),
                         {"midiOutClose \"" + sim::utf8(current) + "\" -> 0"}});
      if (current.empty()) expected = step.openCalls;
    }
    EXPECT_EQ(deviceCalls(), expected) << what;
    if (step.request == current) {
      EXPECT_TRUE(sim::calls().empty()) << what;
    }
    current = step.reply;
  }
  // After the failed open the old port still plays.
  sim::clearReceived();
  midi.Out()->SendShort(0x90, 0x3C, 0x64);
  ASSERT_EQ(sim::received().size(), 1u);
  EXPECT_EQ(sim::received()[0].toString(), "\"Twin\" short 90 3c 64");
}

TEST_F(PortOpeningTest, TheClassGoesByDeviceIdWhetherOpenedByNameOrByIndex) {
  for (const char* name : {"Zero", "One", "Two"})
    sim::addDevice(Direction::kOut, namedDevice(name));
  sim::setFault(Direction::kOut, u"Two", Fault::kGetDevCaps, 1);
  CMidiWin32 midi;
  EXPECT_EQ(midi.OpenOut(u"Zero"), u"Zero");
  EXPECT_EQ(kindOf(midi.Out()), "SW");
  EXPECT_EQ(midi.OpenOut(1u), u"One");
  EXPECT_EQ(kindOf(midi.Out()), "HW");
  EXPECT_EQ(midi.OpenOut(0u), u"Zero");
  EXPECT_EQ(kindOf(midi.Out()), "SW");
  // An id that cannot be queried, now or ever, leaves the port as it was.
  forgetCalls();
  EXPECT_EQ(midi.OpenOut(2u), u"Zero");
  EXPECT_EQ(midi.OpenOut(9u), u"Zero");
  EXPECT_TRUE(callsStartingWith("midiOutOpen").empty());
  EXPECT_TRUE(callsStartingWith("midiOutClose").empty());
  // The same device by index while it is current: nothing happens.
  EXPECT_EQ(midi.OpenOut(0u), u"Zero");
  EXPECT_TRUE(callsStartingWith("midiOutShortMsg").empty());
  EXPECT_EQ(midi.OpenOut(2u), u"Two");
  EXPECT_EQ(kindOf(midi.Out()), "HW");
}

TEST_F(PortOpeningTest, SwitchingOutputsOpensTheNewOneThenSilencesAndClosesTheOld) {
  sim::addDevice(Direction::kOut, namedDevice("A"));
  sim::addDevice(Direction::kOut, namedDevice("B"));
  CMidiWin32 midi;
  midi.OpenOut(u"A");
  forgetCalls();
  EXPECT_EQ(midi.OpenOut(u"B"), u"B");
  EXPECT_EQ(deviceCalls(),
            joined({{"midiOutOpen 1 \"B\" -> 0"}, allNotesOff("A"), {"midiOutClose \"A\" -> 0"}}));
  forgetCalls();
  midi.CloseOut();
  EXPECT_EQ(deviceCalls(), joined({allNotesOff("B"), {"midiOutClose \"B\" -> 0"}}));
  EXPECT_EQ(midi.OutName(), u"");
  EXPECT_EQ(midi.Out(), nullptr);
  forgetCalls();
  midi.CloseOut();
  EXPECT_TRUE(sim::calls().empty());
}

TEST_F(PortOpeningTest, SwitchingInputsClosesTheOldOneWhollyBeforeTheNewOneStarts) {
  for (bool onCallingThread : {false, true}) {
    sim::reset();
    sim::setCallbacksOnCallingThread(onCallingThread);
    const std::string mode = onCallingThread ? "callbacks on the caller" : "callbacks on device";
    sim::addDevice(Direction::kIn, namedDevice("A"));
    sim::addDevice(Direction::kIn, namedDevice("B"));
    CMidiWin32 midi;
    CapturedFrames frames(&midi);
    EXPECT_EQ(midi.OpenIn(u"A", 0), u"A") << mode;
    EXPECT_EQ(deviceCalls(), joined({{"midiInOpen 0 \"A\" -> 0"}, inputStarting("A")})) << mode;
    forgetCalls();
    EXPECT_EQ(midi.OpenIn(1u, 0), u"B") << mode;
    EXPECT_EQ(deviceCalls(),
              joined({{"midiInOpen 1 \"B\" -> 0"}, inputClosing("A"), inputStarting("B")}))
        << mode;
    forgetCalls();
    midi.CloseIn();
    EXPECT_EQ(deviceCalls(), inputClosing("B")) << mode;
    EXPECT_EQ(midi.InName(), u"") << mode;
    forgetCalls();
    midi.CloseIn();
    EXPECT_TRUE(sim::calls().empty()) << mode;
    EXPECT_TRUE(frames.texts().empty()) << mode;
  }
}

TEST_F(PortOpeningTest, InputOpenByNameReturnsTheNameOfThePortCurrentAfterwards) {
  for (const char* name : {"Keys", "Twin", "Twin", "Busy"}) {
    sim::addDevice(Direction::kIn, namedDevice(name));
  }
  sim::setFault(Direction::kIn, u"Busy", Fault::kOpen);
  CMidiWin32 midi;
  CapturedFrames frames(&midi);
  const struct {
    std::u16string request;
    std::u16string reply;
    const char* opened;  // the midiInOpen call, or null when none is made
  } steps[] = {
      {u"", u"", nullptr},
      {u"Nothing", u"", nullptr},
      {u"Twin", u"Twin", "midiInOpen 1 \"Twin\" -> 0"},
      {u"Twin", u"Twin", nullptr},
      {u"Busy", u"Twin", "midiInOpen 3 \"Busy\" -> 4"},
      {u"", u"Twin", nullptr},
      {u"Keys", u"Keys", "midiInOpen 0 \"Keys\" -> 0"},
  };
  for (const auto& step : steps) {
    const std::string what = "open " + sim::utf8(step.request);
    forgetCalls();
    EXPECT_EQ(midi.OpenIn(step.request, 0), step.reply) << what;
    EXPECT_EQ(midi.InName(), step.reply) << what;
    Calls opened = callsStartingWith("midiInOpen");
    EXPECT_EQ(opened, step.opened ? Calls{step.opened} : Calls{}) << what;
  }
  // The port current after a failed open still delivers.
  midi.OpenIn(u"Twin", 0);
  forgetCalls();
  EXPECT_EQ(midi.OpenIn(u"Busy", 0), u"Twin");
  EXPECT_TRUE(callsStartingWith("midiInStop").empty());
  sim::deliverShort(u"Twin", 0x643C90);
  sim::drainInput();
  ASSERT_EQ(frames.texts().size(), 1u);
  EXPECT_NE(frames.texts()[0].find(",144,60,100]"), std::string::npos);
}

TEST_F(PortOpeningTest, AnInputThatVanishedSinceItWasListedIsNotOpened) {
  sim::addDevice(Direction::kIn, namedDevice("Keys"));
  sim::addDevice(Direction::kIn, namedDevice("Pads"));
  CMidiWin32 midi;
  EXPECT_EQ(midi.ListIns().size(), 2u);
  midi.OpenIn(u"Pads", 0);
  sim::removeDevice(Direction::kIn, u"Keys");
  EXPECT_EQ(midi.OpenIn(u"Keys", 0), u"Pads");
  // The ids shifted: "Pads" is now device 0, and asking by its old id finds nothing.
  EXPECT_EQ(midi.OpenIn(1u, 0), u"Pads");
  midi.CloseIn();
  EXPECT_EQ(callsStartingWith("midiInClose"), Calls{"midiInClose \"Pads\" -> 0"});
}

// An input that cannot start would be deaf: it is closed again at once and the reply says no input
// is current. One whose buffers fail still hears short messages.
TEST_F(PortOpeningTest, AnInputWhoseBuffersOrStartFailOpensOnlyIfItHearsAndClosesCleanly) {
  const struct {
    const char* what;
    Fault fault;
    bool opens;
  } cases[] = {
      {"start fails", Fault::kStart, false},
      {"buffers cannot be prepared", Fault::kPrepareHeader, true},
      {"buffers cannot be added", Fault::kAddBuffer, true},
  };
  for (const auto& c : cases) {
    sim::reset();
    sim::addDevice(Direction::kIn, namedDevice("In"));
    sim::setFault(Direction::kIn, u"In", c.fault);
    CMidiWin32 midi;
    CapturedFrames frames(&midi);
    EXPECT_EQ(midi.OpenIn(u"In", 0), c.opens ? u"In" : u"") << c.what;
    sim::deliverShort(u"In", 0x90);
    sim::deliverSysex(u"In", {0xF0, 1, 0xF7});
    sim::drainInput();
    EXPECT_EQ(frames.texts().size(), c.opens ? 1u : 0u) << c.what;
    if (c.opens) forgetCalls();
    midi.CloseIn();
    EXPECT_EQ(callsStartingWith("midiInClose"), Calls{"midiInClose \"In\" -> 0"}) << c.what;
    // The device is free for the next client.
    sim::setFault(Direction::kIn, u"In", c.fault, 0);
    EXPECT_EQ(midi.OpenIn(u"In", 0), u"In") << c.what;
  }
}

TEST_F(PortOpeningTest, DestroyingTheSystemObjectClosesInputThenSilencesAndClosesOutput) {
  sim::addDevice(Direction::kOut, namedDevice("Out"));
  sim::addDevice(Direction::kIn, namedDevice("In"));
  {
    CMidiWin32 midi;
    forgetCalls();
  }
  EXPECT_TRUE(sim::calls().empty());
  {
    CMidiWin32 midi;
    midi.OpenOut(u"Out");
    midi.OpenIn(u"In", 0);
    forgetCalls();
  }
  EXPECT_EQ(deviceCalls(),
            joined({inputClosing("In"), allNotesOff("Out"), {"midiOutClose \"Out\" -> 0"}}));
}

}  // namespace
