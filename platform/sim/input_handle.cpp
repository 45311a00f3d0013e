#include "platform/sim/input_handle.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <type_traits>

namespace sim {

InputHandle::InputHandle(std::shared_ptr<Device> device, Callback callback, DWORD_PTR instance,
                         std::shared_ptr<Notifier> notifier)
    : device_(std::move(device)),
      callback_(callback),
      instance_(instance),
      notifier_(std::move(notifier)),
      newStack_(World::get().newStack.load()) {
  thread_ = std::thread([this] { run(); });
}

InputHandle::~InputHandle() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
  }
  changed_.notify_all();
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();
  } else {
    thread_.join();
  }
}

void InputHandle::call(UINT message, DWORD_PTR param1, DWORD_PTR param2) {
  if (notifier_ != nullptr && message != MIM_OPEN && message != MIM_CLOSE) {
    notifier_->post(callback_, handle(), instance_, message, param1, param2);
    return;
  }
  if (callback_ != nullptr) callback_(handle(), message, instance_, param1, param2);
}

DWORD InputHandle::timestamp() const {
  auto elapsed = std::chrono::steady_clock::now() - startTime_;
  return static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

void InputHandle::onDeliveryThread(std::function<void()> job) {
  if (std::this_thread::get_id() == thread_.get_id()) {
    job();
    return;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  if (callbacksOnCallingThread()) {
    // One callback at a time, as a driver guarantees: wait for the one in progress to end, then
    // keep the delivery thread back while this thread makes the job's callbacks.
    // The device lets a waiting caller in after the callback in progress, or a flood would keep
    // it out for ever.
    ++callersWaiting_;
    changed_.wait(lock, [&] { return !delivering_; });
    --callersWaiting_;
    delivering_ = true;
    callerDelivering_ = true;
    lock.unlock();
    job();
    lock.lock();
    delivering_ = false;
    callerDelivering_ = false;
    changed_.notify_all();
    return;
  }
  jobs_.push_back(std::move(job));
  std::uint64_t ticket = ++jobsPosted_;
  changed_.notify_all();
  changed_.wait(lock, [&] { return jobsDone_ >= ticket; });
}

void InputHandle::open() {
  // As drivers do, from inside midiInOpen on the calling thread: nothing else can be delivered
  // before the device is started, and the caller need not wait for a thread that has only just
  // been made.
  call(MIM_OPEN, 0, 0);
}

MMRESULT InputHandle::addBuffer(MIDIHDR* header) {
  std::lock_guard<std::mutex> lock(mutex_);
  MMRESULT result = queue_.addBuffer(header);
  if (result == MMSYSERR_NOERROR) {
    everBuffered_ = true;
    if (auto out = handedOutAt_.find(header); out != handedOutAt_.end()) {
      requeueNanos_.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                  std::chrono::steady_clock::now() - out->second)
                                  .count());
      handedOutAt_.erase(out);
    }
    changed_.notify_all();
  }
  return result;
}

void InputHandle::start() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (queue_.start()) startTime_ = std::chrono::steady_clock::now();
  changed_.notify_all();
}

void InputHandle::stop() {
  onDeliveryThread([this] {
    MIDIHDR* current = nullptr;
    DWORD stamp = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      // A system-exclusive message under way ends in the current buffer, which comes back marked
      // done with part of the message in it; the empty buffers stay queued.
      if (!queue_.events.empty() && queue_.events.front().kind == Event::kSysex &&
          !queue_.buffers.empty()) {
        Event& e = queue_.events.front();
        current = queue_.buffers.front();
        queue_.buffers.pop_front();
        std::size_t fits =
            std::min<std::size_t>(current->dwBufferLength, e.bytes.size() - e.offset);
        std::size_t n = std::max<std::size_t>(1, fits / 2);
        std::memcpy(current->lpData, e.bytes.data() + e.offset, n);
        current->dwBytesRecorded = static_cast<DWORD>(n);
        current->dwFlags = (current->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
        stamp = timestamp();
      }
      queue_.stop();
    }
    if (current != nullptr) call(MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(current), stamp);
  });
}

// Runs on the delivery thread.
void InputHandle::handBack(bool keepBuffers) {
  std::deque<MIDIHDR*> back;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    back = queue_.reset(keepBuffers);
  }
  for (MIDIHDR* header : back) {
    markReturnedEmpty(header);
    call(MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(header), timestamp());
  }
}

void InputHandle::reset(bool keepBuffers) {
  onDeliveryThread([this, keepBuffers] { handBack(keepBuffers); });
}

void InputHandle::unplug(bool handBuffersBack) {
  std::lock_guard<std::mutex> lock(mutex_);
  jobs_.push_back([this, handBuffersBack] { handBack(!handBuffersBack); });
  ++jobsPosted_;
  changed_.notify_all();
}

bool InputHandle::hasQueuedBuffers() {
  std::lock_guard<std::mutex> lock(mutex_);
  return !queue_.buffers.empty();
}

