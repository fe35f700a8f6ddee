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

#include "core/varint.h"
#include "tqdatafile/tqdatafile.h"
#include "tqsort_csv.h"
#include "tqsort_options.h"
#include "tqsort_status.h"

namespace tqsort {

struct InputFile;
class StoredLine;

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
  bool exact = false;         // the field's bytes are the value's text (keyText makes them again)
  uint32_t fieldLength = 0;  // the field's bytes (exact only)
  uint64_t length = 0;       // Text: its bytes; Dec: 24
  uint64_t field = 0;        // where the field's bytes start in the batch's bytes
};

struct Row {
  uint64_t offset;  // the record's first byte in the batch's bytes
  uint64_t length;  // through its line end (an unterminated last record is given one)
  int64_t line;     // the line it starts on
  // The line as the sort stores it (see StoredLine), in the arena; `storedLength` 0
  // when it was not made (a line too long to be worth it, or one left to the sorts).
  uint64_t stored = 0;
  uint64_t storedLength = 0;
  // The line end added to an input's unterminated last record (0, 1 or 2 bytes): its
  // content ends before them.
  uint8_t addedEnd = 0;
};

// How a line is stored: without the fields that some keys already hold.
//
// A key of type str, int or date (the first such key of its column) is a slot.  When
// its field's bytes are exactly the text keyText makes of its value (an unquoted
// string; an integer as written without sign or zeros before it; a date without blanks
// around it), the field's bytes are left out of the stored line, and the line is made
// whole again on output from the row's key value.  The stored line starts with one
// number per slot (LEB128): 0 when the field is there, else 1 + where it started in the
// line.  With no slots, a line is stored as it is.
class StoredLine {
 public:
  StoredLine() = default;
  // For keys whose columns are resolved (index set).
  explicit StoredLine(const std::vector<KeyOption>& keys);
  bool empty() const { return slots_.empty(); }
  // The keys whose values make lines whole (their indexes).
  const std::vector<size_t>& slots() const { return slots_; }
  // Appends to `out` the stored form of the record `record` of `length` bytes, which
  // starts at `recordOffset` of its batch's bytes, with the key values `values`.
  void make(const char* record, uint64_t recordOffset, size_t length, const KeyValue* values, std::string* out) const;
  static constexpr size_t kMostSlots = 16;

  // A stored line taken apart: the content (the line without the left-out fields) and
  // where each left-out field goes back, with its text.
  struct Parts {
    struct Cut {
      uint64_t at;  // in the whole line
      const char* text;
      size_t length;
    };
    const char* content = nullptr;
    size_t contentLength = 0;
    Cut cuts[kMostSlots];
    size_t count = 0;
    size_t total = 0;  // the whole line's length
  };
  // Takes `stored` apart; `text(key, &length)` gives a left-out field's text from the
  // row's key value.  False when `stored` is not a stored line.
  template <class Text>
  bool parts(const char* stored, size_t length, Text text, Parts* parts) const;
  // The whole line of `parts`, to `out` (parts.total bytes).
  static void join(const Parts& parts, char* out);

 private:
  std::vector<size_t> slots_;  // key indexes
};

