// Locks, manual-reset events and atomic counters.
//
// Handles are opaque pointer-sized values; 0 means the object was not created (the
// creation functions return 0 when memory is short).  Locks are exclusive and not
// re-entrant.  An event starts unsignalled, stays signalled after tqEventPost until
// tqEventClear, and wakes every waiter.  Counters are 32-bit and every operation on one
// is atomic with respect to the others.
#ifndef TQ_PLATFORM_TQSYNC_H
#define TQ_PLATFORM_TQSYNC_H

#include <atomic>
#include <cstdint>
#include <mutex>

#include "tqthread_annotations.h"

typedef uintptr_t TqLock;
typedef uintptr_t TqEvent;

struct TqAtom {
  std::atomic<int32_t> value{0};
};

TqLock tqLockCreate(int flags, int spin);
// Waits until the lock is held (both arguments are 1: exclusive, wait).
void tqLockGet(TqLock lock, int exclusive, int wait);
void tqLockRelease(TqLock lock);
void tqLockDestroy(TqLock lock);

// A lock over a TqLock handle that Clang's thread-safety analysis knows as a lock, so
// that fields and functions can name it (TQ_GUARDED_BY, TQ_REQUIRES).  Not created
// until create(); destroy() is explicit, as with the handle.
class TQ_CAPABILITY("mutex") TqMutex {
 public:
  // False when the lock cannot be made (memory short).
  bool create() {
    handle_ = tqLockCreate(0, 0);
    return handle_ != 0;
  }
  bool created() const { return handle_ != 0; }
  void lock() TQ_ACQUIRE() { tqLockGet(handle_, 1, 1); }
  void unlock() TQ_RELEASE() { tqLockRelease(handle_); }
  // Tells the analysis that the caller holds the lock where it cannot see that.
  void assertHeld() const TQ_ASSERT_CAPABILITY(this) {}
  void destroy() {
    if (handle_ != 0) tqLockDestroy(handle_);
    handle_ = 0;
  }

 private:
  TqLock handle_ = 0;
};

// A std::mutex that the analysis knows as a lock, for code that waits on condition
// variables: TqStdLock holds it for a scope and hands its std::unique_lock to wait().
class TQ_CAPABILITY("mutex") TqStdMutex {
 public:
  void lock() TQ_ACQUIRE() { mutex_.lock(); }
  void unlock() TQ_RELEASE() { mutex_.unlock(); }
  // Tells the analysis that the caller holds the lock where it cannot see that (a
  // lambda run by a function that holds it).
  void assertHeld() const TQ_ASSERT_CAPABILITY(this) {}
  std::mutex& native() { return mutex_; }

 private:
  std::mutex mutex_;
};

// Holds a TqStdMutex from construction to destruction, and may let go of it for a while
// (unlock, then lock).  A condition variable waits through unique(): the wait releases
// the mutex and takes it again before it returns, so the scope holds it throughout.
class TQ_SCOPED_CAPABILITY TqStdLock {
 public:
  explicit TqStdLock(TqStdMutex& mutex) TQ_ACQUIRE(mutex) : lock_(mutex.native()) {}
  ~TqStdLock() TQ_RELEASE() {}
  TqStdLock(const TqStdLock&) = delete;
  TqStdLock& operator=(const TqStdLock&) = delete;
  void lock() TQ_ACQUIRE() { lock_.lock(); }
  void unlock() TQ_RELEASE() { lock_.unlock(); }
  // The same for a function handed the lock of its caller (which holds `mutex`, the one
  // this lock was made with): the analysis sees the mutex released and taken again.
  void unlockFor(TqStdMutex& mutex) TQ_RELEASE(mutex) TQ_NO_THREAD_SAFETY_ANALYSIS {
    (void)mutex;
    lock_.unlock();
  }
  void lockFor(TqStdMutex& mutex) TQ_ACQUIRE(mutex) TQ_NO_THREAD_SAFETY_ANALYSIS {
    (void)mutex;
    lock_.lock();
  }
  std::unique_lock<std::mutex>& unique() { return lock_; }

 private:
  std::unique_lock<std::mutex> lock_;
};

TqEvent tqEventCreate(int flags);
void tqEventPost(TqEvent event, int flags);
void tqEventClear(TqEvent event);
// Waits for events[0] up to `timeoutMs` milliseconds (count must be 1).  Returns 0 when
// the event is signalled, 1 on time-out; `index` receives 0 when signalled.
int tqEventWait(int count, TqEvent* events, int waitAll, int timeoutMs, int flags, int* index);
void tqEventDestroy(TqEvent event);

// Returns 0 on success (non-zero only when fault injection refuses it).
int tqAtomInit(TqAtom* atom, int32_t value);
int32_t tqAtomGet(TqAtom* atom);
// Adds one; returns the new value.
int32_t tqAtomAdd(TqAtom* atom);
// Subtracts one; returns the new value.
int32_t tqAtomSub(TqAtom* atom);
// ORs `bits` in; returns the new value.
int32_t tqAtomOr(TqAtom* atom, int32_t bits);
// Stores `replacement` if the counter holds `expected`; returns the value seen.
int32_t tqAtomSet(TqAtom* atom, int32_t expected, int32_t replacement);
void tqAtomDestroy(TqAtom* atom);

#endif
