// Frames from the browser.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

// Reads frames from a byte stream. Memory follows the bytes that actually arrive, never the
// announced length; a frame whose body cannot be held (more than `maxHeld` bytes, or memory runs
// out) is read to its end and skipped.
class FrameReader {
 public:
  explicit FrameReader(std::FILE* in, std::size_t maxHeld = std::string().max_size());

  // The next frame's text; false at the end of the input (or a read error), also within a frame.
  bool next(std::string& text);

 private:
  std::FILE* in_;
  std::size_t maxHeld_;
};

// The next request text from standard input. At the end of the input the process ends at once
// with exit status 0, after the action set with setEndOfInputAction.
std::string readMessage();
// What to do at the end of the input, just before the process ends (main thread).
void setEndOfInputAction(void (*action)());

// Switches the standard streams to untranslated bytes where the C runtime translates them.
void useBinaryStandardStreams();
