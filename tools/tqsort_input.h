// tqsort's input: the named files and standard input, read one at a time, as CSV
// records into batches (tqsort_parse.h).
//
// The bytes are read straight into a batch; records are found in place and their key
// fields parsed.  A batch is handed on when it is full (of bytes or of rows) or its
// input ends, or before a read of a pipe or terminal that would wait; the unfinished
// record at its end starts the next batch.  A record longer than a batch makes that
// batch grow to hold it.
#ifndef TQ_TOOLS_TQSORT_INPUT_H
#define TQ_TOOLS_TQSORT_INPUT_H

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tqsort_csv.h"
#include "tqsort_parse.h"
#include "tqsort_status.h"

namespace tqsort {

class ProgressBar;

struct InputFile {
  std::string name;      // as given; "-" is standard input
  std::string shown;     // for messages
  int64_t size = -1;     // regular files; -1 otherwise
  // A regular file as it was when the run began (its device, inode and last change),
  // so that a later open can tell whether it is still that file, unchanged.
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t changedNs = 0;
};

// Takes the size and identity of `in`, the regular file `st` describes.
void noteRegularFile(InputFile* in, const struct stat& st);
// Whether `st` is the regular file `in` was when its identity was taken, unchanged since.
bool unchangedRegularFile(const InputFile& in, const struct stat& st);

// Takes the batches the reader fills.
class BatchSink {
 public:
  virtual ~BatchSink() = default;
  // An empty batch to read into; null when the run is stopping (the reader returns).
  virtual Batch* take() = 0;
  // A filled batch, in input order.  A failure (of the sort, when it runs on the
  // reader's thread) ends the reading with that failure.
  virtual Status put(Batch* batch) = 0;
  // `batch` is about to grow past its size for a record longer than it: waits until no
  // batch handed on is so large, so that one long record at a time is held.
  virtual Status beforeGrowing(Batch* batch) {
    (void)batch;
    return Status();
  }
};

// The size of the input's batches.
struct BatchLimits {
  size_t bytes = size_t{1} << 20;  // input bytes (a record longer than this grows its batch)
  size_t rows = 16384;             // rows at most, which bounds the parsed values
};

class InputReader {
 public:
  InputReader(const std::vector<std::string>& names, char separator, bool header, ProgressBar* progress);
  // Checks that every named input can be read, and learns the sizes of regular files.
  // Opens nothing: the inputs are opened one at a time as they are read, so that any
  // number of them can be sorted under a low limit of open files.
  Status check();
  // Bytes of all inputs, or -1 when one is not a regular file.
  int64_t totalBytes() const { return totalBytes_; }
  // Reads every input into batches of `limits`, parsing each record's keys with
  // `parser`, and hands them to `sink` in order.
  Status readAll(RecordParser* parser, BatchSink* sink, const BatchLimits& limits);
  // A read from a pipe or terminal also waits on `fd`: when it becomes readable the
  // reading stops (the run is ending while the input is still open).
  void setWakeFd(int fd) { wakeFd_ = fd; }
  // Records read and parsed, and input bytes read, so far.
  uint64_t rowsRead() const { return rowsRead_; }
  int64_t bytesRead() const { return bytesRead_; }
  // Whether the input began with a UTF-8 byte-order mark (not part of any record).
  bool startsWithBom() const { return bom_; }
  // The header record (--header), with its line end; empty when there was none.
  const std::string& header() const { return headerText_; }

 private:
  struct Pass;
  Status readOne(const InputFile& in, RecordParser* parser, BatchSink* sink, const BatchLimits& limits);
  Status checkHeader(const InputFile& in, const Record& record);
  // Waits until `fd` can be read (true) or the wake descriptor fires (false).
  bool waitReadable(int fd);

  std::vector<InputFile> inputs_;
  char separator_;
  bool header_;
  ProgressBar* progress_;
  int wakeFd_ = -1;
  int64_t totalBytes_ = 0;
  int64_t bytesRead_ = 0;
  uint64_t rowsRead_ = 0;
  bool anyBytes_ = false;  // some input had bytes
  bool bom_ = false;
  bool headerSeen_ = false;
  std::string firstHeader_;  // its content, to compare the other inputs' headers with
  std::string firstHeaderFile_;
  std::string headerText_;
  Batch* batch_ = nullptr;  // the batch being filled, kept from one input to the next
};

}  // namespace tqsort

#endif
