// The device watcher against the simulated devices. Its passes run one at a time at the test's
// word (the pause is replaced by a gate), so every step is certain; the stress cases run it with
// its real pause.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/command_handlers.h"
#include "midi/buffer_giver.h"
#include "midi/cmidi_win32.h"
#include "platform/sim/sim_control.h"
#include "tests/support/captured_frames.h"

using namespace melvix;

namespace {

constexpr auto kPatience = std::chrono::seconds(10);
const char kConnection[] = "[\"connection\"]";

// The system object on the simulated devices. While gated, the watcher waits after each pass until
// the test allows the next one; once running freely it pauses as the host's does.
class TestMidi {
 public:
  TestMidi() { midi_.UseWatcher(std::make_unique<GatedWatcher>(midi_, *this)); }
  // Lets the watcher run on, so that the object's end, which follows, finds it free to stop.
  ~TestMidi() { runFreely(); }
  TestMidi(const TestMidi&) = delete;
  TestMidi& operator=(const TestMidi&) = delete;

  CMidiWin32& midi() { return midi_; }

  // Passes ended since the object was made.
  int passes() {
    std::lock_guard<std::mutex> lock(gateMutex_);
    return passes_;
  }

  // Waits until `n` passes have ended; false if that takes implausibly long.
  bool awaitPasses(int n) {
    std::unique_lock<std::mutex> lock(gateMutex_);
    return gateMoved_.wait_for(lock, kPatience, [&] { return passes_ >= n; });
  }

  // Lets one more pass run and waits for its end.
  bool runPass() {
    int target = 0;
    {
      std::lock_guard<std::mutex> lock(gateMutex_);
      ++permits_;
      target = passes_ + 1;
      gateMoved_.notify_all();
    }
    return awaitPasses(target);
  }

  void runFreely() { setFree(true); }
  void gate() { setFree(false); }

 private:
  // The watcher whose pause waits for the test's word.
  class GatedWatcher : public DeviceWatcher {
   public:
    GatedWatcher(CMidi& midi, TestMidi& test) : DeviceWatcher(midi), test_(test) {}

   protected:
    // Runs on the watcher thread.
    void Pause(const bool& stop) REQUIRES(Guard()) override {
      Guard().unlock();
      const bool free = test_.passGate();
      Guard().lock();
      if (free) DeviceWatcher::Pause(stop);
    }

   private:
    TestMidi& test_;
  };

  // Counts a pass and waits for the test's word; true once running freely. Watcher thread.
  bool passGate() {
    std::unique_lock<std::mutex> lock(gateMutex_);
    ++passes_;
    gateMoved_.notify_all();
    gateMoved_.wait(lock, [this] { return permits_ > 0 || free_; });
    if (permits_ > 0) --permits_;
    return free_;
  }

  void setFree(bool free) {
    std::lock_guard<std::mutex> lock(gateMutex_);
    free_ = free;
    permits_ = 0;
    gateMoved_.notify_all();
  }

  std::mutex gateMutex_;  // guards passes_, permits_ and free_
  std::condition_variable gateMoved_;
  int passes_ = 0;
  int permits_ = 0;
  bool free_ = false;
  // Last, so that it ends, and its watcher with it, while the gate is still there.
  CMidiWin32 midi_;
};

// Applies a change such as "+out Synth", "-in Keys" or "hide in Keys" (its capabilities can no
// longer be read) to the simulated devices.
void change(const std::string& text) {
  std::istringstream words(text);
  std::string verb;
  std::string direction;
  words >> verb;
  if (verb == "hide") {
    words >> direction;
  } else {
    direction = verb.substr(1);
    verb.resize(1);
  }
  std::string name;
  std::getline(words >> std::ws, name);
  const auto d = direction == "out" ? sim::Direction::kOut : sim::Direction::kIn;
  if (verb == "+") {
    sim::DeviceSpec profile;
    profile.name = sim::u16(name);
    sim::addDevice(d, profile);
  } else if (verb == "-") {
    ASSERT_TRUE(sim::removeDevice(d, sim::u16(name))) << text;
  } else if (verb == "hide") {
    ASSERT_TRUE(sim::setFault(d, sim::u16(name), sim::Fault::kGetDevCaps)) << text;
  } else {
    FAIL() << "unknown change " << text;
  }
}

std::string joined(const std::vector<std::string>& changes) {
  std::string text;
  for (const auto& c : changes) text += (text.empty() ? "" : ", ") + c;
  return "{" + text + "}";
}

class DeviceWatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    // The buffer giver's thread, started with the first input and never ended, is no watcher.
    BufferGiver::Get();
    sim::resetThreadPeak();
    before_ = sim::threadCounts();
    makeMidi();
  }

  void TearDown() override {
    midi_.reset();
    EXPECT_EQ(live(), 0) << "a watcher outlived the system object";
  }

  // A new system object, in place of the one before, posting to the frames.
  void makeMidi() {
    midi_ = std::make_unique<TestMidi>();
    midi_->midi().SetMessageSink(&frames_.queue());
  }

  void watch() { handleWatch({}, midi_->midi()); }
  // Lets a gated watcher run on, so that it can see its stop, then stops it.
  void unwatch() {
    midi_->runFreely();
    handleUnwatch({}, midi_->midi());
  }

  // The number of frames written since the last call; any frame but ["connection"] fails.
  int connections() {
    const std::vector<std::string> texts = frames_.take();
    for (const auto& text : texts) EXPECT_EQ(text, kConnection);
    return static_cast<int>(texts.size());
  }

  int live() { return sim::threadCounts().live - before_.live; }
  int started() { return sim::threadCounts().started - before_.started; }

  CapturedFrames frames_;  // the watcher's messages
  // The simulation's threads before the test: the watchers are those started since.
  sim::ThreadCounts before_;
  std::unique_ptr<TestMidi> midi_;
};

