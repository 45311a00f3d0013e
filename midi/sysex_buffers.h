// The system-exclusive buffers of one open input. The input callback hands a filled buffer back
// here; the buffer giver's thread (buffer_giver.h) queues it with the driver again.
#pragma once

#include <array>
#include <atomic>
#include <functional>
#include <memory>

#include "midi/trace_log.h"
#include "platform/winapi.h"

namespace melvix {

class SysexBuffers {
 public:
  // 256 bytes a buffer: the pieces the browser sees. Enough of them that a burst finds one queued
  // while others wait to be given back, since input with no queued buffer is thrown away: the new
  // Windows MIDI stack waits only 10 ms for one. 64 hold 12 ms of a USB device's burst (about
  // 5,000 buffers a second), longer than the giver's thread was held up in all but the rarest
  // stalls of a busy machine; 16 held 3 ms, and the driver ran out (docs/benchmarks.md).
  static constexpr int kCount = 64;
  static constexpr DWORD kSize = 256;

  // `gone` runs, once, when the driver answers that the device has gone (on the giver's thread, or
  // the calling thread of Queue or Unprepare).
  // Calls that fail are traced, under the port's name `device`, when `trace` is on.
  SysexBuffers(HMIDIIN handle, std::function<void()> gone, TraceLog* trace = nullptr,
               WideString device = {});
  // Stops the giving back. A buffer not unprepared successfully stays the driver's: not freed.
  ~SysexBuffers();
  SysexBuffers(const SysexBuffers&) = delete;
  SysexBuffers& operator=(const SysexBuffers&) = delete;

  // Prepares and queues every buffer; from then on the giver gives back what is handed back. Under
  // the ports guard, as Start.
  void Queue();
  // A buffer the driver has handed back, to be queued again. Runs on the input callback's thread
  // and never waits.
  void GiveBack(const MIDIHDR* header);
  // From its return on, no buffer goes back to the driver any more. Under the ports guard.
  void StopGivingBack();
  // Queues again every buffer handed back so far; true when some must be tried again after a
  // pause: the driver refused one for a while, or hands them back empty as fast as they go (it
  // must not spin the giver and itself). On the giver's thread, while it has this port.
  bool GiveBackPending();

  enum class Unprepared { kAll, kSomeHeld, kDeviceGone };
  // Unprepares every buffer not yet released and frees those the driver answered for with
  // MMSYSERR_NOERROR: any other answer does not prove that the driver has let go. Under the ports
  // guard, after StopGivingBack.
  Unprepared Unprepare();
  // The buffers not yet released are left to the driver for good. Under the ports guard.
  void LeaveToDriver();
  // The driver answered a call with "no such device" (any thread).
  bool Gone() const { return gone_.load(); }

 private:
  struct Buffer {
    MIDIHDR header{};
    char data[kSize] = {};
  };
  void NoteResult(const char* call, MMRESULT result);

  const HMIDIIN handle_;
  const std::function<void()> onGone_;
  TraceLog* const trace_;
  const WideString device_;
  // Set by Queue and released by Unprepare under the ports guard; the giver reads the headers only
  // while it has this port, between the two.
  std::array<std::unique_ptr<Buffer>, kCount> buffers_;
  // Buffer i has come back and waits to be queued again: set by the callback, cleared by the
  // giver.
  std::array<std::atomic<bool>, kCount> handedBack_{};
  // Buffers handed back empty in a row, with no data between: set by the callback.
  std::atomic<int> emptyRun_{0};
  std::atomic<bool> gone_{false};
  bool givenBack_ = false;  // the giver has this port; under the ports guard
};

}  // namespace melvix
