// The output lock for tests that run without the platform layer: a recursive mutex has the
// semantics of the Windows mutex behind the real one.
#pragma once

#include <mutex>

#include "midi/cmidi_lock.h"

class RecursiveTestLock : public CMidiLock {
 public:
  bool Lock() override {
    mutex_.lock();
    return true;
  }
  bool Unlock() override {
    mutex_.unlock();
    return true;
  }

 private:
  std::recursive_mutex mutex_;
};
