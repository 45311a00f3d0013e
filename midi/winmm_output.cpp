#include "midi/winmm_output.h"

#include <chrono>
#include <memory>

#include "midi/driver_held.h"

namespace {

using Clock = std::chrono::steady_clock;

// A long message as the driver sees it: the header and a copy of the bytes, which live and die
// together, so that a driver that never gives the buffer back keeps both rather than freed memory.
struct LongMessage {
  MIDIHDR header{};
  ByteString bytes;
};

// The pause between two asks for the buffer: the driver sends while we wait, without a core spun.
constexpr DWORD kPollPauseMs = 1;
// After midiOutReset, how often the buffer is asked for again, with the same pause.
constexpr int kTriesAfterReset = 20;

}  // namespace

std::chrono::milliseconds longMessageLimit(std::size_t bytes) {
  // MIDI's wire carries 31,250 bits a second, 10 bits a byte: 0.32 ms a byte. A driver gets that
  // time and half as long again, plus 300 ms for its own latency, before it is reset.
  const auto wireMs = static_cast<std::chrono::milliseconds::rep>(bytes * 10 * 1000 / 31250);
  return std::chrono::milliseconds(wireMs + wireMs / 2 + 300);
}

bool transmitOn(HMIDIOUT handle, const ByteString& bytes) {
  if (bytes.size() < 4) {
    DWORD message = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      message |= static_cast<DWORD>(static_cast<unsigned char>(bytes[i])) << (8 * i);
    }
    return midiOutShortMsg(handle, message) == MMSYSERR_NOERROR;
  }
  auto message = std::make_unique<LongMessage>();
  message->bytes = bytes;
  MIDIHDR& header = message->header;
  header.lpData = &message->bytes[0];
  header.dwBufferLength = static_cast<DWORD>(bytes.size());
  header.dwFlags = 0;
  if (midiOutPrepareHeader(handle, &header, sizeof header) != MMSYSERR_NOERROR) return false;
  const bool sent = midiOutLongMsg(handle, &header, sizeof header) == MMSYSERR_NOERROR;
  // The driver decides whether it sends before returning; until it lets go, the buffer is its.
  const Clock::time_point giveUp = Clock::now() + longMessageLimit(bytes.size());
  MMRESULT result;
  while ((result = midiOutUnprepareHeader(handle, &header, sizeof header)) ==
             MIDIERR_STILLPLAYING &&
         Clock::now() < giveUp) {
    Sleep(kPollPauseMs);
  }
  if (result == MIDIERR_STILLPLAYING) {
    // Far longer than sending takes: the driver is stuck. A reset makes it give the buffer back.
    midiOutReset(handle);
    for (int attempt = 0; attempt < kTriesAfterReset; ++attempt) {
      result = midiOutUnprepareHeader(handle, &header, sizeof header);
      if (result != MIDIERR_STILLPLAYING) break;
      Sleep(kPollPauseMs);
    }
  }
  // A buffer the driver still holds may still be read: it is left to the driver, not freed.
  if (result == MIDIERR_STILLPLAYING) leaveToDriver(std::move(message));
  return sent;
}
