// tqsort's input: the named files and standard input, read one at a time, as CSV
// records.
#ifndef TQ_TOOLS_TQSORT_INPUT_H
#define TQ_TOOLS_TQSORT_INPUT_H

#include <cstdint>
#include <string>
#include <vector>

#include "tqsort_csv.h"
#include "tqsort_status.h"

namespace tqsort {

class ProgressBar;

struct InputFile {
  std::string name;      // as given; "-" is standard input
  std::string shown;     // for messages
  int64_t size = -1;     // regular files; -1 otherwise
};

// Receives the records of the inputs in order.
class RecordSink {
 public:
  virtual ~RecordSink() = default;
  // The header: the first record of the first input that has one (--header only).
  virtual Status header(const InputFile& in, const Record& record, const char* lineEnd) = 0;
  // A record; `line` is the line it starts on; `lineEnd` is the line end an
  // unterminated last record is given ("\n" or "\r\n", as the records before it had).
  virtual Status record(const InputFile& in, int64_t line, const Record& record, const char* lineEnd) = 0;
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
  Status readAll(RecordSink* sink);
  // Whether the input began with a UTF-8 byte-order mark (not part of any record).
  bool startsWithBom() const { return bom_; }

 private:
  Status readOne(const InputFile& in, RecordSink* sink);
  Status checkHeader(const InputFile& in, const Record& record);

  std::vector<InputFile> inputs_;
  char separator_;
  bool header_;
  ProgressBar* progress_;
  int64_t totalBytes_ = 0;
  int64_t bytesRead_ = 0;
  bool anyBytes_ = false;  // some input had bytes
  bool bom_ = false;
  bool headerSeen_ = false;
  std::string firstHeader_;  // its content, to compare the other inputs' headers with
  std::string firstHeaderFile_;
  std::vector<char> buffer_;
};

}  // namespace tqsort

#endif
