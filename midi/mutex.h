// A plain mutex that Clang's thread-safety analysis knows: members marked GUARDED_BY one of these,
// and functions marked REQUIRES it, fail to build (clang, -Wthread-safety) where the lock is not
// held. Other compilers see the same code without the checks.
#pragma once

#include <mutex>

#if defined(__clang__)
#define MELVIX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define MELVIX_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) MELVIX_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY MELVIX_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) MELVIX_THREAD_ANNOTATION(guarded_by(x))
#define REQUIRES(...) MELVIX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) MELVIX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) MELVIX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) MELVIX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RETURN_CAPABILITY(x) MELVIX_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS MELVIX_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace melvix {

class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

 private:
  friend class MutexLock;
  std::mutex mutex_;
};

// Holds a Mutex for its scope. It may let go for a while and take it again (unlock, lock), as a
// wait on a std::condition_variable does through Waitable(): the analysis sees the lock held
// across such a wait, which it is whenever the waiting thread runs.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : lock_(mutex.mutex_) {}
  ~MutexLock() RELEASE() {}
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void lock() ACQUIRE() { lock_.lock(); }
  void unlock() RELEASE() { lock_.unlock(); }
  std::unique_lock<std::mutex>& Waitable() { return lock_; }

 private:
  std::unique_lock<std::mutex> lock_;
};

}  // namespace melvix
