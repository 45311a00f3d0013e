// The thread that gives input ports' system-exclusive buffers back to their drivers. The input
// callback makes no multimedia call: Microsoft's documentation warns that it can deadlock, and
// Wine's ALSA driver shows how, holding its buffer lock (which midiInAddBuffer needs) while it
// waits for room in a delivery queue that only the thread running our callback empties. So the
// callback only marks a buffer as handed back and wakes this thread. One thread serves every port
// (only one is current at a time): under Wine starting a thread costs milliseconds, too much for
// every open.
#pragma once

#include <atomic>
#include <vector>

#include "midi/mutex.h"
#include "platform/winapi.h"

namespace melvix {

class SysexBuffers;

class BufferGiver {
 public:
  // The one giver of the process, its thread started on first use; never destroyed, as a driver's
  // thread may still wake it while the process ends.
  static BufferGiver& Get();

  // `buffers` may have buffers handed back from now on. Under the ports guard (a port starting).
  void Add(SysexBuffers* buffers);
  // From its return on, nothing of `buffers` is given back any more; waits for a round under way.
  // Under the ports guard (a port closing), never with the giver's lock.
  void Remove(SysexBuffers* buffers);
  // Something was handed back. Runs on the input callback's thread; never waits.
  void Wake();
  // False when the thread could not be started: buffers are then not given back.
  bool Running() const { return wake_ != nullptr; }

 private:
  BufferGiver();
  // The thread's procedure, as CreateThread calls it.
  static DWORD WINAPI Run(LPVOID giver);

  HANDLE wake_ = nullptr;  // auto-reset event; set once in the constructor
  // The event is set and the thread not yet at work on it: the callback need not set it again.
  std::atomic<bool> woken_{false};
  // Held by the thread while it gives buffers back, so that Remove waits for a round under way.
  Mutex mutex_;
  std::vector<SysexBuffers*> ports_ GUARDED_BY(mutex_);
};

}  // namespace melvix
