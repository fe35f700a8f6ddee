// Records on their way to the sort: input bytes in batches, and each record's key
// fields parsed into typed values.
//
// A Batch holds a block of input bytes and the rows found in it: where each record is,
// the line it starts on, and one KeyValue per key.  The reader fills batches (reading,
// splitting records, parsing keys) and the sort takes them in input order; a batch
// holds the rows of one input file.  Values refer to the batch's bytes, or to its arena
// when their text differs from the input bytes (an unquoted quoted field) or is binary
// (a decimal), so nothing is copied per row on the reader's side.
#ifndef TQ_TOOLS_TQSORT_PARSE_H
#define TQ_TOOLS_TQSORT_PARSE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tqsort_csv.h"
#include "tqsort_options.h"
#include "tqsort_status.h"

namespace tqsort {

struct InputFile;

struct KeyValue {
  enum Kind : uint8_t { Null, Int, Date, Bool, Dec, Text };
  Kind kind = Null;
  bool inArena = false;  // Text, Dec: the bytes are in the batch's arena
  union {
    int64_t integer;
    double days;
    bool boolean;
    uint64_t offset;  // Text, Dec: where the bytes start
  };
  uint64_t length = 0;  // Text: its bytes; Dec: 24
};

struct Row {
  uint64_t offset;  // the record's first byte in the batch's bytes
  uint64_t length;  // through its line end (an unterminated last record is given one)
  int64_t line;     // the line it starts on
};

class Batch {
 public:
  explicit Batch(size_t capacity);
  ~Batch();
  Batch(const Batch&) = delete;
  Batch& operator=(const Batch&) = delete;

  char* data() { return data_; }
  const char* data() const { return data_; }
  size_t capacity() const { return capacity_; }
  // Makes room for at least `bytes` bytes, keeping what the batch holds; false when
  // the memory cannot be had.
  bool reserve(size_t bytes);
  // Empty again; a batch grown for a long record goes back to `capacity` bytes.
  void reset(size_t capacity);

  const char* bytesOf(const KeyValue& v) const { return (v.inArena ? arena.data() : data_) + v.offset; }

  size_t used = 0;             // input bytes held
  const InputFile* file = nullptr;
  std::vector<Row> rows;
  std::vector<KeyValue> values;  // rows.size() * the number of keys, row after row
  std::string arena;

 private:
  char* data_ = nullptr;
  size_t capacity_ = 0;
};

// Parses the key fields of records.  Keys named by a header column are resolved from
// the header first (resolve).
class RecordParser {
 public:
  RecordParser(const std::vector<KeySpec>& keys, char separator, bool lenient);
  // Finds the named keys' columns in `header` (null: no header; only numbered keys).
  Status resolve(const Record* header);
  bool resolved() const { return resolved_; }
  size_t keyCount() const { return keys_.size(); }
  // Appends the key values of `record`, which lies in `batch`'s bytes and starts on
  // `line` of `in`.  A value that does not parse as its key's type is an error naming
  // its place, unless lenient (then it is null).
  Status parse(Batch* batch, const InputFile& in, int64_t line, const Record& record);

 private:
  Status badValue(const KeySpec& key, const InputFile& in, int64_t line, const char* data, size_t length);

  std::vector<KeySpec> keys_;
  char separator_;
  bool lenient_;
  bool resolved_ = false;
  size_t maxField_ = 0;  // fields to split: up to the last key column
  std::vector<Field> fields_;
  std::string scratch_;
};

}  // namespace tqsort

#endif
