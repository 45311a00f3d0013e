// The input port and the "midi" messages it feeds, against the simulated devices: the bytes of
// each kind of event, system-exclusive data cut into the port's buffers, unexpected messages, the
// clock, order, and closing or replacing the port while data pours in.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/frame_writer.h"
#include "midi/cmidi_win32.h"
#include "midi/input_callback.h"
#include "midi/message_sink.h"
#include "midi/sysex_buffers.h"
#include "platform/sim/sim_control.h"
#include "platform/sim/sim_world.h"
#include "tests/support/captured_frames.h"
#include "tests/support/hex_text.h"
#include "tests/support/json_check.h"
#include "tests/support/sim_calls.h"

using namespace melvix;

// Allocations made on a thread while it counts them: the input callback must make none. Clang's
// ThreadSanitizer defines operator new itself, so it cannot be replaced there, and nothing counts.
#if defined(__clang__) && defined(MELVIX_SANITIZED) && defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define MELVIX_NO_COUNTED_NEW
#endif
#endif
namespace {
thread_local bool countingAllocations = false;
std::atomic<int> allocationsCounted{0};
}  // namespace

#ifndef MELVIX_NO_COUNTED_NEW
void* operator new(std::size_t size) {
  if (countingAllocations) ++allocationsCounted;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#endif

namespace {

using sim::Direction;
using Bytes = std::vector<unsigned char>;

std::vector<MidiFrame> midiFrames(const CapturedFrames& frames) {
  std::vector<MidiFrame> out;
  for (const auto& text : frames.texts()) {
    MidiFrame f;
    EXPECT_TRUE(parseMidiFrame(text, f)) << text;
    out.push_back(f);
  }
  return out;
}

// Waits, within a generous bound, until `done` holds.
template <typename Done>
bool waitUntil(Done done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

// A message sink that holds the poster of its first message until told to let go, as a callback
// that takes its time would; it counts what it is given.
class GatedSink : public MessageSink {
 public:
  void Post(MessageKind kind, std::string_view) override {
    // An opening's word that no message is under way carries nothing for the browser.
    if (kind == MessageKind::kSysexCut) return;
    std::unique_lock<std::mutex> lock(mutex_);
    ++posts_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return open_; });
  }
  void open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  int posts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return posts_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
  int posts_ = 0;
};

class InputPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    sim::addDevice(Direction::kIn, namedDevice("In"));
  }
  void TearDown() override { sim::reset(); }
};

TEST_F(InputPortTest, EveryShortMessageGivesThreeBytesWhateverItsLength) {
  const struct {
    DWORD packed;
    Bytes bytes;
  } cases[] = {
      {0x00643C90, {144, 60, 100}},  // note on
      {0x000000F8, {248, 0, 0}},     // timing clock, one byte
      {0x000007C5, {197, 7, 0}},     // program change, two bytes
      {0x007F00E3, {227, 0, 127}},   // pitch bend
      {0xAB643C90, {144, 60, 100}},  // the top byte is no part of the message
  };
  CMidiWin32 midi;
  CapturedFrames frames(&midi);
  ASSERT_EQ(midi.OpenIn(u"In", 0), u"In");
  for (const auto& c : cases) {
    frames.clear();
    sim::deliverShort(u"In", c.packed);
    sim::drainInput();
    auto got = midiFrames(frames);
    ASSERT_EQ(got.size(), 1u) << std::hex << c.packed;
    EXPECT_EQ(got[0].bytes, c.bytes) << std::hex << c.packed;
  }
}

