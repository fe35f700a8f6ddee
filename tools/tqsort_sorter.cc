#include "tqsort_sorter.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "tqsort_output.h"

namespace tqsort {

namespace {

constexpr uint64_t kMiB = uint64_t{1} << 20;
constexpr uint64_t kLargestSortSize = 0xFFF00000ull;  // within the library's 32-bit sort size
constexpr int kMostShards = 4;
// A spilled line's reference: offset and length (little-endian), then a byte that a
// stored line never ends with (it ends with '\n') and that is not zero (a string value
// that ends in zero loses it).
constexpr size_t kReferenceBytes = 17;
constexpr char kReferenceMark = 'L';
constexpr size_t kSequenceKeyBytes = 9;  // presence byte and the row number

bool isStringKey(const KeySpec& key) { return key.type == KeyType::Str; }

// The bytes a key of `type` takes in the library's key, beyond its presence byte, for
// a string key column of maximum length `stringLength`.
uint64_t keyWidth(KeyType type, int32_t stringLength) {
  switch (type) {
    case KeyType::Bool: return 1;
    case KeyType::Int:
    case KeyType::Date: return 8;
    case KeyType::Dec: return decSextToByteCollateForm(nullptr, nullptr, nullptr, 0);
    case KeyType::Str: return static_cast<uint64_t>(stringLength) + 1;
  }
  return 0;
}

// The bytes a field of `type` takes in the library's fixed row width (its null flag
// included), for a string column of maximum length `stringLength`.
uint64_t fixedFieldWidth(KeyType type, int32_t stringLength) {
  switch (type) {
    case KeyType::Bool: return 2;
    case KeyType::Int:
    case KeyType::Date: return 9;
    case KeyType::Dec: return 25;
    case KeyType::Str: return static_cast<uint64_t>(stringLength) + 2;
  }
  return 0;
}

bool stableOrUnique(const Options& o) { return o.stable || o.unique; }

// Whether the library itself keeps equal keys in input order (one sort) rather than
// the row number key (several).
bool libraryStable(const Options& o, const SortSizes& s) { return s.shards == 1 && stableOrUnique(o); }

// What the library makes the smallest chunk: one row of every column at its maximum
// length, with its key and index entry.  Kept at half a chunk or less, so that the
// library never raises the chunk size (or the sort size with it).
uint64_t minimumChunk(const Options& o, const SortSizes& s, int32_t keyLength) {
  uint64_t bytes = libraryStable(o, s) ? 8 : 0;
  for (const KeySpec& key : o.keys) {
    bytes += 1 + keyWidth(key.type, keyLength);
    bytes += fixedFieldWidth(key.type, keyLength) + (isStringKey(key) ? 4 : 0);
  }
  if (s.sequenceKey) bytes += kSequenceKeyBytes + fixedFieldWidth(KeyType::Int, 0);
  bytes += fixedFieldWidth(KeyType::Str, s.lineLength) + 4;
  return (bytes + 16 + 15) & ~uint64_t{15};
}

void putBigEndian(std::string* out, uint64_t v) {
  char bytes[8];
  for (int b = 0; b < 8; ++b) bytes[b] = static_cast<char>(v >> (56 - 8 * b));
  out->append(bytes, 8);
}

int compareKeys(const char* a, size_t aLength, const char* b, size_t bLength) {
  int c = std::memcmp(a, b, std::min(aLength, bLength));
  if (c != 0) return c;
  return aLength < bLength ? -1 : (aLength > bLength ? 1 : 0);
}

}  // namespace

SortSizes sizesForMemory(const Options& options, uint64_t memory) {
  SortSizes s;
  s.processors = options.parallel;
  if (s.processors == 0) s.processors = static_cast<int>(std::min<long>(sysconf(_SC_NPROCESSORS_ONLN), 8));
  if (s.processors < 1) s.processors = 1;
  s.threads = s.processors >= 2;
  s.shards = std::min(s.processors, kMostShards);
  s.shardProcessors = std::max(1, s.processors / s.shards);
  s.sequenceKey = s.shards > 1 && stableOrUnique(options);
  memory = std::max(memory, kMiB);
  s.memory = memory;
  // Eight chunks a sort: a wide enough merge, few enough chunk files.  A sort's size is
  // exactly eight chunks, so that the library's budget is its size.
  uint64_t share = std::min(memory / static_cast<uint64_t>(s.shards), kLargestSortSize);
  s.chunkBytes = static_cast<uint32_t>(std::max<uint64_t>((share / 8) & ~uint64_t{15}, 32u << 10));
  s.sortBytes = s.chunkBytes * 8;
  // Lines up to an eighth of a chunk are sorted as they are; longer ones go to the line
  // file.  String keys may then be as long as keeps the smallest chunk within half a
  // chunk; a longer value is still sorted whole (the library reports it on its
  // assertion logger, silent unless enabled, and stores it).
  s.lineLength = static_cast<int32_t>(s.chunkBytes / 8);
  size_t strings = static_cast<size_t>(std::count_if(options.keys.begin(), options.keys.end(), isStringKey));
  s.keyLength = 16;
  if (strings > 0) {
    uint64_t fixed = minimumChunk(options, s, 0);
    uint64_t room = s.chunkBytes / 2 > fixed ? s.chunkBytes / 2 - fixed : 0;
    s.keyLength = static_cast<int32_t>(std::min<uint64_t>(std::max<uint64_t>(room / (2 * strings), 16), kTqMaxStringLength));
  }
  // tqsort's own buffers grow with the memory up to 1 MiB each.
  s.blockBytes = static_cast<size_t>(std::min<uint64_t>(std::max<uint64_t>(memory / 128, 64u << 10), kMiB));
  s.blockRows = std::max<size_t>(1024, s.blockBytes / 64);
  return s;
}

static uint64_t machineMemory() {
  return static_cast<uint64_t>(sysconf(_SC_PHYS_PAGES)) * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

SortSizes chooseSortSizes(const Options& options, int64_t totalBytes) {
  if (options.bufferSize != 0) return sizesForMemory(options, options.bufferSize);
  // Without -S: half the input (a quarter of the machine at most, 64 MiB at least;
  // 256 MiB when the size is not known).  The library merges runs it streamed from its
  // files, in key order, faster than chunks it kept in memory, whose rows it reads in
  // a scattered order; so a sort that writes most of its rows once and streams them
  // back is quicker than one that holds them all.  A sort given a row that this memory
  // cannot hold grows to what the row needs, up to the quarter of the machine (grow).
  uint64_t cap = std::max<uint64_t>(machineMemory() / 4, 64 * kMiB);
  uint64_t size = totalBytes >= 0 ? static_cast<uint64_t>(totalBytes) / 2 : 256 * kMiB;
  size = std::min(std::max<uint64_t>(size, 64 * kMiB), cap);
  SortSizes s = sizesForMemory(options, size);
  s.growsTo = cap;
  return s;
}

uint64_t longRowNeed(const Options& o, const SortSizes& s, const RowShape& shape) {
  // As the library counts a row that goes to a run of its own: the key at its widest
  // (string keys at their column's maximum length), the sequence number of a stable
  // sort, every field, and every string field's bytes once more as key bytes.
  uint64_t need = libraryStable(o, s) ? 8 : 0;
  auto stringField = [&need](int64_t bytes) {
    uint64_t n = bytes < 0 ? 0 : static_cast<uint64_t>(bytes) + 1;  // with its terminating zero
    need += 5 + n + 1 + n;
  };
  for (size_t i = 0; i < o.keys.size(); ++i) {
    const KeySpec& key = o.keys[i];
    need += 1 + keyWidth(key.type, s.keyLength);
    if (isStringKey(key)) {
      stringField(i < shape.keyBytes.size() ? shape.keyBytes[i] : -1);
    } else {
      need += fixedFieldWidth(key.type, 0);
    }
  }
  if (s.sequenceKey) need += kSequenceKeyBytes + fixedFieldWidth(KeyType::Int, 0);
  stringField(static_cast<int64_t>(shape.lineBytes));
  return need;
}

uint64_t minimumMemory(const Options& options, const RowShape& shape) {
  for (uint64_t memory = kMiB; memory <= kLargestSortSize * kMostShards; memory += kMiB) {
    SortSizes s = sizesForMemory(options, memory);
    uint64_t need = longRowNeed(options, s, shape);
    if (need > kTqMaxChunkSize) return 0;  // no size will do
    if (need <= s.sortBytes / 2) return memory;
    if (memory / static_cast<uint64_t>(s.shards) > kLargestSortSize) return 0;
  }
  return 0;
}

bool needsMoreMemory(const Options& options, const SortSizes& sizes, const RowShape& shape) {
  uint64_t need = longRowNeed(options, sizes, shape);
  return need > kTqMaxChunkSize || need > sizes.sortBytes / 2;
}

std::string rowErrorMessage(const Options& options, const SortSizes& sizes, const RowShape& shape, int32_t status,
                            const std::string& libraryText, const InputFile& in, int64_t line, uint64_t lineBytes) {
  std::string where = in.shown + ":" + std::to_string(line) + ": ";
  if (status != TqDatafile::StatusNoRoom || !needsMoreMemory(options, sizes, shape)) return where + libraryText;
  uint64_t memory = minimumMemory(options, shape);
  if (memory == 0) {
    return where + "a line of " + std::to_string(lineBytes) + " bytes cannot be sorted: its key fields are longer than " +
           "a sort can hold";
  }
  return where + "a line of " + std::to_string(lineBytes) + " bytes needs -S of at least " +
         std::to_string(memory / kMiB) + "M";
}

void appendSortKey(std::string* out, KeyType type, bool descending, const TqbDatavar& value) {
  // As the library's key writers: a presence byte (1 for a value, 0 for a null when
  // ascending; 0 and 1 when descending), then the value bytes, most significant first,
  // inverted when descending; a null's value bytes are zeros.
  bool null = value.isNull();
  out->push_back(static_cast<char>(null == descending ? 1 : 0));
  size_t valueStart = out->size();
  switch (type) {
    case KeyType::Str: {
      if (null) {
        out->push_back('\0');
        return;
      }
      size_t n = 0;
      const char* bytes = static_cast<const char*>(value.getRaw(&n));
      out->append(bytes, n);  // with the terminating zero
      break;
    }
    case KeyType::Int: {
      bool error = false;
      putBigEndian(out, null ? 0 : static_cast<uint64_t>(value.asInt64(&error)) ^ 0x8000000000000000ull);
      if (null) return;
      break;
    }
    case KeyType::Date: {
      if (null) {
        putBigEndian(out, 0);
        return;
      }
      bool error = false;
      double d = value.asDouble(&error);
      uint64_t bits;
      std::memcpy(&bits, &d, 8);
      bits = (bits & 0x8000000000000000ull) ? ~bits : (bits | 0x8000000000000000ull);
      putBigEndian(out, bits);
      break;
    }
    case KeyType::Bool: {
      bool error = false;
      out->push_back(static_cast<char>(!null && value.asBool(&error) ? 1 : 0));
      if (null) return;
      break;
    }
    case KeyType::Dec: {
      uint32_t n = decSextToByteCollateForm(nullptr, nullptr, nullptr, 0);
      out->resize(valueStart + n, '\0');
      if (null) return;
      size_t size = 0;
      alignas(8) uint8_t raw[24] = {};
      const void* bytes = value.getRaw(&size);
      std::memcpy(raw, bytes, std::min<size_t>(size, sizeof raw));
      decSextToByteCollateForm(raw, nullptr, reinterpret_cast<uint8_t*>(out->data()) + valueStart, 0);
      break;
    }
  }
  if (descending) {
    for (size_t i = valueStart; i < out->size(); ++i) (*out)[i] = static_cast<char>(~(*out)[i]);
  }
}

// --- one sort ----------------------------------------------------------------------------

// One library sort: its manager and sorting datafile, its line file, and the rows of
// the batches it is given.  Used by one thread at a time.
class Shard : public BatchConsumer {
 public:
  Shard(const Options& options, const SortSizes& sizes, size_t index) : o_(options), sizes_(sizes), index_(index) {}
  ~Shard() override { release(); }

  Status start(const std::string& dirs, const std::string& lineDir, TqSortProgress* progress, TqSortInfo* info);
  Status consume(Batch& batch) override;
  // Ends the input and sorts: 0 with the first row in hand, 4 when there are no rows.
  int32_t sort() { return file_->sort(); }
  int32_t next() { return file_->next(nullptr); }
  std::string error() { return std::string(file_->getError().asCstr()); }
  // Lines are made whole with `stored` from here on.
  void setStored(const StoredLine* stored) { stored_ = stored; }
  // Writes the row in hand's line to `out`.
  Status writeLine(OutputStream* out) {
    size_t n = 0;
    const char* bytes = static_cast<const char*>(lineValue_->getRaw(&n));
    --n;  // without the value's terminating zero
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
    const char* bytes = static_cast<const char*>(lineValue_->getRaw(&n));
    --n;
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
  // Appends the row in hand's key, as the merge compares keys.
  void appendKey(std::string* out) const {
    for (size_t i = 0; i < o_.keys.size(); ++i) appendSortKey(out, o_.keys[i].type, o_.keys[i].descending, *values_[i]);
    if (sizes_.sequenceKey) appendSortKey(out, KeyType::Int, false, *values_[o_.keys.size()]);
  }
  // Writes the line that `reference` names (from this sort's line file).
  Status writeSpilled(const char* reference, OutputStream* out);
  void release();

 private:
  Status setValue(TqbDatavar* v, const KeyValue& value, const Batch& batch);
  Status spillLine(const char* data, size_t length);
  bool takeApart(const char* bytes, size_t n, StoredLine::Parts* parts) {
    return stored_->parts(bytes, n,
                          [this](size_t key, size_t* length) {
                            return keyText(o_.keys[key].type, *values_[key], texts_[key].scratch, length);
                          },
                          parts);
  }
  // The row in hand, as the library stores it.
  RowShape shape() const;
  Status refused(int32_t status, const Batch& batch, const Row& row);
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
  std::string linePath_;
  int lineFd_ = -1;
  uint64_t lineFileSize_ = 0;
  std::unique_ptr<char[]> copyBuffer_;
  const StoredLine* stored_ = nullptr;
  struct TextScratch {
    char scratch[kKeyTextScratch];
  };
  std::vector<TextScratch> texts_ = std::vector<TextScratch>(o_.keys.size());
  std::string scratch_;
  std::string line_;
};

void Shard::release() {
  if (file_ != nullptr) file_->release();
  file_ = nullptr;
  if (manager_ != nullptr) manager_->release();
  manager_ = nullptr;
  if (lineFd_ >= 0) ::close(lineFd_);
  lineFd_ = -1;
}

Status Shard::start(const std::string& dirs, const std::string& lineDir, TqSortProgress* progress, TqSortInfo* info) {
  linePath_ = lineDir + "/lines-" + std::to_string(index_);
  dirs_ = dirs;
  progress_ = progress;
  info_ = info;
  return create();
}

Status Shard::create() {
  TqbString error;
  manager_ = tqDatafileManagerCreate(dirs_.c_str(), &error);
  if (manager_ == nullptr) return Status::error(std::string(error.asCstr()));
  size_t k = o_.keys.size();
  size_t columns = k + (sizes_.sequenceKey ? 1 : 0) + 1;
  manager_->setColumns(static_cast<int32_t>(columns));
  for (size_t i = 0; i < k; ++i) {
    tqbType type = tqbTypeString;
    switch (o_.keys[i].type) {
      case KeyType::Str: type = tqbTypeString; break;
      case KeyType::Int: type = tqbTypeInteger; break;
      case KeyType::Dec: type = tqbTypeReal; break;
      case KeyType::Date: type = tqbTypeDate; break;
      case KeyType::Bool: type = tqbTypeBoolean; break;
    }
    manager_->setColSpec(static_cast<int32_t>(i), type, sizes_.keyLength);
  }
  if (sizes_.sequenceKey) manager_->setColSpec(static_cast<int32_t>(k), tqbTypeInteger, 0);
  manager_->setColSpec(static_cast<int32_t>(columns - 1), tqbTypeString, sizes_.lineLength);
  manager_->setChunkSize(sizes_.chunkBytes);
  manager_->setSortSize(sizes_.sortBytes);
  manager_->setSortProcessors(sizes_.shardProcessors);
  // -u keeps the first record of each run in input order, so it sorts stably too.  With
  // several sorts the row number key does both, and the merge drops the duplicates.
  manager_->setSortStable(libraryStable(o_, sizes_));
  manager_->setSortNoDups(o_.unique && sizes_.shards == 1);
  file_ = manager_->createFile(TqDatafile::FlagSorted | TqDatafile::FlagVariableRows);
  if (file_ == nullptr) return Status::error(std::string(manager_->getError().asCstr()));
  size_t keys = k + (sizes_.sequenceKey ? 1 : 0);
  if (file_->resetSort(static_cast<int32_t>(keys)) != 0) return Status::error(this->error());
  for (size_t i = 0; i < keys; ++i) {
    bool descending = i < k && o_.keys[i].descending;
    if (file_->setSort(static_cast<int32_t>(i), static_cast<int32_t>(i), descending ? 0 : 1, nullptr) != 0) {
      return Status::error(this->error());
    }
  }
  if (o_.stats) file_->setSortInfo(info_);
  file_->setSortProgress(progress_);
  values_.clear();
  for (size_t i = 0; i < columns; ++i) values_.push_back(file_->getField(static_cast<int32_t>(i)));
  lineValue_ = values_.back();
  return Status();
}

Status Shard::grow(const SortSizes& sizes) {
  TqDatafileManager* oldManager = manager_;
  TqDatafile* old = file_;
  std::vector<TqbDatavar*> oldValues = values_;
  // The old sort's reading is a step of this one: no statistics, no progress of its own.
  old->setSortInfo(nullptr);
  old->setSortProgress(nullptr);
  SortSizes before = sizes_;
  sizes_ = sizes;
  manager_ = nullptr;
  file_ = nullptr;
  Status s = create();
  // The row in hand goes over too, after the others.
  std::vector<TqbDatavar> pending(oldValues.size());
  for (size_t i = 0; i < oldValues.size(); ++i) pending[i] = *oldValues[i];
  int32_t status = s.ok() ? old->sort() : TqDatafile::StatusEndOfData;
  while (s.ok() && status == 0) {
    for (size_t i = 0; i < values_.size(); ++i) *values_[i] = *oldValues[i];
    if (file_->addRow(nullptr) != 0) s = Status::error(this->error());
    status = old->next(nullptr);
  }
  if (s.ok() && status != TqDatafile::StatusEndOfData) s = Status::error(std::string(old->getError().asCstr()));
  old->release();
  oldManager->release();
  if (!s.ok()) {
    sizes_ = before;
    return s;
  }
  for (size_t i = 0; i < values_.size(); ++i) *values_[i] = pending[i];
  return Status();
}
Status Shard::setValue(TqbDatavar* v, const KeyValue& value, const Batch& batch) {
  switch (value.kind) {
    case KeyValue::Null: v->setNull(); break;
    case KeyValue::Int: v->assign(value.integer); break;
    case KeyValue::Date: v->assign(TqbDate(value.days)); break;
    case KeyValue::Bool: v->assign(value.boolean); break;
    case KeyValue::Dec:
      if (!v->assign(tqbTypeReal, batch.bytesOf(value), 24)) return Status::error("out of memory");
      break;
    case KeyValue::Text:
      if (!v->assign(tqbTypeString, batch.bytesOf(value), value.length)) return Status::error("out of memory");
      break;
  }
  return Status();
}

Status Shard::spillLine(const char* data, size_t length) {
  auto fail = [this](int error) {
    return Status::error("cannot write the temporary file '" + printable(linePath_) + "': " + systemError(error));
  };
  if (lineFd_ < 0) {
    lineFd_ = ::open(linePath_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (lineFd_ < 0) return fail(errno);
  }
  uint64_t offset = lineFileSize_;
  for (size_t done = 0; done < length;) {
    ssize_t n = ::pwrite(lineFd_, data + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(errno);  // the line is not stored; the file's next line starts where it would have
    }
    done += static_cast<size_t>(n);
  }
  lineFileSize_ += length;
  char reference[kReferenceBytes];
  uint64_t length64 = length;
  for (int b = 0; b < 8; ++b) {
    reference[b] = static_cast<char>(offset >> (8 * b));
    reference[8 + b] = static_cast<char>(length64 >> (8 * b));
  }
  reference[16] = kReferenceMark;
  if (!lineValue_->assign(tqbTypeString, reference, kReferenceBytes)) return Status::error("out of memory");
  return Status();
}

RowShape Shard::shape() const {
  RowShape shape;
  for (size_t i = 0; i < o_.keys.size(); ++i) {
    const TqbDatavar* v = values_[i];
    size_t n = 0;
    if (v->isNull()) {
      shape.keyBytes.push_back(-1);
    } else {
      v->getRaw(&n);
      shape.keyBytes.push_back(n > 0 ? static_cast<int64_t>(n) - 1 : 0);
    }
  }
  size_t lineSize = 0;
  lineValue_->getRaw(&lineSize);
  shape.lineBytes = lineSize > 0 ? lineSize - 1 : 0;
  return shape;
}

Status Shard::refused(int32_t status, const Batch& batch, const Row& row) {
  RowShape row_shape = shape();
  if (status == TqDatafile::StatusNoRoom && sizes_.growsTo > sizes_.memory &&
      needsMoreMemory(o_, sizes_, row_shape)) {
    // tqsort chose the memory: this sort grows to what the row needs, if it may.
    uint64_t memory = minimumMemory(o_, row_shape);
    if (memory != 0 && memory <= sizes_.growsTo) {
      SortSizes larger = sizesForMemory(o_, std::max(memory, sizes_.memory * 2));
      if (larger.memory > sizes_.growsTo) larger = sizesForMemory(o_, memory);
      larger.growsTo = sizes_.growsTo;
      TQSORT_TRY(grow(larger));
      if ((status = file_->addRow(nullptr)) == 0) return Status();
      row_shape = shape();
    }
  }
  return Status::error(rowErrorMessage(o_, sizes_, row_shape, status, error(), *batch.file, row.line, row.length));
}

Status Shard::consume(Batch& batch) {
  const size_t k = o_.keys.size();
  const KeyValue* value = batch.values.data();
  int64_t rowNumber = static_cast<int64_t>(batch.firstRow);
  for (const Row& row : batch.rows) {
    for (size_t i = 0; i < k; ++i, ++value) TQSORT_TRY(setValue(values_[i], *value, batch));
    if (sizes_.sequenceKey) values_[k]->assign(rowNumber++);
    const char* bytes = batch.data() + row.offset;
    bool ok = true;
    if (row.length > static_cast<size_t>(sizes_.lineLength)) {
      TQSORT_TRY(spillLine(bytes, row.length));
    } else if (batch.stored == nullptr || batch.stored->empty()) {
      ok = lineValue_->assign(tqbTypeString, bytes, row.length);
    } else if (row.storedLength > 0) {
      ok = lineValue_->assign(tqbTypeString, batch.arena.data() + row.stored, row.storedLength);
    } else {
      scratch_.clear();
      batch.stored->make(bytes, row.offset, row.length, value - k, &scratch_);
      ok = lineValue_->assign(tqbTypeString, scratch_.data(), scratch_.size());
    }
    if (!ok) return Status::error("out of memory");
    int32_t status = file_->addRow(nullptr);
    if (status != 0) TQSORT_TRY(refused(status, batch, row));
  }
  return Status();
}

Status Shard::writeSpilled(const char* reference, OutputStream* out) {
  uint64_t offset = 0, length = 0;
  for (int b = 0; b < 8; ++b) {
    offset |= uint64_t{static_cast<uint8_t>(reference[b])} << (8 * b);
    length |= uint64_t{static_cast<uint8_t>(reference[8 + b])} << (8 * b);
  }
  if (!copyBuffer_) copyBuffer_ = std::make_unique_for_overwrite<char[]>(sizes_.blockBytes);
  while (length > 0) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(length, sizes_.blockBytes));
    ssize_t n = ::pread(lineFd_, copyBuffer_.get(), want, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      return Status::error("cannot read the temporary file '" + printable(linePath_) +
                           "': " + (n < 0 ? systemError(errno) : std::string("it ended before its lines")));
    }
    TQSORT_TRY(out->write(copyBuffer_.get(), static_cast<size_t>(n)));
    offset += static_cast<uint64_t>(n);
    length -= static_cast<uint64_t>(n);
  }
  return Status();
}

// --- progress and statistics of several sorts ------------------------------------------------

// The sorts report their progress from their own threads: the bar shows the least
// advanced, drawn under a lock, until the output starts.
class ShardProgress {
 public:
  ShardProgress(ProgressBar* bar, size_t count) : bar_(bar), fractions_(count, 0.0) {
    for (size_t i = 0; i < count; ++i) slots_.push_back(std::make_unique<Slot>(this, i));
  }
  TqSortProgress* slot(size_t i) { return slots_[i].get(); }
  // The output starts: the bar is cleared and stays so.
  void done() {
    std::lock_guard<std::mutex> lock(mutex_);
    over_ = true;
    bar_->done();
  }

 private:
  struct Slot : TqSortProgress {
    Slot(ShardProgress* ownedBy, size_t slot) : owner(ownedBy), index(slot) {}
    bool progress(double fraction) override {
      owner->update(index, fraction);
      return true;
    }
    ShardProgress* owner;
    size_t index;
  };
  void update(size_t index, double fraction) {
    std::lock_guard<std::mutex> lock(mutex_);
    fractions_[index] = fraction;
    if (!over_) bar_->show("merging", *std::min_element(fractions_.begin(), fractions_.end()));
  }

  ProgressBar* bar_;
  std::mutex mutex_;
  bool over_ = false;
  std::vector<double> fractions_;
  std::vector<std::unique_ptr<Slot>> slots_;
};

// A sort's statistics lines, kept until every sort is done and then shown in order.
class KeptStats : public TqSortInfo {
 public:
  int line(const char* text) override {
    lines.emplace_back(text);
    return 0;
  }
  std::vector<std::string> lines;
};

// --- the sorts together -----------------------------------------------------------------------

Sorter::Sorter(Options& options, ProgressBar* progress, StatsSink* stats)
    : o_(options), progress_(progress), stats_(stats) {}

Sorter::~Sorter() { release(); }

void Sorter::release() {
  for (auto& shard : shards_) shard->release();
}

std::vector<BatchConsumer*> Sorter::consumers() {
  std::vector<BatchConsumer*> all;
  for (auto& shard : shards_) all.push_back(shard.get());
  return all;
}

Status Sorter::start(const std::vector<std::string>& tempDirs, const SortSizes& sizes) {
  sizes_ = sizes;
  std::string dirs;
  for (const std::string& d : tempDirs) dirs += (dirs.empty() ? "" : ":") + d;
  // The managers take the list; an engine that reads the configuration finds it too.
  tqbSetConfigValue("BASE/TEMP", dirs.c_str());
  std::string lineDir = tempDirs.empty() ? std::string(".") : tempDirs.front();
  size_t count = static_cast<size_t>(sizes_.shards);
  if (count > 1) shardProgress_ = std::make_unique<ShardProgress>(progress_, count);
  for (size_t i = 0; i < count; ++i) {
    shards_.push_back(std::make_unique<Shard>(o_, sizes_, i));
    TqSortProgress* progress = progress_;
    TqSortInfo* info = stats_;
    if (count > 1) {
      progress = shardProgress_->slot(i);
      keptStats_.push_back(std::make_unique<KeptStats>());
      info = keptStats_.back().get();
    }
    TQSORT_TRY(shards_.back()->start(dirs, lineDir, progress, info));
  }
  return Status();
}

Status Sorter::finishOne(OutputStream* out, const std::function<Status()>& begin) {
  Shard& shard = *shards_.front();
  int32_t status = shard.sort();
  progress_->done();
  if (status != 0 && status != TqDatafile::StatusEndOfData) return Status::error(shard.error());
  TQSORT_TRY(begin());
  while (status == 0) {
    TQSORT_TRY(shard.writeLine(out));
    status = shard.next();
  }
  if (status != TqDatafile::StatusEndOfData) return Status::error(shard.error());
  return Status();
}

namespace {

// A batch of one sort's sorted rows, for the merge: each row's key (as appendSortKey
// makes it) and its line (or the reference of a spilled line).
struct SortedRows {
  struct Entry {
    size_t key;
    uint32_t keyLength;
    uint32_t lineLength;
    bool spilled;
  };
  std::string bytes;
  std::vector<Entry> entries;
  size_t next = 0;  // the merge's place
  void clear() {
    bytes.clear();
    entries.clear();
    next = 0;
  }
};

// The rows of several sorts on their way to the merge: each sort's thread reads its
// sorted rows into batches (two per sort), the merging thread takes them in order.
class SortedFeed {
 public:
  explicit SortedFeed(size_t sorts) : lanes_(sorts) {
    for (Lane& lane : lanes_) lane.free = {&lane.buffers[0], &lane.buffers[1]};
  }
  // A sort's thread: an empty batch, or null when the merge has stopped.
  SortedRows* take(size_t sort) {
    std::unique_lock<std::mutex> lock(mutex_);
    Lane& lane = lanes_[sort];
    changed_.wait(lock, [&] { return stopped_ || !lane.free.empty(); });
    if (stopped_) return nullptr;
    SortedRows* rows = lane.free.back();
    lane.free.pop_back();
    return rows;
  }
  void put(size_t sort, SortedRows* rows) {
    std::lock_guard<std::mutex> lock(mutex_);
    lanes_[sort].full.push_back(rows);
    changed_.notify_all();
  }
  // A sort's thread ends: with its failure, or none at the end of its rows.
  void end(size_t sort, const Status& status) {
    std::lock_guard<std::mutex> lock(mutex_);
    lanes_[sort].ended = true;
    lanes_[sort].status = status;
    if (!status.ok()) stopped_ = true;
    changed_.notify_all();
  }
  // The merge: the sort's next batch, or null at its end (*status then says whether
  // it failed, or another sort did).
  SortedRows* next(size_t sort, Status* status) {
    std::unique_lock<std::mutex> lock(mutex_);
    Lane& lane = lanes_[sort];
    changed_.wait(lock, [&] { return stopped_ || !lane.full.empty() || lane.ended; });
    if (stopped_) {
      *status = firstFailure();
      return nullptr;
    }
    if (lane.full.empty()) {
      *status = lane.status;
      return nullptr;
    }
    SortedRows* rows = lane.full.front();
    lane.full.erase(lane.full.begin());
    return rows;
  }
  void giveBack(size_t sort, SortedRows* rows) {
    rows->clear();
    std::lock_guard<std::mutex> lock(mutex_);
    lanes_[sort].free.push_back(rows);
    changed_.notify_all();
  }
  void stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    changed_.notify_all();
  }

 private:
  Status firstFailure() const {
    for (const Lane& lane : lanes_) {
      if (!lane.status.ok()) return lane.status;
    }
    return Status::error("stopped");
  }
  struct Lane {
    SortedRows buffers[2];
    std::vector<SortedRows*> free;
    std::vector<SortedRows*> full;
    bool ended = false;
    Status status;
  };
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Lane> lanes_;
  bool stopped_ = false;
};

// A sort's thread in the merge: sorts, then reads its rows into batches.
Status readSorted(Shard& shard, size_t index, SortedFeed* feed, size_t batchBytes) {
  int32_t status = shard.sort();
  if (status != 0 && status != TqDatafile::StatusEndOfData) return Status::error(shard.error());
  while (status == 0) {
    SortedRows* rows = feed->take(index);
    if (rows == nullptr) return Status();  // the merge stopped
    while (status == 0 && rows->bytes.size() < batchBytes) {
      SortedRows::Entry e;
      e.key = rows->bytes.size();
      shard.appendKey(&rows->bytes);
      e.keyLength = static_cast<uint32_t>(rows->bytes.size() - e.key);
      size_t lineStart = rows->bytes.size();
      if (!shard.appendLine(&rows->bytes, &e.spilled)) return Status::error("internal error: a stored line cannot be read");
      e.lineLength = static_cast<uint32_t>(rows->bytes.size() - lineStart);
      rows->entries.push_back(e);
      status = shard.next();
    }
    feed->put(index, rows);
  }
  if (status != TqDatafile::StatusEndOfData) return Status::error(shard.error());
  return Status();
}

}  // namespace

Status Sorter::finishMerged(OutputStream* out, const std::function<Status()>& begin) {
  size_t count = shards_.size();
  SortedFeed feed(count);
  std::vector<std::thread> threads;
  Status result;
  try {
    for (size_t i = 0; i < count; ++i) {
      threads.emplace_back([this, i, &feed] {
        Status s = readSorted(*shards_[i], i, &feed, sizes_.blockBytes);
        feed.end(i, s);
      });
    }
  } catch (const std::system_error& e) {
    result = Status::error(std::string("cannot start a thread: ") + e.what());
  }
  if (result.ok()) {
    // The head batch of each sort; a sort without rows has none.
    std::vector<SortedRows*> heads(count, nullptr);
    for (size_t i = 0; i < count && result.ok(); ++i) heads[i] = feed.next(i, &result);
    if (shardProgress_) shardProgress_->done();
    if (result.ok()) result = begin();
    std::string last;  // -u: the keys of the row written last
    bool any = false;
    const size_t sequenceBytes = sizes_.sequenceKey ? kSequenceKeyBytes : 0;
    while (result.ok()) {
      // The sort whose row in hand comes first; equal keys: the first sort.
      size_t best = count;
      const SortedRows::Entry* bestEntry = nullptr;
      for (size_t i = 0; i < count; ++i) {
        if (heads[i] == nullptr) continue;
        const SortedRows::Entry* e = &heads[i]->entries[heads[i]->next];
        if (bestEntry == nullptr ||
            compareKeys(heads[i]->bytes.data() + e->key, e->keyLength, heads[best]->bytes.data() + bestEntry->key,
                        bestEntry->keyLength) < 0) {
          best = i;
          bestEntry = e;
        }
      }
      if (bestEntry == nullptr) break;  // every sort's rows are out
      SortedRows* rows = heads[best];
      const char* key = rows->bytes.data() + bestEntry->key;
      size_t userKey = bestEntry->keyLength - sequenceBytes;
      bool duplicate = o_.unique && any && compareKeys(key, userKey, last.data(), last.size()) == 0;
      if (!duplicate) {
        if (o_.unique) last.assign(key, userKey);
        any = true;
        const char* line = key + bestEntry->keyLength;
        result = bestEntry->spilled ? shards_[best]->writeSpilled(line, out) : out->write(line, bestEntry->lineLength);
      }
      if (++rows->next == rows->entries.size()) {
        feed.giveBack(best, rows);
        heads[best] = feed.next(best, &result);
      }
    }
  }
  feed.stop();
  for (std::thread& t : threads) t.join();
  return result;
}

Status Sorter::finish(OutputTarget* target, bool bom, const std::string& header, const StoredLine& stored) {
  for (auto& shard : shards_) shard->setStored(&stored);
  Status result;
  {
    OutputStream out(target, sizes_.blockBytes, sizes_.threads);
    // The output starts once every sort has its first row: a sort's failure comes
    // first, and only then is the target begun (a FIFO opened, a file rewritten in place
    // truncated).
    auto begin = [&]() -> Status {
      TQSORT_TRY(target->begin());
      if (bom) TQSORT_TRY(out.write(kUtf8Bom, kUtf8BomLength));
      if (!header.empty()) TQSORT_TRY(out.write(header.data(), header.size()));
      return Status();
    };
    result = shards_.size() == 1 ? finishOne(&out, begin) : finishMerged(&out, begin);
    if (result.ok()) result = out.flush();
  }
  for (size_t i = 0; i < keptStats_.size(); ++i) {
    std::string prefix = "sort " + std::to_string(i + 1) + " of " + std::to_string(keptStats_.size()) + ": ";
    for (const std::string& line : keptStats_[i]->lines) stats_->line((prefix + line).c_str());
  }
  TQSORT_TRY(result);
  return target->commit();
}

}  // namespace tqsort
