#pragma once

#include <chrono>
#include <cstddef>

#include "midi/cmidi_out.h"
#include "platform/winapi.h"

// Sends bytes on an open WinMM output: fewer than 4 as one short message, more as one long
// message, synchronously (the buffer is the caller's again on return). True when WinMM accepted.
// A driver that keeps a long message's buffer longer than longMessageLimit is reset.
bool transmitOn(HMIDIOUT handle, const ByteString& bytes);

// How long a driver may keep a long message of `bytes` bytes before it counts as stuck.
std::chrono::milliseconds longMessageLimit(std::size_t bytes);
