// Fault injection for tests.
//
// Every allocation made through tqbMalloc/tqbRealloc (and the creation of locks, events,
// counters and pools) and every file operation of npfio asks this module whether it
// should fail.  Nothing fails unless a test arms a fault: tqFaultArm(op, n, mode) makes
// the n-th call of that operation (counted from the arming, 1-based) fail, or come back
// short for reads and writes.  Counters are atomic, so faults can be armed while pool
// threads run; the n-th call is whichever thread makes it.
//
// The module is inert in production: one relaxed atomic load per call.
#ifndef TQ_PLATFORM_TQFAULT_H
#define TQ_PLATFORM_TQFAULT_H

#include <cstdint>

enum class TqFaultOp : int {
  Alloc = 0,     // tqbMalloc / tqbRealloc and resource creation
  TmpFile,       // np_fio_tmpfile
  Open,          // np_fio_open
  Read,          // np_fio_getb
  Write,         // np_fio_putb
  Seek,          // np_fio_seek64
  Trunc,         // np_fio_trunc
  BufMode,       // np_fio_bufmode
  DirOpen,       // np_dir_open
  PoolStart,     // TqbThreadPool::start
  PoolEnqueue,   // TqbThreadPool::enqueue
  Flush,         // npfio writing its buffer to the file (half the bytes get through)
  Refill,        // npfio refilling its read buffer from the file
  Close,         // np_fio_close
  Count_
};

enum class TqFaultMode : int {
  None = 0,
  Fail,   // the call fails
  Short,  // reads and writes transfer fewer bytes than asked (other calls fail)
};

// Arms `op` so that its nth call from now fails in `mode`.  With `sticky`, every call
// from the nth on fails until disarmed.  Resets the call counter of `op`.
void tqFaultArm(TqFaultOp op, int64_t nth, TqFaultMode mode = TqFaultMode::Fail,
                bool sticky = false);
// Disarms every operation and resets every call counter.
void tqFaultReset();
// Calls of `op` since the last arm or reset.
int64_t tqFaultCalls(TqFaultOp op);
// Faults delivered since the last reset (all operations).
int64_t tqFaultsDelivered();
// Called by the platform on every operation: the fault to deliver, or None.
TqFaultMode tqFaultCheck(TqFaultOp op);

#endif