TEST_F(InputPortTest, SystemExclusiveDataComesBufferByBufferAndEachBufferGoesBack) {
  const struct {
    std::size_t size;
    std::vector<std::size_t> pieces;
  } cases[] = {
      {6, {6}},
      {256, {256}},
      {257, {256, 1}},
      {300, {256, 44}},
      {4000, {256, 256, 256, 256, 256, 256, 256, 256, 256, 256, 256, 256, 256, 256, 256, 160}},
  };
  CMidiWin32 midi;
  CapturedFrames frames(&midi);
  ASSERT_EQ(midi.OpenIn(u"In", 0), u"In");
  for (const auto& c : cases) {
    frames.clear();
    forgetCalls();
    const Bytes sent = sysexOf(c.size, static_cast<unsigned>(c.size));
    sim::deliverSysex(u"In", sent);
    sim::drainInput();
    auto got = midiFrames(frames);
    std::vector<std::size_t> pieces;
    Bytes joined;
    for (const auto& f : got) {
      pieces.push_back(f.bytes.size());
      joined.insert(joined.end(), f.bytes.begin(), f.bytes.end());
    }
    EXPECT_EQ(pieces, c.pieces) << c.size << " bytes";
    EXPECT_EQ(joined, sent) << c.size << " bytes";
    // Each buffer is handed back once its bytes were taken, by the port's own thread.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (callsStartingWith("midiInAddBuffer \"In\" -> 0").size() < c.pieces.size() &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // Exactly once each: a buffer queued twice would be refused the second time.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(callsStartingWith("midiInAddBuffer \"In\"").size(), c.pieces.size())
        << c.size << " bytes";
  }
  EXPECT_TRUE(sim::messageBoxes().empty());
}

TEST_F(InputPortTest, UnexpectedMessagesShowABoxAndLongErrorsDoNotDryInputUp) {
  CMidiWin32 midi;
  CapturedFrames frames(&midi);
  ASSERT_EQ(midi.OpenIn(u"In", 0), u"In");
  sim::deliverError(u"In", 0x643C90);
  for (int i = 0; i < 6; ++i) sim::deliverLongError(u"In", {0xF0, 0x01, 0x02});
  sim::drainInput();
  EXPECT_TRUE(frames.texts().empty());
  // The boxes go up on a thread of their own.
  EXPECT_TRUE(waitUntil([] { return sim::messageBoxes().size() == 7; }));
  std::vector<std::string> expected = {"Melvix-Plugin: MIDI message: 3c5"};
  expected.insert(expected.end(), 6, "Melvix-Plugin: MIDI message: 3c6");
  EXPECT_EQ(sim::messageBoxes(), expected);
  // MB_OKCANCEL, no owner.
  EXPECT_EQ(callsStartingWith("MessageBoxA 1 Melvix-Plugin: MIDI message: 3c6").size(), 6u);
  // More errors than buffers, and system-exclusive data still arrives.
  const Bytes sent = sysexOf(300);
  sim::deliverSysex(u"In", sent);
  sim::drainInput();
  auto got = midiFrames(frames);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].bytes, Bytes(sent.begin(), sent.begin() + 256));
  EXPECT_EQ(got[1].bytes, Bytes(sent.begin() + 256, sent.end()));
  // A driver that refuses every buffer back for a while gets them again later: none is lost.
  forgetCalls();
  constexpr int kAll = SysexBuffers::kCount;
  sim::setFault(Direction::kIn, u"In", sim::Fault::kAddBuffer, kAll);
  sim::deliverSysex(u"In", sysexOf(kAll * 256));
  sim::drainInput();
  EXPECT_TRUE(waitUntil([] {
    return callsStartingWith("midiInAddBuffer \"In\" -> 0").size() >=
           static_cast<std::size_t>(kAll);
  }));
  // The message itself arrives whole, after the two pieces above.
  EXPECT_TRUE(
      waitUntil([&] { return frames.texts().size() == 2 + static_cast<std::size_t>(kAll); }));
  frames.clear();
  sim::deliverSysex(u"In", sent);
  sim::drainInput();
  EXPECT_EQ(midiFrames(frames).size(), 2u);
}

