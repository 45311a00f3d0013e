// Windows kernel objects: mutexes with Windows semantics (recursive, owned by a thread), threads
// whose handles can be waited on, Sleep, and the millisecond clock.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/sim/sim_control.h"
#include "platform/winapi.h"

namespace {

class KernelObject {
 public:
  virtual ~KernelObject() = default;
  virtual DWORD wait(DWORD milliseconds) = 0;
  // Releases a mutex; any other object cannot be released.
  virtual bool release() { return false; }
};

template <typename Predicate>
bool waitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, DWORD milliseconds,
             Predicate ready) {
  if (milliseconds == INFINITE) {
    cv.wait(lock, ready);
    return true;
  }
  return cv.wait_for(lock, std::chrono::milliseconds(milliseconds), ready);
}

// A Windows mutex. Taking it when it is free, taking it again and releasing it touch one atomic
// (a Windows mutex costs a system call there; here the host's every frame takes one, so it is
// kept cheap); only a thread that must wait takes the inner mutex and sleeps.
class MutexObject : public KernelObject {
 public:
  DWORD wait(DWORD milliseconds) override {
    const std::thread::id self = std::this_thread::get_id();
    // Only the owner itself can have stored its own id, so this read needs no order.
    if (owner_.load(std::memory_order_relaxed) == self) {
      ++count_;
      return WAIT_OBJECT_0;
    }
    if (!tryTake(self)) {
      std::unique_lock<std::mutex> lock(mutex_);
      // Counted before the owner is looked at again, and the releaser looks at the count after
      // it has let go: either this thread sees the mutex free or the releaser sees it waiting.
      waiting_.fetch_add(1);
      const bool taken = waitFor(released_, lock, milliseconds, [&] { return tryTake(self); });
      waiting_.fetch_sub(1);
      if (!taken) return WAIT_TIMEOUT;
    }
    count_ = 1;
    return WAIT_OBJECT_0;
  }

  bool release() override {
    // Only the owner may release a Windows mutex.
    if (owner_.load(std::memory_order_relaxed) != std::this_thread::get_id()) return false;
    if (--count_ > 0) return true;
    owner_.store(std::thread::id());
    if (waiting_.load() > 0) {
      // Taken and let go so that a waiter between its look and its sleep is not missed.
      { std::lock_guard<std::mutex> lock(mutex_); }
      released_.notify_one();
    }
    return true;
  }

 private:
  bool tryTake(std::thread::id self) {
    std::thread::id free;
    return owner_.compare_exchange_strong(free, self);
  }

  std::atomic<std::thread::id> owner_{};  // no thread's id while the mutex is free
  unsigned count_ = 0;                    // used by the owner only
  std::atomic<int> waiting_{0};           // threads waiting for the mutex
  std::mutex mutex_;                      // what a waiting thread sleeps on
  std::condition_variable released_;
};

// A Windows event: signalled by SetEvent, waited for like any object; an auto-reset event lets one
// waiter through and is unsignalled again.
class EventObject : public KernelObject {
 public:
  EventObject(bool manualReset, bool signalled) : manual_(manualReset), signalled_(signalled) {}
  DWORD wait(DWORD milliseconds) override {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!waitFor(set_, lock, milliseconds, [&] { return signalled_; })) return WAIT_TIMEOUT;
    if (!manual_) signalled_ = false;
    return WAIT_OBJECT_0;
  }
  void set() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      signalled_ = true;
    }
    set_.notify_all();
  }

 private:
  const bool manual_;
  std::mutex mutex_;  // guards signalled_
  std::condition_variable set_;
  bool signalled_;
};

// What a thread and the holders of its handle share: whether it has ended.
std::atomic<int> threadsStarted{0};
std::atomic<int> threadsLive{0};
std::atomic<int> threadsPeak{0};

void noteThreadStart() {
  threadsStarted.fetch_add(1);
  const int live = threadsLive.fetch_add(1) + 1;
  int peak = threadsPeak.load();
  while (live > peak && !threadsPeak.compare_exchange_weak(peak, live)) {
  }
}

struct ThreadState {
  std::mutex mutex;  // guards done
  std::condition_variable ended;
  bool done = false;
};

class ThreadObject : public KernelObject {
 public:
  explicit ThreadObject(std::shared_ptr<ThreadState> state) : state_(std::move(state)) {}
  DWORD wait(DWORD milliseconds) override {
    std::unique_lock<std::mutex> lock(state_->mutex);
    return waitFor(state_->ended, lock, milliseconds, [&] { return state_->done; }) ? WAIT_OBJECT_0
                                                                                    : WAIT_TIMEOUT;
  }

