// One library sort of tqsort's: its manager and sorting datafile, its line file, and
// the rows of the batches it is given (see tqsort_sorter.h).
#ifndef TQ_TOOLS_TQSORT_SHARD_H
#define TQ_TOOLS_TQSORT_SHARD_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tqdatafile/tqdatafile.h"
#include "tqsort_output.h"
#include "tqsort_parse.h"
#include "tqsort_pipeline.h"
#include "tqsort_sizes.h"
#include "tqsort_tempfile.h"

namespace tqsort {

// The bytes of a row number key, as appendSortKey writes it.
constexpr size_t kSequenceKeyBytes = 9;

// A line in the line file is stored in the sort as its reference: offset and length
// (little-endian), then a byte that a stored line never ends with (it ends with '\n')
// and that is not zero (a string value that ends in zero loses it).
constexpr size_t kReferenceBytes = 17;
constexpr char kReferenceMark = 'L';

// The stored line of a line whose every byte but its line end is in the keys: the
// whole line cut out at 0, then "\n".  The sort stores it as a null line column.
constexpr char kLineInKeys[] = "\x01\n";

// Appends to `out` the bytes of `value` as the library orders a key of `type`: byte
// strings that compare (unsigned, then shorter first) as the rows sort.  A null is
// lowest; descending inverts.
void appendSortKey(std::string* out, KeyType type, bool descending, const TqbDatavar& value);

// The order of two keys as appendSortKey makes them: <0, 0 or >0.
inline int compareKeys(const char* a, size_t aLength, const char* b, size_t bLength) {
  int c = std::memcmp(a, b, std::min(aLength, bLength));
  if (c != 0) return c;
  return aLength < bLength ? -1 : (aLength > bLength ? 1 : 0);
}

// Sets `v` to `value`, a key value parsed into `batch`, as the sort stores it.
Status setKeyValue(TqbDatavar* v, const KeyValue& value, const Batch& batch);

// One library sort.  Used by one thread at a time.
class Shard : public BatchConsumer {
 public:
  Shard(const Options& options, const SortSizes& sizes, size_t index) : o_(options), sizes_(sizes), index_(index) {}
  ~Shard() override { release(); }

  // `dirs`: the run's temporary directories, for the library's run files and the line file.
  Status start(const std::vector<std::string>& dirs, TqSortProgress* progress, TqSortInfo* info);
  Status consume(Batch& batch) override;
  // Ends the input and sorts: 0 with the first row in hand, 4 when there are no rows.
  int32_t sort() { return takeBack(file_, values_, kept_, false, file_->sort()); }
  int32_t next() { return takeBack(file_, values_, kept_, false, file_->next(nullptr)); }
  std::string error() { return failure_.empty() ? std::string(file_->getError().asCstr()) : failure_; }
  // Lines are made whole with `stored` from here on.
  void setStored(const StoredLine* stored);
  // Writes the row in hand's line to `out`.
  Status writeLine(OutputStream* out) {
    size_t n = 0;
    const char* bytes = storedLine(&n);
    if (n == kReferenceBytes && bytes[kReferenceBytes - 1] == kReferenceMark) return writeSpilled(bytes, out);
    if (stored_ == nullptr || stored_->empty()) return out->write(bytes, n);
    StoredLine::Parts parts;
    if (!takeApart(bytes, n, &parts)) return Status::error("internal error: a stored line cannot be read");
    char* to = out->reserve(parts.total);
    if (to != nullptr) {
      StoredLine::join(parts, to);
      return Status();
    }
    line_.resize(parts.total);
    StoredLine::join(parts, line_.data());
    return out->write(line_.data(), line_.size());
  }
  // Appends the row in hand's line to `out`; `*spilled` when what is appended is the
  // reference of a line in the line file (writeSpilled writes it).
  bool appendLine(std::string* out, bool* spilled) {
    size_t n = 0;
    const char* bytes = storedLine(&n);
    *spilled = n == kReferenceBytes && bytes[kReferenceBytes - 1] == kReferenceMark;
    if (*spilled || stored_ == nullptr || stored_->empty()) {
      out->append(bytes, n);
      return true;
    }
    StoredLine::Parts parts;
    if (!takeApart(bytes, n, &parts)) return false;
    size_t at = out->size();
    out->resize(at + parts.total);
    StoredLine::join(parts, out->data() + at);
    return true;
  }
  // Appends the row in hand's key as the merge compares keys: the bytes the library's
  // sort compared (the same as appendSortKey makes of the key values, the row number
  // last), taken from it rather than encoded again.  False when the library refuses.
  bool appendKey(std::string* out) {
    const uint8_t* key = nullptr;
    uint32_t length = 0;
    if (tqDatafileSortKey(file_, &key, &length) != 0) return false;
    out->append(reinterpret_cast<const char*>(key), length);
    return true;
  }
  // The memory of all sorts, as this one sees it (more once it grew).
  uint64_t memory() const { return sizes_.memory; }
  // The bytes written to this sort's line file.
  uint64_t lineFileBytes() const { return lines_ ? lines_->diskBytes() : 0; }
  uint64_t lineFileAppended() const { return lines_ ? lines_->size() : 0; }
  // Writes the line that `reference` names (from this sort's line file).
  Status writeSpilled(const char* reference, OutputStream* out);
  void release();