// The driver's thread waits for the callback: it allocates nothing, for a message, an error's box
// or a message that a full queue drops.
TEST_F(InputPortTest, TheInputCallbackAllocatesNothing) {
#ifdef MELVIX_NO_COUNTED_NEW
  GTEST_SKIP() << "operator new is the sanitizer's";
#endif
  CMidiWin32 midi;
  CapturedFrames frames(&midi);
  ASSERT_EQ(midi.OpenIn(u"In", 0), u"In");
  const DWORD_PTR instance = midi.Gate().Instance();
  countingAllocations = true;
  for (DWORD i = 0; i < 10000; ++i) InputCallback(nullptr, MIM_DATA, instance, 0x643C90, i);
  InputCallback(nullptr, MIM_ERROR, instance, 0x643C90, 0);
  countingAllocations = false;
  EXPECT_EQ(allocationsCounted.load(), 0);
}

TEST_F(InputPortTest, TheMessageCarriesTheClockReadWhenItIsWritten) {
  sim::setClock(5000);
  auto born = std::chrono::steady_clock::now();
  CMidiWin32 midi;
  CapturedFrames frames(&midi);
  ASSERT_EQ(midi.OpenIn(u"In", 0), u"In");
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  sim::deliverSysex(u"In", {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7});
  sim::drainInput();
  auto elapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - born)
          .count();
  ASSERT_EQ(frames.texts().size(), 1u);
  MidiFrame f;
  ASSERT_TRUE(parseMidiFrame(frames.texts()[0], f));
  EXPECT_EQ(frames.texts()[0], "[\"midi\"," + std::to_string(f.time) + ",240,126,127,6,1,247]");
  // Milliseconds since the object was made, not the system clock.
  EXPECT_GE(f.time, 30u);
  EXPECT_LE(f.time, static_cast<std::uint32_t>(elapsed) + 1);
  sim::setClock(0x00100000);
}

TEST_F(InputPortTest, TheClockSurvivesBothTheSystemClocksWrapAndItsOwn) {
  // The system clock wraps 16 ms after the object is made; the host's clock just counts on.
  sim::setClock(0xFFFFFFF0u);
  CMidiWin32 midi;
  CapturedFrames frames(&midi);
  ASSERT_EQ(midi.OpenIn(u"In", 0), u"In");
  std::this_thread::sleep_for(std::chrono::milliseconds(40));
  sim::deliverShort(u"In", 0x90);
  sim::drainInput();
  // 2^32 ms after the object was made its own clock starts again from 0.
  sim::setClock(0xFFFFFFF0u - 1000);
  sim::deliverShort(u"In", 0x91);
  sim::drainInput();
  sim::setClock(0xFFFFFFF0u + 5);
  sim::deliverShort(u"In", 0x92);
  sim::drainInput();
  auto got = midiFrames(frames);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_GE(got[0].time, 40u);
  EXPECT_LT(got[0].time, 1000u);
  // A thousand ms before the wrap, less what making the object took on a busy machine.
  EXPECT_GE(got[1].time, 0xFFFFFFFFu - 1050);
  EXPECT_LT(got[2].time, 1000u);
  sim::setClock(0x00100000);
}

