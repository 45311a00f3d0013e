#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "midi/cmidi_in.h"
#include "midi/cmidi_lock.h"
#include "midi/cmidi_out.h"
#include "midi/device_watcher.h"
#include "midi/input_gate.h"
#include "midi/message_sink.h"
#include "midi/mutex.h"
#include "midi/port_info.h"
#include "midi/trace_log.h"
#include "midi/watch_kind.h"
#include "midi/wide_string.h"
#include "platform/winapi.h"

namespace melvix {

// The one object through which the host reaches the MIDI devices: it lists, describes, opens and
// closes ports, owns the current output and input port and the device watcher, tells the time and
// makes threads and locks.
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
  // How many device ids there are; a driver may leave ids without a description among them.
  virtual std::uint32_t OutCount() = 0;
  virtual std::uint32_t InCount() = 0;
  // The description of a port by name (the lowest id of that name) or by device id; nothing when
  // there is no such port.
  virtual PortLookup OutInfo(const WideString& name) = 0;
  virtual PortLookup OutInfo(std::uint32_t index) = 0;
  virtual PortLookup InInfo(const WideString& name) = 0;
  virtual PortLookup InInfo(std::uint32_t index) = 0;
  // Each returns the name of the port that is current afterwards (empty when none is). They take
  // the ports guard.
  virtual WideString OpenOut(const WideString& name) EXCLUDES(portsGuard_) = 0;
  virtual WideString OpenOut(std::uint32_t index) EXCLUDES(portsGuard_) = 0;
  virtual WideString OpenIn(const WideString& name, DWORD_PTR instance) EXCLUDES(portsGuard_) = 0;
  virtual WideString OpenIn(std::uint32_t index, DWORD_PTR instance) EXCLUDES(portsGuard_) = 0;
  // Milliseconds since the object was made, wrapping at 2^32.
  virtual std::uint32_t Time() = 0;
  // Runs `routine` with this object on a new thread; returns its handle (null on failure).
  virtual HANDLE StartThread(void (*routine)(CMidi&)) = 0;
  virtual void Sleep(std::uint32_t milliseconds) = 0;
  virtual std::unique_ptr<CMidiLock> NewLock() = 0;

  // These take the ports guard: any thread that holds no guard.
  WideString OutName() const EXCLUDES(portsGuard_);
  WideString InName() const EXCLUDES(portsGuard_);
  void CloseOut() EXCLUDES(portsGuard_);
  void CloseIn() EXCLUDES(portsGuard_);
  // Sends `bytes` unparsed as one message on the current output ("play"). A device that answers
  // that it has gone is looked for at once under the same name (it may be back already) and the
  // message sent there; while it is away, messages are dropped.
  void Play(const ByteString& bytes) EXCLUDES(portsGuard_);
  // Whether an output port is current.
  bool HasOut() const EXCLUDES(portsGuard_);
  // The current port, or null, unguarded: for a caller that knows no other thread changes the
  // ports meanwhile (a test whose ports are not away, so the watcher opens none again).
  CMidiOut* Out() const NO_THREAD_SAFETY_ANALYSIS { return out_.get(); }
  CMidiIn* In() const NO_THREAD_SAFETY_ANALYSIS { return in_.get(); }

  // Where the messages this layer sends unasked ("midi", "connection") go; none: they are
  // dropped. Set before any port is opened or the watch switched on.
  void SetMessageSink(MessageSink* sink) { sink_ = sink; }
  // Where failed calls and device changes are traced; none: the trace is off. Set before any port
  // is opened or the watch switched on.
  void SetTraceLog(TraceLog* trace) { trace_ = trace; }
  TraceLog* Trace() const { return trace_; }
  // Sends one message through the sink. On the input callback's thread or the watcher's; never
  // waits for the browser.
  void Post(MessageKind kind, std::string_view text);

  // The input callback's way to the current input port.
  InputGate& Gate() { return gate_; }
  // A current port's device has answered that it has gone, or its driver closed it: the watcher
  // looks for its return. Any thread; never waits.
  void NotePortGone();

