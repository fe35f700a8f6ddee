#include "tqsort_pipeline.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <system_error>
#include <thread>

namespace tqsort {

namespace {

// The turns of one thread: a batch is added to the sort as soon as it is full, and two
// batches suffice (the one handed on, and the one the rest of its bytes start).
class InlineBatches : public BatchSink {
 public:
  InlineBatches(const std::vector<BatchConsumer*>& consumers, const BatchLimits& limits)
      : consumers_(consumers), limits_(limits), a_(limits.bytes), b_(limits.bytes) {
    free_ = {&a_, &b_};
  }
  Batch* take() override {
    Batch* batch = free_.back();
    free_.pop_back();
    return batch;
  }
  Status put(Batch* batch) override {
    batch->number = batches_++;
    batch->firstRow = rows_;
    rows_ += batch->rows.size();
    Status s = consumers_[batch->number % consumers_.size()]->consume(*batch);
    batch->reset(limits_.bytes);
    free_.push_back(batch);
    return s;
  }

 private:
  std::vector<BatchConsumer*> consumers_;
  BatchLimits limits_;
  Batch a_, b_;
  std::vector<Batch*> free_;
  uint64_t batches_ = 0;
  uint64_t rows_ = 0;
};

}  // namespace

Status feedSort(InputReader* reader, RecordParser* parser, const std::vector<BatchConsumer*>& consumers,
                const BatchLimits& limits, bool threaded) {
  if (!threaded) {
    InlineBatches batches(consumers, limits);
    return reader->readAll(parser, &batches, limits);
  }
  ReadAhead ahead(consumers, limits);
  return ahead.run(reader, parser);
}

ReadAhead::ReadAhead(const std::vector<BatchConsumer*>& consumers, const BatchLimits& limits)
    : consumers_(consumers), limits_(limits), queues_(consumers.size()), queueFront_(consumers.size(), 0) {
  for (size_t i = 0; i < consumers.size() + 2; ++i) {
    batches_.push_back(std::make_unique<Batch>(limits.bytes));
    free_.push_back(batches_.back().get());
  }
}

ReadAhead::~ReadAhead() {
  if (wake_ >= 0) ::close(wake_);
}

Batch* ReadAhead::take() {
  TqStdLock lock(mutex_);
  while (!stopping_ && free_.empty()) changed_.wait(lock.unique());
  if (stopping_) return nullptr;
  Batch* batch = free_.back();
  free_.pop_back();
  return batch;
}

Status ReadAhead::put(Batch* batch) {
  TqStdLock lock(mutex_);
  if (stopping_) return Status::error("stopped");
  batch->number = batchesPut_++;
  batch->firstRow = rowsPut_;
  rowsPut_ += batch->rows.size();
  if (batch->grownPast(limits_.bytes)) ++grownOut_;
  queues_[batch->number % consumers_.size()].push_back(batch);
  changed_.notify_all();
  return Status();
}

Status ReadAhead::beforeGrowing(Batch* batch) {
  (void)batch;
  TqStdLock lock(mutex_);
  while (!stopping_ && grownOut_ != 0) changed_.wait(lock.unique());
  return stopping_ ? Status::error("stopped") : Status();
}

void ReadAhead::stopReader() {
  if (stopping_) return;
  stopping_ = true;
  changed_.notify_all();
  if (wake_ >= 0) {
    uint64_t one = 1;
    ssize_t ignored = ::write(wake_, &one, sizeof one);
    (void)ignored;
  }
}

void ReadAhead::consumeLoop(size_t index) {
  TqStdLock lock(mutex_);
  std::vector<Batch*>& queue = queues_[index];
  size_t& front = queueFront_[index];
  for (;;) {
    while (front >= queue.size() && !readerDone_) changed_.wait(lock.unique());
    if (front == queue.size()) return;  // the input has ended
    Batch* batch = queue[front++];
    if (front == queue.size()) {
      queue.clear();
      front = 0;
    }
    // A batch after one that failed is not added: the sort ends with that failure.
    bool wanted = batch->number < failedBatch_;
    lock.unlock();
    Status s = wanted ? outOfMemoryAsFailure([&] { return consumers_[index]->consume(*batch); }) : Status();
    uint64_t number = batch->number;
    bool grown = batch->grownPast(limits_.bytes);
    batch->reset(limits_.bytes);
    lock.lock();
    free_.push_back(batch);
    if (grown) --grownOut_;
    if (!s.ok() && number < failedBatch_) {
      failedBatch_ = number;
      failure_ = std::move(s);
      stopReader();
    }
    changed_.notify_all();
  }
}

Status ReadAhead::run(InputReader* reader, RecordParser* parser) {
  wake_ = ::eventfd(0, EFD_CLOEXEC);
  if (wake_ < 0) return Status::error("cannot start reading: " + systemError(errno));
  reader->setWakeFd(wake_);
  std::vector<std::thread> threads;
  Status started;
  try {
    threads.emplace_back([this, reader, parser] {
      Status s = outOfMemoryAsFailure([&] { return reader->readAll(parser, this, limits_); });
      TqStdLock lock(mutex_);
      readerStatus_ = std::move(s);
      readerDone_ = true;
      changed_.notify_all();
    });
    for (size_t i = 1; i < consumers_.size(); ++i) threads.emplace_back([this, i] { consumeLoop(i); });
  } catch (const std::system_error& e) {
    started = Status::error(std::string("cannot start a thread: ") + e.what());
  } catch (const std::bad_alloc&) {
    started = Status::error("out of memory");
  }
  if (started.ok()) {
    consumeLoop(0);
  } else {
    TqStdLock lock(mutex_);
    failedBatch_ = 0;  // nothing more is added
    failure_ = std::move(started);
    stopReader();
  }
  for (std::thread& t : threads) t.join();
  reader->setWakeFd(-1);
  TqStdLock lock(mutex_);  // every thread has ended; the analysis asks for the lock
  if (!failure_.ok()) return failure_;
  return readerStatus_;
}

}  // namespace tqsort
