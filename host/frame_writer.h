// Frames to the browser: a 32-bit little-endian length, then that many bytes of JSON text.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "midi/cmidi_lock.h"

// Names the process-wide output lock and where frames go: a stream (tests capture frames in
// memory this way) or a file descriptor, written with write(2) (the host's standard output). Set
// once at start-up, before any thread that writes frames exists.
void setFrameOutput(CMidiLock* lock, std::ostream* out);
void setFrameOutputFile(CMidiLock* lock, int fd);

// Writes `text` as one frame and flushes it. Safe to call from any thread: the output lock is
// held from the first length byte to the flush, so frames never interleave. A failed write is
// ignored. The other two forms write the same frame without taking a copy of the text.
void writeMessage(std::string text);
void writeMessage(std::string_view text);
void writeMessage(const char* text);
// Writes each of `texts` as a frame, in order, under one hold of the output lock; to a descriptor
// in one write. The same bytes as writeMessage on each in turn, for fewer calls into the kernel.
void writeMessages(const std::vector<std::string>& texts);
