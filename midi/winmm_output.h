#pragma once

#include <chrono>
#include <cstddef>

#include "midi/cmidi_out.h"
#include "midi/trace_log.h"
#include "platform/winapi.h"

namespace melvix {

// Sends bytes on an open WinMM output: fewer than 4 as one short message, more as one long
// message, synchronously (the buffer is the caller's again on return). Returns WinMM's answer to
// the send (or to preparing the header, when that failed). A driver that keeps a long message's
// buffer longer than longMessageLimit is reset.
// A call that fails is traced under `device` when `trace` is on.
MMRESULT transmitOn(HMIDIOUT handle, const ByteString& bytes, TraceLog* trace = nullptr,
                    const WideString& device = {});

// Whether the device behind an open output is still there, asked without sending it anything: a
// capability query through the handle of a device that has gone answers MMSYSERR_NODRIVER.
bool outputAlive(HMIDIOUT handle);

// How long a driver may keep a long message of `bytes` bytes before it counts as stuck.
std::chrono::milliseconds longMessageLimit(std::size_t bytes);

}  // namespace melvix