 private:
  std::shared_ptr<ThreadState> state_;
};

using SteadyClock = std::chrono::steady_clock;

// timeGetTime() = clock value set at `clockSetAt` plus the milliseconds since.
std::atomic<std::uint32_t> clockValue{0x00100000};
std::atomic<SteadyClock::rep> clockSetAt{SteadyClock::now().time_since_epoch().count()};
// The step of the clock without a request for 1 ms, and the number of such requests.
std::atomic<DWORD> clockTick{0};
std::atomic<int> fineRequests{0};

}  // namespace

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCWSTR) {
  auto* mutex = new MutexObject();
  if (bInitialOwner) mutex->wait(INFINITE);
  return static_cast<KernelObject*>(mutex);
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR) {
  return static_cast<KernelObject*>(new EventObject(bManualReset != 0, bInitialState != 0));
}

BOOL SetEvent(HANDLE hEvent) {
  auto* event = dynamic_cast<EventObject*>(static_cast<KernelObject*>(hEvent));
  if (event == nullptr) return FALSE;
  event->set();
  return TRUE;
}

BOOL ReleaseMutex(HANDLE hMutex) {
  if (hMutex == nullptr) return FALSE;
  return static_cast<KernelObject*>(hMutex)->release() ? TRUE : FALSE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  if (hHandle == nullptr) return WAIT_FAILED;
  return static_cast<KernelObject*>(hHandle)->wait(dwMilliseconds);
}

BOOL CloseHandle(HANDLE hObject) {
  if (hObject == nullptr) return FALSE;
  delete static_cast<KernelObject*>(hObject);
  return TRUE;
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE lpStartAddress,
                    LPVOID lpParameter, DWORD, LPDWORD lpThreadId) {
  auto state = std::make_shared<ThreadState>();
  noteThreadStart();
  try {
    std::thread([state, lpStartAddress, lpParameter] {
      lpStartAddress(lpParameter);
      // Counted out before it counts as ended, so that a wait for its end sees the count.
      threadsLive.fetch_sub(1);
      std::lock_guard<std::mutex> lock(state->mutex);
      state->done = true;
      state->ended.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    threadsStarted.fetch_sub(1);
    threadsLive.fetch_sub(1);
    return nullptr;
  }
  if (lpThreadId != nullptr) *lpThreadId = 0;
  return static_cast<KernelObject*>(new ThreadObject(state));
}

namespace {

// The clock before it is rounded down to the timer's tick.
DWORD exactTime() {
  auto now = SteadyClock::now().time_since_epoch();
  auto setAt = SteadyClock::duration(clockSetAt.load());
  auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - setAt).count();
  return static_cast<DWORD>(clockValue.load() + static_cast<std::uint64_t>(elapsed));
}

// The timer's step while no program has asked for 1 ms, or 0 when it steps every millisecond.
DWORD coarseTick() {
  const DWORD tick = clockTick.load();
  return tick > 1 && fineRequests.load() <= 0 ? tick : 0;
}

}  // namespace

void Sleep(DWORD dwMilliseconds) {
  DWORD wait = dwMilliseconds;
  // A sleep ends on a tick of the timer, as on Windows: with the default tick of about 15.6 ms
  // even Sleep(1) lasts a whole tick.
  if (const DWORD tick = coarseTick(); tick != 0 && wait != 0) {
    const DWORD now = exactTime();
    const DWORD target = now + wait;
    wait += (tick - target % tick) % tick;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(wait));
}

DWORD timeGetTime() {
  DWORD value = exactTime();
  if (const DWORD tick = coarseTick(); tick != 0) value -= value % tick;
  return value;
}

namespace sim {

void setClock(DWORD now) {
  clockSetAt.store(SteadyClock::now().time_since_epoch().count());
  clockValue.store(now);
}

void setClockTick(DWORD milliseconds) { clockTick.store(milliseconds); }

void changePeriodRequests(UINT period, int change) {
  if (period == 1) fineRequests.fetch_add(change);
}

ThreadCounts threadCounts() {
  return ThreadCounts{threadsStarted.load(), threadsLive.load(), threadsPeak.load()};
}

void resetThreadPeak() { threadsPeak.store(threadsLive.load()); }

}  // namespace sim
