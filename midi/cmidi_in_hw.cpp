#include "midi/cmidi_in_hw.h"

#include <algorithm>
#include <cstdio>

#include "midi/driver_held.h"
#include "midi/message_box.h"

namespace {

// How often buffers that the driver still holds after a reset are asked for again, and the pause
// before each new try: a driver that returns them from a thread of its own gets the time to.
constexpr int kUnprepareRounds = 8;
constexpr DWORD kUnpreparePauseMs = 10;

}  // namespace

void CMidiInHW::Start() {
  // The default timer may step by 5 ms or more; "midi" time stamps should not.
  fineClock_ = timeBeginPeriod(1) == TIMERR_NOERROR;
  for (int i = 0; i < kBufferCount; ++i) {
    buffers_[i] = std::make_unique<Buffer>();
    MIDIHDR& header = buffers_[i]->header;
    header.lpData = buffers_[i]->data;
    header.dwBufferLength = kBufferSize;
    header.dwFlags = 0;
    midiInPrepareHeader(handle_, &header, sizeof header);
    midiInAddBuffer(handle_, &header, sizeof header);
  }
  midiInStart(handle_);
}

bool CMidiInHW::Close() {
  if (closed_) return true;
  midiInStop(handle_);
  midiInReset(handle_);
  for (int round = 0;; ++round) {
    bool held = false;
    for (auto& buffer : buffers_) {
      if (!buffer) continue;
      if (midiInUnprepareHeader(handle_, &buffer->header, sizeof(MIDIHDR)) ==
          MIDIERR_STILLPLAYING) {
        held = true;
      } else {
        buffer.reset();
      }
    }
    if (!held) break;
    // A buffer the driver still holds may still be written to: it is not freed.
    if (round + 1 == kUnprepareRounds) return false;
    Sleep(kUnpreparePauseMs);
    midiInReset(handle_);
  }
  if (midiInClose(handle_) != MMSYSERR_NOERROR) return false;
  if (fineClock_) timeEndPeriod(1);
  closed_ = true;
  return true;
}

CMidiInHW::~CMidiInHW() {
  if (Close()) return;
  // The device would not let go: whatever it still holds is leaked rather than freed under it.
  for (auto& buffer : buffers_) leaveToDriver(std::move(buffer));
}

void CMidiInHW::Receive(InputEvent* event, std::vector<unsigned char>& bytes) {
  std::unique_ptr<InputEvent> owned(event);
  switch (event->message) {
    case MIM_DATA:
      // Always three bytes, whatever the message's own length.
      bytes.push_back(static_cast<unsigned char>(event->param1 & 0xFF));
      bytes.push_back(static_cast<unsigned char>((event->param1 >> 8) & 0xFF));
      bytes.push_back(static_cast<unsigned char>((event->param1 >> 16) & 0xFF));
      return;
    case MIM_LONGDATA: {
      auto* header = reinterpret_cast<MIDIHDR*>(event->param1);
      DWORD count = std::min(header->dwBytesRecorded, header->dwBufferLength);
      bytes.insert(bytes.end(), header->lpData, header->lpData + count);
      midiInAddBuffer(event->device, header, sizeof(MIDIHDR));
      return;
    }
    case MIM_OPEN:
    case MIM_CLOSE:
      return;
    default: {
      // A buffer returned with an error goes back to the driver too; otherwise every error would
      // leave the port one system-exclusive buffer fewer until input dried up.
      if (event->message == MIM_LONGERROR && event->param1 != 0) {
        midiInAddBuffer(event->device, reinterpret_cast<MIDIHDR*>(event->param1), sizeof(MIDIHDR));
      }
      char text[32];
      std::snprintf(text, sizeof text, "MIDI message: %x", static_cast<unsigned>(event->message));
      // The box waits for the user on a thread of its own, never holding input or requests up.
      showMessageBoxLater(text);
      return;
    }
  }
}
