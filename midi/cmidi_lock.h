#pragma once

namespace melvix {

// A lock that the MIDI system object hands out. A thread that holds it may take it again and must
// release it as often (the semantics of a Windows mutex).
class CMidiLock {
 public:
  virtual ~CMidiLock() = default;
  virtual bool Lock() = 0;
  virtual bool Unlock() = 0;
};

// Holds a CMidiLock for the life of a scope.
class CMidiLockHolder {
 public:
  explicit CMidiLockHolder(CMidiLock& lock) : lock_(lock) { lock_.Lock(); }
  ~CMidiLockHolder() { lock_.Unlock(); }
  CMidiLockHolder(const CMidiLockHolder&) = delete;
  CMidiLockHolder& operator=(const CMidiLockHolder&) = delete;

 private:
  CMidiLock& lock_;
};

}  // namespace melvix