// The text of a key value as a key of `type` writes it (string bytes; an integer in
// decimal; a date as YYYY-MM-DD); empty for a null.  For StoredLine: a string's bytes
// are the value's own, the others are made in `scratch` (kKeyTextScratch bytes).
constexpr size_t kKeyTextScratch = 24;
const char* keyText(KeyType type, const TqbDatavar& value, char* scratch, size_t* length);

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
  // Whether it grew past a batch of `capacity` bytes (for a long record).
  bool grownPast(size_t capacity) const;

  const char* bytesOf(const KeyValue& v) const { return (v.inArena ? arena.data() : data_) + v.offset; }

  size_t used = 0;             // input bytes held
  const InputFile* file = nullptr;
  // Where data()[0] stands in `file`, a regular file: a row's bytes are also at
  // fileOffset + its offset there, unless the reader added its line end.  -1 for other
  // inputs and for batches made of bytes that are not the input's as they stand.
  int64_t fileOffset = -1;
  const StoredLine* stored = nullptr;  // how its rows' lines are stored
  uint64_t number = 0;         // the batch's place in the input: 0, 1, 2, ...
  uint64_t firstRow = 0;       // the number of rows in the batches before it
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
  // `storeLines` false: no stored lines are made (the line goes to the sort whole).
  RecordParser(const std::vector<KeyOption>& keys, char separator, bool lenient, bool storeLines = true);
  // Finds the named keys' columns in `header` (null: no header; only numbered keys).
  Status resolve(const Record* header);
  bool resolved() const { return resolved_; }
  // The keys, their columns resolved (after resolve).
  const std::vector<KeyOption>& keys() const { return keys_; }
  // How lines are stored (after resolve).
  const StoredLine& stored() const { return stored_; }
  // The rows' stored lines are left to the sorts (Row::storedLength 0; the batch still
  // says how to make them): with a reader thread feeding a thread per sort, the sorts'
  // threads make them side by side instead of the one reader before them.
  void leaveStoredLinesToTheSorts() { storedBySorts_ = true; }
  size_t keyCount() const { return keys_.size(); }
  // Adds the row of `record` (`length` bytes with its line end), which lies in
  // `batch`'s bytes and starts on `line` of `in`: its key values and its stored line.
  // A value that does not parse as its key's type is an error naming its place, unless
  // lenient (then it is null).
  Status parse(Batch* batch, const InputFile& in, int64_t line, const Record& record, uint64_t length);

 private:
  // Sets key->index to the one column of `names` (the header's fields) named as the key.
  Status findColumn(const std::vector<Field>& names, KeyOption* key);
  Status badValue(const KeyOption& key, const InputFile& in, int64_t line, const char* data, size_t length);
  // The value of `key` from its text `data` (blanks trimmed as its type wants) into *v;
  // false when the text is not a value of its type.
  bool textValue(Batch* batch, const KeyOption& key, const char* data, size_t length, bool quoted, KeyValue* v);
  bool decimalValue(Batch* batch, const KeyOption& key, const char* data, size_t length, KeyValue* v);
  bool typedValue(Batch* batch, const KeyOption& key, const char* data, size_t length, KeyValue* v);

  std::vector<KeyOption> keys_;
  // The sorts' threads read stored_ for every row they add while this thread parses:
  // it has a cache line of its own, apart from the members written for every record,
  // which would otherwise take the line from under each of those reads.
  alignas(64) StoredLine stored_;
  char separator_;
  bool lenient_;
  bool storeLines_;
  bool storedBySorts_ = false;
  bool resolved_ = false;
  size_t maxField_ = 0;  // fields to split: up to the last key column
  alignas(64) std::vector<Field> fields_;
  std::string scratch_;
  std::string number_;  // a dec key's number text
};

template <class Text>
bool StoredLine::parts(const char* stored, size_t length, Text text, Parts* parts) const {
  size_t p = 0;
  parts->count = 0;
  for (size_t key : slots_) {
    uint64_t v = 0;
    size_t used = 0;
    if (!tqvarint::get(stored + p, length - p, &v, &used)) return false;
    p += used;
    if (v == 0) continue;
    size_t i = parts->count++;
    while (i > 0 && parts->cuts[i - 1].at > v - 1) {
      parts->cuts[i] = parts->cuts[i - 1];
      --i;
    }
    Parts::Cut& cut = parts->cuts[i];
    cut.at = v - 1;
    cut.text = text(key, &cut.length);
  }
  parts->content = stored + p;
  parts->contentLength = length - p;
  parts->total = parts->contentLength;
  uint64_t at = 0;
  for (size_t i = 0; i < parts->count; ++i) {
    if (parts->cuts[i].at < at) return false;
    at = parts->cuts[i].at + parts->cuts[i].length;
    parts->total += parts->cuts[i].length;
  }
  return at <= parts->total;
}

}  // namespace tqsort

#endif
