#include "midi/winmm_output.h"

bool transmitOn(HMIDIOUT handle, const ByteString& bytes) {
  if (bytes.size() < 4) {
    DWORD message = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      message |= static_cast<DWORD>(static_cast<unsigned char>(bytes[i])) << (8 * i);
    }
    return midiOutShortMsg(handle, message) == MMSYSERR_NOERROR;
  }
  MIDIHDR header{};
  // WinMM takes a non-const pointer but only reads an output buffer.
  header.lpData = const_cast<LPSTR>(bytes.data());
  header.dwBufferLength = static_cast<DWORD>(bytes.size());
  header.dwFlags = 0;
  if (midiOutPrepareHeader(handle, &header, sizeof header) != MMSYSERR_NOERROR) return false;
  bool sent = midiOutLongMsg(handle, &header, sizeof header) == MMSYSERR_NOERROR;
  // The header lives on this stack frame: wait until the driver has let the buffer go.
  while (midiOutUnprepareHeader(handle, &header, sizeof header) == MIDIERR_STILLPLAYING) {
  }
  return sent;
}
