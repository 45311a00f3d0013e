#include "midi/cmidi_in_hw.h"

#include <algorithm>
#include <cstdio>

namespace {

// How often a buffer that the driver still holds after a reset is asked for again.
constexpr int kUnprepareAttempts = 8;

}  // namespace

void CMidiInHW::Start() {
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

CMidiInHW::~CMidiInHW() {
  midiInStop(handle_);
  midiInReset(handle_);
  for (int i = 0; i < kBufferCount; ++i) {
    if (!buffers_[i]) continue;
    MIDIHDR* header = &buffers_[i]->header;
    MMRESULT result = midiInUnprepareHeader(handle_, header, sizeof(MIDIHDR));
    for (int attempt = 1; result == MIDIERR_STILLPLAYING && attempt < kUnprepareAttempts;
         ++attempt) {
      midiInReset(handle_);
      result = midiInUnprepareHeader(handle_, header, sizeof(MIDIHDR));
    }
    // A buffer the driver will not let go of may still be written to: leave it to the driver
    // rather than free it.
    if (result == MIDIERR_STILLPLAYING) static_cast<void>(buffers_[i].release());
  }
  midiInClose(handle_);
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
      // leave the port one system-exclusive buffer fewer until input dried up. It goes back before
      // the box, which holds this thread until the user answers.
      if (event->message == MIM_LONGERROR && event->param1 != 0) {
        midiInAddBuffer(event->device, reinterpret_cast<MIDIHDR*>(event->param1), sizeof(MIDIHDR));
      }
      char text[32];
      std::snprintf(text, sizeof text, "MIDI message: %x", static_cast<unsigned>(event->message));
      MessageBoxA(nullptr, text, "Melvix-Plugin", MB_OKCANCEL);
      return;
    }
  }
}