struct Step {
  std::vector<std::string> changes;  // made between two passes
  int connections;                   // what the pass after them sends
};

struct WatchCase {
  const char* name;
  std::vector<WatchKind> kinds;
  std::vector<std::string> before;  // devices present when the watch starts
  std::vector<Step> steps;
};

const std::vector<WatchKind> kAll(std::begin(kWatchKinds), std::end(kWatchKinds));

const WatchCase kWatchCases[] = {
    {"an output is added", kAll, {"+out A"}, {{{"+out B"}, 1}, {{}, 0}}},
    {"an output is removed", kAll, {"+out A", "+out B"}, {{{"-out A"}, 1}, {{}, 0}}},
    {"an input is added", kAll, {}, {{{"+in Keys"}, 1}, {{}, 0}}},
    {"an input is removed", kAll, {"+in Keys"}, {{{"-in Keys"}, 1}}},
    {"a renamed port is removed and added in one message",
     kAll,
     {"+out A"},
     {{{"-out A", "+out B"}, 1}}},
    {"a device with an input and an output gives one message",
     kAll,
     {},
     {{{"+in Keys", "+out Keys"}, 1}, {{}, 0}}},
    {"a second port of a name already present counts once",
     kAll,
     {"+out A"},
     {{{"+out A"}, 0}, {{"-out A"}, 0}, {{"-out A"}, 1}}},
    {"two inputs of one name plugged together count once",
     kAll,
     {},
     {{{"+in Twin", "+in Twin"}, 1}, {{"-in Twin"}, 0}}},
    {"names differ in case", kAll, {"+out synth"}, {{{"+out Synth"}, 1}}},
    {"a name that extends another is another name",
     kAll,
     {"+in Key"},
     {{{"-in Key", "+in Keys"}, 1}}},
    {"non-ASCII names", kAll, {"+in Клавиши"}, {{{"+in Клавиши 2"}, 1}, {{"-in Клавиши"}, 1}}},
    {"order alone is no change", kAll, {"+out A", "+out B"}, {{{"-out A", "+out A"}, 0}}},
    {"a port whose capabilities cannot be read counts as removed",
     kAll,
     {"+in A", "+in B"},
     {{{"hide in A"}, 1}, {{}, 0}}},
    {"a port that comes and goes between two passes goes unnoticed",
     kAll,
     {},
     {{{"+out A", "-out A"}, 0}}},
    {"only outputs added: removals and inputs are silent but still followed",
     {WatchKind::OutAdded},
     {"+out A", "+in X"},
     {{{"-out A"}, 0}, {{"+in Y", "-in X"}, 0}, {{"+out A"}, 1}}},
    {"only inputs removed: additions and outputs are silent but still followed",
     {WatchKind::InRemoved},
     {"+in A", "+out O"},
     {{{"+in B"}, 0}, {{"-in B"}, 1}, {{"-out O", "+out P"}, 0}, {{"-in A"}, 1}}},
    {"only outputs, both kinds: inputs are not looked at",
     {WatchKind::OutAdded, WatchKind::OutRemoved},
     {"+in X"},
     {{{"+in Y"}, 0}, {{"-in X"}, 0}, {{"+out A"}, 1}, {{"-out A"}, 1}}},
    {"only inputs added, and outputs removed",
     {WatchKind::InAdded, WatchKind::OutRemoved},
     {"+in X", "+out O"},
     {{{"-in X"}, 0}, {{"+out P"}, 0}, {{"+in X", "-out P"}, 1}}},
};

