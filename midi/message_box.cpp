#include "midi/message_box.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/winapi.h"

namespace {

// More boxes than a user will read one by one; a device that floods errors must not fill memory.
constexpr std::size_t kMostWaiting = 32;

struct BoxQueue {
  std::mutex mutex;  // guards everything below
  std::condition_variable added;
  std::deque<std::string> waiting;
  bool threadStarted = false;
};

// Never destroyed: the box thread may still wait for a user when the process ends.
BoxQueue& boxQueue() {
  static auto* queue = new BoxQueue();
  return *queue;
}

// Runs on the box thread, for the life of the process.
void showBoxes() {
  BoxQueue& queue = boxQueue();
  std::unique_lock<std::mutex> lock(queue.mutex);
  for (;;) {
    queue.added.wait(lock, [&] { return !queue.waiting.empty(); });
    const std::string text = std::move(queue.waiting.front());
    queue.waiting.pop_front();
    lock.unlock();
    MessageBoxA(nullptr, text.c_str(), "Melvix-Plugin", MB_OKCANCEL);
    lock.lock();
  }
}

}  // namespace

void showMessageBoxLater(std::string text) {
  BoxQueue& queue = boxQueue();
  {
    std::lock_guard<std::mutex> lock(queue.mutex);
    if (queue.waiting.size() >= kMostWaiting) return;
    queue.waiting.push_back(std::move(text));
    if (!queue.threadStarted) {
      try {
        std::thread(showBoxes).detach();
        queue.threadStarted = true;
      } catch (const std::system_error&) {
        // Without a thread the box cannot go up without holding input up; it is not shown.
        queue.waiting.clear();
        return;
      }
    }
  }
  queue.added.notify_one();
}
