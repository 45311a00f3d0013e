#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "midi/cmidi_in.h"
#include "midi/cmidi_lock.h"
#include "midi/cmidi_out.h"
#include "midi/input_gate.h"
#include "midi/port_info.h"
#include "midi/watch_kind.h"
#include "midi/wide_string.h"
#include "platform/winapi.h"

// The one object through which the host reaches the MIDI devices: it lists, describes, opens and
// closes ports, owns the current output and input port, tells the time, runs the device watcher
// and makes locks.
//
// A current port whose device goes away (pulled out while open) stays current, and when a device
// of the same name comes back it is opened again by itself, as an open of that name would: the
// watcher's thread, which also runs while a port is open, looks for it.
class CMidi {
 public:
  CMidi();
  // Closes both ports and stops the watcher; see Shutdown.
  virtual ~CMidi();
  CMidi(const CMidi&) = delete;
  CMidi& operator=(const CMidi&) = delete;

  virtual std::vector<WideString> ListOuts() = 0;
  virtual std::vector<WideString> ListIns() = 0;
  // The description of a port by name (the lowest id of that name) or by device id; nothing when
  // there is no such port.
  virtual PortLookup OutInfo(const WideString& name) = 0;
  virtual PortLookup OutInfo(std::uint32_t index) = 0;
  virtual PortLookup InInfo(const WideString& name) = 0;
  virtual PortLookup InInfo(std::uint32_t index) = 0;
  // Each returns the name of the port that is current afterwards (empty when none is).
  virtual WideString OpenOut(const WideString& name) = 0;
  virtual WideString OpenOut(std::uint32_t index) = 0;
  virtual WideString OpenIn(const WideString& name, DWORD_PTR instance) = 0;
  virtual WideString OpenIn(std::uint32_t index, DWORD_PTR instance) = 0;
  // Milliseconds since the object was made, wrapping at 2^32.
  virtual std::uint32_t Time() = 0;
  // Runs `routine` with this object on a new thread; returns its handle (null on failure).
  virtual HANDLE StartThread(void (*routine)(CMidi&)) = 0;
  virtual void Sleep(std::uint32_t milliseconds) = 0;
  virtual std::unique_ptr<CMidiLock> NewLock() = 0;

  WideString OutName() const;
  WideString InName() const;
  void CloseOut();
  void CloseIn();
  // Sends `bytes` unparsed as one message on the current output ("play"). A device that answers
  // that it has gone is looked for at once under the same name (it may be back already) and the
  // message sent there; while it is away, messages are dropped. Main thread.
  void Play(const ByteString& bytes);
  // Whether an output port is current. Main thread.
  bool HasOut() const;
  // The current port, or null. For the thread that changes ports, or one holding PortsGuard().
  CMidiOut* Out() const { return out_.get(); }
  CMidiIn* In() const { return in_.get(); }

  // The input callback's way to the current input port.
  InputGate& Gate() { return gate_; }

  // Switches one kind of device watch on or off. The names of a direction are taken when its
  // first kind goes on; the watcher starts when the first of all kinds goes on, and when the last
  // goes off it is told to stop and waited for, so at most one watcher ever runs. Main thread only.
  void SetWatch(WatchKind kind, bool on);

 protected:
  // Guards the current ports: held by every operation that opens, closes or uses one, on the main
  // thread and on the watcher's when it opens a port again whose device came back. Recursive, as
  // an open closes the port it replaces. Taken before the watch guard, never after it.
  std::recursive_mutex& PortsGuard() const { return portsGuard_; }
  // Makes `port` the current output port, silencing and destroying the previous one.
  void ReplaceOut(std::unique_ptr<CMidiOut> port);
  // Makes `port`, whose device was opened with the callback instance `instance`, the current
  // input port after destroying the previous one, then starts it.
  void ReplaceIn(std::unique_ptr<CMidiIn> port, DWORD_PTR instance);
  // A new instance value for the next input opening: never 0, never one given before.
  static DWORD_PTR NewInputInstance();
  // A current port's device has answered that it has gone: the watcher's thread looks for its
  // return. Any thread; never waits.
  void NotePortGone();
  // Tries again to close the input ports whose devices would not close; main thread.
  void RetryClosingInputs();
  // What destruction does: closes the input port, then the output port, then stops the watcher
  // and waits for it. A derived class calls it from its own destructor, since the watcher uses
  // its operations; calling it again does nothing.
  void Shutdown();

