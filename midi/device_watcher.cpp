// The device watcher: while the browser watches, a thread of its own looks at the port names after
// every 100 ms pause and sends ["connection"] when a name has appeared or disappeared. The same
// thread runs while a port is open, idle until that port's device goes away; it then looks every
// 100 ms for a device of the same name and opens it again.
#include <algorithm>
#include <chrono>
#include <iterator>
#include <set>
#include <utility>

#include "midi/cmidi.h"
#include "midi/message_sink.h"

namespace {

constexpr std::chrono::milliseconds kWatchPause{100};

struct NameChanges {
  bool added = false;
  bool removed = false;
};

// Compares two name lists as sets: order and repeats do not count, case and every unit do.
NameChanges compareNames(const std::vector<WideString>& before,
                         const std::vector<WideString>& after) {
  const std::set<WideString> old(before.begin(), before.end());
  const std::set<WideString> fresh(after.begin(), after.end());
  NameChanges changes;
  changes.added = !std::includes(old.begin(), old.end(), fresh.begin(), fresh.end());
  changes.removed = !std::includes(fresh.begin(), fresh.end(), old.begin(), old.end());
  return changes;
}

bool isOutputKind(WatchKind kind) { return kind == OutAdded || kind == OutRemoved; }

}  // namespace

// What belongs to one watcher. Made and registered before the watcher's thread starts.
struct CMidi::Watcher {
  bool stop = false;        // guarded by watchGuard_
  HANDLE thread = nullptr;  // main thread only
};

