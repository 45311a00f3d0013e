// Frames to the browser: a 32-bit little-endian length, then that many bytes of JSON text.
#pragma once

#include <ostream>
#include <string>

#include "midi/cmidi_lock.h"

// Names the process-wide output lock and the stream that frames go to. Set once at start-up,
// before any thread that writes frames exists; tests point it at a stream in memory.
void setFrameOutput(CMidiLock* lock, std::ostream* out);

// Writes `text` as one frame and flushes it. Safe to call from any thread: the output lock is
// held from the first length byte to the flush, so frames never interleave. A failed write is
// ignored.
void writeMessage(std::string text);
