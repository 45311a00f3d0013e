#include "midi/message_box.h"

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <mutex>
#include <thread>

#include "platform/winapi.h"

namespace melvix {

namespace {

// More boxes than a user will read one by one; a device that floods errors must not fill memory.
constexpr std::size_t kMostWaiting = 32;

// The boxes waiting, as message numbers in a ring of fixed size: queuing one allocates nothing.
struct BoxQueue {
  std::mutex mutex;  // guards everything below
  std::condition_variable added;
  std::array<unsigned, kMostWaiting> waiting{};
  std::size_t first = 0;
  std::size_t count = 0;
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
    queue.added.wait(lock, [&] { return queue.count > 0; });
    const unsigned message = queue.waiting[queue.first];
    queue.first = (queue.first + 1) % kMostWaiting;
    --queue.count;
    lock.unlock();
    char text[32];
    std::snprintf(text, sizeof text, "MIDI message: %x", message);
    MessageBoxA(nullptr, text, "Melvix-Plugin", MB_OKCANCEL);
    lock.lock();
  }
}

}  // namespace

void prepareMessageBoxes() {
  BoxQueue& queue = boxQueue();
  std::lock_guard<std::mutex> lock(queue.mutex);
  if (queue.threadStarted) return;
  try {
    std::thread(showBoxes).detach();
    queue.threadStarted = true;
  } catch (const std::system_error&) {
    // Without a thread a box cannot go up without holding input up: none is shown.
  }
}

void showMessageBoxLater(unsigned message) {
  BoxQueue& queue = boxQueue();
  {
    std::lock_guard<std::mutex> lock(queue.mutex);
    if (!queue.threadStarted || queue.count == kMostWaiting) return;
    queue.waiting[(queue.first + queue.count) % kMostWaiting] = message;
    ++queue.count;
  }
  queue.added.notify_one();
}

}  // namespace melvix
