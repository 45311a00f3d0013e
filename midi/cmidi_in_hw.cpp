#include "midi/cmidi_in_hw.h"

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "midi/device_gone.h"
#include "midi/message_box.h"

namespace melvix {

namespace {

// How often buffers that the driver still holds after a reset are asked for again, and the pause
// before each new try: a driver that returns them from a thread of its own gets the time to.
constexpr int kUnprepareRounds = 8;
constexpr DWORD kUnpreparePauseMs = 10;

// What midiInGetID answered about the first input opened: 0 not asked yet, 1 the truth, 2 not.
std::atomic<int> inputIdsAnswer{0};

}  // namespace

bool inputIdsAnswerTrue() { return inputIdsAnswer.load() != 2; }

void checkInputIds(HMIDIIN handle) {
  if (inputIdsAnswer.load() != 0) return;
  UINT id = 0;
  inputIdsAnswer.store(midiInGetID(handle, &id) == MMSYSERR_NOERROR ? 1 : 2);
}

bool CMidiInHW::Start() {
  prepareMessageBoxes();
  // The default timer may step by 5 ms or more; "midi" time stamps should not.
  fineClock_ = timeBeginPeriod(1) == TIMERR_NOERROR;
  buffers_.Queue();
  const MMRESULT started = midiInStart(handle_);
  traceFailure(trace_, "midiInStart", Name(), started);
  return started == MMSYSERR_NOERROR;
}

bool CMidiInHW::Gone(const char* call, MMRESULT result) {
  traceFailure(trace_, call, Name(), result);
  return deviceGone(result);
}

bool CMidiInHW::Close() {
  if (closed_) return true;
  if (!givenUp_) {
    // From here on no buffer goes back to the driver.
    buffers_.StopGivingBack();
    if (NoDriver() || Gone("midiInStop", midiInStop(handle_)) ||
        Gone("midiInReset", midiInReset(handle_))) {
      GiveUp();
    }
    for (int round = 1; !givenUp_; ++round) {
      const SysexBuffers::Unprepared unprepared = buffers_.Unprepare();
      if (unprepared == SysexBuffers::Unprepared::kAll) break;
      if (unprepared == SysexBuffers::Unprepared::kDeviceGone) {
        GiveUp();
        break;
      }
      // A buffer the driver still holds may still be written to: it is not freed.
      if (round == kUnprepareRounds) return false;
      Sleep(kUnpreparePauseMs);
      if (Gone("midiInReset", midiInReset(handle_))) GiveUp();
    }
  }
  return CloseDevice();
}

bool CMidiInHW::CloseDevice() {
  const MMRESULT closed = midiInClose(handle_);
  traceFailure(trace_, "midiInClose", Name(), closed);
  if (closed == MMSYSERR_NOERROR || deviceGone(closed)) return Finished();
  // Wine's winmm frees the handle even when the driver refuses to close, and the next opening
  // takes the lowest free handle value: a later try would close that opening. Asked at once,
  // before anything else is opened: a handle WinMM no longer knows is closed for good.
  // Where midiInGetID has been seen to fail on an open handle (wdmaud2.drv corrupted WinMM's
  // handle in 32-bit programs), its answer proves nothing, and the port is kept: a value WinMM
  // gives to a new opening is forgotten then (CMidi::ForgetInputsHandled), and a retry on a freed
  // value is only refused.
  UINT id = 0;
  const MMRESULT known = midiInGetID(handle_, &id);
  traceFailure(trace_, "midiInGetID", Name(), known);
  if (known == MMSYSERR_INVALHANDLE && inputIdsAnswerTrue()) return Finished();
  // Refused (a device pulled out that has not yet handed its buffers back, say): the port is
  // kept, and only its close is tried again later.
  return false;
}

void CMidiInHW::GiveUp() {
  givenUp_ = true;
  buffers_.LeaveToDriver();
  ReleaseClock();
}

void CMidiInHW::ReleaseClock() {
  if (fineClock_) timeEndPeriod(1);
  fineClock_ = false;
}

bool CMidiInHW::Finished() {
  ReleaseClock();
  closed_ = true;
  return true;
}

bool CMidiInHW::Alive() {
  if (closed_ || givenUp_ || Gone()) return false;
  gone_ = Gone("midiInStart", midiInStart(handle_));
  return !gone_;
}

CMidiInHW::~CMidiInHW() {
  // The device would not let go: whatever it still holds is left to it (see ~SysexBuffers).
  Close();
}

void CMidiInHW::Receive(const InputEvent& event, EventBytes& bytes) {
  switch (event.message) {
    case MIM_DATA:
      // Always three bytes, whatever the message's own length.
      bytes.push_back(static_cast<unsigned char>(event.param1 & 0xFF));
      bytes.push_back(static_cast<unsigned char>((event.param1 >> 8) & 0xFF));
      bytes.push_back(static_cast<unsigned char>((event.param1 >> 16) & 0xFF));
      return;
    case MIM_LONGDATA: {
      const auto* header = reinterpret_cast<const MIDIHDR*>(event.param1);
      const DWORD count = std::min<DWORD>(
          {header->dwBytesRecorded, header->dwBufferLength, static_cast<DWORD>(EventBytes::kMost)});
      std::copy(header->lpData, header->lpData + count, bytes.data);
      bytes.size = count;
      // An empty one too: a port that is not being closed gets one back only when the driver
      // gives up its queue by itself, as it does when the device is pulled out.
      buffers_.GiveBack(header);
      return;
    }
    case MIM_OPEN:
    case MIM_CLOSE:
      return;
    default: {
      // A buffer returned with an error goes back to the driver too; otherwise every error would
      // leave the port one system-exclusive buffer fewer until input dried up.
      if (event.message == MIM_LONGERROR && event.param1 != 0) {
        buffers_.GiveBack(reinterpret_cast<const MIDIHDR*>(event.param1));
      }
      // The box waits for the user on a thread of its own, never holding input or requests up.
      showMessageBoxLater(static_cast<unsigned>(event.message));
      return;
    }
  }
}

}  // namespace melvix
