#include "tqbthreadpool.h"

#include <system_error>

#include "tqfault.h"

class TqbThreadPool::Worker final : public TqbThreadPoolWorker {
 public:
  Worker(TqbThreadPool* pool, int index) : pool_(pool), index_(index) {}
  void finished(bool done) override { (void)done; }
  int threadIndex() const override { return index_; }
  bool stopRequested() const override {
    return pool_->stopping_.load(std::memory_order_relaxed);
  }

 private:
  TqbThreadPool* pool_;
  int index_;
};

TqbThreadPool::~TqbThreadPool() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    shutdown_ = true;
    cancelling_ = true;
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : threads_) t.join();
}

bool TqbThreadPool::start(int minimum, int maximum, int flags) {
  (void)flags;
  if (started_) return true;
  if (tqFaultCheck(TqFaultOp::PoolStart) != TqFaultMode::None) return false;
  int count = maximum > minimum ? maximum : minimum;
  if (count < 1) count = 1;
  try {
    threads_.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) threads_.emplace_back(&TqbThreadPool::run, this, i);
  } catch (const std::system_error&) {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      shutdown_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : threads_) t.join();
    threads_.clear();
    shutdown_ = false;
    return false;
  }
  started_ = true;
  return true;
}

bool TqbThreadPool::enqueue(TqbThreadPoolWork* work, bool flag) {
  (void)flag;
  if (tqFaultCheck(TqFaultOp::PoolEnqueue) != TqFaultMode::None) return false;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!started_ || shutdown_) return false;
    queue_.push_back(work);
    if (static_cast<int32_t>(queue_.size()) > maxQueued_) {
      maxQueued_ = static_cast<int32_t>(queue_.size());
    }
  }
  wake_.notify_one();
  return true;
}

void TqbThreadPool::run(int index) {
  Worker worker(this, index);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return shutdown_ || !queue_.empty(); });
    if (queue_.empty()) return;  // shutting down with nothing left
    TqbThreadPoolWork* item = queue_.front();
    queue_.pop_front();
    bool cancel = cancelling_;
    ++active_;
    lock.unlock();
    if (cancel) {
      item->failure(true);
    } else {
      item->work(false, &worker);
    }
    lock.lock();
    --active_;
    ++processed_;
    if (cancel) ++failed_;
    if (active_ == 0 && queue_.empty()) idle_.notify_all();
  }
}

void TqbThreadPool::quiesce(Drain drain) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (drain == Drain::cancelAll) {
    cancelling_ = true;
    stopping_ = true;
  }
  if (!started_) return;
  idle_.wait(lock, [this] { return active_ == 0 && queue_.empty(); });
}

void TqbThreadPool::reset() {
  std::lock_guard<std::mutex> guard(mutex_);
  cancelling_ = false;
  stopping_ = false;
}

bool TqbThreadPool::getStats(int64_t* processed, int64_t* failed, int32_t* queued,
                             int32_t* threads, int32_t* active, int64_t* reserved,
                             int32_t* maxQueued, int32_t* maxThreads) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (!started_) return false;
  if (processed) *processed = processed_;
  if (failed) *failed = failed_;
  if (queued) *queued = static_cast<int32_t>(queue_.size());
  if (threads) *threads = static_cast<int32_t>(threads_.size());
  if (active) *active = active_;
  if (reserved) *reserved = 0;
  if (maxQueued) *maxQueued = maxQueued_;
  if (maxThreads) *maxThreads = static_cast<int32_t>(threads_.size());
  return true;
}