MMRESULT InputHandle::close() {
  if (hasQueuedBuffers()) return MIDIERR_STILLPLAYING;
  onDeliveryThread([this] {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.stop();
    }
    call(MIM_CLOSE, 0, 0);
  });
  return MMSYSERR_NOERROR;
}

void InputHandle::push(Event e) {
  std::lock_guard<std::mutex> lock(mutex_);
  // A device that is not started records nothing.
  if (!queue_.started) return;
  if (queue_.events.empty()) nextDue_ = std::max(nextDue_, std::chrono::steady_clock::now());
  queue_.events.push_back(std::move(e));
  changed_.notify_all();
}

void InputHandle::pushShort(DWORD message) {
  Event e;
  e.kind = Event::kShort;
  e.message = message;
  push(std::move(e));
}

void InputHandle::pushSysex(std::vector<BYTE> bytes, bool asError) {
  if (bytes.empty()) return;
  if (newStack_ && !asError) {
    // Real-time bytes inside a message come on their own, as MIM_DATA, while the buffer around
    // them fills: before it comes back.
    std::vector<BYTE> rest;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      if (i > 0 && bytes[i] >= 0xF8) {
        pushShort(bytes[i]);
      } else {
        rest.push_back(bytes[i]);
      }
    }
    bytes.swap(rest);
  }
  Event e;
  e.kind = asError ? Event::kLongError : Event::kSysex;
  e.bytes = std::move(bytes);
  push(std::move(e));
}

void InputHandle::pushError(DWORD message) {
  Event e;
  e.kind = Event::kError;
  e.message = message;
  push(std::move(e));
}

void InputHandle::wake() {
  std::lock_guard<std::mutex> lock(mutex_);
  changed_.notify_all();
}

void InputHandle::drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] {
    if (quit_ || !queue_.started) return true;
    if (delivering_) return false;
    // A system-exclusive message that waits for a buffer counts as drained for now.
    return !queue_.ready();
  });
  lock.unlock();
  if (notifier_ != nullptr) notifier_->drain();
}

void InputHandle::generateFloodEvent() {
  FloodMode mode = device_->flood.load();
  if (mode == FloodMode::kOff) return;
  bool last = false;
  // A counted flood ends by itself after its last message.
  std::uint64_t left = device_->floodLeft.load();
  while (left > 0 && !device_->floodLeft.compare_exchange_weak(left, left - 1)) {
  }
  if (left == 1) {
    last = true;
    device_->flood.compare_exchange_strong(mode, FloodMode::kOff);
  }
  ++floodCount_;
  Event e;
  makeFloodEvent(mode, floodCount_, e);
  e.timed = device_->floodTimed.load();
  e.lastOfFlood = last;
  queue_.events.push_back(std::move(e));
}

void InputHandle::noteDelivery(std::chrono::steady_clock::time_point when) {
  deliveryTimes_.push_back(
      std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count());
}

namespace {

// Writes the control directory's file `name`, one line for each of `lines`, whole under another
// name first, so that a reader never sees part of it.
template <typename Line>
void writeRecords(const char* name, const std::vector<Line>& lines) {
  const std::string& dir = World::get().controlDir();
  if (dir.empty()) return;
  const std::string path = dir + "/" + name;
  std::FILE* file = std::fopen((path + ".part").c_str(), "w");
  if (file == nullptr) return;
  for (const Line& line : lines) {
    if constexpr (std::is_same_v<Line, std::string>) {
      std::fprintf(file, "%s\n", line.c_str());
    } else {
      std::fprintf(file, "%lld\n", static_cast<long long>(line));
    }
  }
  std::fclose(file);
  std::rename((path + ".part").c_str(), path.c_str());
}

}  // namespace

void InputHandle::writeDeliveryTimes() {
  std::vector<std::int64_t> times;
  times.swap(deliveryTimes_);
  if (!times.empty()) writeRecords("delivered", times);
}

bool InputHandle::writeBufferRecordsIfDone(std::unique_lock<std::mutex>& lock) {
  if (!timedFloodEnded_ || !handedOutAt_.empty()) return false;
  timedFloodEnded_ = false;
  std::vector<std::int64_t> requeued;
  std::vector<std::string> waits;
  requeued.swap(requeueNanos_);
  waits.swap(waits_);
  lock.unlock();
  // "requeued" last: whoever finds it finds "waits" complete.
  writeRecords("waits", waits);
  writeRecords("requeued", requeued);
  lock.lock();
  return true;
}

void InputHandle::noteWait(const char* outcome) {
  if (!waitIsTimed_) return;
  const auto waited = std::chrono::steady_clock::now() - noBufferSince_;
  waits_.push_back(
      std::to_string(std::chrono::duration_cast<std::chrono::nanoseconds>(waited).count()) + " " +
      outcome);
}

