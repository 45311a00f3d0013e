#include "midi/cmidi.h"

#include <atomic>

#include "midi/driver_held.h"

CMidi::CMidi() : watcherWake_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

CMidi::~CMidi() {
  Shutdown();
  if (watcherWake_ != nullptr) CloseHandle(watcherWake_);
}

WideString CMidi::OutName() const {
  std::lock_guard<std::recursive_mutex> ports(portsGuard_);
  return out_ ? out_->Name() : WideString();
}

WideString CMidi::InName() const {
  std::lock_guard<std::recursive_mutex> ports(portsGuard_);
  return in_ ? in_->Name() : WideString();
}

bool CMidi::HasOut() const {
  std::lock_guard<std::recursive_mutex> ports(portsGuard_);
  return out_ != nullptr;
}

void CMidi::CloseOut() {
  std::lock_guard<std::recursive_mutex> ports(portsGuard_);
  CloseOutHeld();
}

void CMidi::CloseOutHeld() {
  if (!out_) return;
  // A device that has gone hears nothing any more.
  if (!out_->Gone()) out_->AllNotesOff();
  out_.reset();
}

void CMidi::CloseIn() {
  std::lock_guard<std::recursive_mutex> ports(portsGuard_);
  DestroyIn();
}

void CMidi::Play(const ByteString& bytes) {
  std::lock_guard<std::recursive_mutex> ports(portsGuard_);
  // While the device is away the message goes nowhere; the watcher opens it again on its return.
  if (!out_ || out_->Gone()) return;
  if (out_->SendRaw(bytes) || !out_->Gone()) return;
  // It has only now answered that it has gone, and may be back already under another id (a cable
  // pulled and put back while nothing was played): the message goes there.
  const WideString name = out_->Name();
  OpenOut(name);
  if (out_->Gone()) {
    NotePortGone();
    return;
  }
  out_->SendRaw(bytes);
}

void CMidi::ReplaceOut(std::unique_ptr<CMidiOut> port) {
  CloseOutHeld();
  out_ = std::move(port);
  KeepWatcher(true);
}

void CMidi::ReplaceIn(std::unique_ptr<CMidiIn> port, DWORD_PTR instance) {
  DestroyIn();
  in_ = std::move(port);
  gate_.Open(in_.get(), instance);
  // Started only once current, so that none of its data finds no port.
  in_->Start();
  KeepWatcher(true);
}

DWORD_PTR CMidi::NewInputInstance() {
  // Process-wide, so that no two openings share one, whichever object opened them. A counter, not
  // an address: the value must mean the same in 32 bits.
  static std::atomic<DWORD_PTR> last{0};
  DWORD_PTR value = ++last;
  if (value == 0) value = ++last;
  return value;
}

void CMidi::NotePortGone() {
  portGone_.store(true);
  if (watcherWake_ != nullptr) SetEvent(watcherWake_);
}

void CMidi::DestroyIn() {
  if (!in_) return;
  gate_.Close();
  // No callback can reach the port now; what the driver hands back while it stops, resets and
  // closes finds no port and is dropped there, so no buffer goes back to a closing device.
  if (in_->Close()) {
    in_.reset();
  } else {
    unclosedIns_.push_back(std::move(in_));
  }
}

void CMidi::RetryClosingInputs() {
  for (auto it = unclosedIns_.begin(); it != unclosedIns_.end();) {
    if ((*it)->Close()) {
      it = unclosedIns_.erase(it);
    } else {
      ++it;
    }
  }
}

void CMidi::Shutdown() {
  {
    std::lock_guard<std::recursive_mutex> ports(portsGuard_);
    DestroyIn();
    RetryClosingInputs();
    // Whatever still refuses to close stays the driver's: it is left, not freed.
    for (auto& port : unclosedIns_) leaveToDriver(std::move(port));
    unclosedIns_.clear();
    CloseOutHeld();
  }
  // The watcher uses this object's operations and fields: it must have ended before they go.
  StopWatcher();
}
