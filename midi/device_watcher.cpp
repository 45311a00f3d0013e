// The device watcher: while the browser watches, a thread of its own looks at the port names after
// every 100 ms pause and sends ["connection"] when a name has appeared or disappeared.
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

// What belongs to one watcher. Made and registered by SetWatch before the watcher's thread starts.
struct CMidi::Watcher {
  bool stop = false;        // guarded by watchGuard_
  HANDLE thread = nullptr;  // main thread only
};

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
      if (!AnyWatch()) {
        // The previous watcher, if any, has ended (StopWatcher waits for it), so the one that
        // the new thread finds here is its own.
        watcher_ = std::make_shared<Watcher>();
        watcher_->thread = StartThread(&CMidi::WatchDevices);
        // Without a thread the flags are set all the same and nothing is ever reported.
        if (watcher_->thread == nullptr) watcher_.reset();
      }
    }
    watch_[kind] = on;
    if (AnyWatch()) return;
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
  watcherWake_.notify_all();
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
    midi.WatchPass();
    midi.PauseWatcher(held, self->stop);
  }
}

// Runs on the watcher thread with watchGuard_ held.
void CMidi::PauseWatcher(std::unique_lock<std::mutex>& held, const bool& stop) {
  watcherWake_.wait_for(held, kWatchPause, [&stop] { return stop; });
}

// Runs on the watcher thread with watchGuard_ held.
void CMidi::WatchPass() {
  // A direction is listed whenever either of its kinds is watched, so that the stored names
  // follow every change and each change is reported once.
  const bool outs = watch_[OutAdded] || watch_[OutRemoved];
  const bool ins = watch_[InAdded] || watch_[InRemoved];
  std::vector<WideString> freshOuts;
  std::vector<WideString> freshIns;
  bool changed = false;
  bool report = false;
  const auto look = [&](std::vector<WideString>& fresh, const std::vector<WideString>& stored,
                        std::vector<WideString> listed, WatchKind added, WatchKind removed) {
    const NameChanges changes = compareNames(stored, listed);
    changed = changed || changes.added || changes.removed;
    report = report || (watch_[added] && changes.added) || (watch_[removed] && changes.removed);
    fresh = std::move(listed);
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
}
