#include "tests/wine/input_port.h"

#include <algorithm>
#include <cstring>

namespace wdrv {

InputPort::InputPort(std::shared_ptr<Device> device, const MIDIOPENDESC& desc, DWORD flags,
                     std::shared_ptr<LateQueue> late)
    : device_(std::move(device)),
      desc_(desc),
      callbackFlags_(HIWORD(flags & CALLBACK_TYPEMASK)),
      late_(std::move(late)) {
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
  if ((header->dwFlags & MHDR_PREPARED) == 0) return MIDIERR_UNPREPARED;
  if ((header->dwFlags & MHDR_INQUEUE) != 0) return MIDIERR_STILLPLAYING;
  std::lock_guard<std::mutex> lock(mutex_);
  header->dwFlags = (header->dwFlags & ~MHDR_DONE) | MHDR_INQUEUE;
  header->dwBytesRecorded = 0;
  buffers_.push_back(header);
  changed_.notify_all();
  return MMSYSERR_NOERROR;
}

void InputPort::start() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!started_) startTime_ = timeGetTime();
  started_ = true;
  changed_.notify_all();
}

void InputPort::stop() {
  std::lock_guard<std::mutex> callback(callbackMutex_);
  std::lock_guard<std::mutex> lock(mutex_);
  started_ = false;
  events_.clear();
}

void InputPort::reset(bool keepBuffers) {
  std::lock_guard<std::mutex> callback(callbackMutex_);
  std::deque<MIDIHDR*> back;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    started_ = false;
    events_.clear();
    if (!keepBuffers) back.swap(buffers_);
  }
  for (MIDIHDR* header : back) {
    header->dwBytesRecorded = 0;
    header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
    notify(MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(header), now());
  }
}

DWORD InputPort::close() {
  {
    std::lock_guard<std::mutex> callback(callbackMutex_);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!buffers_.empty()) return MIDIERR_STILLPLAYING;
    closing_ = true;
    changed_.notify_all();
  }
  thread_.join();
  notify(MIM_CLOSE, 0, 0);
  return MMSYSERR_NOERROR;
}

void InputPort::pushShort(DWORD message) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!started_) return;
  Event e;
  e.message = message;
  events_.push_back(std::move(e));
  changed_.notify_all();
}

void InputPort::pushError(DWORD message) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!started_) return;
  Event e;
  e.kind = Event::kError;
  e.message = message;
  events_.push_back(std::move(e));
  changed_.notify_all();
}

void InputPort::pushSysex(const std::vector<BYTE>& bytes, bool asError) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!started_ || bytes.empty()) return;
  Event e;
  e.kind = asError ? Event::kLongError : Event::kSysex;
  e.bytes = bytes;
  events_.push_back(std::move(e));
  changed_.notify_all();
}

void InputPort::wake() {
  std::lock_guard<std::mutex> lock(mutex_);
  changed_.notify_all();
}

void InputPort::generateFloodEventLocked() {
  FloodMode mode = device_->flood.load();
  if (mode == FloodMode::kOff) return;
  ++floodCount_;
  Event e;
  if (mode == FloodMode::kSysex || (mode == FloodMode::kMixed && floodCount_ % 4 == 0)) {
    e.kind = Event::kSysex;
    std::size_t length = 6 + (floodCount_ * 37) % 600;
    e.bytes.assign(length, 0);
    e.bytes.front() = 0xF0;
    for (std::size_t i = 1; i + 1 < length; ++i) {
      e.bytes[i] = static_cast<BYTE>((i + floodCount_) & 0x7F);
    }
    e.bytes.back() = 0xF7;
  } else {
    e.message = 0x90u | ((floodCount_ % 128) << 8) | (100u << 16);
  }
  events_.push_back(std::move(e));
}

bool InputPort::readyLocked() {
  if (!started_) return false;
  if (events_.empty()) generateFloodEventLocked();
  if (events_.empty()) return false;
  const Event& e = events_.front();
  return e.kind == Event::kShort || e.kind == Event::kError || !buffers_.empty();
}

// Runs on the port's delivery thread.
void InputPort::run() {
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return closing_ || readyLocked(); });
      if (closing_) return;
    }
    std::lock_guard<std::mutex> callback(callbackMutex_);
    UINT message = 0;
    DWORD_PTR param1 = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (closing_ || !readyLocked()) continue;
      Event& e = events_.front();
      if (e.kind == Event::kShort || e.kind == Event::kError) {
        message = e.kind == Event::kShort ? MIM_DATA : MIM_ERROR;
        param1 = e.message;
        events_.pop_front();
      } else {
        // System-exclusive data fills the queued buffers in order; a long error takes one.
        MIDIHDR* header = buffers_.front();
        buffers_.pop_front();
        std::size_t n = std::min<std::size_t>(header->dwBufferLength, e.bytes.size() - e.done);
        std::memcpy(header->lpData, e.bytes.data() + e.done, n);
        header->dwBytesRecorded = static_cast<DWORD>(n);
        header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
        message = e.kind == Event::kSysex ? MIM_LONGDATA : MIM_LONGERROR;
        param1 = reinterpret_cast<DWORD_PTR>(header);
        e.done += n;
        if (e.kind == Event::kLongError || e.done >= e.bytes.size()) events_.pop_front();
      }
    }
    notify(message, param1, now());
  }
}

}  // namespace wdrv