  // The watcher's pause between two passes; runs on the watcher thread. `held` holds the watch
  // guard, which the pause releases so that SetWatch can go on; it returns after 100 ms, or as soon
  // as `stop` (guarded by the watch guard) is true, with the guard held again. With nothing to look
  // for (no watch on, no port away) it waits until there is. Tests replace it to run passes one at
  // a time.
  virtual void PauseWatcher(std::unique_lock<std::mutex>& held, const bool& stop);

 private:
  // Takes the current input port away from the input callback, waits for the callbacks that
  // use it to leave, then destroys it.
  void DestroyIn();
  // CloseOut without the watcher's stop, for an open that replaces the port. Ports guard held.
  void CloseOutHeld();

  struct Watcher;
  // The names one pass listed, for a direction that is watched.
  struct Listed {
    bool outs = false;
    bool ins = false;
    std::vector<WideString> outNames;
    std::vector<WideString> inNames;
  };
  // The watcher thread's routine: a pass at once, then one after each pause, until told to stop.
  static void WatchDevices(CMidi& midi);
  // One look at the device set; on the watcher thread with watchGuard_ held. Returns what it
  // listed.
  Listed WatchPass();
  // Opens again, under its name, a current port whose device has gone and is back. A port whose
  // name the watch no longer lists is asked whether it is still there. True while a port is away.
  // On the watcher thread, with neither guard held.
  bool LookAfterPorts(const Listed& listed);
  bool AnyWatch() const;
  // The watcher runs once a watch is on or a port is current, and ends when the watch goes off
  // with no port current (or with the object). Closing a port leaves it running, idle: under Wine
  // the end of a thread takes milliseconds to be noticed, too long for every close. Main thread,
  // the watch guard not held; the ports guard may be held when it only starts, as an open does.
  void KeepWatcher(bool portsOpen);
  // Switches every kind off, tells the watcher to stop and waits for its thread to end. Main
  // thread only.
  void StopWatcher();

  // Guarded by portsGuard_; the pointers change on the main thread, and on the watcher's when it
  // opens a port again whose device came back.
  mutable std::recursive_mutex portsGuard_;
  std::unique_ptr<CMidiIn> in_;
  std::unique_ptr<CMidiOut> out_;
  // Ports whose devices refused to close: kept, handle and buffers, until a later try succeeds,
  // since the driver may still write into their buffers. Guarded by portsGuard_.
  std::vector<std::unique_ptr<CMidiIn>> unclosedIns_;

  // The current input port as the callback reaches it.
  InputGate gate_;

  // The device watch. watchGuard_ guards every field below and the watcher's stop flag. The
  // watcher holds it for each whole pass, the posting of "connection" included (so it is always
  // taken before the message sink's lock, never after), and SetWatch holds it around its changes.
  std::mutex watchGuard_;
  bool watch_[4] = {};                   // indexed by WatchKind
  std::vector<WideString> outNames_;     // output names as of the last look
  std::vector<WideString> inNames_;      // input names as of the last look
  // The running watcher's own state, registered before its thread starts so that no stop is
  // lost; null while none runs.
  std::shared_ptr<Watcher> watcher_;
  // Ends the watcher's pause early: a stop, a watch switched on, a port gone. An auto-reset event,
  // so that a wake-up set from any thread, the input's own included, is never lost.
  const HANDLE watcherWake_;
  // A port's device has gone since the watcher last looked (any thread sets it).
  std::atomic<bool> portGone_{false};
  // A current port is away, its device not back yet: the watcher looks every pass. Watcher thread
  // only.
  bool portAway_ = false;
};
