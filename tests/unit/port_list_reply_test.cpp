// "refresh" and the port lists behind it, against the simulated devices.
#include <gtest/gtest.h>

#include "host/command_handlers.h"
#include "midi/cmidi_win32.h"
#include "platform/sim/sim_control.h"

using namespace melvix;

namespace {

using sim::Direction;

sim::DeviceSpec device(const std::string& utf8Name, WORD mid = 1, DWORD version = 0x0100) {
  sim::DeviceSpec profile;
  profile.name = sim::u16(utf8Name);
  profile.mid = mid;
  profile.driverVersion = version;
  return profile;
}

std::string refreshReply(CMidi& midi) {
  return dispatchRequest({{"refresh", 0}, {"x", 0}, {"", 7}}, midi).value_or("<no reply>");
}

class PortListTest : public ::testing::Test {
 protected:
  void SetUp() override { sim::reset(); }
};

TEST_F(PortListTest, RefreshListsInputsThenOutputs) {
  CMidiWin32 midi;
  EXPECT_EQ(refreshReply(midi), R"(["refresh",{"ins":[],"outs":[]}])");

  sim::addDevice(Direction::kIn, device("In A", 37, 0x0100));
  EXPECT_EQ(refreshReply(midi),
            R"(["refresh",{"ins":[{"name":"In A","manufacturer":"Yamaha Corporation",)"
            R"("version":"1.0"}],"outs":[]}])");

  sim::addDevice(Direction::kOut, device("Out 1", 1, 0x0501));
  sim::addDevice(Direction::kOut, device("Out 2", 0, 0x0A00));
  EXPECT_EQ(refreshReply(midi),
            R"(["refresh",{"ins":[{"name":"In A","manufacturer":"Yamaha Corporation",)"
            R"("version":"1.0"}],"outs":[{"name":"Out 1","manufacturer":"Microsoft Corporation",)"
            R"("version":"5.1"},{"name":"Out 2","manufacturer":"unknown","version":"10.0"}]}])");
}

TEST_F(PortListTest, NamesAreSentAsValidJsonWhateverTheyHold) {
  CMidiWin32 midi;
  // A quotation mark, a backslash, a '<', a control character, an emoji, 31 units exactly.
  sim::addDevice(Direction::kOut, device("Say \"hi\" <\\> \x07 \xF0\x9F\x8E\xB9!"));
  sim::addDevice(Direction::kIn, device(std::string(31, 'n')));
  EXPECT_EQ(refreshReply(midi),
            "[\"refresh\",{\"ins\":[{\"name\":\"" + std::string(31, 'n') +
                "\",\"manufacturer\":\"Microsoft Corporation\",\"version\":\"1.0\"}],"
                "\"outs\":[{\"name\":\"Say \\\"hi\\\" <\\\\> \\u0007 \xF0\x9F\x8E\xB9!\","
                "\"manufacturer\":\"Microsoft Corporation\",\"version\":\"1.0\"}]}]");
}

// A driver may leave a slot whose description fails (a device on its way out; the new Windows
// MIDI stack's "(unavailable)" slots): the ports after it are still there.
TEST_F(PortListTest, AnUnreadableDeviceIsLeftOutOfTheReplyAndTheNameListAlike) {
  CMidiWin32 midi;
  for (const char* name : {"A", "B", "C"}) sim::addDevice(Direction::kOut, device(name));
  sim::setFault(Direction::kOut, u"B", sim::Fault::kGetDevCaps);
  EXPECT_EQ(refreshReply(midi),
            R"(["refresh",{"ins":[],"outs":[{"name":"A","manufacturer":"Microsoft Corporation",)"
            R"("version":"1.0"},{"name":"C","manufacturer":"Microsoft Corporation",)"
            R"("version":"1.0"}]}])");
  EXPECT_EQ(midi.ListOuts(), (std::vector<WideString>{u"A", u"C"}));
  EXPECT_FALSE(midi.OutInfo(1u));
  EXPECT_EQ(midi.OutInfo(u"C").value().name, u"C");
}

TEST_F(PortListTest, DescriptionByNameTakesTheLowestIdAndNeedsAnExactMatch) {
  CMidiWin32 midi;
  sim::addDevice(Direction::kIn, device("Twin", 1));
  sim::addDevice(Direction::kIn, device("Twin", 37));
  sim::addDevice(Direction::kIn, device("Twin "));
  EXPECT_EQ(midi.ListIns(), (std::vector<WideString>{u"Twin", u"Twin", u"Twin "}));
  EXPECT_EQ(midi.InInfo(u"Twin").value().manufacturer, u"Microsoft Corporation");
  EXPECT_FALSE(midi.InInfo(u"twin"));
  EXPECT_FALSE(midi.InInfo(u""));
  EXPECT_FALSE(midi.InInfo(3u));
}

TEST_F(PortListTest, ALongProductNameIsCutToWhatWinmmHolds) {
  CMidiWin32 midi;
  sim::addDevice(Direction::kOut, device(std::string(40, 'x')));
  EXPECT_EQ(midi.ListOuts().at(0), std::u16string(31, u'x'));
}

}  // namespace
