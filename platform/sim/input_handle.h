// One open simulated input device: the driver side of an HMIDIIN.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/sim/input_queue.h"
#include "platform/sim/notifier.h"
#include "platform/sim/sim_world.h"

namespace sim {

// Like a WinMM driver, it calls the program's callback: MIM_OPEN first, from inside midiInOpen on
// the calling thread; then, on a thread of its own, MIM_DATA and MIM_LONGDATA once started, the
// queued buffers at a reset, MIM_CLOSE last. midiInStop, midiInReset and midiInClose hand their
// callbacks to that thread and wait for them, or, when callbacksOnCallingThread() is set, make
// them on the calling thread while the device holds its own deliveries back; WinMM allows both,
// so a program that holds a lock its callback needs across those calls deadlocks here as it would
// on Windows.
class InputHandle {
 public:
  using Callback = void(CALLBACK*)(HMIDIIN, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

  // `notifier`, when set, makes the data callbacks on its own thread (see notifier.h).
  InputHandle(std::shared_ptr<Device> device, Callback callback, DWORD_PTR instance,
              std::shared_ptr<Notifier> notifier);
  ~InputHandle();  // ends the delivery thread

  // Set once, right after construction, under the world's mutex.
  void setHandle(HMIDIIN handle) { handle_ = handle; }
  HMIDIIN handle() const { return handle_; }
  const std::shared_ptr<Device>& device() const { return device_; }

  void open();  // MIM_OPEN
  MMRESULT addBuffer(MIDIHDR* header);
  void start();
  void stop();
  // Stop, then every queued buffer back with no data; `keepBuffers`: a driver that does not give
  // them back.
  void reset(bool keepBuffers = false);
  MMRESULT close();  // MIM_CLOSE; fails while buffers are queued
  bool hasQueuedBuffers();
  // The device has been pulled out: input stops and, with `handBuffersBack`, every queued buffer
  // comes back empty, from the delivery thread, without the caller waiting (it holds the world's
  // mutex).
  void unplug(bool handBuffersBack);

  void pushShort(DWORD message);
  void pushSysex(std::vector<BYTE> bytes, bool asError = false);
  void pushError(DWORD message);
  void wake();  // the device's flood mode changed
  // Waits until every event pushed so far has been delivered or dropped.
  void drain();

 private:
  struct Event : InputEvent {
    bool timed = false;        // of a timed flood: its delivery time is noted
    bool lastOfFlood = false;  // the last message of a counted flood
  };

  // Queues an event while the device is started.
  void push(Event e);
  // Runs on the device's delivery thread.
  void run();
  // Under the new stack: whether the front event waits for a buffer or was just dropped for want
  // of one; with mutex_ held (waits on it). Delivery thread.
  bool WaitsForNoBuffer(std::unique_lock<std::mutex>& lock);
  // Notes a wait for a buffer that ended, if a timed flood's message waited; needs mutex_.
  void noteWait(const char* outcome);
  static constexpr std::chrono::milliseconds kNoBufferWait{10};
  // Stops input and hands every queued buffer back empty, unless `keepBuffers`. Delivery thread.
  void handBack(bool keepBuffers);
  // Runs `job` on the delivery thread and waits for it; runs it at once when called from there.
  void onDeliveryThread(std::function<void()> job);
  void call(UINT message, DWORD_PTR param1, DWORD_PTR param2);
  DWORD timestamp() const;
  void generateFloodEvent();  // needs mutex_
  // A timed flood notes when each message is delivered and, after its last, writes the times to
  // the control directory's file "delivered". Delivery thread only.
  void noteDelivery(std::chrono::steady_clock::time_point when);
  void writeDeliveryTimes();
  // After a timed flood, once every buffer it filled has been queued again: writes the files
  // "waits" and "requeued". Needs mutex_, which it lets go while it writes. Delivery thread.
  bool writeBufferRecordsIfDone(std::unique_lock<std::mutex>& lock);

  std::shared_ptr<Device> device_;
  Callback callback_;
  DWORD_PTR instance_;
  std::shared_ptr<Notifier> notifier_;
  HMIDIIN handle_ = nullptr;
  const bool newStack_;  // opened while the devices behaved as the new stack's

  std::mutex mutex_;  // guards everything below
  std::condition_variable changed_;
  InputQueue<Event> queue_;
  std::deque<std::function<void()>> jobs_;
  std::uint64_t jobsDone_ = 0;
  std::uint64_t jobsPosted_ = 0;
  bool quit_ = false;
  bool delivering_ = false;        // a callback is running, on whichever thread
  bool callerDelivering_ = false;  // a caller runs a job on its own thread: the device waits
  int callersWaiting_ = 0;         // callers waiting to run a job on their own thread
  std::uint32_t floodCount_ = 0;
  bool everBuffered_ = false;  // a buffer was ever queued
  // Since when the front event has waited for a buffer under the new stack; zero when not.
  std::chrono::steady_clock::time_point noBufferSince_;
  std::chrono::steady_clock::time_point startTime_;
  // Behind a bounded notifier: when the next piece of data may be taken in.
  std::chrono::steady_clock::time_point nextDue_;
  std::vector<std::int64_t> deliveryTimes_;  // of the timed flood under way; delivery thread only
  // A timed flood's buffers: when each one it filled went to the callback, until the program
  // queues it again; the time each took to come back, in nanoseconds; and under the new stack
  // each wait for a buffer ("<nanoseconds> filled" or "<nanoseconds> dropped").
  std::map<const MIDIHDR*, std::chrono::steady_clock::time_point> handedOutAt_;
  std::vector<std::int64_t> requeueNanos_;
  std::vector<std::string> waits_;
  bool waitIsTimed_ = false;      // the wait under way is for a timed flood's message
  bool timedFloodEnded_ = false;  // its last message has gone: the records are written soon
  // When a paced flood makes its next message; delivery thread only.
  std::chrono::steady_clock::time_point nextFlood_;

  std::thread thread_;  // set once in the constructor
};

}  // namespace sim