TEST_F(DeviceWatcherTest, ReportsEachChangeOnceInTheFirstPassAfterIt) {
  for (const WatchCase& c : kWatchCases) {
    SCOPED_TRACE(c.name);
    // The case before ends first, so that its watcher cannot see this one's devices change.
    midi_.reset();
    sim::reset();
    makeMidi();
    for (const auto& d : c.before) change(d);
    for (WatchKind kind : c.kinds) midi_->midi().SetWatch(kind, true);
    // The first pass comes at once, without a pause before it.
    ASSERT_TRUE(midi_->awaitPasses(1));
    EXPECT_EQ(connections(), 0) << "devices present before the watch were reported";
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
      const Step& step = c.steps[i];
      for (const auto& d : step.changes) change(d);
      ASSERT_TRUE(midi_->runPass());
      EXPECT_EQ(connections(), step.connections) << "step " << i << ": " << joined(step.changes);
    }
  }
}

TEST_F(DeviceWatcherTest, ADevicePluggedInWhileAPassListsGivesOneMessage) {
  watch();
  ASSERT_TRUE(midi_->awaitPasses(1));
  // Its ports appear after the outputs were counted and before the inputs are.
  sim::afterNextCount(sim::Direction::kOut, [] {
    change("+in Keys");
    change("+out Keys");
  });
  ASSERT_TRUE(midi_->runPass());
  EXPECT_EQ(connections(), 1);
  ASSERT_TRUE(midi_->runPass());
  EXPECT_EQ(connections(), 0) << "the output was reported a pass late";
}

TEST_F(DeviceWatcherTest, WatchTwiceStartsOneWatcherAndUnwatchAloneDoesNothing) {
  change("+out A");
  unwatch();
  EXPECT_EQ(started(), 0);
  midi_->gate();
  watch();
  watch();
  ASSERT_TRUE(midi_->awaitPasses(1));
  EXPECT_EQ(started(), 1);
  // A second "watch" takes no names afresh: a change after the first one is still reported.
  change("+out B");
  watch();
  ASSERT_TRUE(midi_->runPass());
  EXPECT_EQ(connections(), 1);
  EXPECT_EQ(started(), 1);
}

TEST_F(DeviceWatcherTest, UnwatchEndsTheWatcherBeforeItReturns) {
  watch();
  ASSERT_TRUE(midi_->awaitPasses(1));
  unwatch();
  // Certain, not timed: SetWatch waited for the thread, so no pass can follow.
  EXPECT_EQ(live(), 0);
  const int passes = midi_->passes();
  change("+out A");
  EXPECT_EQ(midi_->passes(), passes);
  EXPECT_EQ(connections(), 0);
}

TEST_F(DeviceWatcherTest, SwitchingSomeKindsOffKeepsWatchingTheOthers) {
  watch();
  ASSERT_TRUE(midi_->awaitPasses(1));
  midi_->midi().SetWatch(WatchKind::OutAdded, false);
  midi_->midi().SetWatch(WatchKind::InAdded, false);
  midi_->midi().SetWatch(WatchKind::InRemoved, false);
  EXPECT_EQ(live(), 1);
  change("+out A");
  ASSERT_TRUE(midi_->runPass());
  EXPECT_EQ(connections(), 0);
  change("-out A");
  ASSERT_TRUE(midi_->runPass());
  EXPECT_EQ(connections(), 1);
  midi_->runFreely();
  midi_->midi().SetWatch(WatchKind::OutRemoved, false);
  EXPECT_EQ(live(), 0);
}

TEST_F(DeviceWatcherTest, ChangesBetweenUnwatchAndWatchAreNotReported) {
  change("+in A");
  watch();
  ASSERT_TRUE(midi_->awaitPasses(1));
  unwatch();
  change("-in A");
  change("+out B");
  midi_->gate();
  const int passes = midi_->passes();
  watch();
  ASSERT_TRUE(midi_->awaitPasses(passes + 1));
  EXPECT_EQ(started(), 2);
  EXPECT_EQ(connections(), 0);
  change("+in A");
  ASSERT_TRUE(midi_->runPass());
  EXPECT_EQ(connections(), 1);
}

TEST_F(DeviceWatcherTest, DestroyingTheSystemObjectEndsARunningWatcher) {
  // Both while the watcher waits between passes and while it runs them back to back; the count
  // in TearDown and AddressSanitizer see what a watcher left behind would do.
  for (bool gated : {true, false}) {
    SCOPED_TRACE(gated ? "gated" : "free");
    makeMidi();
    if (!gated) midi_->runFreely();
    watch();
    ASSERT_TRUE(midi_->awaitPasses(1));
    change("+out A");
    midi_.reset();
    EXPECT_EQ(live(), 0);
  }
}

