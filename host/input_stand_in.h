// Reads the host's standard input while the main thread cannot: the end of the input is the
// browser's way of saying stop, and the host must see it even while its main thread is held up (a
// browser that reads none of the replies blocks the writes to standard output; a driver keeps a
// long message's buffer for seconds). The main thread reads for itself as long as it comes back
// for its input; once it has been away for a while, a thread of ours reads on, keeps what it read
// for the main thread (up to kMostAhead bytes), and, when the input ends while the main thread is
// held up by the browser (a write that the browser does not read) and does not come back for it
// within a grace time, ends the host itself. A main thread held up by anything else (a driver
// slow to load, a long message) is waited for: its replies still reach a browser that reads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace melvix {

// One read of descriptor `fd`, tried again when a signal cut it short; 0 at its end or on an
// error. The frame reader's own reads and the stand-in's.
std::size_t readDescriptor(int fd, char* into, std::size_t size);

class InputStandIn {
 public:
  // The most bytes read ahead for the main thread; past it, the stand-in reads no more.
  // Enough to see the end behind the requests of a browser that reads nothing, little enough that
  // a main thread slow to serve them ends soon after it: what was sent before the end is served.
  static constexpr std::size_t kMostAhead = 64u << 10;
  // How long the main thread may be away before the stand-in reads on.
  static constexpr std::chrono::milliseconds kAway{100};

  // Reads descriptor `fd`. `ended` runs on the stand-in's thread when the input has ended and the
  // main thread, held up by the browser (`heldUpByOutput` says so), has not come back for it
  // within `grace`; it is not expected to return.
  InputStandIn(int fd, std::function<void()> ended, std::function<bool()> heldUpByOutput,
               std::chrono::milliseconds grace);
  // The host never destroys it (its thread may be waiting in a read); tests may, once the input
  // has ended.
  ~InputStandIn();
  InputStandIn(const InputStandIn&) = delete;
  InputStandIn& operator=(const InputStandIn&) = delete;

  // The main thread's read: what was read ahead for it, else a read of its own; 0 at the end of
  // the input or on an error. Main thread.
  std::size_t Read(char* into, std::size_t size);
  // The main thread goes away from its input (to serve a request) and comes back. Main thread;
  // cheap, for they come with every request.
  void Leave();
  void Return();

 private:
  // Runs on the stand-in's thread.
  void Run();

  const int fd_;
  const std::function<void()> ended_;
  const std::function<bool()> heldUpByOutput_;
  const std::chrono::milliseconds grace_;
  std::mutex mutex_;  // guards everything below
  std::condition_variable changed_;
  std::uint64_t away_ = 0;   // the main thread's absence under way, numbered; 0 while it reads
  std::uint64_t aways_ = 0;  // absences so far
  std::string ahead_;        // bytes read ahead and not yet taken, from `taken_` on
  std::size_t taken_ = 0;
  bool reading_ = false;     // the stand-in is in a read
  bool inputEnded_ = false;  // a read of the stand-in's saw the end of the input
  bool endTaken_ = false;    // the main thread has come back to that end
  bool stop_ = false;
  std::thread thread_;  // started last
};

}  // namespace melvix
