// Feeding the sort: the reader's batches reach the sort on the caller's thread, either
// in turns on that one thread, or from a reader thread of their own.
//
// With a reader thread, reading, splitting records and parsing keys run beside the
// sort's addRow: the reader fills batches from a fixed pool (three), the caller's
// thread takes them in input order, adds their rows and gives them back.  So the
// memory in flight is the pool, whatever the input's size (a batch grown for a long
// record shrinks back when it returns).  The datafile stays on the caller's thread.
//
// Errors keep their input order: the reader hands on the rows before a bad record and
// then ends with the record's error, which the caller reports after adding those rows
// (one of which may fail first).  When the sort fails, the caller stops the reader
// (waking it from a read of a pipe that stays open) and waits for it to end.
#ifndef TQ_TOOLS_TQSORT_PIPELINE_H
#define TQ_TOOLS_TQSORT_PIPELINE_H

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

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

// Reads every input and feeds `consumer`, on this thread (`threaded` false) or with a
// reader thread beside it.
Status feedSort(InputReader* reader, RecordParser* parser, BatchConsumer* consumer, const BatchLimits& limits,
                bool threaded);

// The batches between a reader thread and the caller's thread.
class ReadAhead : public BatchSink {
 public:
  ReadAhead(size_t batches, const BatchLimits& limits);
  ~ReadAhead() override;
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // Runs `reader` on a thread of its own and feeds its batches to `consumer` here.
  Status run(InputReader* reader, RecordParser* parser, BatchConsumer* consumer);

  // The reader thread's side.
  Batch* take() override;
  Status put(Batch* batch) override;

 private:
  void stopReader();

  BatchLimits limits_;
  std::vector<std::unique_ptr<Batch>> batches_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Batch*> free_;
  std::vector<Batch*> full_;  // a queue: taken from the front
  size_t fullFront_ = 0;
  bool readerDone_ = false;
  bool stopping_ = false;
  Status readerStatus_;
  int wake_[2] = {-1, -1};  // written to stop a reader waiting on a pipe
};

}  // namespace tqsort

#endif
