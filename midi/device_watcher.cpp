// The device watcher: while the browser watches, a thread of its own looks at the port names after
// every 100 ms pause and sends ["connection"] when a name has appeared or disappeared. The same
// thread runs while a port is open, idle until that port's device goes away; it then looks every
// 100 ms for a device of the same name and opens it again.
#include "midi/device_watcher.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <set>
#include <utility>

#include "midi/cmidi.h"
#include "midi/message_sink.h"
#include "midi/trace_log.h"

namespace melvix {

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

bool isOutputKind(WatchKind kind) {
  return kind == WatchKind::OutAdded || kind == WatchKind::OutRemoved;
}

// Each name that came or went between two looks, for the trace.
void traceChanges(TraceLog& trace, const std::vector<WideString>& before,
                  const std::vector<WideString>& after, bool outputs) {
  const std::set<WideString> old(before.begin(), before.end());
  const std::set<WideString> fresh(after.begin(), after.end());
  for (const WideString& name : fresh) {
    if (old.count(name) == 0) trace.Event(outputs ? "output added" : "input added", name);
  }
  for (const WideString& name : old) {
    if (fresh.count(name) == 0) trace.Event(outputs ? "output removed" : "input removed", name);
  }
}

}  // namespace

// What belongs to one running thread. Made and registered before the thread starts.
struct DeviceWatcher::Thread {
  bool stop = false;  // guarded by guard_
  // Set by KeepRunning under the watch guard; waited for and closed by the Stop that took the
  // thread's state out of thread_, which no other thread then reaches.
  HANDLE handle = nullptr;
};

DeviceWatcher::DeviceWatcher(CMidi& midi)
    : midi_(midi), wake_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

DeviceWatcher::~DeviceWatcher() {
  if (wake_ != nullptr) CloseHandle(wake_);
}

bool DeviceWatcher::Watching(WatchKind kind) const { return watch_[watchIndex(kind)]; }

bool DeviceWatcher::AnyWatch() const {
  return std::any_of(std::begin(watch_), std::end(watch_), [](bool on) { return on; });
}

void DeviceWatcher::SetWatch(WatchKind kind, bool on, bool portsOpen) {
  {
    MutexLock guard(guard_);
    if (Watching(kind) == on) return;
    if (on) {
      // A direction's names are taken when it starts being watched, so that what changed before
      // is not reported.
      if (isOutputKind(kind) && !Watching(WatchKind::OutAdded) &&
          !Watching(WatchKind::OutRemoved)) {
        outNames_ = midi_.ListOuts();
      }
      if (!isOutputKind(kind) && !Watching(WatchKind::InAdded) && !Watching(WatchKind::InRemoved)) {
        inNames_ = midi_.ListIns();
      }
    }
    watch_[watchIndex(kind)] = on;
  }
  KeepRunning(portsOpen);
  // A thread that stood by, idle, for a port that is open or was open before, looks every 100 ms
  // from now on.
  if (on && wake_ != nullptr) SetEvent(wake_);
}

void DeviceWatcher::KeepRunning(bool portsOpen) {
  {
    MutexLock guard(guard_);
    const bool wanted = portsOpen || AnyWatch();
    if (wanted == (thread_ != nullptr)) return;
    if (wanted) {
      // The previous thread, if any, has ended (Stop waits for it), so the one that the new
      // thread finds here is its own.
      thread_ = std::make_shared<Thread>();
      thread_->handle = midi_.StartThread(&DeviceWatcher::Run);
      // Without a thread nothing is ever reported, and a port that goes away stays away.
      if (thread_->handle == nullptr) thread_.reset();
      return;
    }
  }
  Stop();
}

void DeviceWatcher::PortGone() {
  portGone_.store(true);
  if (wake_ != nullptr) SetEvent(wake_);
}

