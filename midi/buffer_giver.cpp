#include "midi/buffer_giver.h"

#include <algorithm>

#include "midi/sysex_buffers.h"

namespace melvix {

namespace {

// The pause before buffers that could not go back at once are tried again.
constexpr DWORD kPauseBeforeAgainMs = 10;

}  // namespace

BufferGiver& BufferGiver::Get() {
  static auto* giver = new BufferGiver();
  return *giver;
}

BufferGiver::BufferGiver() : wake_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
  if (wake_ == nullptr) return;
  HANDLE thread = CreateThread(nullptr, 0, Run, this, 0, nullptr);
  // It runs for the life of the process and is never waited for.
  if (thread != nullptr) {
    CloseHandle(thread);
  } else {
    CloseHandle(wake_);
    wake_ = nullptr;
  }
}

void BufferGiver::Add(SysexBuffers* buffers) {
  MutexLock lock(mutex_);
  ports_.push_back(buffers);
}

void BufferGiver::Remove(SysexBuffers* buffers) {
  MutexLock lock(mutex_);
  ports_.erase(std::remove(ports_.begin(), ports_.end(), buffers), ports_.end());
}

void BufferGiver::Wake() {
  // While input pours in the thread is mostly at work already, and the event is set only to wake
  // it.
  if (wake_ != nullptr && !woken_.exchange(true)) SetEvent(wake_);
}

// Runs on the giver's thread, for the life of the process.
DWORD WINAPI BufferGiver::Run(LPVOID giver) {
  auto& self = *static_cast<BufferGiver*>(giver);
  bool again = false;
  for (;;) {
    WaitForSingleObject(self.wake_, again ? kPauseBeforeAgainMs : INFINITE);
    // Cleared before the ports are looked at: a buffer handed back meanwhile sets the event again.
    self.woken_.store(false);
    MutexLock lock(self.mutex_);
    again = false;
    for (SysexBuffers* buffers : self.ports_) again = buffers->GiveBackPending() || again;
  }
}

}  // namespace melvix
