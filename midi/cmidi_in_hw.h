#pragma once

#include <functional>

#include "midi/cmidi_in.h"
#include "midi/sysex_buffers.h"
#include "midi/trace_log.h"
#include "platform/winapi.h"

namespace melvix {

// An input port on an open WinMM device, with its system-exclusive buffers queued with the driver
// while it runs.
// Whether midiInGetID tells the truth about open handles in this process, as asked once of the
// first input opened (true until asked). Any thread.
bool inputIdsAnswerTrue();
// Asks midiInGetID about `handle`, just opened, the first time only. Any thread.
void checkInputIds(HMIDIIN handle);

class CMidiInHW : public CMidiIn {
 public:
  static constexpr DWORD kBufferSize = SysexBuffers::kSize;

  // `gone` runs, once, when the driver answers that the device has gone (a USB device pulled out
  // hands its buffers back, and then refuses them): on the buffer giver's thread, or on the thread
  // that queued or unprepared the buffers.
  // Calls that fail are traced when `trace` is on.
  CMidiInHW(HMIDIIN handle, const WCHAR* name, std::function<void()> gone = {},
            TraceLog* trace = nullptr)
      : CMidiIn(name),
        handle_(handle),
        trace_(trace),
        buffers_(handle, std::move(gone), trace, Name()) {}
  // Closes the device unless Close has; buffers the driver still holds are left to it.
  ~CMidiInHW() override;

  // Runs on the thread on which WinMM calls the input callback.
  void Receive(const InputEvent& event, EventBytes& bytes) override;
  bool Start() override;
  // Stops and resets the device, takes the buffers back, closes it. A device that has gone is
  // given up at once, its buffers left to the driver, and only its close is tried (again, at each
  // later call, while it is refused). Under the ports guard.
  bool Close() override;
  // midiInStart on a started input changes nothing; a handle whose device has gone answers
  // MMSYSERR_NODRIVER. With the ports guard held.
  bool Alive() override;
  bool Gone() const override { return NoDriver() || closedByDriver_; }
  HMIDIIN Handle() const override { return handle_; }
  // Its handle still answers, so it is closed as any other port, and then opened afresh.
  void MarkGone() override { closedByDriver_ = true; }

 private:
  // A call on the handle answered "no such device".
  bool NoDriver() const { return gone_ || buffers_.Gone(); }
  // A device that has gone: its buffers stay the driver's and the timer period goes back; from
  // then on only its close touches the handle, so that WinMM may free it.
  void GiveUp();
  // midiInClose; true when the handle is closed for good.
  bool CloseDevice();
  void ReleaseClock();
  // The port is done with: the timer period it asked for is given back.
  bool Finished();

  // Traces `result` of `call` when it failed; returns whether it says the device has gone.
  bool Gone(const char* call, MMRESULT result);

  HMIDIIN handle_;
  TraceLog* trace_;
  SysexBuffers buffers_;
  // Under the ports guard, as every call but Receive.
  bool fineClock_ = false;  // this port asked for a 1 ms timer period
  bool closed_ = false;
  bool givenUp_ = false;         // its device has gone, and only its close is tried
  bool gone_ = false;            // a call answered "no such device"; under the ports guard
  bool closedByDriver_ = false;  // under the ports guard
};

}  // namespace melvix