void DeviceWatcher::Stop() {
  std::shared_ptr<Thread> ending;
  {
    MutexLock guard(guard_);
    std::fill(std::begin(watch_), std::end(watch_), false);
    ending = std::move(thread_);
    if (ending) ending->stop = true;
  }
  if (!ending) return;
  if (wake_ != nullptr) SetEvent(wake_);
  // Waited for without the guard, which the thread needs to finish a pass under way. Once it has
  // ended, a new watch may start a new thread and nothing of this one touches the object again.
  WaitForSingleObject(ending->handle, INFINITE);
  CloseHandle(ending->handle);
}

// Runs on the watcher thread.
void DeviceWatcher::Run(CMidi& midi) { midi.Watcher().Loop(); }

// Runs on the watcher thread.
void DeviceWatcher::Loop() {
  MutexLock held(guard_);
  // Null when the watch ended before this thread got the guard; it then has nothing to do.
  const std::shared_ptr<Thread> self = thread_;
  if (!self) return;
  while (!self->stop) {
    const ListedNames listed = Pass();
    // The ports are looked after without the guard, which an open may need.
    if (portAway_ || portGone_.exchange(false) || listed.outs || listed.ins) {
      held.unlock();
      portAway_ = midi_.LookAfterPorts(listed);
      held.lock();
    }
    Pause(self->stop);
  }
}

// Runs on the watcher thread with the guard held.
void DeviceWatcher::Pause(const bool& stop) {
  if (stop) return;
  // With no watch on and no port away there is nothing to look at until one of them begins; the
  // thread then costs nothing.
  const bool idle = !AnyWatch() && !portAway_ && !portGone_.load();
  guard_.unlock();
  WaitForSingleObject(wake_, idle ? INFINITE : static_cast<DWORD>(kWatchPause.count()));
  guard_.lock();
}

// Runs on the watcher thread with the guard held.
ListedNames DeviceWatcher::Pass() {
  // A direction is listed whenever either of its kinds is watched, so that the stored names
  // follow every change and each change is reported once.
  ListedNames listed;
  listed.outs = Watching(WatchKind::OutAdded) || Watching(WatchKind::OutRemoved);
  listed.ins = Watching(WatchKind::InAdded) || Watching(WatchKind::InRemoved);
  if (!listed.outs && !listed.ins) return listed;
  const bool outs = listed.outs;
  const bool ins = listed.ins;
  std::vector<WideString> freshOuts;
  std::vector<WideString> freshIns;
  bool changed = false;
  bool report = false;
  const auto look = [&](std::vector<WideString>& fresh, const std::vector<WideString>& stored,
                        std::vector<WideString> names, bool watchAdded, bool watchRemoved) {
    const NameChanges changes = compareNames(stored, names);
    changed = changed || changes.added || changes.removed;
    report = report || (watchAdded && changes.added) || (watchRemoved && changes.removed);
    fresh = std::move(names);
  };
  // A device with ports in both directions registers them one after the other, possibly while
  // this pass lists them; after a change a second look finds the rest, so that plugging it in
  // gives one message, not one in this pass and another in the next.
  for (int round = 0; round < 2 && (round == 0 || changed); ++round) {
    if (outs) {
      look(freshOuts, outNames_, midi_.ListOuts(), Watching(WatchKind::OutAdded),
           Watching(WatchKind::OutRemoved));
    }
    if (ins) {
      look(freshIns, inNames_, midi_.ListIns(), Watching(WatchKind::InAdded),
           Watching(WatchKind::InRemoved));
    }
  }
  // Traced once, from what the last look found.
  if (TraceLog* const trace = midi_.Trace(); trace != nullptr && changed) {
    if (outs) traceChanges(*trace, outNames_, freshOuts, true);
    if (ins) traceChanges(*trace, inNames_, freshIns, false);
  }
  if (outs) outNames_ = std::move(freshOuts);
  if (ins) inNames_ = std::move(freshIns);
  // One message however much changed: the browser asks for the lists itself.
  if (report) midi_.Post(MessageKind::kConnection, "[\"connection\"]");
  if (outs) listed.outNames = outNames_;
  if (ins) listed.inNames = inNames_;
  return listed;
}

}  // namespace melvix
