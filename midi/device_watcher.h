// The device watcher: while the browser watches, a thread of its own looks at the port names after
// every 100 ms pause and sends ["connection"] when a name has appeared or disappeared. The same
// thread looks after the current ports: it runs while a port is open, idle until a port's device
// goes away, and then looks every 100 ms for a device of the same name, which the MIDI system
// object opens again.
#pragma once

#include <atomic>
#include <iterator>
#include <memory>
#include <vector>

#include "midi/mutex.h"
#include "midi/watch_kind.h"
#include "midi/wide_string.h"
#include "platform/winapi.h"

namespace melvix {

class CMidi;

// The names one pass listed, for the directions that are watched.
struct ListedNames {
  bool outs = false;
  bool ins = false;
  std::vector<WideString> outNames;
  std::vector<WideString> inNames;
};

class DeviceWatcher {
 public:
  // Lists through `midi`, starts its thread with `midi.StartThread`, posts through `midi` and has
  // `midi` look after its ports.
  explicit DeviceWatcher(CMidi& midi);
  // Stop must have ended the thread.
  virtual ~DeviceWatcher();
  DeviceWatcher(const DeviceWatcher&) = delete;
  DeviceWatcher& operator=(const DeviceWatcher&) = delete;

  // Switches one kind of watch on or off. A direction's names are taken when its first kind goes
  // on. The main thread, the ports guard not held.
  void SetWatch(WatchKind kind, bool on, bool portsOpen) EXCLUDES(guard_);
  // The thread runs once a watch is on or a port is current, and ends when the watch goes off with
  // no port current. Closing a port leaves it running, idle: under Wine the end of a thread takes
  // milliseconds to be noticed, too long for every close. Main thread (or the watcher's own, when
  // it opens a port again: then it only finds itself running). The ports guard may be held.
  void KeepRunning(bool portsOpen) EXCLUDES(guard_);
  // A port's device has answered that it has gone: the thread looks for its return. Any thread;
  // never waits.
  void PortGone();
  // Switches every kind off, tells the thread to stop and waits for it to end. The main thread
  // (or the one destroying the MIDI system object), no guard held.
  void Stop() EXCLUDES(guard_);

 protected:
  // The pause between two passes; runs on the watcher thread with the watch guard held, which the
  // pause releases so that SetWatch can go on; it returns after 100 ms, or as soon as `stop`
  // (guarded by the watch guard) is true, with the guard held again. With nothing to look for (no
  // watch on, no port away) it waits until there is. Tests replace it to run passes one at a time.
  virtual void Pause(const bool& stop) REQUIRES(guard_);
  Mutex& Guard() RETURN_CAPABILITY(guard_) { return guard_; }

 private:
  struct Thread;
  // The thread's routine: a pass at once, then one after each pause, until told to stop.
  static void Run(CMidi& midi);
  void Loop() EXCLUDES(guard_);
  // One look at the device set; returns what it listed.
  ListedNames Pass() REQUIRES(guard_);
  bool Watching(WatchKind kind) const REQUIRES(guard_);
  bool AnyWatch() const REQUIRES(guard_);

  CMidi& midi_;
  // The watch guard. Guards the fields marked so and the thread's stop flag. The thread holds it
  // for each whole pass, the posting of "connection" included (so it is always taken before the
  // message sink's lock, never after), and SetWatch holds it around its changes. Taken after the
  // ports guard, never before it: the thread looks after the ports without it.
  Mutex guard_;
  bool watch_[std::size(kWatchKinds)] GUARDED_BY(guard_) = {};  // indexed by watchIndex
  std::vector<WideString> outNames_ GUARDED_BY(guard_);         // output names as of the last look
  std::vector<WideString> inNames_ GUARDED_BY(guard_);          // input names as of the last look
  // The running thread's own state, registered before it starts so that no stop is lost; null
  // while none runs.
  std::shared_ptr<Thread> thread_ GUARDED_BY(guard_);
  // Ends the pause early: a stop, a watch switched on, a port gone. An auto-reset event, so that a
  // wake-up set from any thread is never lost.
  const HANDLE wake_;
  // A port's device has gone since the thread last looked (any thread sets it).
  std::atomic<bool> portGone_{false};
  // A current port is away, its device not back yet: looked for every pass. Watcher thread only.
  bool portAway_ = false;
};

}  // namespace melvix
