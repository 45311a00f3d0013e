// The system-exclusive buffers of one open input, and the thread of the port's own that gives them
// back to the driver. The input callback makes no multimedia call: Microsoft's documentation warns
// that it can deadlock, and Wine's ALSA driver shows how, holding its buffer lock (which
// midiInAddBuffer needs) while it waits for room in a delivery queue that only the thread running
// our callback empties. So the callback only marks a buffer as handed back and sets an event.
#pragma once

#include <array>
#include <atomic>
#include <functional>
#include <memory>

#include "platform/winapi.h"

class SysexBuffers {
 public:
  // 256 bytes a buffer: the pieces the browser sees. Enough of them that a burst finds one queued
  // while others wait to be given back, since input with no queued buffer is thrown away.
  static constexpr int kCount = 16;
  static constexpr DWORD kSize = 256;

  // `gone` runs on the give-back thread, once, when the driver answers that the device has gone.
  SysexBuffers(HMIDIIN handle, std::function<void()> gone);
  // Ends the give-back thread. A buffer not unprepared successfully stays the driver's: not freed.
  ~SysexBuffers();
  SysexBuffers(const SysexBuffers&) = delete;
  SysexBuffers& operator=(const SysexBuffers&) = delete;

  // Prepares and queues every buffer and starts the give-back thread. Main thread.
  void Queue();
  // A buffer the driver has handed back, to be queued again. Runs on the input callback's thread
  // and never waits.
  void GiveBack(const MIDIHDR* header);
  // Ends the give-back thread, so that no buffer goes back to the driver any more. Main thread.
  void StopGivingBack();

  enum class Unprepared { kAll, kSomeHeld, kDeviceGone };
  // Unprepares every buffer not yet released and frees those the driver answered for with
  // MMSYSERR_NOERROR: any other answer does not prove that the driver has let go. Main thread,
  // after StopGivingBack.
  Unprepared Unprepare();
  // The buffers not yet released are left to the driver for good. Main thread.
  void LeaveToDriver();
  // The driver answered a call with "no such device" (any thread).
  bool Gone() const { return gone_.load(); }

 private:
  struct Buffer {
    MIDIHDR header{};
    char data[kSize] = {};
  };
  // The give-back thread's procedure, as CreateThread calls it.
  static DWORD WINAPI GiveBackThread(LPVOID self);
  // Runs on the give-back thread.
  void GiveBackLoop();
  void NoteResult(MMRESULT result);

  const HMIDIIN handle_;
  const std::function<void()> onGone_;
  // Set by Queue and released by Unprepare on the main thread; the give-back thread reads the
  // headers only while it runs, between the two.
  std::array<std::unique_ptr<Buffer>, kCount> buffers_;
  // Buffer i has come back and waits to be queued again: set by the callback, cleared by the
  // give-back thread.
  std::array<std::atomic<bool>, kCount> handedBack_{};
  std::atomic<bool> quit_{false};
  std::atomic<bool> gone_{false};
  const HANDLE wake_;        // auto-reset event: something to give back, or quit
  HANDLE thread_ = nullptr;  // main thread only
};
