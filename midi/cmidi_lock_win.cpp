#include "midi/cmidi_lock_win.h"

namespace melvix {

CMidiLockWin::CMidiLockWin() : mutex_(CreateMutexW(nullptr, FALSE, nullptr)) {}

CMidiLockWin::~CMidiLockWin() {
  if (mutex_ != nullptr) CloseHandle(mutex_);
}

// The mutex is the kernel's, which the analysis cannot see taken.
bool CMidiLockWin::Lock() NO_THREAD_SAFETY_ANALYSIS {
  return mutex_ != nullptr && WaitForSingleObject(mutex_, INFINITE) == WAIT_OBJECT_0;
}

bool CMidiLockWin::Unlock() NO_THREAD_SAFETY_ANALYSIS {
  return mutex_ != nullptr && ReleaseMutex(mutex_) != FALSE;
}

}  // namespace melvix
