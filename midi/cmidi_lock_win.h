#pragma once

#include "midi/cmidi_lock.h"
#include "platform/winapi.h"

namespace melvix {

// A CMidiLock on an unnamed Windows mutex. If the mutex cannot be made, the lock guards nothing.
class CMidiLockWin : public CMidiLock {
 public:
  CMidiLockWin();
  ~CMidiLockWin() override;
  CMidiLockWin(const CMidiLockWin&) = delete;
  CMidiLockWin& operator=(const CMidiLockWin&) = delete;

  bool Lock() ACQUIRE() override;
  bool Unlock() RELEASE() override;

 private:
  HANDLE mutex_;
};

}  // namespace melvix
