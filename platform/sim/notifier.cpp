#include "platform/sim/notifier.h"

#include <thread>

#include "platform/sim/sim_world.h"

namespace sim {

void Notifier::setLate(long milliseconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  lateMs_ = milliseconds;
}

void Notifier::setCapacity(std::size_t capacity) {
  std::lock_guard<std::mutex> lock(mutex_);
  capacity_ = capacity;
  changed_.notify_all();
}

bool Notifier::bounded() {
  std::lock_guard<std::mutex> lock(mutex_);
  return capacity_ > 0;
}

void Notifier::post(Callback callback, HMIDIIN handle, DWORD_PTR instance, UINT message,
                    DWORD_PTR param1, DWORD_PTR param2) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!running_) {
    running_ = true;
    // Holds the notifier alive: it may still call back after every handle and device is gone.
    std::thread([self = shared_from_this()] { self->run(); }).detach();
  }
  changed_.wait(lock, [&] { return capacity_ == 0 || queue_.size() < capacity_; });
  queue_.push_back(Notice{callback, handle, instance, message, param1, param2,
                          Clock::now() + std::chrono::milliseconds(lateMs_)});
  changed_.notify_all();
}

void Notifier::drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return queue_.empty() && !calling_; });
}

// Runs on the notifier's own thread, for the life of the process.
void Notifier::run() {
  skipControlOnThisThread();
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return !queue_.empty(); });
    if (Clock::now() < queue_.front().due) {
      changed_.wait_until(lock, queue_.front().due);
      continue;
    }
    Notice notice = queue_.front();
    queue_.pop_front();
    calling_ = true;
    changed_.notify_all();  // room in the queue
    lock.unlock();
    if (notice.callback != nullptr) {
      notice.callback(notice.handle, notice.message, notice.instance, notice.param1, notice.param2);
    }
    lock.lock();
    calling_ = false;
    changed_.notify_all();
  }
}

}  // namespace sim
