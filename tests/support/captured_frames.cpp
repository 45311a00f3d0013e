#include "tests/support/captured_frames.h"

#include "host/frame_writer.h"
#include "midi/midi_system.h"
#include "tests/support/test_lock.h"

CapturedFrames::CapturedFrames(CMidi* midi)
    : lock_(std::make_unique<RecursiveTestLock>()), queue_(std::make_unique<FrameQueue>()) {
  setFrameOutput(lock_.get(), &stream_);
  setFrameQueue(queue_.get());
  setMidiSystem(midi);
}

CapturedFrames::~CapturedFrames() {
  setMidiSystem(nullptr);
  setFrameQueue(nullptr);
  queue_.reset();
  setFrameOutput(nullptr, nullptr);
}

std::string CapturedFrames::bytes() const {
  queue_->Flush();
  CMidiLockHolder hold(*lock_);
  return stream_.str();
}

std::vector<std::string> CapturedFrames::texts() const { return splitFrames(bytes()); }

void CapturedFrames::clear() {
  queue_->Flush();
  CMidiLockHolder hold(*lock_);
  stream_.str("");
}

std::vector<std::string> splitFrames(const std::string& bytes) {
  std::vector<std::string> texts;
  std::size_t at = 0;
  while (at < bytes.size()) {
    if (bytes.size() - at < 4) {
      texts.push_back("<torn>");
      break;
    }
    std::uint32_t n = 0;
    for (int i = 3; i >= 0; --i) n = (n << 8) | static_cast<unsigned char>(bytes[at + i]);
    at += 4;
    if (bytes.size() - at < n) {
      texts.push_back("<torn>");
      break;
    }
    texts.push_back(bytes.substr(at, n));
    at += n;
  }
  return texts;
}
