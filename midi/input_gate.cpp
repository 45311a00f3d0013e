#include "midi/input_gate.h"

void InputGate::Open(CMidiIn* port, DWORD_PTR instance) {
  std::lock_guard<std::mutex> lock(mutex_);
  port_ = port;
  instance_ = instance;
}

void InputGate::Close() {
  std::unique_lock<std::mutex> lock(mutex_);
  port_ = nullptr;
  instance_ = 0;
  left_.wait(lock, [this] { return inside_ == 0; });
}

CMidiIn* InputGate::Enter(DWORD_PTR instance) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (port_ == nullptr || instance != instance_) return nullptr;
  ++inside_;
  return port_;
}

void InputGate::Leave() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (--inside_ == 0) left_.notify_all();
}

void InputGate::Closed(DWORD_PTR instance) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (instance != instance_) return;
  port_ = nullptr;
  instance_ = 0;
}

DWORD_PTR InputGate::Instance() {
  std::lock_guard<std::mutex> lock(mutex_);
  return instance_;
}