  // Switches one kind of device watch on or off (see DeviceWatcher). The main thread: the one
  // that reads the requests.
  void SetWatch(WatchKind kind, bool on) EXCLUDES(portsGuard_);
  DeviceWatcher& Watcher() { return *watcher_; }
  // Replaces the watcher (a test's runs its passes one at a time, through the pause); before any
  // watch or port.
  void UseWatcher(std::unique_ptr<DeviceWatcher> watcher);
  // Opens again, under its name, a current port whose device has gone and is back; a port whose
  // name `listed` no longer holds is asked whether it is still there. True while a port is away.
  // On the watcher's thread, without the watch guard.
  bool LookAfterPorts(const ListedNames& listed) EXCLUDES(portsGuard_);

 protected:
  // Guards the current ports: held by every operation that opens, closes or uses one, on the main
  // thread and on the watcher's when it opens a port again whose device came back. A plain lock:
  // the public operations take it, the ...Locked ones and those below require it. Taken before
  // the watch guard, never after it.
  Mutex& PortsGuard() const RETURN_CAPABILITY(portsGuard_) { return portsGuard_; }
  // OpenOut and OpenIn by name for a caller that holds the guard: the re-opening of a port whose
  // device has gone.
  virtual WideString OpenOutLocked(const WideString& name) REQUIRES(portsGuard_) = 0;
  virtual WideString OpenInLocked(const WideString& name, DWORD_PTR instance)
      REQUIRES(portsGuard_) = 0;
  CMidiOut* OutLocked() const REQUIRES(portsGuard_) { return out_.get(); }
  CMidiIn* InLocked() const REQUIRES(portsGuard_) { return in_.get(); }
  WideString OutNameLocked() const REQUIRES(portsGuard_);
  WideString InNameLocked() const REQUIRES(portsGuard_);
  // Makes `port` the current output port, silencing and destroying the previous one.
  void ReplaceOut(std::unique_ptr<CMidiOut> port) REQUIRES(portsGuard_);
  // Makes `port`, whose device was opened with the callback instance `instance`, the current
  // input port after destroying the previous one, then starts it; false, with no input current,
  // when it does not start.
  bool ReplaceIn(std::unique_ptr<CMidiIn> port, DWORD_PTR instance) REQUIRES(portsGuard_);
  // Closes the current input, whose device has gone, but keeps it current by name.
  void CloseGoneIn() REQUIRES(portsGuard_);
  // Keeps a port whose device would not close, to be closed again later.
  void KeepUnclosed(std::unique_ptr<CMidiIn> port) REQUIRES(portsGuard_) {
    unclosedIns_.push_back(std::move(port));
  }
  // A new instance value for the next input opening: never 0, never one given before.
  static DWORD_PTR NewInputInstance();
  // Tries again to close the input ports whose devices would not close.
  void RetryClosingInputs() REQUIRES(portsGuard_);
  // A new opening got `handle`: a port kept with that value was freed by WinMM, which gave the
  // value away, and is forgotten without a call on it (its buffers left to the driver).
  void ForgetInputsHandled(HMIDIIN handle) REQUIRES(portsGuard_);
  // What destruction does: closes the input port, then the output port, then stops the watcher
  // and waits for it. The realisation calls it from its own destructor, since the watcher uses
  // its operations, and is final, so that no class below it can be destroyed while the watcher
  // still calls into it; calling it again does nothing.
  void Shutdown() EXCLUDES(portsGuard_);

 private:
  // Takes the current input port away from the input callback, waits for the callbacks that
  // use it to leave, then destroys it.
  void DestroyIn() REQUIRES(portsGuard_);
  // CloseOut for an open that replaces the port.
  void CloseOutLocked() REQUIRES(portsGuard_);
  bool PortsOpen() const EXCLUDES(portsGuard_);

  mutable Mutex portsGuard_;
  std::unique_ptr<CMidiIn> in_ GUARDED_BY(portsGuard_);
  std::unique_ptr<CMidiOut> out_ GUARDED_BY(portsGuard_);
  // Ports whose devices refused to close: kept, handle and buffers, until a later try succeeds,
  // since the driver may still write into their buffers.
  std::vector<std::unique_ptr<CMidiIn>> unclosedIns_ GUARDED_BY(portsGuard_);

  // The current input port as the callback reaches it.
  InputGate gate_;
  // Set once before any other thread runs; read by the callback's and the watcher's threads.
  MessageSink* sink_ = nullptr;
  TraceLog* trace_ = nullptr;
  std::unique_ptr<DeviceWatcher> watcher_;
};

}  // namespace melvix