namespace {

bool contains(const std::vector<WideString>& names, const WideString& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

bool CMidi::AnyWatch() const {
  return watch_[OutAdded] || watch_[OutRemoved] || watch_[InAdded] || watch_[InRemoved];
}

void CMidi::SetWatch(WatchKind kind, bool on) {
  {
    std::lock_guard<std::mutex> guard(watchGuard_);
    if (watch_[kind] == on) return;
    if (on) {
      // A direction's names are taken when it starts being watched, so that what changed before
      // is not reported.
      if (isOutputKind(kind) && !watch_[OutAdded] && !watch_[OutRemoved]) outNames_ = ListOuts();
      if (!isOutputKind(kind) && !watch_[InAdded] && !watch_[InRemoved]) inNames_ = ListIns();
    }
    watch_[kind] = on;
  }
  bool portsOpen = false;
  {
    std::lock_guard<std::recursive_mutex> ports(portsGuard_);
    portsOpen = out_ != nullptr || in_ != nullptr;
  }
  KeepWatcher(portsOpen);
  // A watcher that only stood by for a port that might go away looks every 100 ms from now on.
  if (on && portsOpen && watcherWake_ != nullptr) SetEvent(watcherWake_);
}

void CMidi::KeepWatcher(bool portsOpen) {
  {
    std::lock_guard<std::mutex> guard(watchGuard_);
    const bool wanted = portsOpen || AnyWatch();
    if (wanted == (watcher_ != nullptr)) return;
    if (wanted) {
      // The previous watcher, if any, has ended (StopWatcher waits for it), so the one that the
      // new thread finds here is its own.
      watcher_ = std::make_shared<Watcher>();
      watcher_->thread = StartThread(&CMidi::WatchDevices);
      // Without a thread nothing is ever reported, and a port that goes away stays away.
      if (watcher_->thread == nullptr) watcher_.reset();
      return;
    }
  }
  StopWatcher();
}

void CMidi::StopWatcher() {
  std::shared_ptr<Watcher> ending;
  {
    std::lock_guard<std::mutex> guard(watchGuard_);
    std::fill(std::begin(watch_), std::end(watch_), false);
    ending = std::move(watcher_);
    if (ending) ending->stop = true;
  }
  if (!ending) return;
  if (watcherWake_ != nullptr) SetEvent(watcherWake_);
  // Waited for without the guard, which the watcher needs to finish a pass under way. Once it has
  // ended, a new watch may start a new watcher and nothing of this one touches the object again.
  WaitForSingleObject(ending->thread, INFINITE);
  CloseHandle(ending->thread);
}

// Runs on the watcher thread.
void CMidi::WatchDevices(CMidi& midi) {
  std::unique_lock<std::mutex> held(midi.watchGuard_);
  // Null when the watch ended before this thread got the guard; it then has nothing to do.
  const std::shared_ptr<Watcher> self = midi.watcher_;
  if (!self) return;
  while (!self->stop) {
    const Listed listed = midi.WatchPass();
    // The ports are looked after without the watch guard, which an open may need.
    if (midi.portAway_ || midi.portGone_.exchange(false) || listed.outs || listed.ins) {
      held.unlock();
      midi.portAway_ = midi.LookAfterPorts(listed);
      held.lock();
    }
    midi.PauseWatcher(held, self->stop);
  }
}

// Runs on the watcher thread with watchGuard_ held.
void CMidi::PauseWatcher(std::unique_lock<std::mutex>& held, const bool& stop) {
  if (stop) return;
  // With no watch on and no port away there is nothing to look at until one of them begins; the
  // thread then costs nothing.
  const bool idle = !AnyWatch() && !portAway_ && !portGone_.load();
  held.unlock();
  WaitForSingleObject(watcherWake_,
                      idle ? INFINITE : static_cast<DWORD>(kWatchPause.count()));
  held.lock();
}

// Runs on the watcher thread, without watchGuard_.
bool CMidi::LookAfterPorts(const Listed& listed) {
  std::lock_guard<std::recursive_mutex> ports(portsGuard_);
  bool away = false;
  if (out_) {
    // A name the watch no longer lists: the device may have gone, which the port is asked.
    if (listed.outs && !out_->Gone() && !contains(listed.outNames, out_->Name())) out_->Alive();
    if (out_->Gone()) {
      // Opened again exactly as an open of its name would: the lowest id of that name, if any.
      const WideString name = out_->Name();
      if (!listed.outs || contains(listed.outNames, name)) OpenOut(name);
      away = out_->Gone();
    }
  }
  if (in_) {
    if (listed.ins && !in_->Gone() && !contains(listed.inNames, in_->Name())) in_->Alive();
    if (in_->Gone()) {
      const WideString name = in_->Name();
      if (!listed.ins || contains(listed.inNames, name)) OpenIn(name, 0);
      away = away || in_->Gone();
    }
  }
  return away;
}

// Runs on the watcher thread with watchGuard_ held.
CMidi::Listed CMidi::WatchPass() {
  // A direction is listed whenever either of its kinds is watched, so that the stored names
  // follow every change and each change is reported once.
  Listed listed;
  listed.outs = watch_[OutAdded] || watch_[OutRemoved];
  listed.ins = watch_[InAdded] || watch_[InRemoved];
  if (!listed.outs && !listed.ins) return listed;
  const bool outs = listed.outs;
  const bool ins = listed.ins;
  std::vector<WideString> freshOuts;
  std::vector<WideString> freshIns;
  bool changed = false;
  bool report = false;
  const auto look = [&](std::vector<WideString>& fresh, const std::vector<WideString>& stored,
                        std::vector<WideString> names, WatchKind added, WatchKind removed) {
    const NameChanges changes = compareNames(stored, names);
    changed = changed || changes.added || changes.removed;
    report = report || (watch_[added] && changes.added) || (watch_[removed] && changes.removed);
    fresh = std::move(names);
  };
  const auto lookAtBoth = [&] {
    if (outs) look(freshOuts, outNames_, ListOuts(), OutAdded, OutRemoved);
    if (ins) look(freshIns, inNames_, ListIns(), InAdded, InRemoved);
  };
  lookAtBoth();
  // A device with ports in both directions registers them one after the other, possibly while
  // this pass lists them; after a change a second look finds the rest, so that plugging it in
  // gives one message, not one in this pass and another in the next.
  if (changed) lookAtBoth();
  if (outs) outNames_ = std::move(freshOuts);
  if (ins) inNames_ = std::move(freshIns);
  // One message however much changed: the browser asks for the lists itself.
  if (report) postMessage(MessageKind::kConnection, "[\"connection\"]");
  if (outs) listed.outNames = outNames_;
  if (ins) listed.inNames = inNames_;
  return listed;
}
