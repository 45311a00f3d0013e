#include "tests/wine/input_port.h"

#include <algorithm>
#include <chrono>

namespace wdrv {

InputPort::InputPort(std::shared_ptr<Device> device, const MIDIOPENDESC& desc, DWORD flags,
                     std::shared_ptr<LateQueue> late, bool newStack)
    : device_(std::move(device)),
      desc_(desc),
      callbackFlags_(HIWORD(flags & CALLBACK_TYPEMASK)),
      late_(std::move(late)),
      newStack_(newStack) {
  notify(MIM_OPEN, 0, 0);
  thread_ = std::thread(&InputPort::run, this);
}

void InputPort::notify(UINT message, DWORD_PTR param1, DWORD_PTR param2) {
  if (late_ != nullptr && message != MIM_OPEN && message != MIM_CLOSE) {
    late_->post({desc_.dwCallback, callbackFlags_, reinterpret_cast<HDRVR>(desc_.hMidi), message,
                 desc_.dwInstance, param1, param2});
    return;
  }
  DriverCallback(desc_.dwCallback, callbackFlags_, reinterpret_cast<HDRVR>(desc_.hMidi), message,
                 desc_.dwInstance, param1, param2);
}

DWORD InputPort::now() const { return timeGetTime() - startTime_; }

DWORD InputPort::addBuffer(MIDIHDR* header) {
  std::lock_guard<std::mutex> lock(mutex_);
  DWORD result = queue_.addBuffer(header);
  if (result == MMSYSERR_NOERROR) {
    everBuffered_ = true;
    changed_.notify_all();
  }
  return result;
}

void InputPort::start() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (queue_.start()) startTime_ = timeGetTime();
  changed_.notify_all();
}

void InputPort::stop() {
  std::lock_guard<std::mutex> callback(callbackMutex_);
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.stop();
}

void InputPort::reset(bool keepBuffers) {
  std::lock_guard<std::mutex> callback(callbackMutex_);
  std::deque<MIDIHDR*> back;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    back = queue_.reset(keepBuffers);
  }
  for (MIDIHDR* header : back) {
    sim::markReturnedEmpty(header);
    notify(MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(header), now());
  }
}

DWORD InputPort::close() {
  {
    std::lock_guard<std::mutex> callback(callbackMutex_);
    std::lock_guard<std::mutex> lock(mutex_);
    if (stuck_ || !queue_.buffers.empty()) return MIDIERR_STILLPLAYING;
    closing_ = true;
    changed_.notify_all();
  }
  thread_.join();
  notify(MIM_CLOSE, 0, 0);
  return MMSYSERR_NOERROR;
}

void InputPort::pushShort(DWORD message) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!queue_.started) return;
  Event e;
  e.message = message;
  queue_.events.push_back(std::move(e));
  changed_.notify_all();
}

void InputPort::pushError(DWORD message) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!queue_.started) return;
  Event e;
  e.kind = Event::kError;
  e.message = message;
  queue_.events.push_back(std::move(e));
  changed_.notify_all();
}

void InputPort::pushSysex(const std::vector<BYTE>& bytes, bool asError) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!queue_.started || bytes.empty()) return;
  Event e;
  e.kind = asError ? Event::kLongError : Event::kSysex;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (newStack_ && !asError && i > 0 && bytes[i] >= 0xF8) {
      // A real-time byte inside a message comes on its own, while the buffer around it fills.
      Event realTime;
      realTime.message = bytes[i];
      queue_.events.push_back(std::move(realTime));
    } else {
      e.bytes.push_back(bytes[i]);
    }
  }
  queue_.events.push_back(std::move(e));
  changed_.notify_all();
}

void InputPort::wake() {
  std::lock_guard<std::mutex> lock(mutex_);
  changed_.notify_all();
}

void InputPort::unplug() {
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.stop();
  // The new stack keeps the buffers, and its close answers MIDIERR_STILLPLAYING from now on.
  if (newStack_) {
    stuck_ = true;
  } else {
    unplugged_ = true;
  }
  changed_.notify_all();
}

bool InputPort::waitsForBuffer() const {
  return newStack_ && queue_.started && !queue_.events.empty() &&
         queue_.events.front().needsBuffer() && queue_.buffers.empty();
}

bool InputPort::dropsForWantOfBuffer(std::unique_lock<std::mutex>& lock) {
  if (!waitsForBuffer()) {
    noBufferSince_ = {};
    return false;
  }
  const auto now = std::chrono::steady_clock::now();
  if (noBufferSince_ == std::chrono::steady_clock::time_point{}) noBufferSince_ = now;
  if (everBuffered_ && now < noBufferSince_ + kNoBufferWait) {
    changed_.wait_until(lock, noBufferSince_ + kNoBufferWait);
    return true;
  }
  queue_.events.pop_front();
  noBufferSince_ = {};
  return true;
}

void InputPort::generateFloodEventLocked() {
  FloodMode mode = device_->flood.load();
  if (mode == FloodMode::kOff) return;
  ++floodCount_;
  Event e;
  sim::makeFloodEvent(mode, floodCount_, e);
  queue_.events.push_back(std::move(e));
}

bool InputPort::readyLocked() {
  if (queue_.started && queue_.events.empty()) generateFloodEventLocked();
  return queue_.ready();
}

// Runs on the port's delivery thread.
void InputPort::run() {
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock,
                    [this] { return closing_ || unplugged_ || readyLocked() || waitsForBuffer(); });
      if (closing_) return;
      if (!unplugged_ && dropsForWantOfBuffer(lock)) continue;
    }
    std::lock_guard<std::mutex> callback(callbackMutex_);
    std::unique_lock<std::mutex> lock(mutex_);
    if (closing_) continue;
    if (unplugged_) {
      unplugged_ = false;
      std::deque<MIDIHDR*> back = queue_.reset(false);
      lock.unlock();
      for (MIDIHDR* header : back) {
        sim::markReturnedEmpty(header);
        notify(MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(header), now());
      }
      continue;
    }
    if (!readyLocked()) continue;
    if (late_ != nullptr && late_->bounded()) {
      deliverThroughRing(lock);
      continue;
    }
    const auto [message, param1] = takeFrontLocked();
    lock.unlock();
    notify(message, param1, now());
  }
}

std::pair<UINT, DWORD_PTR> InputPort::takeFrontLocked() {
  Event& e = queue_.events.front();
  const UINT message = e.callbackMessage();
  // System-exclusive data fills the queued buffers in order; a long error takes one.
  const DWORD_PTR param1 = e.needsBuffer()
                               ? reinterpret_cast<DWORD_PTR>(sim::fillNextBuffer(queue_.buffers, e))
                               : e.message;
  if (e.delivered()) queue_.events.pop_front();
  return {message, param1};
}

// Data comes in at a wire's pace, a message or a buffer a millisecond, and is posted to the
// delivery queue with the buffer lock held, as Wine's ALSA driver does: while the queue is full,
// midiInAddBuffer waits too. Behind its pace (after a wait for room) the port catches up at full
// speed without letting go of the lock.
void InputPort::deliverThroughRing(std::unique_lock<std::mutex>& lock) {
  using Clock = std::chrono::steady_clock;
  nextDue_ = std::max(nextDue_, Clock::now());
  do {
    const auto [message, param1] = takeFrontLocked();
    notify(message, param1, now());
    nextDue_ += std::chrono::milliseconds(1);
  } while (!closing_ && !unplugged_ && readyLocked() && Clock::now() >= nextDue_);
  lock.unlock();
  std::this_thread::sleep_until(nextDue_);
}

}  // namespace wdrv
