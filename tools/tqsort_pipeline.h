// Feeding the sort: the reader's batches reach the sort on the caller's thread, either
// in turns on that one thread, or from a reader thread of their own.
//
// With a reader thread, reading, splitting records and parsing keys run beside the
// sorts' addRow: the reader fills batches from a fixed pool (two more than there are
// consumers), each consumer's thread takes its batches in input order, adds their rows
// and gives them back.  So the memory in flight is the pool, whatever the input's size
// (a batch grown for a long record shrinks back when it returns).  Each datafile stays
// on its consumer's thread.
//
// Errors keep their input order: the reader hands on the rows before a bad record and
// then ends with the record's error, which is reported after those rows were added
// (one of which may fail first).  When a consumer fails, the reader is stopped (woken
// from a read of a pipe that stays open), the batches before the failed one are still
// consumed (one may fail earlier), and the earliest failure is the outcome.
#ifndef TQ_TOOLS_TQSORT_PIPELINE_H
#define TQ_TOOLS_TQSORT_PIPELINE_H

#include <condition_variable>
#include <memory>
#include <vector>

#include "platform/tqsync.h"
#include "tqsort_input.h"
#include "tqsort_parse.h"
#include "tqsort_status.h"

namespace tqsort {

// Takes the rows of a batch into the sort.
class BatchConsumer {
 public:
  virtual ~BatchConsumer() = default;
  virtual Status consume(Batch& batch) = 0;
};

// Reads every input and feeds the consumers: batch n goes to consumers[n % count],
// which takes its batches in input order.  On this thread (`threaded` false), or with
// a reader thread and a thread per consumer (the first runs on this thread).  The
// outcome is the first failure in input order: a consumer's, or the reader's after
// every batch before it was consumed.
Status feedSort(InputReader* reader, RecordParser* parser, const std::vector<BatchConsumer*>& consumers,
                const BatchLimits& limits, bool threaded);

// The batches between a reader thread and the consumers' threads.
class ReadAhead : public BatchSink {
 public:
  ReadAhead(const std::vector<BatchConsumer*>& consumers, const BatchLimits& limits);
  ~ReadAhead() override;
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  Status run(InputReader* reader, RecordParser* parser);

  // The reader thread's side.
  Batch* take() override;
  Status put(Batch* batch) override;
  Status beforeGrowing(Batch* batch) override;

 private:
  // Consumer `index` takes its batches until the input ends or an earlier one failed.
  void consumeLoop(size_t index);
  // Stops the reader: its take and put fail from now on, and a read of a pipe is woken.
  void stopReader() TQ_REQUIRES(mutex_);

  std::vector<BatchConsumer*> consumers_;
  BatchLimits limits_;
  std::vector<std::unique_ptr<Batch>> batches_;
  TqStdMutex mutex_;
  std::condition_variable changed_;
  std::vector<Batch*> free_ TQ_GUARDED_BY(mutex_);
  std::vector<std::vector<Batch*>> queues_ TQ_GUARDED_BY(mutex_);  // per consumer, in input order
  std::vector<size_t> queueFront_ TQ_GUARDED_BY(mutex_);
  uint64_t batchesPut_ TQ_GUARDED_BY(mutex_) = 0;
  uint64_t rowsPut_ TQ_GUARDED_BY(mutex_) = 0;
  // Batches grown for a long record, handed on and not yet back.
  int grownOut_ TQ_GUARDED_BY(mutex_) = 0;
  bool readerDone_ TQ_GUARDED_BY(mutex_) = false;
  bool stopping_ TQ_GUARDED_BY(mutex_) = false;
  Status readerStatus_ TQ_GUARDED_BY(mutex_);
  // The earliest batch a consumer failed on.
  uint64_t failedBatch_ TQ_GUARDED_BY(mutex_) = UINT64_MAX;
  Status failure_ TQ_GUARDED_BY(mutex_);
  int wake_ = -1;  // an eventfd, signalled to stop a reader waiting on a pipe (one descriptor)
};

}  // namespace tqsort

#endif
