#include "host/input_stand_in.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace melvix {

namespace {

constexpr std::size_t kChunk = 64 * 1024;

}  // namespace

InputStandIn::InputStandIn(int fd, std::function<void()> ended,
                           std::function<bool()> heldUpByOutput, std::chrono::milliseconds grace)
    : fd_(fd),
      ended_(std::move(ended)),
      heldUpByOutput_(std::move(heldUpByOutput)),
      grace_(grace),
      thread_([this] { Run(); }) {}

InputStandIn::~InputStandIn() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

std::size_t readDescriptor(int fd, char* into, std::size_t size) {
  for (;;) {
#ifdef _WIN32
    const int n = _read(fd, into, static_cast<unsigned>(std::min<std::size_t>(size, 1u << 30)));
#else
    const ssize_t n = ::read(fd, into, size);
    if (n < 0 && errno == EINTR) continue;
#endif
    return n > 0 ? static_cast<std::size_t>(n) : 0;
  }
}

void InputStandIn::Leave() {
  std::lock_guard<std::mutex> lock(mutex_);
  away_ = ++aways_;
}

void InputStandIn::Return() {
  std::lock_guard<std::mutex> lock(mutex_);
  away_ = 0;
}

std::size_t InputStandIn::Read(char* into, std::size_t size) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    // What the stand-in read comes first; a read of its own under way holds the bytes after it.
    changed_.wait(lock, [this] { return !reading_ || taken_ < ahead_.size(); });
    if (taken_ < ahead_.size()) {
      const std::size_t n = std::min(size, ahead_.size() - taken_);
      std::memcpy(into, ahead_.data() + taken_, n);
      taken_ += n;
      if (taken_ == ahead_.size()) {
        std::string().swap(ahead_);
        taken_ = 0;
      }
      return n;
    }
    if (inputEnded_) {
      endTaken_ = true;
      changed_.notify_all();
      return 0;
    }
  }
  // Nobody else reads while this thread is here: the stand-in reads only while it is away.
  return readDescriptor(fd_, into, size);
}

// Runs on the stand-in's thread.
void InputStandIn::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    // An absence that lasts a whole look: the main thread is held up, and the input is read on.
    const std::uint64_t seen = away_;
    changed_.wait_for(lock, kAway, [this] { return stop_; });
    if (stop_ || seen == 0 || away_ != seen) continue;
    char chunk[kChunk];
    while (!stop_ && away_ == seen && !inputEnded_ && ahead_.size() - taken_ < kMostAhead) {
      reading_ = true;
      lock.unlock();
      const std::size_t n = readDescriptor(fd_, chunk, sizeof chunk);
      lock.lock();
      reading_ = false;
      if (n == 0) {
        inputEnded_ = true;
      } else {
        ahead_.append(chunk, n);
      }
      changed_.notify_all();
    }
    if (!inputEnded_) continue;
    // The main thread ends the host itself when it comes back. Held up by a browser that reads
    // nothing, it may never: then the host ends from here, once the grace has passed.
    // A write that lasts a whole look is not one the browser is reading.
    const auto back = [this] { return stop_ || endTaken_; };
    while (!changed_.wait_for(lock, grace_, back)) {
      if (!heldUpByOutput_()) continue;
      if (changed_.wait_for(lock, kAway, back)) return;
      if (!heldUpByOutput_()) continue;
      lock.unlock();
      ended_();
      return;
    }
    return;
  }
}

}  // namespace melvix
