// The kernel services and the clock that the host relies on, as our realization serves them.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "midi/cmidi_win32.h"
#include "platform/sim/sim_control.h"
#include "platform/sim/sim_world.h"

using namespace melvix;

namespace {

TEST(Clock, TimeCountsFromTheObjectsBirthAndWrapsAt32Bits) {
  sim::setClock(0xFFFFFFFFu - 20);
  CMidiWin32 midi;
  EXPECT_LT(midi.Time(), 20u);
  // 50 ms later the system clock has wrapped; the host's clock has not.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_LT(timeGetTime(), 1000u);
  std::uint32_t t = midi.Time();
  EXPECT_GE(t, 50u);
  EXPECT_LT(t, 1000u);
  // After 2^32 ms of its own the host's clock starts again from 0.
  sim::setClock(0xFFFFFFFFu - 20 - 5);
  EXPECT_GE(midi.Time(), 0xFFFFFFFFu - 10);
  sim::setClock(0xFFFFFFFFu - 20 + 5);
  EXPECT_LT(midi.Time(), 100u);
  sim::setClock(0x00100000);
}

std::atomic<int> floodMessages{0};

void CALLBACK countFlood(HMIDIIN, UINT message, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
  if (message == MIM_DATA) ++floodMessages;
}

// The benchmarks count on it: a flood with a count delivers exactly that many messages.
TEST(Flood, ACountedFloodEndsByItselfAfterItsLastMessage) {
  sim::reset();
  sim::DeviceSpec profile;
  profile.name = u"F";
  sim::addDevice(sim::Direction::kIn, profile);
  EXPECT_FALSE(sim::applyControlLine("flood \"F\" short 0"));
  EXPECT_FALSE(sim::applyControlLine("flood \"F\" short many"));
  EXPECT_FALSE(sim::applyControlLine("flood \"F\" short 5 timed 7"));
  EXPECT_FALSE(sim::applyControlLine("flood \"F\" short 5 pace 0"));
  EXPECT_FALSE(sim::applyControlLine("flood \"F\" short 5 pace"));
  HMIDIIN in = nullptr;
  ASSERT_EQ(midiInOpen(&in, 0, reinterpret_cast<DWORD_PTR>(countFlood), 0, CALLBACK_FUNCTION),
            MMSYSERR_NOERROR);
  ASSERT_EQ(midiInStart(in), MMSYSERR_NOERROR);
  ASSERT_TRUE(sim::applyControlLine("flood \"F\" short 500 timed"));
  for (int i = 0; i < 500 && floodMessages < 500; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(floodMessages, 500);
  ASSERT_TRUE(sim::applyControlLine("flood \"F\" short 20"));
  for (int i = 0; i < 500 && floodMessages < 520; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(floodMessages, 520);
  // A paced flood is never faster than its pace: 20 messages at 100 a second take 190 ms at least.
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(sim::applyControlLine("flood \"F\" short 20 pace 100"));
  for (int i = 0; i < 500 && floodMessages < 540; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(floodMessages, 540);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(180));
  midiInReset(in);
  EXPECT_EQ(midiInClose(in), MMSYSERR_NOERROR);
}

// It takes a lock twice and tries to release it from another thread, as Windows mutexes allow and
// the thread-safety analysis forbids.
#ifdef __clang__
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wthread-safety-analysis"
#endif
TEST(Locks, BehaveAsWindowsMutexes) {
  CMidiWin32 midi;
  auto a = midi.NewLock();
  auto b = midi.NewLock();
  // The owner may take its lock again and must release it as often.
  EXPECT_TRUE(a->Lock());
  EXPECT_TRUE(a->Lock());
  // Another thread may neither take nor release it meanwhile; the other lock is independent.
  std::atomic<bool> releasedByOther{true};
  std::atomic<bool> tookOther{false};
  std::thread([&] {
    releasedByOther = a->Unlock();
    tookOther = b->Lock() && b->Unlock();
  }).join();
  EXPECT_FALSE(releasedByOther);
  EXPECT_TRUE(tookOther);
  EXPECT_TRUE(a->Unlock());
  std::atomic<bool> tookWhileHeld{false};
  std::thread waiter([&] {
    a->Lock();
    tookWhileHeld = true;
    a->Unlock();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(tookWhileHeld);
  EXPECT_TRUE(a->Unlock());
  waiter.join();
  EXPECT_TRUE(tookWhileHeld);
  EXPECT_FALSE(a->Unlock());
}
#ifdef __clang__
#pragma clang diagnostic pop
#endif

std::atomic<CMidi*> seen{nullptr};
std::atomic<std::thread::id> ranOn{};

TEST(Threads, StartThreadRunsTheRoutineWithTheObjectWithoutWaiting) {
  CMidiWin32 midi;
  std::atomic<bool> release{false};
  static std::atomic<bool>* gate = nullptr;
  gate = &release;
  HANDLE thread = midi.StartThread([](CMidi& m) {
    while (!*gate) std::this_thread::yield();
    seen = &m;
    ranOn = std::this_thread::get_id();
  });
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(WaitForSingleObject(thread, 20), WAIT_TIMEOUT);
  release = true;
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  CloseHandle(thread);
  EXPECT_EQ(seen.load(), &midi);
  EXPECT_NE(ranOn.load(), std::this_thread::get_id());
}

// A control line must not keep the simulation busy for ever: "repeat -6" once counted to 2^64. A
// device for programs of one bitness is plugged in only for such a program.
TEST(ControlLines, RepeatIsBoundedAndBitsChooseWhoSeesADevice) {
  const std::size_t ours = 8 * sizeof(void*);
  const struct {
    const char* line;
    bool applied;
    std::size_t outputs;
  } cases[] = {
      {"repeat 3 out \"A\"", true, 3},         {"repeat 10000 out \"A\"", true, 10000},
      {"repeat -6 out \"A\"", false, 0},       {"repeat +6 out \"A\"", false, 0},
      {"repeat 10001 out \"A\"", false, 0},    {"repeat 2 repeat 2 out \"A\"", false, 0},
      {"out \"A\" bits=32", true, ours == 32}, {"out \"A\" bits=64", true, ours == 64},
      {"out \"A\" bits=16", false, 0},
  };
  for (const auto& c : cases) {
    sim::reset();
    EXPECT_EQ(sim::applyControlLine(c.line), c.applied) << c.line;
    EXPECT_EQ(sim::deviceNames(sim::Direction::kOut).size(), c.outputs) << c.line;
  }
  sim::reset();
}

}  // namespace
