// Where the input callback meets the thread that opens and closes input ports. The callback enters
// through the gate to reach the current port and leaves when done; the port is taken away through
// the gate, which then waits for the callbacks inside to leave, so that none uses a port that is
// being stopped, reset or freed.
#pragma once

#include <condition_variable>

#include "midi/cmidi_in.h"
#include "midi/mutex.h"
#include "platform/winapi.h"

namespace melvix {

class InputGate {
 public:
  // Lets callbacks of the opening `instance` (the value its device was opened with) reach `port`.
  // With the ports guard held.
  void Open(CMidiIn* port, DWORD_PTR instance);
  // Takes the port away from the callbacks and waits for those inside to leave. Never called with
  // a lock a callback needs, since they may be running a WinMM call that waits for a callback. With
  // the ports guard held.
  void Close();

  // The port an event of the opening `instance` counts for, kept alive until the matching Leave;
  // null for any other opening (a device closed or replaced whose driver still delivers late) and
  // once no port is open. On the input callback's thread.
  CMidiIn* Enter(DWORD_PTR instance);
  void Leave();
  // The current opening's device has sent MIM_CLOSE: nothing it delivers afterwards counts. On the
  // input callback's thread; true when it was the current opening's, closed by the driver alone
  // (when the host closes a port, the gate is closed first).
  bool Closed(DWORD_PTR instance);
  // The driver closed the current opening by itself (a device it gave up): the port hears
  // nothing any more. With the ports guard held.
  bool ClosedByDriver();
  // The instance value the current port was opened with; 0 when none is open.
  DWORD_PTR Instance();

 private:
  Mutex mutex_;
  std::condition_variable left_;
  CMidiIn* port_ GUARDED_BY(mutex_) = nullptr;
  DWORD_PTR instance_ GUARDED_BY(mutex_) = 0;  // the opening port_ belongs to
  bool closedByDriver_ GUARDED_BY(mutex_) = false;
  int inside_ GUARDED_BY(mutex_) = 0;  // callbacks between Enter and Leave
};

}  // namespace melvix
