// Frames to the browser: a 32-bit little-endian length, then that many bytes of JSON text.
#pragma once

#include <ostream>
#include <string>
#include <string_view>

#include "midi/cmidi_lock.h"

namespace melvix {

// Where framed bytes go: a file descriptor, written with write(2) (the host's standard output), or
// a stream (tests capture frames in memory). Its one user, the frame queue, lets one thread write
// at a time; the host's standard output also holds the process's output lock for each write, so
// that nothing else of the process can ever put bytes between two frames.
class FrameWriter {
 public:
  // `lock`, when given, is held for each write and must outlive the writer.
  explicit FrameWriter(int fd, CMidiLock* lock = nullptr) : fd_(fd), lock_(lock) {}
  explicit FrameWriter(std::ostream& out) : out_(&out) {}

  // Writes `frames`, made by appendFrame, whole: to a descriptor in as few writes as it takes, so
  // that a burst of frames costs one call into the kernel. A failed write (a browser that closed
  // the pipe) is ignored, and the next one is tried all the same.
  void Write(std::string_view frames);

 private:
  int fd_ = -1;
  std::ostream* out_ = nullptr;
  CMidiLock* lock_ = nullptr;
};

// Appends `text` to `frames` as a frame: its length, then the text. A text too long for the length
// field is left out: a truncated length would garble every later frame.
void appendFrame(std::string& frames, std::string_view text);

}  // namespace melvix
