#include "tqsync.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "tqballoc.h"
#include "tqfault.h"

namespace {

struct Event {
  std::mutex mutex;
  std::condition_variable cv;
  bool signalled = false;  // guarded by mutex
};

}  // namespace

TqLock tqLockCreate(int flags, int spin) {
  (void)flags;
  (void)spin;
  return reinterpret_cast<TqLock>(tqbNew<std::mutex>());
}

void tqLockGet(TqLock lock, int exclusive, int wait) {
  (void)exclusive;
  (void)wait;
  reinterpret_cast<std::mutex*>(lock)->lock();
}

void tqLockRelease(TqLock lock) { reinterpret_cast<std::mutex*>(lock)->unlock(); }

void tqLockDestroy(TqLock lock) { tqbDelete(reinterpret_cast<std::mutex*>(lock)); }

TqEvent tqEventCreate(int flags) {
  (void)flags;
  return reinterpret_cast<TqEvent>(tqbNew<Event>());
}

void tqEventPost(TqEvent event, int flags) {
  (void)flags;
  Event* e = reinterpret_cast<Event*>(event);
  {
    std::lock_guard<std::mutex> guard(e->mutex);
    e->signalled = true;
  }
  e->cv.notify_all();
}

void tqEventClear(TqEvent event) {
  Event* e = reinterpret_cast<Event*>(event);
  std::lock_guard<std::mutex> guard(e->mutex);
  e->signalled = false;
}

int tqEventWait(int count, TqEvent* events, int waitAll, int timeoutMs, int flags, int* index) {
  (void)count;
  (void)waitAll;
  (void)flags;
  Event* e = reinterpret_cast<Event*>(events[0]);
  std::unique_lock<std::mutex> guard(e->mutex);
  bool ok = e->cv.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                           [e] { return e->signalled; });
  if (index != nullptr) *index = ok ? 0 : -1;
  return ok ? 0 : 1;
}

void tqEventDestroy(TqEvent event) { tqbDelete(reinterpret_cast<Event*>(event)); }

int tqAtomInit(TqAtom* atom, int32_t value) {
  // Creating a counter counts as an allocation for fault injection.
  if (tqFaultCheck(TqFaultOp::Alloc) != TqFaultMode::None) return 1;
  atom->value.store(value);
  return 0;
}

int32_t tqAtomGet(TqAtom* atom) { return atom->value.load(); }
int32_t tqAtomAdd(TqAtom* atom) { return atom->value.fetch_add(1) + 1; }
int32_t tqAtomSub(TqAtom* atom) { return atom->value.fetch_sub(1) - 1; }
int32_t tqAtomOr(TqAtom* atom, int32_t bits) { return atom->value.fetch_or(bits) | bits; }

int32_t tqAtomSet(TqAtom* atom, int32_t expected, int32_t replacement) {
  int32_t seen = expected;
  atom->value.compare_exchange_strong(seen, replacement);
  return seen;
}

void tqAtomDestroy(TqAtom* atom) { atom->value.store(0); }