// The new stack's driver, when it has data for a buffer and none is queued, waits a little for one,
// holding all other input back, then drops the rest of the message without a word; a port that
// never queued one loses the whole message at once.
bool InputHandle::WaitsForNoBuffer(std::unique_lock<std::mutex>& lock) {
  const bool waiting = noBufferSince_ != std::chrono::steady_clock::time_point{};
  if (!queue_.started || queue_.events.empty() || !queue_.events.front().needsBuffer() ||
      !queue_.buffers.empty()) {
    if (waiting && !queue_.buffers.empty()) noteWait("filled");
    noBufferSince_ = {};
    return false;
  }
  const auto now = std::chrono::steady_clock::now();
  if (!waiting) {
    noBufferSince_ = now;
    waitIsTimed_ = queue_.events.front().timed;
  }
  if (everBuffered_ && now < noBufferSince_ + kNoBufferWait) {
    changed_.wait_until(lock, noBufferSince_ + kNoBufferWait);
    return true;
  }
  noteWait("dropped");
  // A flood whose last message is dropped has ended all the same.
  if (queue_.events.front().lastOfFlood && queue_.events.front().timed) {
    timedFloodEnded_ = true;
    writeDeliveryTimes();
  }
  queue_.events.pop_front();
  noBufferSince_ = {};
  changed_.notify_all();
  return true;
}

void InputHandle::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (!jobs_.empty()) {
      auto job = std::move(jobs_.front());
      jobs_.pop_front();
      delivering_ = true;
      lock.unlock();
      job();
      lock.lock();
      delivering_ = false;
      ++jobsDone_;
      changed_.notify_all();
      continue;
    }
    if (quit_) return;
    if (writeBufferRecordsIfDone(lock)) continue;
    if (callerDelivering_ || callersWaiting_ > 0) {
      changed_.wait(lock);
      continue;
    }
    if (queue_.started && queue_.events.empty() && device_->flood.load() != FloodMode::kOff) {
      // A paced flood makes its messages at even intervals; one that fell behind starts afresh.
      if (const std::uint64_t pace = device_->floodPace.load(); pace > 0) {
        const auto now = std::chrono::steady_clock::now();
        if (now < nextFlood_) {
          changed_.wait_until(lock, nextFlood_);
          continue;
        }
        nextFlood_ = std::max(nextFlood_, now - std::chrono::milliseconds(1)) +
                     std::chrono::nanoseconds(1000000000 / pace);
      }
      generateFloodEvent();
    }
    if (newStack_ && WaitsForNoBuffer(lock)) continue;
    if (!queue_.ready()) {
      changed_.wait(lock);
      continue;
    }
    // Behind a bounded queue data comes in at a wire's pace, and all at once after a hold-up.
    const bool ring = notifier_ != nullptr && notifier_->bounded();
    if (ring && std::chrono::steady_clock::now() < nextDue_) {
      changed_.wait_until(lock, nextDue_);
      continue;
    }
    nextDue_ += std::chrono::milliseconds(1);
    Event& e = queue_.events.front();
    delivering_ = true;
    const UINT message = e.callbackMessage();
    if (!e.needsBuffer()) {
      DWORD value = e.message;
      const bool timed = e.timed;
      const bool last = e.lastOfFlood;
      queue_.events.pop_front();
      if (last && timed) timedFloodEnded_ = true;
      DWORD stamp = timestamp();
      if (ring) {
        // Posted with the buffer lock held, as the driver does: while the queue is full,
        // midiInAddBuffer waits too.
        if (timed) noteDelivery(std::chrono::steady_clock::now());
        call(message, value, stamp);
        if (last) writeDeliveryTimes();
      } else {
        lock.unlock();
        if (timed) noteDelivery(std::chrono::steady_clock::now());
        call(message, value, stamp);
        if (last) writeDeliveryTimes();
        lock.lock();
      }
    } else {
      // A timed flood's message counts as delivered with its first buffer, and as done with its
      // last.
      const bool timed = e.timed && e.offset == 0;
      const bool timedPiece = e.timed;
      MIDIHDR* header = fillNextBuffer(queue_.buffers, e);
      const bool ends = e.delivered();
      const bool last = e.lastOfFlood && ends;
      if (ends) queue_.events.pop_front();
      if (timedPiece) {
        handedOutAt_[header] = std::chrono::steady_clock::now();
        if (last) timedFloodEnded_ = true;
      }
      DWORD stamp = timestamp();
      if (ring) {
        if (timed) noteDelivery(std::chrono::steady_clock::now());
        call(message, reinterpret_cast<DWORD_PTR>(header), stamp);
        if (last) writeDeliveryTimes();
      } else {
        lock.unlock();
        if (timed) noteDelivery(std::chrono::steady_clock::now());
        call(message, reinterpret_cast<DWORD_PTR>(header), stamp);
        if (last) writeDeliveryTimes();
        lock.lock();
      }
    }
    delivering_ = false;
    changed_.notify_all();
  }
}

}  // namespace sim
