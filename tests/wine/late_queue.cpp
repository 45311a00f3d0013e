#include "tests/wine/late_queue.h"

#include <thread>

namespace wdrv {

void LateQueue::post(const Notice& notice) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return capacity_ == 0 || queue_.size() < capacity_; });
  if (!running_) {
    running_ = true;
    // Holds the queue alive: it may still call back after its port and device are gone.
    std::thread([self = shared_from_this()] { self->run(); }).detach();
  }
  queue_.emplace_back(Clock::now() + delay_, notice);
  changed_.notify_all();
}

// Runs on the queue's own thread, for the life of the process.
void LateQueue::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return !queue_.empty(); });
    if (Clock::now() < queue_.front().first) {
      changed_.wait_until(lock, queue_.front().first);
      continue;
    }
    const Notice n = queue_.front().second;
    queue_.pop_front();
    changed_.notify_all();  // room for a waiting post
    lock.unlock();
    DriverCallback(n.callback, n.flags, n.handle, n.message, n.instance, n.param1, n.param2);
    lock.lock();
  }
}

}  // namespace wdrv
