#include "tqsort_sorter.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "tqsort_output.h"

namespace tqsort {

namespace {

constexpr uint64_t kMiB = uint64_t{1} << 20;
constexpr uint64_t kLargestSortSize = 0xFFF00000ull;  // within the library's 32-bit sort size
// A spilled line's reference: offset and length (little-endian), then a byte that a
// stored line never ends with (it ends with '\n') and that is not zero (a string value
// that ends in zero loses it).
constexpr size_t kReferenceBytes = 17;
constexpr char kReferenceMark = 'L';

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

bool sortsStably(const Options& o) { return o.stable || o.unique; }

// What the library makes the smallest chunk: one row of every column at its maximum
// length, with its key and index entry.  Kept at half a chunk or less, so that the
// library never raises the chunk size (or the sort size with it).
uint64_t minimumChunk(const Options& o, int32_t keyLength, int32_t lineLength) {
  uint64_t bytes = sortsStably(o) ? 8 : 0;
  for (const KeySpec& key : o.keys) {
    bytes += 1 + keyWidth(key.type, keyLength);
    bytes += fixedFieldWidth(key.type, keyLength) + (isStringKey(key) ? 4 : 0);
  }
  bytes += fixedFieldWidth(KeyType::Str, lineLength) + 4;
  return (bytes + 16 + 15) & ~uint64_t{15};
}

}  // namespace

SortSizes sizesForMemory(const Options& options, uint64_t memory) {
  SortSizes s;
  memory = std::min(std::max(memory, kMiB), kLargestSortSize);
  s.memory = memory;
  // Eight chunks: a wide enough merge, few enough chunk files.  The sort size is
  // exactly eight chunks, so that the library's budget is the sort size.
  s.chunkBytes = static_cast<uint32_t>((memory / 8) & ~uint64_t{15});
  s.sortBytes = s.chunkBytes * 8;
  // Lines up to an eighth of a chunk are sorted as they are; longer ones go to the line
  // file.  String keys may then be as long as keeps the smallest chunk within half a
  // chunk; a longer value is still sorted whole (the library reports it on its
  // assertion logger, silent unless enabled, and stores it).
  s.lineLength = static_cast<int32_t>(s.chunkBytes / 8);
  size_t strings = static_cast<size_t>(std::count_if(options.keys.begin(), options.keys.end(), isStringKey));
  s.keyLength = 16;
  if (strings > 0) {
    uint64_t fixed = minimumChunk(options, 0, s.lineLength);
    uint64_t room = s.chunkBytes / 2 > fixed ? s.chunkBytes / 2 - fixed : 0;
    s.keyLength = static_cast<int32_t>(std::min<uint64_t>(std::max<uint64_t>(room / (2 * strings), 16), kTqMaxStringLength));
  }
  // tqsort's own buffers grow with the memory up to 1 MiB each.
  s.blockBytes = static_cast<size_t>(std::min<uint64_t>(std::max<uint64_t>(memory / 64, 64u << 10), kMiB));
  s.blockRows = std::max<size_t>(1024, s.blockBytes / 64);
  s.processors = options.parallel;
  if (s.processors == 0) s.processors = static_cast<int>(std::min<long>(sysconf(_SC_NPROCESSORS_ONLN), 8));
  if (s.processors < 1) s.processors = 1;
  s.threads = s.processors >= 2;
  return s;
}

SortSizes chooseSortSizes(const Options& options, int64_t totalBytes) {
  // Memory: what the user gave, else room for the whole input several times over (rows
  // carry their key copies), at most a quarter of the machine.
  uint64_t size = options.bufferSize;
  if (size == 0) {
    uint64_t machine = static_cast<uint64_t>(sysconf(_SC_PHYS_PAGES)) * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    size = machine / 4;
    // Five times the input: a line whose key is nearly all of the input still sorts
    // (the library holds such a row twice, its key counted twice in it).
    if (totalBytes >= 0) size = std::min<uint64_t>(size, std::max<uint64_t>(static_cast<uint64_t>(totalBytes) * 5, 16 * kMiB));
  }
  return sizesForMemory(options, size);
}

uint64_t longRowNeed(const Options& o, const SortSizes& s, const RowShape& shape) {
  // As the library counts a row that goes to a run of its own: the key at its widest
  // (string keys at their column's maximum length), the sequence number of a stable
  // sort, every field, and every string field's bytes once more as key bytes.
  uint64_t need = sortsStably(o) ? 8 : 0;
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
  stringField(static_cast<int64_t>(shape.lineBytes));
  return need;
}

uint64_t minimumMemory(const Options& options, const RowShape& shape) {
  for (uint64_t memory = kMiB; memory <= kLargestSortSize; memory += kMiB) {
    SortSizes s = sizesForMemory(options, memory);
    uint64_t need = longRowNeed(options, s, shape);
    if (need > kTqMaxChunkSize) return 0;  // no size will do
    if (need <= s.sortBytes / 2) return memory;
  }
  return 0;
}

std::string rowErrorMessage(const Options& options, const SortSizes& sizes, const RowShape& shape, int32_t status,
                            const std::string& libraryText, const InputFile& in, int64_t line, uint64_t lineBytes) {
  std::string where = in.shown + ":" + std::to_string(line) + ": ";
  uint64_t need = longRowNeed(options, sizes, shape);
  bool tooBig = need > kTqMaxChunkSize || need > sizes.sortBytes / 2;
  if (status != TqDatafile::StatusNoRoom || !tooBig) return where + libraryText;
  uint64_t memory = minimumMemory(options, shape);
  if (memory == 0) {
    return where + "a line of " + std::to_string(lineBytes) + " bytes cannot be sorted: its key fields are longer than " +
           "a sort can hold";
  }
  return where + "a line of " + std::to_string(lineBytes) + " bytes needs -S of at least " +
         std::to_string(memory / kMiB) + "M";
}

Sorter::Sorter(Options& options, ProgressBar* progress, StatsSink* stats)
    : o_(options), progress_(progress), stats_(stats) {}

Sorter::~Sorter() { release(); }

void Sorter::release() {
  if (file_ != nullptr) file_->release();
  file_ = nullptr;
  if (manager_ != nullptr) manager_->release();
  manager_ = nullptr;
  if (lineFd_ >= 0) ::close(lineFd_);
  lineFd_ = -1;
}

Status Sorter::start(const std::vector<std::string>& tempDirs, const SortSizes& sizes) {
  sizes_ = sizes;
  std::string dirs;
  for (const std::string& d : tempDirs) dirs += (dirs.empty() ? "" : ":") + d;
  if (!tempDirs.empty()) linePath_ = tempDirs.front() + "/lines";
  // The manager takes the list; an engine that reads the configuration finds it too.
  tqbSetConfigValue("BASE/TEMP", dirs.c_str());
  TqbString error;
  manager_ = tqDatafileManagerCreate(dirs.c_str(), &error);
  if (manager_ == nullptr) return Status::error(std::string(error.asCstr()));

  size_t k = o_.keys.size();
  manager_->setColumns(static_cast<int32_t>(k + 1));
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
  manager_->setColSpec(static_cast<int32_t>(k), tqbTypeString, sizes_.lineLength);
  manager_->setChunkSize(sizes_.chunkBytes);
  manager_->setSortSize(sizes_.sortBytes);
  manager_->setSortProcessors(sizes_.processors);
  // -u keeps the first record of each run in input order, so it sorts stably too.
  manager_->setSortStable(sortsStably(o_));
  manager_->setSortNoDups(o_.unique);
  file_ = manager_->createFile(TqDatafile::FlagSorted | TqDatafile::FlagVariableRows);
  if (file_ == nullptr) return Status::error(std::string(manager_->getError().asCstr()));
  if (file_->resetSort(static_cast<int32_t>(k)) != 0) return Status::error(std::string(file_->getError().asCstr()));
  for (size_t i = 0; i < k; ++i) {
    if (file_->setSort(static_cast<int32_t>(i), static_cast<int32_t>(i), o_.keys[i].descending ? 0 : 1, nullptr) != 0) {
      return Status::error(std::string(file_->getError().asCstr()));
    }
  }
  if (o_.stats) file_->setSortInfo(stats_);
  file_->setSortProgress(progress_);
  for (size_t i = 0; i <= k; ++i) values_.push_back(file_->getField(static_cast<int32_t>(i)));
  return Status();
}

Status Sorter::setValue(TqbDatavar* v, const KeyValue& value, const Batch& batch) {
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

Status Sorter::spillLine(const char* data, size_t length) {
  auto fail = [this](int error) {
    return Status::error("cannot write the temporary file '" + printable(linePath_) + "': " + systemError(error));
  };
  if (lineFd_ < 0) {
    lineFd_ = ::open(linePath_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (lineFd_ < 0) return fail(errno);
  }
  uint64_t offset = lineFileSize_;
  for (size_t done = 0; done < length;) {
    ssize_t n = ::write(lineFd_, data + done, length - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      int error = errno;
      // The line is not stored: the file ends where it ended.
      if (::ftruncate(lineFd_, static_cast<off_t>(lineFileSize_)) != 0 ||
          ::lseek(lineFd_, static_cast<off_t>(lineFileSize_), SEEK_SET) < 0) {
        (void)0;  // the sort stops with the write's failure anyway
      }
      return fail(error);
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
  if (!values_.back()->assign(tqbTypeString, reference, kReferenceBytes)) return Status::error("out of memory");
  return Status();
}

Status Sorter::refused(int32_t status, const Batch& batch, const Row& row) {
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
  values_.back()->getRaw(&lineSize);
  shape.lineBytes = lineSize > 0 ? lineSize - 1 : 0;
  return Status::error(rowErrorMessage(o_, sizes_, shape, status, file_->getError().asCstr(), *batch.file, row.line,
                                       row.length));
}

Status Sorter::consume(Batch& batch) {
  const size_t k = o_.keys.size();
  const KeyValue* value = batch.values.data();
  TqbDatavar* line = values_.back();
  const size_t lineLength = static_cast<size_t>(sizes_.lineLength);
  for (const Row& row : batch.rows) {
    for (size_t i = 0; i < k; ++i, ++value) TQSORT_TRY(setValue(values_[i], *value, batch));
    const char* bytes = batch.data() + row.offset;
    if (row.length > lineLength) {
      TQSORT_TRY(spillLine(bytes, row.length));
    } else if (!line->assign(tqbTypeString, bytes, row.length)) {
      return Status::error("out of memory");
    }
    int32_t status = file_->addRow(nullptr);
    if (status != 0) return refused(status, batch, row);
  }
  return Status();
}

Status Sorter::writeSpilled(const char* reference, OutputStream* out) {
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

Status Sorter::finish(OutputTarget* target, bool bom, const std::string& header) {
  int32_t status = file_->sort();
  progress_->done();
  if (status != 0 && status != TqDatafile::StatusEndOfData) return Status::error(std::string(file_->getError().asCstr()));
  TQSORT_TRY(target->begin());
  {
    OutputStream out(target, sizes_.blockBytes, sizes_.threads);
    if (bom) TQSORT_TRY(out.write(kUtf8Bom, kUtf8BomLength));
    if (!header.empty()) TQSORT_TRY(out.write(header.data(), header.size()));
    TqbDatavar* line = values_.back();
    while (status == 0) {
      size_t n = 0;
      const char* bytes = static_cast<const char*>(line->getRaw(&n));
      --n;  // without the value's terminating zero
      if (n == kReferenceBytes && bytes[n - 1] == kReferenceMark) {
        TQSORT_TRY(writeSpilled(bytes, &out));
      } else {
        TQSORT_TRY(out.write(bytes, n));
      }
      status = file_->next(nullptr);
    }
    if (status != TqDatafile::StatusEndOfData) return Status::error(std::string(file_->getError().asCstr()));
    TQSORT_TRY(out.flush());
  }
  return target->commit();
}

}  // namespace tqsort
