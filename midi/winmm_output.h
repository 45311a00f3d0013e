#pragma once

#include "midi/cmidi_out.h"
#include "platform/winapi.h"

// Sends bytes on an open WinMM output: fewer than 4 as one short message, more as one long
// message, synchronously (the buffer is the caller's again on return). True when WinMM accepted.
bool transmitOn(HMIDIOUT handle, const ByteString& bytes);
