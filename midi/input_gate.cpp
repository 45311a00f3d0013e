#include "midi/input_gate.h"

namespace melvix {

void InputGate::Open(CMidiIn* port, DWORD_PTR instance) {
  MutexLock lock(mutex_);
  port_ = port;
  instance_ = instance;
  closedByDriver_ = false;
}

void InputGate::Close() {
  MutexLock lock(mutex_);
  port_ = nullptr;
  instance_ = 0;
  closedByDriver_ = false;
  while (inside_ != 0) left_.wait(lock.Waitable());
}

CMidiIn* InputGate::Enter(DWORD_PTR instance) {
  MutexLock lock(mutex_);
  if (port_ == nullptr || instance != instance_) return nullptr;
  ++inside_;
  return port_;
}

void InputGate::Leave() {
  MutexLock lock(mutex_);
  if (--inside_ == 0) left_.notify_all();
}

bool InputGate::Closed(DWORD_PTR instance) {
  MutexLock lock(mutex_);
  if (instance != instance_ || instance == 0 || port_ == nullptr) return false;
  port_ = nullptr;
  closedByDriver_ = true;
  return true;
}

bool InputGate::ClosedByDriver() {
  MutexLock lock(mutex_);
  return closedByDriver_;
}

DWORD_PTR InputGate::Instance() {
  MutexLock lock(mutex_);
  return instance_;
}

}  // namespace melvix
