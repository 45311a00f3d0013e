// A driver's delivery queue ("late", "ring"): an input's callbacks wait in it for a set time and a
// thread of its own makes them, as Wine's ALSA driver hands events from its ring to a notification
// thread. Closing the device does not empty it, so data of a closed device reaches the program
// after midiInClose returned, naming buffers that may be freed and a handle value that winmm may
// have given to a new opening already. With a capacity, a post waits for room, and the port posts
// holding its buffer lock, as the ALSA driver does.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>

#include "platform/winapi.h"

// winmm.dll exports it for drivers, but MinGW's headers leave it out.
extern "C" BOOL WINAPI DriverCallback(DWORD_PTR callback, DWORD flags, HDRVR device, DWORD message,
                                      DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR param2);

namespace wdrv {

class LateQueue : public std::enable_shared_from_this<LateQueue> {
 public:
  // What DriverCallback is given.
  struct Notice {
    DWORD_PTR callback;
    DWORD flags;
    HDRVR handle;
    UINT message;
    DWORD_PTR instance;
    DWORD_PTR param1;
    DWORD_PTR param2;
  };

  explicit LateQueue(long milliseconds, std::size_t capacity = 0)
      : delay_(milliseconds), capacity_(capacity) {}

  // Makes the callback `delay` from now, once there is room; its thread starts with the first one
  // and runs for the life of the process.
  void post(const Notice& notice);
  bool bounded() const { return capacity_ > 0; }

 private:
  using Clock = std::chrono::steady_clock;
  // Runs on the queue's own thread.
  void run();

  const std::chrono::milliseconds delay_;
  const std::size_t capacity_;  // 0: unbounded
  std::mutex mutex_;            // guards everything below
  std::condition_variable changed_;
  std::deque<std::pair<Clock::time_point, Notice>> queue_;
  bool running_ = false;
};

}  // namespace wdrv