// A driver may deliver events of a device after it was closed, even under the handle value a newer
// opening got: only the current opening's events count, and others are dropped without a look at
// the buffer they name, which may be freed already.
TEST_F(InputPortTest, OnlyTheCurrentOpeningsEventsCountAndNoOtherIsTouched) {
  CMidiWin32 midi;
  CapturedFrames frames(&midi);
  auto* freed = new MIDIHDR{};
  const auto gone = reinterpret_cast<DWORD_PTR>(freed);
  delete freed;
  MIDIHDR empty{};
  char block[8] = {};
  empty.lpData = block;
  empty.dwBufferLength = sizeof block;
  empty.dwFlags = MHDR_DONE | MHDR_PREPARED;
  // No port current.
  ForwardInput(InputEvent{0, nullptr, MIM_DATA, 0x643C90, 0});
  InputCallback(nullptr, MIM_LONGDATA, 0, gone, 0);
  ASSERT_EQ(midi.OpenIn(u"In", 0), u"In");
  const DWORD_PTR closed = midi.Gate().Instance();
  midi.CloseIn();
  ASSERT_EQ(midi.OpenIn(u"In", 0), u"In");
  const DWORD_PTR current = midi.Gate().Instance();
  ASSERT_NE(closed, current);
  forgetCalls();
  const struct {
    DWORD_PTR instance;
    UINT message;
    DWORD_PTR param1;
  } dropped[] = {
      {closed, MIM_LONGDATA, gone},
      {closed, MIM_DATA, 0x643C90},
      {closed, MIM_LONGERROR, gone},
      {0, MIM_DATA, 0x643C90},
      {current, MIM_OPEN, 0},
      {closed, MIM_CLOSE, 0},
      // An empty buffer, as a reset returns them, is not sent.
      {current, MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(&empty)},
  };
  for (const auto& e : dropped) InputCallback(nullptr, e.message, e.instance, e.param1, 0);
  EXPECT_TRUE(frames.texts().empty());
  EXPECT_TRUE(sim::calls().empty());
  InputCallback(nullptr, MIM_DATA, current, 0x643C90, 0);
  ASSERT_EQ(frames.texts().size(), 1u);
  EXPECT_NE(frames.texts()[0].find(",144,60,100]"), std::string::npos);
  // Nothing the device delivers after its MIM_CLOSE counts; a driver that closed it by itself gave
  // the device up, and an open of its name opens it afresh.
  InputCallback(nullptr, MIM_CLOSE, current, 0, 0);
  InputCallback(nullptr, MIM_DATA, current, 0x643C90, 0);
  EXPECT_EQ(frames.texts().size(), 1u);
  ASSERT_EQ(midi.OpenIn(u"In", 0), u"In");
  EXPECT_NE(midi.Gate().Instance(), current);
  sim::deliverShort(u"In", 0x643C90);
  sim::drainInput();
  EXPECT_EQ(frames.texts().size(), 2u) << ::testing::PrintToString(sim::calls());
}

TEST_F(InputPortTest, MessagesOfOneDeviceLeaveInTheOrderOfItsEvents) {
  CMidiWin32 midi;
  CapturedFrames frames(&midi);
  ASSERT_EQ(midi.OpenIn(u"In", 0), u"In");
  std::vector<Bytes> expected;
  for (unsigned i = 0; i < 600; ++i) {
    if (i % 5 == 0) {
      Bytes sysex = sysexOf(10 + i % 200, i);
      sim::deliverSysex(u"In", sysex);
      expected.push_back(sysex);
    } else {
      sim::deliverShort(u"In", 0x90u | ((i & 0x7F) << 8) | (((i >> 7) & 0x7F) << 16));
      expected.push_back({0x90, static_cast<unsigned char>(i & 0x7F),
                          static_cast<unsigned char>((i >> 7) & 0x7F)});
    }
  }
  // System-exclusive data waits for the buffers the port's own thread gives back.
  auto got = midiFrames(frames);
  for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
       got.size() < expected.size() && std::chrono::steady_clock::now() < deadline;
       got = midiFrames(frames)) {
    sim::drainInput();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(got.size(), expected.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].bytes, expected[i]) << "event " << i << ": " << hexText(expected[i]);
    if (i > 0) {
      EXPECT_GE(got[i].time, got[i - 1].time) << "event " << i;
    }
  }
}

