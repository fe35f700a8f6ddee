#include "tqsort_pipeline.h"

#include <fcntl.h>
#include <unistd.h>

#include <system_error>
#include <thread>

namespace tqsort {

namespace {

// The turns of one thread: a batch is added to the sort as soon as it is full, and two
// batches suffice (the one handed on, and the one the rest of its bytes start).
class InlineBatches : public BatchSink {
 public:
  InlineBatches(BatchConsumer* consumer, const BatchLimits& limits)
      : consumer_(consumer), limits_(limits), a_(limits.bytes), b_(limits.bytes) {
    free_ = {&a_, &b_};
  }
  Batch* take() override {
    Batch* batch = free_.back();
    free_.pop_back();
    return batch;
  }
  Status put(Batch* batch) override {
    Status s = consumer_->consume(*batch);
    batch->reset(limits_.bytes);
    free_.push_back(batch);
    return s;
  }

 private:
  BatchConsumer* consumer_;
  BatchLimits limits_;
  Batch a_, b_;
  std::vector<Batch*> free_;
};

}  // namespace

Status feedSort(InputReader* reader, RecordParser* parser, BatchConsumer* consumer, const BatchLimits& limits,
                bool threaded) {
  if (!threaded) {
    InlineBatches batches(consumer, limits);
    return reader->readAll(parser, &batches, limits);
  }
  ReadAhead ahead(3, limits);
  return ahead.run(reader, parser, consumer);
}

ReadAhead::ReadAhead(size_t batches, const BatchLimits& limits) : limits_(limits) {
  for (size_t i = 0; i < batches; ++i) {
    batches_.push_back(std::make_unique<Batch>(limits.bytes));
    free_.push_back(batches_.back().get());
  }
}

ReadAhead::~ReadAhead() {
  for (int fd : wake_) {
    if (fd >= 0) ::close(fd);
  }
}

Batch* ReadAhead::take() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return stopping_ || !free_.empty(); });
  if (stopping_) return nullptr;
  Batch* batch = free_.back();
  free_.pop_back();
  return batch;
}

Status ReadAhead::put(Batch* batch) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_) return Status::error("stopped");
  full_.push_back(batch);
  changed_.notify_all();
  return Status();
}

void ReadAhead::stopReader() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopping_ = true;
  changed_.notify_all();
  if (wake_[1] >= 0) {
    char byte = 1;
    ssize_t ignored = ::write(wake_[1], &byte, 1);
    (void)ignored;
  }
}

Status ReadAhead::run(InputReader* reader, RecordParser* parser, BatchConsumer* consumer) {
  if (::pipe2(wake_, O_CLOEXEC) != 0) return Status::error("cannot start reading: " + systemError(errno));
  reader->setWakeFd(wake_[0]);
  std::thread thread;
  try {
    thread = std::thread([this, reader, parser] {
      Status s = reader->readAll(parser, this, limits_);
      std::lock_guard<std::mutex> lock(mutex_);
      readerStatus_ = s;
      readerDone_ = true;
      changed_.notify_all();
    });
  } catch (const std::system_error& e) {
    reader->setWakeFd(-1);
    return Status::error(std::string("cannot start the reader thread: ") + e.what());
  }
  Status result;
  for (;;) {
    Batch* batch = nullptr;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return fullFront_ < full_.size() || readerDone_; });
      if (fullFront_ < full_.size()) {
        batch = full_[fullFront_++];
        if (fullFront_ == full_.size()) {
          full_.clear();
          fullFront_ = 0;
        }
      } else {
        result = readerStatus_;  // every batch is in: the reader's own outcome
        break;
      }
    }
    result = consumer->consume(*batch);
    batch->reset(limits_.bytes);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      free_.push_back(batch);
      changed_.notify_all();
    }
    if (!result.ok()) {
      stopReader();
      break;
    }
  }
  thread.join();
  reader->setWakeFd(-1);
  return result;
}

}  // namespace tqsort
