// Frames to the browser: a 32-bit little-endian length, then that many bytes of JSON text.
#pragma once

#include <ostream>
#include <string>
#include <string_view>

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
// Appends `text` to `frames` as a frame: its length, then the text. A text too long for the length
// field is left out, as writeMessage leaves it out.
void appendFrame(std::string& frames, std::string_view text);
// Writes `frames`, made by appendFrame, under one hold of the output lock and, to a descriptor, in
// one write. The same bytes as writeMessage on each text in turn, for fewer calls into the kernel.
void writeFrames(std::string_view frames);
