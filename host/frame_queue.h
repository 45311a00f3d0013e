// Every frame on its way to standard output: the MIDI layer posts its messages ("midi",
// "connection") here without waiting, the main thread its replies. A thread of ours writes the
// messages, and the main thread writes its replies itself when no write is under way, each time
// everything queued, in the order it came. So a reply never overtakes an event that came before it,
// a browser that reads slowly holds up only the writer thread (and the main thread once many
// replies wait), and a request answered one at a time costs no hand-over between threads.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

#include "host/frame_writer.h"
#include "midi/message_sink.h"
#include "midi/mutex.h"

namespace melvix {

// The one place where frames meet standard output: one thread writes at a time, so frames never
// interleave.
class FrameQueue : public MessageSink {
 public:
  // What the queued frames, length headers included, and the frames being written may hold
  // together. Past it, "midi" messages are dropped until a write has made room (a system-exclusive
  // message is queued whole or dropped whole), and a "connection" is queued only if none is
  // already waiting. Replies are never dropped: at most kMostReplies wait, and past that the main
  // thread waits for a write under way to end, as it would for a full pipe.
  //
  // The pieces of a system-exclusive message are held back until its last one, up to half the
  // limit (64 KiB of frames, some 16 KB of the message's bytes): a longer one is queued as it
  // comes, and once it loses a piece, it loses every later piece too.
  static constexpr std::size_t kDefaultLimit = 128u << 10;
  static constexpr std::size_t kFrameHeader = 4;
  static constexpr int kMostReplies = 64;

  // Writes through `out`, which must outlive the queue.
  explicit FrameQueue(FrameWriter& out, std::size_t limitBytes = kDefaultLimit);
  // Writes what is queued, then ends the writer thread.
  ~FrameQueue() override;
  FrameQueue(const FrameQueue&) = delete;
  FrameQueue& operator=(const FrameQueue&) = delete;

  // Runs on the input callback's thread or the watcher's; never waits for the writer.
  void Post(MessageKind kind, std::string_view text) override;
  // Sends a reply to a request, after everything queued before it. With `hold`, it may wait, with
  // at most kMostReplies others, to go out in one write with the replies that follow, until
  // SendHeldReplies. Main thread.
  void PostReply(std::string text, bool hold = false) EXCLUDES(mutex_);
  // Sends the replies held back by PostReply. Main thread.
  void SendHeldReplies() EXCLUDES(mutex_);
  // Returns once every message posted before the call has been written (or dropped), or once
  // `limit` has passed; true in the first case.
  bool Flush(std::chrono::milliseconds limit = std::chrono::milliseconds::max()) EXCLUDES(mutex_);
  // How many "midi" messages were dropped because the queue was full.
  std::uint64_t Dropped() EXCLUDES(mutex_);
  // Whether the main thread is held up sending replies: in a write the browser does not read, or
  // waiting for one to end with kMostReplies replies queued. Any thread.
  bool MainHeldUp() const { return mainHeldUp_.load(); }

 private:
  // Appends `text` as a frame to what waits.
  void Queue(std::string_view text) REQUIRES(mutex_);
  // Queues `text`, a "midi" or "connection" message, unless the queue is full; false when it was
  // dropped.
  bool QueueUnlessFull(MessageKind kind, std::string_view text) REQUIRES(mutex_);
  // One piece of a system-exclusive message, or its cut.
  void PostSysex(MessageKind kind, std::string_view text) REQUIRES(mutex_);
  // Queues the pieces held back, all of them if there is room for all, else none; true when
  // queued.
  bool QueueHeld() REQUIRES(mutex_);
  // Drops the pieces held back.
  void DropHeld() REQUIRES(mutex_);
  // Runs on the writer thread.
  void Write() EXCLUDES(mutex_);
  // Writes everything queued in one write, with mutex_ released meanwhile, then gives its room
  // back. Only while no other write is under way. Writer thread or main thread.
  void WriteQueued() REQUIRES(mutex_);
  // Sends what is queued: from the calling thread when no write is under way, else by the writer
  // after its write. Waits, with `lock` (on mutex_), only while kMostReplies replies wait. Main
  // thread.
  void SendQueued(MutexLock& lock) REQUIRES(mutex_);

  FrameWriter& out_;
  const std::size_t limit_;
  Mutex mutex_;                         // guards the fields marked so
  std::condition_variable changed_;     // for Flush and PostReply: a write has ended
  std::condition_variable writerWake_;  // for the writer: something to write, or the end
  // The frames waiting, length headers and texts, in the order they came: the next write as it will
  // leave. Room for the limit is reserved once, so that the queue never reallocates on a callback.
  std::string waiting_ GUARDED_BY(mutex_);
  std::size_t framesWaiting_ GUARDED_BY(mutex_) = 0;
  int connectionsWaiting_ GUARDED_BY(mutex_) = 0;    // "connection" messages in waiting_
  int repliesWaiting_ GUARDED_BY(mutex_) = 0;        // replies in waiting_
  std::size_t bytesWritten_ GUARDED_BY(mutex_) = 0;  // the size of the write under way
  std::uint64_t posted_ GUARDED_BY(mutex_) = 0;      // messages taken or dropped so far
  std::uint64_t finished_ GUARDED_BY(mutex_) = 0;    // of those, written or dropped
  std::uint64_t dropped_ GUARDED_BY(mutex_) = 0;
  // The frames of the system-exclusive message under way, held back until its F7; they count as
  // posted only once they are queued or dropped.
  std::string held_ GUARDED_BY(mutex_);
  std::size_t heldFrames_ GUARDED_BY(mutex_) = 0;
  // What becomes of the next piece of a system-exclusive message: held back after its first piece,
  // queued as it comes once the message outgrew the hold, dropped when no message is under way (its
  // first piece was dropped, or it came from an input replaced meanwhile).
  enum class Sysex { kNone, kHolding, kPassing } sysex_ GUARDED_BY(mutex_) = Sysex::kNone;
  bool writing_ GUARDED_BY(mutex_) = false;  // a thread is in WriteQueued; the other one waits
  std::atomic<bool> mainHeldUp_{false};      // set by SendQueued while it waits or writes
  bool stop_ GUARDED_BY(mutex_) = false;
  // What is being written: swapped with waiting_ under mutex_ by the thread that sets writing_,
  // then used by that thread alone until it clears writing_.
  std::string outgoing_;
  std::thread writer_;  // started last, so that it finds everything above made
};

}  // namespace melvix
