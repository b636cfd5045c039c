// Lock annotations that clang checks with -Wthread-safety (and that expand
// to nothing elsewhere), and the mutex and scoped lock that carry them:
// libstdc++'s std::mutex is not annotated.
#ifndef TARNLINK_PLATFORM_THREAD_ANNOTATIONS_H_
#define TARNLINK_PLATFORM_THREAD_ANNOTATIONS_H_

#include <mutex>

#if defined(__clang__)
#define TARNLINK_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TARNLINK_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) TARNLINK_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY TARNLINK_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) TARNLINK_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) TARNLINK_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) TARNLINK_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) TARNLINK_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) TARNLINK_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) TARNLINK_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) TARNLINK_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) TARNLINK_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) TARNLINK_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) TARNLINK_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS TARNLINK_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace tarnlink {

// std::mutex with the capability attribute.
class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mu_.lock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mu_.try_lock(); }
  void unlock() RELEASE() { mu_.unlock(); }

 private:
  friend class MutexLock;
  std::mutex mu_;
};

// std::recursive_mutex with the capability attribute: for a lock that a
// callback run under it may take again.
class CAPABILITY("mutex") RecursiveMutex {
 public:
  RecursiveMutex() = default;
  RecursiveMutex(const RecursiveMutex&) = delete;
  RecursiveMutex& operator=(const RecursiveMutex&) = delete;

  void lock() ACQUIRE() { mu_.lock(); }
  void unlock() RELEASE() { mu_.unlock(); }

 private:
  std::recursive_mutex mu_;
};

// Holds a Mutex for its scope. A condition variable waits on native(); the
// analysis then treats the mutex as held throughout, as the caller sees it.
// Wait in explicit loops: a predicate lambda is analysed as a function of
// its own, outside the lock.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mu) ACQUIRE(mu) : lock_(mu.mu_) {}
  // Takes over a lock already held (after a successful try_lock).
  MutexLock(Mutex& mu, std::adopt_lock_t) REQUIRES(mu) : lock_(mu.mu_, std::adopt_lock) {}
  ~MutexLock() RELEASE() {}
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  std::unique_lock<std::mutex>& native() { return lock_; }

 private:
  std::unique_lock<std::mutex> lock_;
};

class SCOPED_CAPABILITY RecursiveMutexLock {
 public:
  explicit RecursiveMutexLock(RecursiveMutex& mu) ACQUIRE(mu) : mu_(mu) { mu_.lock(); }
  ~RecursiveMutexLock() RELEASE() { mu_.unlock(); }
  RecursiveMutexLock(const RecursiveMutexLock&) = delete;
  RecursiveMutexLock& operator=(const RecursiveMutexLock&) = delete;

 private:
  RecursiveMutex& mu_;
};

}  // namespace tarnlink

#endif  // TARNLINK_PLATFORM_THREAD_ANNOTATIONS_H_
