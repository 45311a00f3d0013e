#include "host/frame_queue.h"

namespace melvix {

FrameQueue::FrameQueue(FrameWriter& out, std::size_t limitBytes) : out_(out), limit_(limitBytes) {
  // Reserved, not touched: the pages become resident only as frames fill them.
  waiting_.reserve(limit_);
  outgoing_.reserve(limit_);
  held_.reserve(limit_);
  writer_ = std::thread([this] { Write(); });
}

FrameQueue::~FrameQueue() {
  {
    MutexLock lock(mutex_);
    stop_ = true;
  }
  writerWake_.notify_all();
  writer_.join();
}

void FrameQueue::Queue(std::string_view text) {
  appendFrame(waiting_, text);
  ++framesWaiting_;
}

// Runs on the input callback's thread or the watcher's.
void FrameQueue::Post(MessageKind kind, std::string_view text) {
  {
    MutexLock lock(mutex_);
    switch (kind) {
      case MessageKind::kSysexStart:
      case MessageKind::kSysexMiddle:
      case MessageKind::kSysexEnd:
      case MessageKind::kSysexCut:
        PostSysex(kind, text);
        break;
      case MessageKind::kSysexWhole:
      case MessageKind::kMidi:
        // A new message, or a status byte other than a real-time one, ends a message under way
        // before its F7: that one never reaches the browser.
        DropHeld();
        sysex_ = Sysex::kNone;
        ++posted_;
        QueueUnlessFull(kind, text);
        break;
      case MessageKind::kRealTime:
      case MessageKind::kConnection:
        ++posted_;
        QueueUnlessFull(kind, text);
        break;
    }
  }
  writerWake_.notify_all();
}

// With mutex_ held.
bool FrameQueue::QueueUnlessFull(MessageKind kind, std::string_view text) {
  const bool full = waiting_.size() + bytesWritten_ + kFrameHeader + text.size() > limit_;
  const bool connection = kind == MessageKind::kConnection;
  if (full && (!connection || connectionsWaiting_ > 0)) {
    ++finished_;
    if (!connection) ++dropped_;
    return false;
  }
  if (connection) ++connectionsWaiting_;
  Queue(text);
  return true;
}

// With mutex_ held.
void FrameQueue::PostSysex(MessageKind kind, std::string_view text) {
  if (kind == MessageKind::kSysexStart) {
    DropHeld();
    sysex_ = Sysex::kHolding;
  }
  if (kind == MessageKind::kSysexCut || sysex_ == Sysex::kNone) {
    DropHeld();
    sysex_ = Sysex::kNone;
    if (kind != MessageKind::kSysexCut) {
      // A piece of no message under way: never alone, or it would look whole.
      ++posted_;
      ++finished_;
      ++dropped_;
    }
    return;
  }
  if (sysex_ == Sysex::kPassing) {
    ++posted_;
    if (!QueueUnlessFull(kind, text) || kind == MessageKind::kSysexEnd) sysex_ = Sysex::kNone;
    return;
  }
  appendFrame(held_, text);
  ++heldFrames_;
  if (kind == MessageKind::kSysexEnd) {
    sysex_ = Sysex::kNone;
    QueueHeld();
  } else if (held_.size() > limit_ / 2) {
    // Too long to hold: what came goes out as it is, and the rest as it comes.
    sysex_ = QueueHeld() ? Sysex::kPassing : Sysex::kNone;
  }
}

// With mutex_ held.
bool FrameQueue::QueueHeld() {
  if (waiting_.size() + bytesWritten_ + held_.size() > limit_) {
    DropHeld();
    return false;
  }
  posted_ += heldFrames_;
  waiting_ += held_;
  framesWaiting_ += heldFrames_;
  held_.clear();
  heldFrames_ = 0;
  return true;
}

// With mutex_ held.
void FrameQueue::DropHeld() {
  if (heldFrames_ == 0) return;
  // Counted as posted only now, so that a Flush never waits for a message that may never end.
  posted_ += heldFrames_;
  finished_ += heldFrames_;
  dropped_ += heldFrames_;
  held_.clear();
  heldFrames_ = 0;
}

void FrameQueue::PostReply(std::string text, bool hold) {
  MutexLock lock(mutex_);
  ++posted_;
  ++repliesWaiting_;
  Queue(text);
  // Held back for the replies to the requests already read: a browser that sends without waiting
  // then costs one write for many replies.
  if (hold && repliesWaiting_ < kMostReplies) return;
  SendQueued(lock);
}

void FrameQueue::SendHeldReplies() {
  MutexLock lock(mutex_);
  if (repliesWaiting_ > 0) SendQueued(lock);
}

// Main thread, with `lock` held.
void FrameQueue::SendQueued(MutexLock& lock) {
  mainHeldUp_.store(true);
  while (writing_) {
    // The writer's write under way is followed by another that takes what is queued.
    if (repliesWaiting_ < kMostReplies) {
      mainHeldUp_.store(false);
      writerWake_.notify_all();
      return;
    }
    // A browser that sends requests but reads nothing is held up here, as by a full pipe.
    changed_.wait(lock.Waitable());
  }
  // No write is under way, so the replies leave from here, without waking the writer thread.
  WriteQueued();
  mainHeldUp_.store(false);
  // The writer is woken only for what came meanwhile.
  if (!waiting_.empty()) writerWake_.notify_all();
  changed_.notify_all();
}

bool FrameQueue::Flush(std::chrono::milliseconds limit) {
  MutexLock lock(mutex_);
  const std::uint64_t target = posted_;
  // Replies held back for a batch go out now.
  writerWake_.notify_all();
  if (limit == std::chrono::milliseconds::max()) {
    while (finished_ < target) changed_.wait(lock.Waitable());
    return true;
  }
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (finished_ < target) {
    if (changed_.wait_until(lock.Waitable(), deadline) == std::cv_status::timeout) {
      return finished_ >= target;
    }
  }
  return true;
}

std::uint64_t FrameQueue::Dropped() {
  MutexLock lock(mutex_);
  return dropped_;
}

// Runs on the writer thread: every message meets standard output here or in a reply's write, so
// a browser that reads slowly holds up this thread and not the driver's.
void FrameQueue::Write() {
  MutexLock lock(mutex_);
  for (;;) {
    while (writing_ || (!stop_ && waiting_.empty())) writerWake_.wait(lock.Waitable());
    if (waiting_.empty()) return;
    WriteQueued();
    changed_.notify_all();
  }
}

// Runs on the writer thread or the main thread, with mutex_ held and no write under way.
void FrameQueue::WriteQueued() {
  // Everything waiting goes out in one write: a browser that reads quickly then costs the host
  // one call into the kernel for a burst of frames rather than one a frame.
  outgoing_.swap(waiting_);
  const std::size_t frames = framesWaiting_;
  framesWaiting_ = 0;
  // A "connection" that is being written may already be read, so the next one must queue.
  connectionsWaiting_ = 0;
  repliesWaiting_ = 0;
  bytesWritten_ = outgoing_.size();
  writing_ = true;
  mutex_.unlock();
  out_.Write(outgoing_);
  outgoing_.clear();
  mutex_.lock();
  writing_ = false;
  // Room is given back only once the frames are out, so the limit covers the frames being
  // written.
  bytesWritten_ = 0;
  finished_ += frames;
}

}  // namespace melvix
