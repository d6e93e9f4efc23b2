// Mutexes and lock guards the compiler can check. clang's thread-safety
// analysis (-Wthread-safety, on in every clang build) reads the annotations
// below: a field marked GUARDED_BY(m) may only be touched while m is held, a
// function marked REQUIRES(m) only be called with m held, one marked
// EXCLUDES(m) only without it. A broken rule is a compile error in the clang
// build with -Werror; g++ ignores the annotations.
//
// TMutex and TRecursiveMutex wrap the standard mutexes with annotated
// operations; TLockGuard holds one for a scope, TUniqueLock too but can be
// handed to std::condition_variable_any, which unlocks it while it waits.
// Like the standard types they may be used from any thread; a lock is released
// by the thread that took it.
#pragma once

#include <mutex>

#if defined(__clang__)
#define ORLO_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ORLO_THREAD_ANNOTATION(x)
#endif

// A type whose objects are locks (the mutexes below).
#define CAPABILITY(x) ORLO_THREAD_ANNOTATION(capability(x))
// A type that holds a lock for its lifetime (the guards below).
#define SCOPED_CAPABILITY ORLO_THREAD_ANNOTATION(scoped_lockable)
// The field is read and written only while the lock is held.
#define GUARDED_BY(x) ORLO_THREAD_ANNOTATION(guarded_by(x))
// What the pointer field points to is used only while the lock is held.
#define PT_GUARDED_BY(x) ORLO_THREAD_ANNOTATION(pt_guarded_by(x))
// The caller must hold the locks.
#define REQUIRES(...) ORLO_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// The caller must not hold the locks (the function takes them).
#define EXCLUDES(...) ORLO_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// The function takes the locks (none named: the object itself) and returns with them held.
#define ACQUIRE(...) ORLO_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
// The function releases the locks (none named: the object itself).
#define RELEASE(...) ORLO_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// The function takes the lock when it returns the first argument.
#define TRY_ACQUIRE(...) ORLO_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
// The function returns a reference to the lock.
#define RETURN_CAPABILITY(x) ORLO_THREAD_ANNOTATION(lock_returned(x))
// The function is not checked: for lock use the analysis cannot follow (say why).
#define NO_THREAD_SAFETY_ANALYSIS ORLO_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace orlo {

template <class M>
class CAPABILITY("mutex") TBasicMutex {
 public:
  TBasicMutex() = default;
  TBasicMutex(const TBasicMutex&) = delete;
  TBasicMutex& operator=(const TBasicMutex&) = delete;

  void Lock() ACQUIRE() { m_.lock(); }
  void Unlock() RELEASE() { m_.unlock(); }
  // Takes the lock only when it is free; true when taken.
  bool TryLock() TRY_ACQUIRE(true) { return m_.try_lock(); }

 private:
  M m_;
};

using TMutex = TBasicMutex<std::mutex>;
// The same thread may take it again while it holds it (the analysis does not
// allow that within one function, so a nested take stays in a callee).
using TRecursiveMutex = TBasicMutex<std::recursive_mutex>;

// Holds the mutex from construction to the end of the scope. Constructed with
// std::adopt_lock it takes over a lock the caller holds already (after a
// successful TryLock).
template <class M>
class SCOPED_CAPABILITY TLockGuard {
 public:
  explicit TLockGuard(M& m) ACQUIRE(m) : m_(m) { m_.Lock(); }
  TLockGuard(M& m, std::adopt_lock_t) REQUIRES(m) : m_(m) {}
  ~TLockGuard() RELEASE() { m_.Unlock(); }
  TLockGuard(const TLockGuard&) = delete;
  TLockGuard& operator=(const TLockGuard&) = delete;

 private:
  M& m_;
};

// Holds the mutex like TLockGuard, and may release and take it again within
// the scope: lock and unlock make it BasicLockable, so
// std::condition_variable_any can wait on it. A wait releases the mutex and
// holds it again when it returns, so for the analysis it is held throughout.
template <class M>
class SCOPED_CAPABILITY TUniqueLock {
 public:
  explicit TUniqueLock(M& m) ACQUIRE(m) : m_(m) { m_.Lock(); }
  ~TUniqueLock() RELEASE() {
    if (owns_) m_.Unlock();
  }
  TUniqueLock(const TUniqueLock&) = delete;
  TUniqueLock& operator=(const TUniqueLock&) = delete;

  void lock() ACQUIRE() {
    m_.Lock();
    owns_ = true;
  }
  void unlock() RELEASE() {
    m_.Unlock();
    owns_ = false;
  }

 private:
  M& m_;
  bool owns_ = true;
};

}  // namespace orlo
