#include "midi/winmm_output.h"

#include <chrono>
#include <cstdint>
#include <memory>

#include "midi/device_gone.h"
#include "midi/driver_held.h"

namespace melvix {

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
  // In 64 bits: in a 32-bit size_t, bytes * 10,000 wraps above 429,496 bytes.
  const auto wireMs = static_cast<std::chrono::milliseconds::rep>(
      static_cast<std::uint64_t>(bytes) * 10 * 1000 / 31250);
  return std::chrono::milliseconds(wireMs + wireMs / 2 + 300);
}

namespace {

// Asks for the buffer until the driver lets go or `giveUp` has passed, a millisecond between asks.
// Windows gives a process that has not asked for a 1 ms timer period its default tick (about 15.6
// ms) for a Sleep(1), so the period is asked for while the wait lasts, and only when the first ask
// did not get the buffer back.
MMRESULT awaitBuffer(HMIDIOUT handle, MIDIHDR& header, Clock::time_point giveUp, TraceLog* trace,
                     const WideString& device) {
  MMRESULT result = midiOutUnprepareHeader(handle, &header, sizeof header);
  if (result != MIDIERR_STILLPLAYING) return result;
  const bool fine = timeBeginPeriod(1) == TIMERR_NOERROR;
  while (result == MIDIERR_STILLPLAYING && Clock::now() < giveUp) {
    Sleep(kPollPauseMs);
    result = midiOutUnprepareHeader(handle, &header, sizeof header);
  }
  if (result == MIDIERR_STILLPLAYING) {
    // Far longer than sending takes: the driver is stuck. A reset makes it give the buffer back.
    traceFailure(trace, "midiOutUnprepareHeader", device, result);
    traceFailure(trace, "midiOutReset", device, midiOutReset(handle));
    for (int attempt = 0; attempt < kTriesAfterReset; ++attempt) {
      result = midiOutUnprepareHeader(handle, &header, sizeof header);
      if (result != MIDIERR_STILLPLAYING) break;
      Sleep(kPollPauseMs);
    }
  }
  if (fine) timeEndPeriod(1);
  return result;
}

}  // namespace

MMRESULT transmitOn(HMIDIOUT handle, const ByteString& bytes, TraceLog* trace,
                    const WideString& device) {
  if (bytes.size() < 4) {
    DWORD message = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      message |= static_cast<DWORD>(static_cast<unsigned char>(bytes[i])) << (8 * i);
    }
    const MMRESULT sent = midiOutShortMsg(handle, message);
    traceFailure(trace, "midiOutShortMsg", device, sent);
    return sent;
  }
  auto message = std::make_unique<LongMessage>();
  message->bytes = bytes;
  MIDIHDR& header = message->header;
  header.lpData = &message->bytes[0];
  header.dwBufferLength = static_cast<DWORD>(bytes.size());
  header.dwFlags = 0;
  const MMRESULT prepared = midiOutPrepareHeader(handle, &header, sizeof header);
  traceFailure(trace, "midiOutPrepareHeader", device, prepared);
  if (prepared != MMSYSERR_NOERROR) return prepared;
  const MMRESULT sent = midiOutLongMsg(handle, &header, sizeof header);
  traceFailure(trace, "midiOutLongMsg", device, sent);
  // The driver decides whether it sends before returning; until it lets go, the buffer is its.
  const MMRESULT released =
      awaitBuffer(handle, header, Clock::now() + longMessageLimit(bytes.size()), trace, device);
  traceFailure(trace, "midiOutUnprepareHeader", device, released);
  // Only a buffer the driver has given back is freed: any other answer does not prove that it will
  // not read the buffer again.
  if (released != MMSYSERR_NOERROR) leaveToDriver(std::move(message));
  return sent;
}

bool outputAlive(HMIDIOUT handle) {
  MIDIOUTCAPSW caps{};
  return !deviceGone(midiOutGetDevCapsW(reinterpret_cast<UINT_PTR>(handle), &caps, sizeof caps));
}

}  // namespace melvix
