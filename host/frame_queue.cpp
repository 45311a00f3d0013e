#include "host/frame_queue.h"

#include <atomic>
#include <vector>

#include "host/frame_reader.h"
#include "host/frame_writer.h"

namespace {

// Read by the main thread for replies; atomic so that a test may swap it.
std::atomic<FrameQueue*> theQueue{nullptr};

}  // namespace

FrameQueue::FrameQueue(std::size_t limitBytes) : limit_(limitBytes) {
  writer_ = std::thread([this] { Write(); });
}

FrameQueue::~FrameQueue() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  writerWake_.notify_all();
  writer_.join();
}

// Runs on the input callback's thread or the watcher's.
void FrameQueue::Post(MessageKind kind, std::string text) {
  const std::size_t charge = text.size() + kChargePerFrame;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++posted_;
    const bool full = bytes_ + charge > limit_;
    if (full && (kind == MessageKind::kMidi || connectionsWaiting_ > 0)) {
      ++finished_;
      if (kind == MessageKind::kMidi) ++dropped_;
      return;
    }
    bytes_ += charge;
    if (kind == MessageKind::kConnection) ++connectionsWaiting_;
    entries_.push_back(Entry{false, kind, std::move(text)});
  }
  writerWake_.notify_all();
}

void FrameQueue::PostReply(std::string text, bool writeNowIfIdle) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    // A browser that sends requests but reads nothing is held up here, as by a full pipe.
    changed_.wait(lock, [&] { return repliesWaiting_ < kMostReplies; });
    ++posted_;
    if (!writeNowIfIdle || !entries_.empty() || writerBusy_) {
      ++repliesWaiting_;
      bytes_ += text.size() + kChargePerFrame;
      entries_.push_back(Entry{true, MessageKind::kMidi, std::move(text)});
      writerWake_.notify_all();
      return;
    }
    // Nothing is waiting or being written, so the reply may go out from here: a request answered
    // one at a time then costs no hand-over to the writer thread. The writer holds back whatever
    // is posted meanwhile until this frame is out, so the order stays as posted.
    mainWriting_ = true;
  }
  writeMessage(std::move(text));
  bool more;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    mainWriting_ = false;
    ++finished_;
    more = !entries_.empty();
  }
  // The writer is woken only when something came meanwhile: waking it for nothing would put the
  // hand-over this path avoids back on every reply.
  if (more) writerWake_.notify_all();
  changed_.notify_all();
}

bool FrameQueue::Flush(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  const std::uint64_t target = posted_;
  const auto done = [&] { return finished_ >= target; };
  if (limit == std::chrono::milliseconds::max()) {
    changed_.wait(lock, done);
    return true;
  }
  return changed_.wait_for(lock, limit, done);
}

std::uint64_t FrameQueue::Dropped() {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

// Runs on the writer thread: the only place where a queued message meets standard output, so a
// browser that reads slowly holds up this thread and nothing else.
void FrameQueue::Write() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    writerWake_.wait(lock, [&] { return mainWriting_ ? false : stop_ || !entries_.empty(); });
    if (entries_.empty()) return;
    // Everything waiting goes out in one write: a browser that reads quickly then costs the
    // host one call into the kernel for a burst of frames rather than one a frame.
    std::vector<std::string> batch;
    std::size_t charge = 0;
    while (!entries_.empty()) {
      Entry& entry = entries_.front();
      // A "connection" that is being written may already be read, so the next one must queue.
      if (entry.reply) {
        --repliesWaiting_;
      } else if (entry.kind == MessageKind::kConnection) {
        --connectionsWaiting_;
      }
      charge += entry.text.size() + kChargePerFrame;
      batch.push_back(std::move(entry.text));
      entries_.pop_front();
    }
    writerBusy_ = true;
    lock.unlock();
    writeMessages(batch);
    lock.lock();
    writerBusy_ = false;
    // Room is given back only once the frames are out, so the limit covers the frames being
    // written.
    bytes_ -= charge;
    finished_ += batch.size();
    changed_.notify_all();
  }
}

void setFrameQueue(FrameQueue* queue) {
  theQueue.store(queue);
  setMessageSink(queue);
}

void writeReply(std::string text) {
  if (FrameQueue* queue = theQueue.load()) {
    // A browser that sends requests without waiting for replies has its replies written in
    // batches by the writer; one that waits for each reply has it written from here.
    queue->PostReply(std::move(text), !requestBytesWaiting());
  } else {
    writeMessage(std::move(text));
  }
}

void flushFrameQueue() {
  if (FrameQueue* queue = theQueue.load()) queue->Flush(std::chrono::seconds(1));
}