 private:
  // Which key columns a sort keeps only in its key (tqDatafileSortKeyOnly), and how
  // to find them there.
  struct KeptInKey {
    std::vector<uint8_t> only;       // per key column (the row number key last)
    std::vector<uint8_t> taken;      // the ones a read takes back (the stored line's)
    std::vector<int64_t> fixedTail;  // the key bytes after each, when all are fixed widths; -1
    uint32_t stableBytes = 0;        // the library's sequence number at the key's end
    size_t lastOnly = 0, lastTaken = 0;  // one past the last of `only`, of `taken`
    std::vector<size_t> byTerminator;    // those of `only` found by their terminator
    bool any = false;
  };
  KeptInKey keptInKeyLayout() const;
  // Whether the row in hand holds a zero byte in a value kept only in the key and found
  // by its terminator there (keyFoundByTerminator).
  bool zeroByteInKey() const;
  Status spillLine(const char* data, size_t length);
  // Sets the line column to the stored line `bytes` (`n` bytes): a stored line that
  // is only its line end after a whole line cut out of it (kLineInKeys) as a null.
  bool assignLine(const char* bytes, size_t n, bool stored);
  // The row in hand's line column as it was stored (see assignLine).
  const char* storedLine(size_t* n) const {
    if (lineValue_->isNull()) {
      *n = sizeof kLineInKeys - 1;
      return kLineInKeys;
    }
    const char* bytes = static_cast<const char*>(lineValue_->getRaw(n));
    --*n;  // without the value's terminating zero
    return bytes;
  }
  // After `status` of a read of `file` (its fields `values`, its columns `kept`): the
  // values kept only in the key taken back from the row's key into their fields: all,
  // or those the stored line needs.
  int32_t takeBack(TqDatafile* file, const std::vector<TqbDatavar*>& values, const KeptInKey& kept, bool all,
                   int32_t status);
  bool takeApart(const char* bytes, size_t n, StoredLine::Parts* parts) {
    return stored_->parts(bytes, n,
                          [this](size_t key, size_t* length) {
                            return keyText(o_.keys[key].type, *values_[key], texts_[key].scratch, length);
                          },
                          parts);
  }
  // The longest line the sort holds (a longer one goes to the line file).
  uint64_t lineLimit() const { return static_cast<uint64_t>(sizes_.lineLength); }
  // The row in hand, as the library stores it; `row`: its parsed key values.
  RowShape shape(const KeyValue* row) const;
  Status refused(int32_t status, const Batch& batch, const Row& row, const KeyValue* values);
  // Creates the manager and datafile for sizes_.
  Status create();
  // Moves to a sort of `sizes`: the rows so far are read back, in order, into it.
  Status grow(const SortSizes& sizes);

  const Options& o_;
  SortSizes sizes_;
  size_t index_;
  std::string dirs_;
  TqSortProgress* progress_ = nullptr;
  TqSortInfo* info_ = nullptr;
  TqDatafileManager* manager_ = nullptr;
  TqDatafile* file_ = nullptr;
  std::vector<TqbDatavar*> values_;  // the keys, the row number (sequenceKey), the line
  TqbDatavar* lineValue_ = nullptr;
  // Key values are kept only in the library's key, so that the sort stores them once;
  // `zeroBytes_` once a value found by its terminator held a zero byte (the sort that
  // followed stores such keys).
  KeptInKey kept_;
  bool zeroBytes_ = false;
  std::string takenBytes_;
  std::string failure_;  // why a row's values could not be taken back from its key
  std::vector<std::string> runDirs_;
  std::unique_ptr<TempSpill> lines_;  // the line file, made with its first line
  std::unique_ptr<char[]> copyBuffer_;
  const StoredLine* stored_ = nullptr;
  struct TextScratch {
    char scratch[kKeyTextScratch];
  };
  std::vector<TextScratch> texts_ = std::vector<TextScratch>(o_.keys.size());
  std::string scratch_;
  std::string line_;
};

}  // namespace tqsort

#endif
