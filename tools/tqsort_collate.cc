#include "tqsort_collate.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace tqsort {

namespace {

constexpr uint64_t kMiB = uint64_t{1} << 20;
constexpr uint64_t kLeastSortBytes = 256u << 10;      // the external engine's least memory
constexpr uint64_t kLargestSortBytes = 0xFFF00000ull;  // within the library's 32-bit sort size
constexpr int32_t kLeastWidth = 16;
// The longest row the external engine takes (its record length, 16 MiB), less room
// for what the library puts beside the fields.
constexpr uint64_t kLargestRow = (uint64_t{16} << 20) - 64;

uint64_t machineMemory() {
  return static_cast<uint64_t>(sysconf(_SC_PHYS_PAGES)) * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

// The library's text without the engine's "Key part N: " in front (the user named no
// key parts) and without its full stop, as tqsort's messages end.
// The library's text echoes what the user gave (a locale, a word): its control bytes
// are escaped, so that the message stays one line and sends nothing to the terminal.
std::string plainText(std::string text) {
  if (text.rfind("Key part ", 0) == 0) {
    size_t colon = text.find(": ");
    if (colon != std::string::npos) text = text.substr(colon + 2);
  }
  if (!text.empty() && text.back() == '.') text.pop_back();
  return printable(text, 1000);
}

// A column width for values of up to `length` bytes, with room to spare.
int32_t roomyWidth(uint64_t length) {
  uint64_t w = std::max<uint64_t>(length + length / 2, kLeastWidth);
  w = (w + 7) & ~uint64_t{7};
  return static_cast<int32_t>(std::min<uint64_t>(w, kTqMaxStringLength));
}

tqbType libraryType(KeyType type) {
  switch (type) {
    case KeyType::Str: return tqbTypeString;
    case KeyType::Int: return tqbTypeInteger;
    case KeyType::Dec: return tqbTypeReal;
    case KeyType::Date: return tqbTypeDate;
    case KeyType::Bool: return tqbTypeBoolean;
  }
  return tqbTypeString;
}

}  // namespace

// --- the options -------------------------------------------------------------------------------

namespace {

// The library's flags for one variant word (0 when it is not one).
unsigned variantFlags(const std::string& word) {
  unsigned flags = 0;
  return tqDatafileParseCollateParms(false, "", false, "", word.c_str(), &flags, nullptr) ? flags : 0;
}

// A code point order (--collation=posix or direct) stands alone: the other collation
// options given with it, in the user's words, or "" when there are none.
std::string optionsBesideCodePointOrder(const Options& o) {
  unsigned variant = variantFlags(o.variant);
  if (variant == 0 || (variant != variantFlags("posix") && variant != variantFlags("direct"))) return "";
  std::string others;
  auto add = [&](const std::string& option) { others += (others.empty() ? "" : ", ") + option; };
  if (!o.strength.empty()) add("--strength=" + printable(o.strength));
  if (!o.caseFirst.empty()) add("--case-first=" + printable(o.caseFirst));
  if (o.numeric) add("--numeric");
  if (o.ignorePunctuation) add("--ignore-punctuation");
  return others;
}

}  // namespace

Status checkCollation(const Options& o, unsigned* flags) {
  std::string conflicting = optionsBesideCodePointOrder(o);
  if (!conflicting.empty()) {
    return Status::error("--collation=" + printable(o.variant) + " orders by code point alone and cannot be " +
                         "combined with " + conflicting);
  }
  TqbString error;
  if (!tqDatafileParseCollateParms(o.numeric, o.caseFirst.c_str(), o.ignorePunctuation, o.strength.c_str(),
                                   o.variant.c_str(), flags, &error)) {
    // The library names the word it refused; the message names the option that gave it.
    std::string option = "--collate";
    if (!tqDatafileParseCollateParms(false, o.caseFirst.c_str(), false, "", "", nullptr, nullptr)) {
      option = "--case-first=" + printable(o.caseFirst);
    } else if (!tqDatafileParseCollateParms(false, "", false, o.strength.c_str(), "", nullptr, nullptr)) {
      option = "--strength=" + printable(o.strength);
    } else if (!tqDatafileParseCollateParms(false, "", false, "", o.variant.c_str(), nullptr, nullptr)) {
      option = "--collation=" + printable(o.variant);
    }
    return Status::error(option + ": " + plainText(error.asCstr()));
  }
  // The engine opens the collator when the sort starts, at its first row: a sort of one
  // row on a manager without directories (nothing is written) tells whether it can.
  TqbString managerError;
  TqDatafileManager* manager = tqDatafileManagerCreate(":", &managerError);
  if (manager == nullptr) return Status::error(std::string(managerError.asCstr()));
  std::string failure;
  manager->setColumns(1);
  manager->setColSpec(0, tqbTypeString, 1);
  manager->setSortSize(static_cast<uint32_t>(kLeastSortBytes));
  manager->setSortProcessors(1);
  TqDatafile* file = manager->createFile(TqDatafile::FlagSorted | TqDatafile::FlagExternalSort);
  if (file == nullptr) {
    failure = manager->getError().asCstr();
  } else {
    TqCollation collation{o.collate.c_str(), *flags};
    if (file->resetSort(1) != 0 || file->setSort(0, 0, 1, &collation) != 0 || !file->getField(0)->assign("a") ||
        file->addRow(nullptr) != 0) {
      failure = file->getError().asCstr();
    }
    file->release();
  }
  manager->release();
  if (!failure.empty()) return Status::error("--collate=" + printable(o.collate) + ": " + plainText(failure));
  return Status();
}

// --- sizes -------------------------------------------------------------------------------------

CollateSizes collateSizesForMemory(const Options& options, uint64_t memory, int64_t totalBytes) {
  CollateSizes s;
  memory = std::max(memory, kMiB);
  s.memory = memory;
  s.sortBytes = std::min(std::max(memory / 4, kLeastSortBytes), kLargestSortBytes);
  uint64_t lines = memory - std::min(memory, s.sortBytes);
  // Lines stored in memory take their length in front of them and leave a block's end
  // unused now and then.
  uint64_t allLines = totalBytes >= 0 ? static_cast<uint64_t>(totalBytes) : 0;
  allLines += allLines / 32 + 2 * kMiB;
  if (totalBytes >= 0 && allLines <= lines - lines / 16) {
    s.spoolBytes = lines - lines / 16;
  } else {
    s.spoolBytes = lines / 2;
  }
  s.windowBytes = lines - s.spoolBytes;
  int parallel = options.parallel;
  if (parallel == 0) parallel = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
  parallel = std::clamp(parallel, 1, 8);
  s.threads = parallel >= 2;  // a reader thread and a writer thread
  // The engine's threads each keep buffers of their own: one per 512 KiB of the sort.
  s.processors = static_cast<int>(std::clamp<uint64_t>(s.sortBytes / (512u << 10), 1, static_cast<uint64_t>(parallel)));
  s.blockBytes = static_cast<size_t>(std::min<uint64_t>(std::max<uint64_t>(memory / 128, 64u << 10), kMiB));
  s.blockRows = std::max<size_t>(1024, s.blockBytes / 64);
  s.inputBytes = totalBytes;
  return s;
}

CollateSizes chooseCollateSizes(const Options& options, int64_t totalBytes) {
  if (options.bufferSize != 0) return collateSizesForMemory(options, options.bufferSize, totalBytes);
  // Enough for the lines to stay in memory beside the sort: the output then copies
  // them rather than reading them back from a file.
  uint64_t cap = std::max<uint64_t>(machineMemory() / 4, 64 * kMiB);
  uint64_t size = totalBytes >= 0 ? static_cast<uint64_t>(totalBytes) / 2 * 3 : 256 * kMiB;
  return collateSizesForMemory(options, std::min(std::max<uint64_t>(size, 64 * kMiB), cap), totalBytes);
}

uint64_t collateMemoryFor(uint64_t rowBytes) {
  uint64_t sort = rowBytes * kRowShare;
  if (sort > kLargestSortBytes || rowBytes > kLargestRow) return 0;
  // The sort gets a quarter of the memory.
  uint64_t memory = std::max<uint64_t>(4 * sort, kMiB);
  return (memory + kMiB - 1) / kMiB * kMiB;
}

// --- the sort ----------------------------------------------------------------------------------

CollatedSort::CollatedSort(const Options& options, const CollateSizes& sizes, unsigned collateFlags,
                           const RecordParser* parser, TqSortProgress* progress, StatsReport* stats)
    : o_(options),
      sizes_(sizes),
      collation_{options.collate.c_str(), collateFlags},
      parser_(parser),
      progress_(progress),
      stats_(stats),
      widths_(options.keys.size(), 0),
      longest_(options.keys.size(), 0) {}

CollatedSort::~CollatedSort() { release(); }

void CollatedSort::release() {
  if (file_ != nullptr) file_->release();
  file_ = nullptr;
  if (manager_ != nullptr) manager_->release();
  manager_ = nullptr;
}

Status CollatedSort::start(const std::vector<std::string>& tempDirs) {
  dirs_.clear();
  for (const std::string& d : tempDirs) dirs_ += (dirs_.empty() ? "" : ":") + d;
  // The engine reads its work file directories from the configuration.
  tqbSetConfigValue("BASE/TEMP", dirs_.c_str());
  spool_ = std::make_unique<LineSpool>(tempDirs, sizes_.spoolBytes, sizes_.blockBytes);
  return Status();
}

std::string CollatedSort::libraryError() const {
  std::string text = plainText(file_ != nullptr ? file_->getError().asCstr() : manager_->getError().asCstr());
  // The sort's memory is a quarter of -S: a sort too small for its input says which
  // option gives it more.
  if (text.find("memory size") != std::string::npos && text.find("too small") != std::string::npos) {
    text += " (the sort has a quarter of -S; give a larger -S)";
  }
  return text;
}

uint64_t CollatedSort::rowLimit() const { return std::min(sizes_.sortBytes / kRowShare, kLargestRow); }

uint64_t CollatedSort::rowBytes(const std::vector<int32_t>& widths) const {
  // As the library lays a row out: each field behind its null indicator, then the
  // row number of a stable sort.
  uint64_t bytes = 9;  // the place
  for (size_t i = 0; i < o_.keys.size(); ++i) {
    switch (o_.keys[i].type) {
      case KeyType::Str: bytes += static_cast<uint64_t>(widths[i]) + 2; break;
      case KeyType::Int:
      case KeyType::Date: bytes += 9; break;
      case KeyType::Dec: bytes += 25; break;
      case KeyType::Bool: bytes += 2; break;
    }
  }
  if (o_.stable || o_.unique) bytes += 8;
  return bytes;
}

Status CollatedSort::create() {
  TqbString error;
  manager_ = tqDatafileManagerCreate(dirs_.c_str(), &error);
  if (manager_ == nullptr) return Status::error(std::string(error.asCstr()));
  const size_t k = o_.keys.size();
  manager_->setColumns(static_cast<int32_t>(k + 1));
  for (size_t i = 0; i < k; ++i) {
    manager_->setColSpec(static_cast<int32_t>(i), libraryType(o_.keys[i].type), std::max(widths_[i], 1));
  }
  manager_->setColSpec(static_cast<int32_t>(k), tqbTypeInteger, 0);
  manager_->setSortSize(static_cast<uint32_t>(sizes_.sortBytes));
  manager_->setChunkSize(static_cast<uint32_t>(std::clamp<uint64_t>(sizes_.sortBytes / 16, 16u << 10, kMiB)));
  manager_->setSortProcessors(sizes_.processors);
  // -u keeps the first row of each run of equal keys in input order: a stable sort.
  manager_->setSortStable(o_.stable || o_.unique);
  // What the engine expects to sort: it puts its work files where they have room.
  if (expectedRows_ > 0) manager_->setSortRecords(expectedRows_);
  manager_->setSortNoDups(o_.unique);
  file_ = manager_->createFile(TqDatafile::FlagSorted | TqDatafile::FlagExternalSort);
  if (file_ == nullptr) return Status::error(libraryError());
  if (file_->resetSort(static_cast<int32_t>(k)) != 0) return Status::error(libraryError());
  for (size_t i = 0; i < k; ++i) {
    const TqCollation* collation = o_.keys[i].type == KeyType::Str ? &collation_ : nullptr;
    if (file_->setSort(static_cast<int32_t>(i), static_cast<int32_t>(i), o_.keys[i].descending ? 0 : 1, collation) !=
        0) {
      return Status::error(libraryError());
    }
  }
  if (o_.stats) file_->setSortInfo(stats_->sort(0, 1));
  file_->setSortProgress(progress_);
  values_.clear();
  for (size_t i = 0; i <= k; ++i) values_.push_back(file_->getField(static_cast<int32_t>(i)));
  return Status();
}

Status CollatedSort::addRow(const Batch& batch, const KeyValue* value, int64_t place) {
  const size_t k = o_.keys.size();
  for (size_t i = 0; i < k; ++i, ++value) {
    TqbDatavar* v = values_[i];
    bool ok = true;
    switch (value->kind) {
      case KeyValue::Null: v->setNull(); break;
      case KeyValue::Int: v->assign(value->integer); break;
      case KeyValue::Date: v->assign(TqbDate(value->days)); break;
      case KeyValue::Bool: v->assign(value->boolean); break;
      case KeyValue::Dec: ok = v->assign(tqbTypeReal, batch.bytesOf(*value), 24); break;
      case KeyValue::Text: ok = v->assign(tqbTypeString, batch.bytesOf(*value), value->length); break;
    }
    if (!ok) return Status::error("out of memory");
  }
  values_[k]->assign(place);
  if (file_->addRow(nullptr) != 0) return Status::error(libraryError());
  return Status();
}

Status CollatedSort::checkCollatable(const Batch& batch, const Row& row, size_t key, const KeyValue& value) const {
  // The collation reads UTF-8 and ends a value at a zero byte.  Bytes that are not UTF-8
  // would all read as U+FFFD, so that distinct values compare equal (and -u drops
  // lines): such a value is refused, and the user converts the input.
  std::string_view bytes(batch.bytesOf(value), value.length);
  std::string where = batch.file->shown + ":" + std::to_string(row.line) + ": column " +
                      printable(o_.keys[key].column) + " (str): ";
  if (bytes.find('\0') != std::string_view::npos) return Status::error(where + "a collated value cannot hold a zero byte");
  if (firstInvalidUtf8(bytes) != std::string_view::npos) {
    return Status::error(where + "'" + printable(bytes) + "' is not UTF-8, which --collate reads (convert the " +
                         "input, e.g. with iconv -f LATIN1 -t UTF-8)");
  }
  return Status();
}

Status CollatedSort::consume(Batch& batch) {
  const size_t k = o_.keys.size();
  if (file_ == nullptr) {
    // The first batch: the string columns as wide as its values need, with room.
    for (size_t r = 0; r < batch.rows.size(); ++r) {
      for (size_t i = 0; i < k; ++i) {
        const KeyValue& v = batch.values[r * k + i];
        if (v.kind == KeyValue::Text) longest_[i] = std::max(longest_[i], v.length);
      }
    }
    for (size_t i = 0; i < k; ++i) {
      if (o_.keys[i].type == KeyType::Str) widths_[i] = roomyWidth(longest_[i]);
    }
    if (sizes_.inputBytes > 0 && batch.used > 0) {
      expectedRows_ = static_cast<int64_t>(static_cast<double>(sizes_.inputBytes) * batch.rows.size() / batch.used) + 1;
    }
    if (rowBytes(widths_) > rowLimit()) {
      // Values too long for this memory: the row that has one says so below.
      for (size_t i = 0; i < k; ++i) {
        if (o_.keys[i].type == KeyType::Str) widths_[i] = kLeastWidth;
      }
    }
    TQSORT_TRY(create());
  }
  const KeyValue* values = batch.values.data();
  uint64_t limit = rowLimit();
  for (const Row& row : batch.rows) {
    // Values longer than their column widen it (the sort starts again); a zero byte
    // would end the value for the collation.
    std::vector<int32_t> wider;
    for (size_t i = 0; i < k; ++i) {
      const KeyValue& v = values[i];
      if (v.kind != KeyValue::Text) continue;
      TQSORT_TRY(checkCollatable(batch, row, i, v));
      longest_[i] = std::max(longest_[i], v.length);
      if (v.length <= static_cast<uint64_t>(widths_[i])) continue;
      if (wider.empty()) wider = widths_;
      uint64_t doubled = 2 * static_cast<uint64_t>(widths_[i]);
      wider[i] = std::max(roomyWidth(v.length), static_cast<int32_t>(std::min<uint64_t>(doubled, kTqMaxStringLength)));
    }
    if (!wider.empty() && rowBytes(wider) > limit && o_.bufferSize == 0) {
      // tqsort chose the memory: the sort grows to hold the row, within a quarter of
      // the machine's memory.
      std::vector<int32_t> exact = wider;
      for (size_t i = 0; i < k; ++i) {
        if (o_.keys[i].type == KeyType::Str) exact[i] = static_cast<int32_t>(std::min<uint64_t>(longest_[i], INT32_MAX));
      }
      const uint64_t need = rowBytes(exact);
      const uint64_t sort = (need * kRowShare + kMiB - 1) / kMiB * kMiB;
      const uint64_t others = sizes_.memory - sizes_.sortBytes;
      if (need <= kLargestRow && sort > sizes_.sortBytes && sort <= kLargestSortBytes &&
          others + sort <= std::max<uint64_t>(machineMemory() / 4, 64 * kMiB)) {
        sizes_.memory = others + sort;
        sizes_.sortBytes = sort;
        limit = rowLimit();
      }
    }
    if (!wider.empty() && rowBytes(wider) > limit) {
      // No room to spare: every string column as wide as its longest value so far,
      // and what the row limit leaves goes to the columns that grow now (so that the
      // next slightly longer value does not start the sort again).
      std::vector<int32_t> grown = wider;
      for (size_t i = 0; i < k; ++i) {
        if (o_.keys[i].type == KeyType::Str) {
          wider[i] = static_cast<int32_t>(std::min<uint64_t>(std::max<uint64_t>(longest_[i], 1), INT32_MAX));
        }
      }
      uint64_t need = rowBytes(wider);
      bool tooLong = need > limit;
      for (size_t i = 0; i < k; ++i) tooLong = tooLong || static_cast<uint64_t>(wider[i]) > kTqMaxStringLength;
      if (tooLong) {
        uint64_t memory = collateMemoryFor(need);
        std::string where = batch.file->shown + ":" + std::to_string(row.line) + ": ";
        if (memory == 0) {
          return Status::error(where + "collated keys of " + std::to_string(need) +
                               " bytes are too long to sort with --collate (at most " +
                               std::to_string(kLargestRow) + " bytes a line)");
        }
        return Status::error(where + "a line whose collated keys take " + std::to_string(need) +
                             " bytes needs -S of at least " + std::to_string(memory / kMiB) + "M");
      }
      uint64_t spare = limit - need;
      for (size_t i = 0; i < k && spare > 0; ++i) {
        if (grown[i] <= widths_[i] || grown[i] <= wider[i]) continue;
        uint64_t more = std::min<uint64_t>(spare, static_cast<uint64_t>(grown[i] - wider[i]));
        wider[i] += static_cast<int32_t>(more);
        spare -= more;
      }
    }
    if (!wider.empty()) TQSORT_TRY(widen(wider));
    int64_t place = 0;
    TQSORT_TRY(spool_->append(batch.data() + row.offset, row.length, &place));
    if (row.addedEnd != 0) addedEnds_.emplace_back(rows_, row.addedEnd);
    Status added = addRow(batch, values, place);
    if (!added.ok()) return Status::error(batch.file->shown + ":" + std::to_string(row.line) + ": " + added.message());
    ++rows_;
    values += k;
  }
  return Status();
}

Status CollatedSort::widen(const std::vector<int32_t>& widths) {
  release();
  widths_ = widths;
  ++restarts_;
  TQSORT_TRY(create());
  // The lines so far, parsed again (their values parsed before, so they parse again)
  // and added in input order.
  RecordParser parser(parser_->keys(), o_.separator, o_.lenient, false);
  TQSORT_TRY(parser.resolve(nullptr));
  InputFile spooled;
  spooled.name = spooled.shown = "(the lines read so far)";
  Batch batch(sizes_.blockBytes);
  std::vector<int64_t> places;
  const size_t k = o_.keys.size();
  auto addAll = [&]() -> Status {
    for (size_t r = 0; r < batch.rows.size(); ++r) TQSORT_TRY(addRow(batch, batch.values.data() + r * k, places[r]));
    batch.reset(sizes_.blockBytes);
    places.clear();
    return Status();
  };
  uint64_t row = 0;
  size_t added = 0;
  Status replayed = spool_->replay([&](const char* line, size_t length, int64_t place) -> Status {
    if (batch.used + length > batch.capacity() || batch.rows.size() >= sizes_.blockRows) TQSORT_TRY(addAll());
    if (!batch.reserve(batch.used + length)) return Status::error("out of memory");
    char* begin = batch.data() + batch.used;
    std::memcpy(begin, line, length);
    batch.used += length;
    Record record;
    record.begin = begin;
    record.length = length;
    record.terminated = true;
    // The content ends before the line end, or before the one added to an input's
    // last line.
    size_t end = 1 + (length >= 2 && line[length - 2] == '\r' ? 1 : 0);
    if (added < addedEnds_.size() && addedEnds_[added].first == row) end = addedEnds_[added++].second;
    record.contentLength = length - end;
    record.quoted = std::memchr(line, '"', record.contentLength) != nullptr;
    TQSORT_TRY(parser.parse(&batch, spooled, static_cast<int64_t>(row + 1), record, length));
    places.push_back(place);
    ++row;
    return Status();
  });
  TQSORT_TRY(replayed);
  return addAll();
}

Status CollatedSort::finish(OutputTarget* target, bool bom, const std::string& header) {
  int32_t status = file_ != nullptr ? file_->sort() : TqDatafile::StatusEndOfData;
  if (status != 0 && status != TqDatafile::StatusEndOfData) return Status::error(libraryError());
  TQSORT_TRY(spool_->flush());
  Status result;
  uint64_t windows = 0, reads = 0;
  {
    OutputStream out(target, sizes_.blockBytes, sizes_.threads);
    result = [&]() -> Status {
      TQSORT_TRY(target->begin());
      if (bom) TQSORT_TRY(out.write(kUtf8Bom, kUtf8BomLength));
      if (!header.empty()) TQSORT_TRY(out.write(header.data(), header.size()));
      if (status != 0) return Status();
      TqbDatavar* place = values_.back();
      bool bad = false;
      if (spool_->allInMemory()) {
        // The lines lie anywhere in memory: a few rows ahead are taken first and their
        // lines fetched into the cache while the rows are read, then copied out.
        constexpr size_t kAhead = 32;
        const char* lines[kAhead];
        size_t lengths[kAhead];
        while (status == 0) {
          size_t n = 0;
          for (; n < kAhead && status == 0; ++n, status = file_->next(nullptr)) {
            lines[n] = spool_->memoryLine(place->asInt64(&bad), &lengths[n]);
            __builtin_prefetch(lines[n]);
            if (lengths[n] > 64) __builtin_prefetch(lines[n] + 64);
          }
          for (size_t i = 0; i < n; ++i) TQSORT_TRY(out.write(lines[i], lengths[i]));
        }
      } else {
        LineGather gather(*spool_, sizes_.windowBytes, &out);
        for (; status == 0; status = file_->next(nullptr)) TQSORT_TRY(gather.add(place->asInt64(&bad)));
        TQSORT_TRY(gather.flush());
        windows = gather.windows();
        reads = gather.reads();
      }
      if (status != TqDatafile::StatusEndOfData) return Status::error(libraryError());
      return Status();
    }();
    if (result.ok()) result = out.flush();
  }
  if (o_.stats) {
    std::string widths;
    for (size_t i = 0; i < o_.keys.size(); ++i) {
      if (o_.keys[i].type == KeyType::Str) widths += (widths.empty() ? "" : ", ") + std::to_string(widths_[i]);
    }
    std::string line = "collate: string key columns of " + widths + " bytes (widened " + std::to_string(restarts_) +
                       " times); " + std::to_string(spool_->memoryLines()) + " of " + std::to_string(spool_->lines()) +
                       " lines in memory (" + std::to_string(spool_->memoryBytes()) + " bytes), " +
                       std::to_string(spool_->fileBytes()) + " bytes in the spool file; " + std::to_string(windows) +
                       " output windows, " + std::to_string(reads) + " reads";
    stats_->note(line);
  }
  TQSORT_TRY(result);
  return target->commit();
}

}  // namespace tqsort