// A current port's device is pulled out and plugged back; between the return and the watcher's next
// pass, the main thread closes the port, opens another, opens the same name or does nothing. Only
// the port still chosen comes back, opened once; an output is sent nothing after its first "no
// such device".
TEST_F(DeviceWatcherTest, WhatTheMainThreadDoesBeforeThePassAfterAReturnDecidesWhatComesBack) {
  enum class Act { kNothing, kClose, kOpenOther, kOpenSame };
  const struct {
    Act act;
    const char16_t* current;  // afterwards
    std::size_t opens;        // of the device plugged back
  } rows[] = {
      {Act::kNothing, u"Keys", 1},
      {Act::kClose, u"", 0},
      {Act::kOpenOther, u"Pads", 0},
      {Act::kOpenSame, u"Keys", 1},
  };
  for (const auto d : {sim::Direction::kIn, sim::Direction::kOut}) {
    const bool in = d == sim::Direction::kIn;
    for (const auto& row : rows) {
      SCOPED_TRACE(std::string(in ? "in, " : "out, ") + "act " +
                   std::to_string(static_cast<int>(row.act)));
      midi_.reset();
      sim::reset();
      makeMidi();
      CMidiWin32& midi = midi_->midi();
      change(in ? "+in Keys" : "+out Keys");
      change(in ? "+in Pads" : "+out Pads");
      const auto open = [&](const char16_t* name) {
        return in ? midi.OpenIn(name, 0) : midi.OpenOut(name);
      };
      ASSERT_EQ(open(u"Keys"), u"Keys");
      watch();
      ASSERT_TRUE(midi_->awaitPasses(1));
      // The pass after the removal finds the name gone and the port away.
      ASSERT_TRUE(sim::removeDevice(d, u"Keys"));
      ASSERT_TRUE(midi_->runPass());
      sim::DeviceSpec keys;
      keys.name = u"Keys";
      const UINT back = sim::addDevice(d, keys);
      switch (row.act) {
        case Act::kNothing:
          break;
        case Act::kClose:
          in ? midi.CloseIn() : midi.CloseOut();
          break;
        case Act::kOpenOther:
          open(u"Pads");
          break;
        case Act::kOpenSame:
          open(u"Keys");
          break;
      }
      ASSERT_TRUE(midi_->runPass());
      ASSERT_TRUE(midi_->runPass());
      EXPECT_EQ(in ? midi.InName() : midi.OutName(), row.current);
      const std::vector<std::string> calls = sim::calls();
      const std::string opened = std::string(in ? "midiInOpen " : "midiOutOpen ") +
                                 std::to_string(back) + " \"Keys\" -> 0";
      EXPECT_EQ(std::count(calls.begin(), calls.end(), opened), row.opens) << opened;
      EXPECT_LE(std::count_if(calls.begin(), calls.end(),
                              [](const std::string& line) {
                                return line.rfind("midiOutShortMsg \"Keys\"", 0) == 0 &&
                                       line.find("-> 6") != std::string::npos;
                              }),
                1);
      unwatch();
    }
  }
}

// Watch and unwatch in every order as fast as they come, with the real pause and the devices
// changing meanwhile: at no moment may two watchers run, and none may outlive the watch.
TEST_F(DeviceWatcherTest, AlternatingWatchesNeverRunTwoWatchers) {
  midi_->runFreely();
  std::atomic<bool> done{false};
  std::thread plugger([&] {
    for (int i = 0; !done.load(); ++i) {
      sim::DeviceSpec profile;
      profile.name = u"Port " + std::u16string(1, static_cast<char16_t>(u'A' + i % 8));
      const auto d = i % 2 == 0 ? sim::Direction::kOut : sim::Direction::kIn;
      if (i % 16 < 8) {
        sim::addDevice(d, profile);
      } else {
        sim::removeDevice(d, profile.name);
      }
      std::this_thread::yield();
    }
  });

  std::mt19937 random(7);
  int expectedStarts = 0;
  bool anyOn = false;
  bool on[4] = {};
  for (int i = 0; i < 2000; ++i) {
    if (i % 2 == 0) {
      // Whole requests...
      if (i % 4 == 0) {
        watch();
      } else {
        unwatch();
      }
      std::fill(std::begin(on), std::end(on), i % 4 == 0);
    } else {
      // ...and single kinds in any order.
      const auto kind = static_cast<WatchKind>(random() % 4);
      on[watchIndex(kind)] = !on[watchIndex(kind)];
      midi_->midi().SetWatch(kind, on[watchIndex(kind)]);
    }
    const bool nowOn = on[0] || on[1] || on[2] || on[3];
    if (nowOn && !anyOn) ++expectedStarts;
    anyOn = nowOn;
    // A watcher just started may not have begun yet; one just stopped has certainly ended.
    ASSERT_LE(live(), anyOn ? 1 : 0) << "after step " << i;
  }
  unwatch();
  done.store(true);
  plugger.join();

  EXPECT_EQ(live(), 0);
  EXPECT_EQ(started(), expectedStarts);
  EXPECT_EQ(sim::threadCounts().peak - before_.live, 1);
  connections();  // checks that only whole ["connection"] frames were written
}

}  // namespace
