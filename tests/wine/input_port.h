// An open input of the test driver: its queue of the program's buffers and of pending events, and
// the thread of its own that hands events to the program through winmm's DriverCallback, as a
// real driver does.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/sim/input_queue.h"
#include "tests/wine/driver_devices.h"
#include "tests/wine/late_queue.h"
// mmddk.h needs the types of mmsystem.h first.
#include <mmddk.h>

namespace wdrv {

class InputPort {
 public:
  // Delivers MIM_OPEN on the calling thread. `late`, when set, makes the other callbacks.
  // `newStack`: the input behaves as behind Windows MIDI Services' WinMM layer.
  InputPort(std::shared_ptr<Device> device, const MIDIOPENDESC& desc, DWORD flags,
            std::shared_ptr<LateQueue> late, bool newStack);
  InputPort(const InputPort&) = delete;
  InputPort& operator=(const InputPort&) = delete;

  Device& device() { return *device_; }

  // Driver messages; any thread of the program.
  DWORD addBuffer(MIDIHDR* header);
  void start();
  void stop();
  // Hands every queued buffer back, empty, before it returns; `keepBuffers`: a driver that does
  // not give them back.
  void reset(bool keepBuffers = false);
  // MIDIERR_STILLPLAYING while buffers are queued, and for good once a new stack's input has been
  // pulled out; otherwise ends the delivery thread and delivers MIM_CLOSE on the calling thread.
  DWORD close();

  // Events from the control file or a loopback output; they wait until the port is started and,
  // for system-exclusive data, until a buffer is queued (behind the new stack 10 ms at most, then
  // the rest of the message is dropped; real-time bytes inside it come first, on their own).
  void pushShort(DWORD message);
  void pushError(DWORD message);
  void pushSysex(const std::vector<BYTE>& bytes, bool asError);
  void wake();
  // The device has been pulled out: input stops, and the delivery thread hands every queued
  // buffer back, empty (behind the new stack it keeps them). Never waits (the caller holds the
  // devices' mutex).
  void unplug();

 private:
  using Event = sim::InputEvent;

  void run();
  // Takes the front event for its callback: the message and its first parameter. Needs `mutex_`.
  std::pair<UINT, DWORD_PTR> takeFrontLocked();
  // Delivers through a bounded queue ("ring"), `lock` (on `mutex_`) held and released at the end.
  void deliverThroughRing(std::unique_lock<std::mutex>& lock);
  // Whether the front event (or a flood) can be delivered now. Needs `mutex_`.
  bool readyLocked();
  // Behind the new stack, when the front event waits for a buffer and none is queued: waits up to
  // 10 ms for one, then drops the rest of the message (at once when none was ever queued). True
  // when it waited or dropped. Needs `mutex_`, held by `lock`.
  bool waitsForBuffer() const;
  bool dropsForWantOfBuffer(std::unique_lock<std::mutex>& lock);
  void generateFloodEventLocked();
  void notify(UINT message, DWORD_PTR param1, DWORD_PTR param2);
  DWORD now() const;

  std::shared_ptr<Device> device_;
  const MIDIOPENDESC desc_;
  const DWORD callbackFlags_;
  const std::shared_ptr<LateQueue> late_;
  const bool newStack_;
  static constexpr std::chrono::milliseconds kNoBufferWait{10};

  // Held by whichever thread is calling the program's callback, so that reset, stop and close
  // return only once no callback of theirs is under way. Taken before `mutex_`.
  std::mutex callbackMutex_;
  std::mutex mutex_;  // guards everything below
  std::condition_variable changed_;
  sim::InputQueue<Event> queue_;
  bool closing_ = false;
  bool unplugged_ = false;  // its buffers are still to be handed back
  bool stuck_ = false;      // pulled out behind the new stack: it never closes
  bool everBuffered_ = false;
  std::chrono::steady_clock::time_point noBufferSince_{};  // zero: not waiting for a buffer
  // Behind a bounded queue: when the next piece of data comes in from the wire.
  std::chrono::steady_clock::time_point nextDue_;
  DWORD startTime_ = 0;
  std::uint32_t floodCount_ = 0;

  std::thread thread_;
};

}  // namespace wdrv
