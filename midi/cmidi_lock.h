#pragma once

#include "midi/mutex.h"

namespace melvix {

// A lock that the MIDI system object hands out. A thread that holds it may take it again and must
// release it as often (the semantics of a Windows mutex).
class CAPABILITY("mutex") CMidiLock {
 public:
  virtual ~CMidiLock() = default;
  virtual bool Lock() ACQUIRE() = 0;
  virtual bool Unlock() RELEASE() = 0;
};

// Holds a CMidiLock for the life of a scope.
class SCOPED_CAPABILITY CMidiLockHolder {
 public:
  explicit CMidiLockHolder(CMidiLock& lock) ACQUIRE(lock) : lock_(lock) { lock_.Lock(); }
  ~CMidiLockHolder() RELEASE() { lock_.Unlock(); }
  CMidiLockHolder(const CMidiLockHolder&) = delete;
  CMidiLockHolder& operator=(const CMidiLockHolder&) = delete;

 private:
  CMidiLock& lock_;
};

}  // namespace melvix