TEST_F(InputPortTest, DataThatArrivesWhileThePortClosesIsDroppedAndItsBuffersStayOut) {
  for (bool onCallingThread : {false, true}) {
    sim::reset();
    sim::setCallbacksOnCallingThread(onCallingThread);
    const char* mode = onCallingThread ? "callbacks on the caller" : "callbacks on device";
    sim::addDevice(Direction::kIn, namedDevice("In"));
    GatedSink sink;
    {
      CMidiWin32 midi;
      midi.SetMessageSink(&sink);
      setInputCallbackTarget(&midi);
      ASSERT_EQ(midi.OpenIn(u"In", 0), u"In") << mode;
      // The device's thread is kept inside the callback of a note, with system-exclusive data
      // queued behind it.
      sim::deliverShort(u"In", 0x643C90);
      ASSERT_TRUE(waitUntil([&] { return sink.posts() == 1; })) << mode;
      sim::deliverSysex(u"In", sysexOf(300));
      forgetCalls();
      std::thread closer([&] { midi.CloseIn(); });
      // Once the port is out of the callback's reach, the closing waits for the device's thread;
      // the data under way then comes back while the device stops.
      ASSERT_TRUE(waitUntil([&] { return midi.Gate().Instance() == 0; })) << mode;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      sink.open();
      closer.join();
      setInputCallbackTarget(nullptr);
      midi.SetMessageSink(nullptr);
    }
    EXPECT_EQ(sink.posts(), 1) << mode;
    EXPECT_TRUE(callsStartingWith("midiInAddBuffer").empty()) << mode;
    for (const auto& line : deviceCalls()) {
      EXPECT_NE(line.find("-> 0"), std::string::npos) << mode << ": " << line;
    }
    EXPECT_EQ(callsStartingWith("midiInClose"), std::vector<std::string>{"midiInClose \"In\" -> 0"})
        << mode;
  }
}

// Inputs replaced and closed while both devices produce data as fast as it is taken, with an
// output opened and closed between: no port is used after it is freed (AddressSanitizer), nothing
// races (ThreadSanitizer), nothing deadlocks, and every device is closed with all its buffers back.
TEST_F(InputPortTest, ReplacingAndClosingInputsWhileDataPoursInIsClean) {
  for (bool onCallingThread : {false, true}) {
    sim::reset();
    sim::setCallbacksOnCallingThread(onCallingThread);
    const char* mode = onCallingThread ? "callbacks on the caller" : "callbacks on device";
    sim::addDevice(Direction::kIn, namedDevice("A"));
    sim::addDevice(Direction::kIn, namedDevice("B"));
    sim::addDevice(Direction::kOut, namedDevice("Out"));
    ASSERT_TRUE(sim::applyControlLine("flood \"A\" mixed"));
    ASSERT_TRUE(sim::applyControlLine("flood \"B\" mixed"));
    {
      // The frames outlive the object, whose destruction ends the input that writes them.
      CapturedFrames frames;
      CMidiWin32 midi;
      midi.SetMessageSink(&frames.queue());
      setInputCallbackTarget(&midi);
      for (int cycle = 0; cycle < 150; ++cycle) {
        ASSERT_EQ(midi.OpenIn(u"A", 0), u"A") << mode << " cycle " << cycle;
        std::this_thread::yield();
        ASSERT_EQ(midi.OpenIn(u"B", 0), u"B") << mode << " cycle " << cycle;
        midi.OpenOut(u"Out");
        midi.CloseOut();
        midi.CloseIn();
        if (cycle % 50 == 0) frames.clear();
      }
      midi.OpenIn(u"A", 0);
      for (const auto& text : frames.texts()) {
        MidiFrame f;
        ASSERT_TRUE(parseMidiFrame(text, f)) << mode << ": " << text;
      }
      // Destroyed with data still pouring in.
    }
    for (const auto& line : callsStartingWith("midiInClose")) {
      EXPECT_NE(line.find("-> 0"), std::string::npos) << mode << ": " << line;
    }
    for (const auto& line : callsStartingWith("midiInUnprepareHeader")) {
      EXPECT_NE(line.find("-> 0"), std::string::npos) << mode << ": " << line;
    }
    EXPECT_EQ(callsStartingWith("midiInClose").size(), 301u) << mode;
    EXPECT_TRUE(sim::messageBoxes().empty()) << mode;
  }
}

}  // namespace
