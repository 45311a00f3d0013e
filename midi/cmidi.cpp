#include "midi/cmidi.h"

#include <algorithm>
#include <atomic>

#include "midi/driver_held.h"

namespace melvix {

namespace {

bool contains(const std::vector<WideString>& names, const WideString& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

CMidi::CMidi() : watcher_(std::make_unique<DeviceWatcher>(*this)) {}

CMidi::~CMidi() { Shutdown(); }

void CMidi::SetWatch(WatchKind kind, bool on) { watcher_->SetWatch(kind, on, PortsOpen()); }

bool CMidi::PortsOpen() const {
  MutexLock ports(portsGuard_);
  return out_ != nullptr || in_ != nullptr;
}

void CMidi::UseWatcher(std::unique_ptr<DeviceWatcher> watcher) { watcher_ = std::move(watcher); }

void CMidi::Post(MessageKind kind, std::string_view text) {
  if (sink_ != nullptr) sink_->Post(kind, text);
}

WideString CMidi::OutName() const {
  MutexLock ports(portsGuard_);
  return OutNameLocked();
}

WideString CMidi::OutNameLocked() const { return out_ ? out_->Name() : WideString(); }

WideString CMidi::InName() const {
  MutexLock ports(portsGuard_);
  return InNameLocked();
}

WideString CMidi::InNameLocked() const { return in_ ? in_->Name() : WideString(); }

bool CMidi::HasOut() const {
  MutexLock ports(portsGuard_);
  return out_ != nullptr;
}

void CMidi::CloseOut() {
  MutexLock ports(portsGuard_);
  CloseOutLocked();
}

void CMidi::CloseOutLocked() {
  if (!out_) return;
  // A device that has gone hears nothing any more.
  if (!out_->Gone()) out_->AllNotesOff();
  out_.reset();
}

void CMidi::CloseIn() {
  MutexLock ports(portsGuard_);
  DestroyIn();
}

void CMidi::Play(const ByteString& bytes) {
  MutexLock ports(portsGuard_);
  if (!out_) return;
  if (!out_->Gone() && (out_->SendRaw(bytes) || !out_->Gone())) return;
  // Its device has gone, now or before, and may be back already under another id (a cable pulled
  // and put back): it is looked for by name at once, not only at the watcher's next look, so that
  // the message goes there. While it is away the message goes nowhere.
  const WideString name = out_->Name();
  OpenOutLocked(name);
  if (out_->Gone()) {
    NotePortGone();
    return;
  }
  if (trace_ != nullptr) trace_->Event("output opened again", name);
  out_->SendRaw(bytes);
}

void CMidi::ReplaceOut(std::unique_ptr<CMidiOut> port) {
  CloseOutLocked();
  out_ = std::move(port);
  watcher_->KeepRunning(true);
}

bool CMidi::ReplaceIn(std::unique_ptr<CMidiIn> port, DWORD_PTR instance) {
  DestroyIn();
  in_ = std::move(port);
  // A system-exclusive message the old input had begun will not end: the new one's first piece
  // may be a middle one, which must not join it.
  Post(MessageKind::kSysexCut, std::string_view());
  gate_.Open(in_.get(), instance);
  // Started only once current, so that none of its data finds no port. One that does not start
  // would be deaf: it is closed again, and no input is current.
  if (!in_->Start()) {
    DestroyIn();
    return false;
  }
  watcher_->KeepRunning(true);
  return true;
}

DWORD_PTR CMidi::NewInputInstance() {
  // Process-wide, so that no two openings share one, whichever object opened them. A counter, not
  // an address: the value must mean the same in 32 bits.
  static std::atomic<DWORD_PTR> last{0};
  DWORD_PTR value = ++last;
  if (value == 0) value = ++last;
  return value;
}

void CMidi::NotePortGone() { watcher_->PortGone(); }

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

void CMidi::CloseGoneIn() {
  gate_.Close();
  // One that refuses is tried again when it is replaced or closed.
  in_->Close();
}

void CMidi::ForgetInputsHandled(HMIDIIN handle) {
  for (auto it = unclosedIns_.begin(); it != unclosedIns_.end();) {
    if ((*it)->Handle() == handle) {
      leaveToDriver(std::move(*it));
      it = unclosedIns_.erase(it);
    } else {
      ++it;
    }
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

// Runs on the watcher thread, without the watch guard.
bool CMidi::LookAfterPorts(const ListedNames& listed) {
  MutexLock ports(portsGuard_);
  bool away = false;
  if (out_) {
    // A name the watch no longer lists: the device may have gone, which the port is asked.
    if (listed.outs && !out_->Gone() && !contains(listed.outNames, out_->Name())) out_->Alive();
    if (out_->Gone()) {
      // Opened again exactly as an open of its name would: the lowest id of that name, if any.
      const WideString name = out_->Name();
      if (!listed.outs || contains(listed.outNames, name)) OpenOutLocked(name);
      away = out_->Gone();
      if (!away && trace_ != nullptr) trace_->Event("output opened again", name);
    }
  }
  if (in_) {
    if (gate_.ClosedByDriver()) in_->MarkGone();
    if (listed.ins && !in_->Gone() && !contains(listed.inNames, in_->Name())) in_->Alive();
    if (in_->Gone()) {
      const WideString name = in_->Name();
      if (!listed.ins || contains(listed.inNames, name)) OpenInLocked(name, 0);
      if (!in_->Gone() && trace_ != nullptr) trace_->Event("input opened again", name);
      away = away || in_->Gone();
    }
  }
  return away;
}

void CMidi::Shutdown() {
  {
    MutexLock ports(portsGuard_);
    DestroyIn();
    RetryClosingInputs();
    // Whatever still refuses to close stays the driver's: it is left, not freed.
    for (auto& port : unclosedIns_) leaveToDriver(std::move(port));
    unclosedIns_.clear();
    CloseOutLocked();
  }
  // The watcher uses this object's operations and fields: it must have ended before they go.
  watcher_->Stop();
}

}  // namespace melvix
