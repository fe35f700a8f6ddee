// A fixed-size thread pool for work items.
//
// Contract: for every item that enqueue() accepted, the pool calls exactly one of
// work(false, worker) and failure(cancelled), once, on one of its threads, and never
// touches the item afterwards (both end by destroying it).  quiesce() returns when
// every queued and running item has finished; with `cancelQueued` the items still
// queued get failure(true) instead of work, with `stopRunning` the running ones see
// stopRequested() true.  reset() makes a quiesced pool accept and run work normally
// again.  Destroying the pool cancels what is queued and joins its threads.
//
// start, enqueue, quiesce, reset and getStats are called by one owner thread; the
// items run on the pool's threads.
#ifndef TQ_PLATFORM_TQBTHREADPOOL_H
#define TQ_PLATFORM_TQBTHREADPOOL_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

// What the pool passes to a running item.
class TqbThreadPoolWorker {
 public:
  // Called once by the item when its work ends, before it destroys itself.
  virtual void finished(bool done) = 0;
  // Index of the pool thread, from 0.
  virtual int threadIndex() const = 0;
  // True when the pool wants running items to stop early.
  virtual bool stopRequested() const = 0;

 protected:
  ~TqbThreadPoolWorker() = default;
};

// Base of every unit of work handed to the pool.
class TqbThreadPoolWork {
 public:
  // Runs the item: on a pool thread (`onMain` false) or on the owner's thread
  // (`onMain` true, `worker` null).  Ends by destroying the item.
  virtual void work(bool onMain, TqbThreadPoolWorker* worker) = 0;
  // The pool gives the item up: `cancelled` tells a cancellation from a failure.  Ends
  // by destroying the item.
  virtual void failure(bool cancelled) = 0;
  // Destroys and frees an item that neither ran nor failed.
  virtual void destroy() = 0;
  virtual ~TqbThreadPoolWork() = default;
};

class TqbThreadPool {
 public:
  TqbThreadPool() = default;
  ~TqbThreadPool();
  TqbThreadPool(const TqbThreadPool&) = delete;
  TqbThreadPool& operator=(const TqbThreadPool&) = delete;

  // Starts `maximum` threads (at least `minimum`).  True when the pool runs.
  bool start(int minimum, int maximum, int flags);
  // Queues the item; false when the pool did not take it (not started, or refused).
  bool enqueue(TqbThreadPoolWork* work, bool flag);
  // What quiesce does with the work not yet done before it waits for the pool to idle.
  enum class Drain {
    finishAll,  // queued items run and running ones go on to their end
    cancelAll,  // queued items are cancelled, running ones are asked to stop
  };
  void quiesce(Drain drain);
  void reset();
  // Figures since start: requests processed (work or failure), the most requests ever
  // queued at once, the most threads.  Pointers may be null.  False before start.
  bool getStats(int64_t* processed, int64_t* failed, int32_t* queued, int32_t* threads,
                int32_t* active, int64_t* reserved, int32_t* maxQueued, int32_t* maxThreads);

 private:
  class Worker;
  void run(int index);

  std::mutex mutex_;                 // guards every field below
  std::condition_variable wake_;     // work queued, or shutting down
  std::condition_variable idle_;     // an item finished
  std::deque<TqbThreadPoolWork*> queue_;
  std::vector<std::thread> threads_;
  int active_ = 0;                   // items running now
  bool cancelling_ = false;          // queued items get failure(true)
  std::atomic<bool> stopping_{false};  // running items see stopRequested(); read unlocked
  bool shutdown_ = false;
  bool started_ = false;
  int64_t processed_ = 0;
  int64_t failed_ = 0;
  int32_t maxQueued_ = 0;
};

#endif
