// Frames captured in memory: while one of these lives, the MIDI system object given posts its
// messages into a frame queue that writes here, and the input callback reaches that object.
// Reading the frames first waits for the messages queued so far.
#pragma once

#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "host/frame_queue.h"
#include "host/frame_writer.h"
#include "midi/cmidi.h"

namespace melvix {

class CapturedFrames {
 public:
  explicit CapturedFrames(CMidi* midi = nullptr);
  ~CapturedFrames();
  CapturedFrames(const CapturedFrames&) = delete;
  CapturedFrames& operator=(const CapturedFrames&) = delete;

  // The queue, for replies.
  FrameQueue& queue() { return *queue_; }
  // The texts of the frames written so far, in order; the raw bytes in `bytes`.
  std::vector<std::string> texts() const;
  std::string bytes() const;
  void clear();
  // The texts of the frames written since the last take or clear, which forgets them.
  std::vector<std::string> take();

 private:
  // What the queue's writer writes, read by the test while the writer may be writing.
  class Text : public std::streambuf {
   public:
    std::string copy();
    std::string take();
    void clear();

   protected:
    std::streamsize xsputn(const char* bytes, std::streamsize count) override;
    int_type overflow(int_type byte) override;

   private:
    std::mutex mutex_;  // guards text_
    std::string text_;
  };

  CMidi* midi_;
  mutable Text text_;
  std::ostream stream_{&text_};
  FrameWriter writer_{stream_};
  std::unique_ptr<FrameQueue> queue_;
};

// Splits a byte string into frame texts; a trailing incomplete frame is reported as "<torn>".
std::vector<std::string> splitFrames(const std::string& bytes);

}  // namespace melvix
