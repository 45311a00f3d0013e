// Frames captured in memory: while one of these lives, writeMessage writes into it, the MIDI
// layer's messages reach it through a frame queue, and the MIDI system object the input callback
// reaches is the one given. Reading the frames first waits for the messages queued so far.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "host/frame_queue.h"
#include "midi/cmidi.h"
#include "midi/cmidi_lock.h"

class CapturedFrames {
 public:
  explicit CapturedFrames(CMidi* midi = nullptr);
  ~CapturedFrames();
  CapturedFrames(const CapturedFrames&) = delete;
  CapturedFrames& operator=(const CapturedFrames&) = delete;

  // The texts of the frames written so far, in order; the raw bytes in `bytes`.
  std::vector<std::string> texts() const;
  std::string bytes() const;
  void clear();

 private:
  std::unique_ptr<CMidiLock> lock_;
  std::ostringstream stream_;
  std::unique_ptr<FrameQueue> queue_;
};

// Splits a byte string into frame texts; a trailing incomplete frame is reported as "<torn>".
std::vector<std::string> splitFrames(const std::string& bytes);
