#include "midi/sysex_buffers.h"

#include "midi/buffer_giver.h"
#include "midi/device_gone.h"
#include "midi/driver_held.h"

namespace melvix {

SysexBuffers::SysexBuffers(HMIDIIN handle, std::function<void()> gone, TraceLog* trace,
                           WideString device)
    : handle_(handle), onGone_(std::move(gone)), trace_(trace), device_(std::move(device)) {}

SysexBuffers::~SysexBuffers() {
  StopGivingBack();
  LeaveToDriver();
}

void SysexBuffers::Queue() {
  for (int i = 0; i < kCount; ++i) {
    buffers_[i] = std::make_unique<Buffer>();
    MIDIHDR& header = buffers_[i]->header;
    header.lpData = buffers_[i]->data;
    header.dwBufferLength = kSize;
    header.dwFlags = 0;
    // Tells the callback which buffer came back without a look at anything else of ours.
    header.dwUser = static_cast<DWORD_PTR>(i);
    NoteResult("midiInPrepareHeader", midiInPrepareHeader(handle_, &header, sizeof header));
    NoteResult("midiInAddBuffer", midiInAddBuffer(handle_, &header, sizeof header));
  }
  // Without the giver's thread buffers are not given back, and system-exclusive input stops once
  // the queued ones are used: input goes on, the host does not stop.
  BufferGiver::Get().Add(this);
  givenBack_ = true;
  // A buffer filled while this port was not yet the giver's is given back now.
  BufferGiver::Get().Wake();
}

void SysexBuffers::GiveBack(const MIDIHDR* header) {
  const DWORD_PTR i = header->dwUser;
  // The driver hands back only buffers it was given; anything else is left alone.
  if (i >= static_cast<DWORD_PTR>(kCount) || !buffers_[i] || &buffers_[i]->header != header) return;
  if (header->dwBytesRecorded == 0) {
    emptyRun_.fetch_add(1);
  } else {
    emptyRun_.store(0);
  }
  handedBack_[i].store(true);
  BufferGiver::Get().Wake();
}

void SysexBuffers::StopGivingBack() {
  if (!givenBack_) return;
  BufferGiver::Get().Remove(this);
  givenBack_ = false;
}

// Runs on the giver's thread, while it has this port.
bool SysexBuffers::GiveBackPending() {
  // More empty returns in a row than there are buffers: the driver hands each one back as soon as
  // it has it, and they go back at the giver's pace, after a pause, not at once.
  if (emptyRun_.load() > kCount) {
    emptyRun_.store(0);
    return true;
  }
  bool again = false;
  for (int i = 0; i < kCount; ++i) {
    if (!handedBack_[i].exchange(false) || Gone()) continue;
    const MMRESULT added = midiInAddBuffer(handle_, &buffers_[i]->header, sizeof(MIDIHDR));
    NoteResult("midiInAddBuffer", added);
    // A refusal that does not say the device has gone may pass: the buffer is tried again rather
    // than lost, or after as many refusals as there are buffers no system-exclusive data could
    // come in any more.
    if (added != MMSYSERR_NOERROR && !Gone()) {
      handedBack_[i].store(true);
      again = true;
    }
  }
  return again;
}

void SysexBuffers::NoteResult(const char* call, MMRESULT result) {
  traceFailure(trace_, call, device_, result);
  if (deviceGone(result) && !gone_.exchange(true) && onGone_) onGone_();
}

SysexBuffers::Unprepared SysexBuffers::Unprepare() {
  bool held = false;
  for (auto& buffer : buffers_) {
    if (!buffer) continue;
    const MMRESULT result = midiInUnprepareHeader(handle_, &buffer->header, sizeof(MIDIHDR));
    NoteResult("midiInUnprepareHeader", result);
    if (result == MMSYSERR_NOERROR) {
      buffer.reset();
    } else if (deviceGone(result)) {
      return Unprepared::kDeviceGone;
    } else {
      held = true;
    }
  }
  return held ? Unprepared::kSomeHeld : Unprepared::kAll;
}

void SysexBuffers::LeaveToDriver() {
  for (auto& buffer : buffers_) leaveToDriver(std::move(buffer));
}

}  // namespace melvix
