// A driver's delivery queue: notifications wait in it and a thread of their own makes the
// callbacks, as Wine's MIDI drivers do. Closing a device does not empty it, so data of a closed
// device can still reach the program ("late"); with a capacity, the device's receiving side waits
// for room while it holds its buffer lock, which midiInAddBuffer also needs ("ring").
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>

#include "platform/winapi.h"

namespace sim {

class Notifier : public std::enable_shared_from_this<Notifier> {
 public:
  using Callback = void(CALLBACK*)(HMIDIIN, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);
  using Clock = std::chrono::steady_clock;

  // Its thread starts with the first notification and runs for the life of the process.
  Notifier() = default;

  void setLate(long milliseconds);
  void setCapacity(std::size_t capacity);
  // Whether the queue has a capacity; the device then takes in data no faster than one piece a
  // millisecond, as from a wire, and catches up at full speed after it was held up.
  bool bounded();

  // Queues one callback, due `late` milliseconds from now. With a capacity, waits while the queue
  // is full; the caller keeps whatever locks it holds meanwhile.
  void post(Callback callback, HMIDIIN handle, DWORD_PTR instance, UINT message, DWORD_PTR param1,
            DWORD_PTR param2);
  // Waits until every notification posted so far has been made.
  void drain();

 private:
  struct Notice {
    Callback callback;
    HMIDIIN handle;
    DWORD_PTR instance;
    UINT message;
    DWORD_PTR param1;
    DWORD_PTR param2;
    Clock::time_point due;
  };
  // Runs on the notifier's own thread.
  void run();

  std::mutex mutex_;  // guards everything below
  std::condition_variable changed_;
  std::deque<Notice> queue_;
  long lateMs_ = 0;
  std::size_t capacity_ = 0;  // 0: unbounded
  bool running_ = false;
  bool calling_ = false;
};

}  // namespace sim
