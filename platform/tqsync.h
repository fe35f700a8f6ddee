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
