#include "tqsort_collate.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "tqsort_collate_merge.h"

namespace tqsort {

namespace {

constexpr uint64_t kMiB = uint64_t{1} << 20;
constexpr uint64_t kLeastSortBytes = 256u << 10;      // the external engine's least memory
constexpr uint64_t kLargestSortBytes = 0xFFF00000ull;  // within the library's 32-bit sort size
constexpr int32_t kLeastWidth = 16;

uint64_t machineMemory() {
  return static_cast<uint64_t>(sysconf(_SC_PHYS_PAGES)) * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

// Without -S the memory may grow to this for a long row.
uint64_t memoryCap() { return std::max<uint64_t>(machineMemory() / 4, 64 * kMiB); }

// A column width for values of up to `length` bytes, with room to spare.
int32_t roomyWidth(uint64_t length) {
  uint64_t w = std::max<uint64_t>(length + length / 2, kLeastWidth);
  w = (w + 7) & ~uint64_t{7};
  return static_cast<int32_t>(std::min<uint64_t>(w, kTqMaxStringLength));
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
    return Status::error(option + ": " + plainLibraryText(error.asCstr()));
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
  if (!failure.empty()) return Status::error("--collate=" + printable(o.collate) + ": " + plainLibraryText(failure));
  return Status();
}

// --- sizes -------------------------------------------------------------------------------------

CollateSizes collateSizesForMemory(const Options& options, uint64_t memory, int64_t totalBytes) {
  CollateSizes s;
  memory = std::max(memory, kMiB);
  s.memory = memory;
  // A quarter to the sorts: three quarters of that to the main sort, one to the long one.
  uint64_t sorts = std::max(memory / 4, 2 * kLeastSortBytes);
  s.longBytes = std::min(std::max(sorts / 4, kLeastSortBytes), kLargestSortBytes);
  s.sortBytes = std::min(std::max(sorts - s.longBytes, kLeastSortBytes), kLargestSortBytes);
  uint64_t lines = memory - std::min(memory, s.sortBytes + s.longBytes);
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
  uint64_t size = totalBytes >= 0 ? static_cast<uint64_t>(totalBytes) / 2 * 3 : 256 * kMiB;
  return collateSizesForMemory(options, std::min(std::max<uint64_t>(size, 64 * kMiB), memoryCap()), totalBytes);
}

uint64_t collateMemoryFor(const Options& options, uint64_t rowBytes, int64_t totalBytes) {
  if (rowBytes > kLargestCollatedRow) return 0;
  // The long sort has a sixteenth of the memory and takes rows of a sixteenth of its own.
  uint64_t memory = std::max((rowBytes * kLongRowShare * 16 + kMiB - 1) / kMiB * kMiB, kMiB);
  for (; memory <= 16 * kLargestSortBytes; memory += kMiB) {
    CollateSizes s = collateSizesForMemory(options, memory, totalBytes);
    if (s.longBytes / kLongRowShare >= rowBytes) return memory;
  }
  return 0;
}

// --- value lengths ----------------------------------------------------------------------------

size_t LengthCounts::bucket(uint64_t length) {
  if (length < 16) return static_cast<size_t>(length);
  int bits = 63 - __builtin_clzll(length);  // 4 and up
  return 16 + 8 * static_cast<size_t>(bits - 4) + static_cast<size_t>((length >> (bits - 3)) & 7);
}

uint64_t LengthCounts::bucketTop(size_t bucket) {
  if (bucket < 16) return bucket;
  size_t bits = (bucket - 16) / 8 + 4;
  uint64_t eighth = (bucket - 16) % 8;
  return ((8 + eighth + 1) << (bits - 3)) - 1;
}

uint64_t LengthCounts::covering(uint64_t share) const {
  uint64_t allowed = total_ / share;  // values that may stay outside
  uint64_t above = 0;
  for (size_t b = kBuckets; b-- > 0;) {
    if (above + counts_[b] > allowed) return bucketTop(b);
    above += counts_[b];
  }
  return 0;
}

// --- the sorts ---------------------------------------------------------------------------------

CollatedSort::CollatedSort(const Options& options, const CollateSizes& sizes, unsigned collateFlags,
                           const RecordParser* parser, TqSortProgress* progress, StatsReport* stats)
    : o_(options),
      sizes_(sizes),
      collation_{options.collate.c_str(), collateFlags},
      parser_(parser),
      progress_(progress),
      stats_(stats),
      mainWidths_(options.keys.size(), 0),
      longWidths_(options.keys.size(), 0),
      lengths_(options.keys.size()) {}

CollatedSort::~CollatedSort() { release(); }

void CollatedSort::release() {
  if (main_) main_->release();
  if (long_) long_->release();
}

Status CollatedSort::start(const std::vector<std::string>& tempDirs) {
  runDirs_ = tempDirs;
  dirs_.clear();
  for (const std::string& d : tempDirs) dirs_ += (dirs_.empty() ? "" : ":") + d;
  // The engine reads its work file directories from the configuration.
  tqbSetConfigValue("BASE/TEMP", dirs_.c_str());
  spool_ = std::make_unique<LineSpool>(tempDirs, sizes_.spoolBytes, sizes_.blockBytes);
  main_ = std::make_unique<CollateTable>(o_, collation_, dirs_);
  return Status();
}

void CollatedSort::readInputsAgain(const OutputTarget& out) {
  uint64_t device = 0, inode = 0;
  if (out.fileWritten(&device, &inode)) spool_->readInputsAgain(device, inode);
}

CollateTable::Shape CollatedSort::shapeOf(const std::vector<int32_t>& widths, SortRole role) const {
  CollateTable::Shape shape;
  shape.widths = widths;
  shape.lineNumbers = lineNumbers();
  // -u keeps the first row of each run of equal keys in input order: a stable sort.
  shape.stable = o_.stable || o_.unique;
  shape.unique = o_.unique;
  // The long sort's rows are few: one thread, and no estimate of them.
  shape.memory = role == SortRole::Main ? sizes_.sortBytes : sizes_.longBytes;
  shape.processors = role == SortRole::Main ? sizes_.processors : 1;
  shape.expectedRows = role == SortRole::Main ? expectedRows_ : 0;
  return shape;
}

void CollatedSort::fitMainRow(std::vector<int32_t>* widths) const {
  // Narrower while a row would take too much of the sort: the longer values go apart.
  while (CollateTable::rowBytes(o_, *widths, lineNumbers()) > rowLimit(sizes_.sortBytes)) {
    auto widest = std::max_element(widths->begin(), widths->end());
    if (*widest <= kLeastWidth) break;
    *widest = std::max(*widest / 2, kLeastWidth);
  }
}

Status CollatedSort::startSorts(const Batch& batch) {
  // The columns hold all but the longest 1/kRareShare of the first batch's values.
  const size_t k = o_.keys.size();
  for (size_t r = 0; r < batch.rows.size(); ++r) {
    for (size_t i = 0; i < k; ++i) {
      const KeyValue& v = batch.values[r * k + i];
      if (v.kind == KeyValue::Text) lengths_[i].add(v.length);
    }
  }
  for (size_t i = 0; i < k; ++i) {
    if (o_.keys[i].type == KeyType::Str) mainWidths_[i] = roomyWidth(lengths_[i].covering(kRareShare));
  }
  fitMainRow(&mainWidths_);
  if (sizes_.inputBytes > 0 && batch.used > 0) {
    expectedRows_ = static_cast<int64_t>(static_cast<double>(sizes_.inputBytes) * batch.rows.size() / batch.used) + 1;
  }
  TQSORT_TRY(main_->create(shapeOf(mainWidths_, SortRole::Main)));
  if (o_.stats) main_->setReporting(stats_->sort(0, 1), progress_);
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
  if (!main_->created()) TQSORT_TRY(startSorts(batch));
  const KeyValue* values = batch.values.data();
  for (const Row& row : batch.rows) {
    for (size_t i = 0; i < k; ++i) {
      if (values[i].kind != KeyValue::Text) continue;
      TQSORT_TRY(checkCollatable(batch, row, i, values[i]));
      lengths_[i].add(values[i].length);
    }
    int64_t place = 0;
    // A line as it stands in a regular input may stay there instead of in the spool's
    // file; not one whose line end the reader added.
    int64_t at = batch.fileOffset >= 0 && row.addedEnd == 0 ? batch.fileOffset + static_cast<int64_t>(row.offset) : -1;
    TQSORT_TRY(spool_->append(batch.data() + row.offset, row.length, &place, batch.file, at));
    if (row.addedEnd != 0) addedEnds_.emplace_back(rows_, row.addedEnd);
    Status added = addRow(batch, values, place, rows_);
    if (!added.ok()) return Status::error(batch.file->shown + ":" + std::to_string(row.line) + ": " + added.message());
    ++rows_;
    values += k;
  }
  // Long lines that are not rare: the main sort's columns widen for most of them.
  if (longLines_.size() > std::max(kLeastLongRows, rows_ / kLongShare)) TQSORT_TRY(widenMain());
  return Status();
}

Status CollatedSort::addRow(const Batch& batch, const KeyValue* values, int64_t place, uint64_t line) {
  bool fits = true;
  for (size_t i = 0; i < o_.keys.size() && fits; ++i) {
    fits = values[i].kind != KeyValue::Text || values[i].length <= static_cast<uint64_t>(mainWidths_[i]);
  }
  if (fits) return main_->add(batch, values, place, line);
  longLines_.push_back(SpooledLine{place, line});
  bool longFits = long_ != nullptr;
  for (size_t i = 0; i < o_.keys.size() && longFits; ++i) {
    longFits = values[i].kind != KeyValue::Text || values[i].length <= static_cast<uint64_t>(longWidths_[i]);
  }
  // The long sort is made (or made wider) with this row's values; it takes the long
  // lines before this one again from the spool.
  if (!longFits) return widenLong(values);
  return long_->add(batch, values, place, line);
}

Status CollatedSort::widenLong(const KeyValue* values) {
  std::vector<int32_t> wider = longWidths_;
  std::vector<int32_t> exact = longWidths_;
  for (size_t i = 0; i < o_.keys.size(); ++i) {
    if (o_.keys[i].type != KeyType::Str) continue;
    uint64_t length = values[i].kind == KeyValue::Text ? values[i].length : 0;
    uint64_t need = std::max<uint64_t>(length, static_cast<uint64_t>(mainWidths_[i]));
    exact[i] = static_cast<int32_t>(std::min<uint64_t>(std::max<uint64_t>(need, exact[i]), INT32_MAX));
    wider[i] = std::max(roomyWidth(need), wider[i]);
  }
  uint64_t need = CollateTable::rowBytes(o_, exact, lineNumbers());
  if (CollateTable::rowBytes(o_, wider, lineNumbers()) > sizes_.longBytes / kLongRowShare) wider = exact;
  if (need > sizes_.longBytes / kLongRowShare) {
    // tqsort chose the memory: the long sort grows to hold the row, within the cap.
    uint64_t grown = (need * kLongRowShare + kMiB - 1) / kMiB * kMiB;
    bool mayGrow = o_.bufferSize == 0 && need <= kLargestCollatedRow && grown <= kLargestSortBytes &&
                   sizes_.memory - sizes_.longBytes + grown <= memoryCap();
    if (!mayGrow) {
      uint64_t memory = collateMemoryFor(o_, need, sizes_.inputBytes);
      if (memory == 0) {
        return Status::error("collated keys of " + std::to_string(need) + " bytes are too long to sort with " +
                             "--collate (at most " + std::to_string(kLargestCollatedRow) + " bytes a line)");
      }
      return Status::error("a line whose collated keys take " + std::to_string(need) + " bytes needs -S of at least " +
                           std::to_string(memory / kMiB) + "M");
    }
    sizes_.memory = sizes_.memory - sizes_.longBytes + grown;
    sizes_.longBytes = grown;
  }
  for (size_t i = 0; i < o_.keys.size(); ++i) {
    if (o_.keys[i].type == KeyType::Str && wider[i] > static_cast<int32_t>(kTqMaxStringLength)) {
      wider[i] = kTqMaxStringLength;
    }
  }
  longWidths_ = wider;
  if (long_ == nullptr) long_ = std::make_unique<CollateTable>(o_, collation_, dirs_);
  TQSORT_TRY(long_->create(shapeOf(longWidths_, SortRole::Long)));
  if (longLines_.size() > 1) ++longRestarts_;
  // The long lines so far, this one last, from the spool.
  TQSORT_TRY(spool_->flush());
  return replay(&longLines_, false);
}

Status CollatedSort::widenMain() {
  std::vector<int32_t> wider = mainWidths_;
  for (size_t i = 0; i < o_.keys.size(); ++i) {
    if (o_.keys[i].type != KeyType::Str) continue;
    wider[i] = std::max(wider[i], roomyWidth(lengths_[i].covering(kRareShare)));
  }
  fitMainRow(&wider);
  // No wider within the sort's memory: the long lines stay apart.
  if (wider <= mainWidths_) return Status();
  mainWidths_ = wider;
  ++restarts_;
  TQSORT_TRY(main_->create(shapeOf(mainWidths_, SortRole::Main)));
  if (o_.stats) main_->setReporting(stats_->sort(0, 1), progress_);
  long_.reset();
  std::fill(longWidths_.begin(), longWidths_.end(), 0);
  longLines_.clear();
  TQSORT_TRY(spool_->flush());
  return replay(nullptr, true);
}

Status CollatedSort::parseSpooled(RecordParser& parser, Batch* batch, const char* line, size_t length,
                                  uint64_t number) {
  if (!batch->reserve(batch->used + length)) return Status::error("out of memory");
  char* begin = batch->data() + batch->used;
  std::memcpy(begin, line, length);
  batch->used += length;
  Record record;
  record.begin = begin;
  record.length = length;
  record.terminated = true;
  // The content ends before the line end, or before the one added to an input's last
  // line.
  size_t end = 1 + (length >= 2 && line[length - 2] == '\r' ? 1 : 0);
  auto added = std::lower_bound(addedEnds_.begin(), addedEnds_.end(), std::make_pair(number, uint8_t{0}));
  if (added != addedEnds_.end() && added->first == number) end = added->second;
  record.contentLength = length - end;
  record.quoted = std::memchr(line, '"', record.contentLength) != nullptr;
  static const InputFile spooled{"(the lines read so far)", "(the lines read so far)", -1};
  return parser.parse(batch, spooled, static_cast<int64_t>(number + 1), record, length);
}

Status CollatedSort::replay(const std::vector<SpooledLine>* only, bool mainToo) {
  // The lines parsed again (their values parsed before, so they parse again) and added
  // in input order to the sort each belongs to.
  RecordParser parser(parser_->keys(), o_.separator, o_.lenient, false);
  TQSORT_TRY(parser.resolve(nullptr));
  Batch batch(sizes_.blockBytes);
  std::vector<SpooledLine> lines;
  const size_t k = o_.keys.size();
  std::vector<SpooledLine> pending;
  if (only != nullptr) pending.swap(longLines_);  // addRow puts them back
  auto addAll = [&]() -> Status {
    for (size_t r = 0; r < batch.rows.size(); ++r) {
      const KeyValue* values = batch.values.data() + r * k;
      if (mainToo) {
        TQSORT_TRY(addRow(batch, values, lines[r].place, lines[r].line));
      } else {
        longLines_.push_back(lines[r]);
        TQSORT_TRY(long_->add(batch, values, lines[r].place, lines[r].line));
      }
    }
    batch.reset(sizes_.blockBytes);
    lines.clear();
    return Status();
  };
  auto take = [&](const char* line, size_t length, SpooledLine at) -> Status {
    if (batch.used + length > batch.capacity() || batch.rows.size() >= sizes_.blockRows) TQSORT_TRY(addAll());
    TQSORT_TRY(parseSpooled(parser, &batch, line, length, at.line));
    lines.push_back(at);
    return Status();
  };
  if (only == nullptr) {
    uint64_t number = 0;
    TQSORT_TRY(spool_->replay([&](const char* line, size_t length, int64_t place) -> Status {
      return take(line, length, SpooledLine{place, number++});
    }));
  } else {
    std::string scratch;
    for (const SpooledLine& at : pending) {
      const char* line = nullptr;
      size_t length = 0;
      TQSORT_TRY(spool_->lineAt(at.place, &scratch, &line, &length));
      TQSORT_TRY(take(line, length, at));
    }
  }
  return addAll();
}

// --- the output --------------------------------------------------------------------------------

Status CollatedSort::finish(OutputTarget* target, bool bom, const std::string& header) {
  TQSORT_TRY(spool_->flush());
  std::unique_ptr<LongLineMerge> merge;
  if (main_->created() && long_ != nullptr && !longLines_.empty()) {
    // Long lines: their places among the main rows first, with the sorts' memory.
    LongLineMerge::Setup setup;
    setup.options = &o_;
    setup.collation = &collation_;
    setup.dirs = dirs_;
    setup.runDirs = runDirs_;
    setup.spool = spool_.get();
    RecordParser parser(parser_->keys(), o_.separator, o_.lenient, false);
    TQSORT_TRY(parser.resolve(nullptr));
    setup.parse = [this, parser](Batch* batch, const char* line, size_t length, uint64_t number) mutable {
      return parseSpooled(parser, batch, line, length, number);
    };
    setup.blockBytes = sizes_.blockBytes;
    setup.memory = sizes_.sortBytes + sizes_.longBytes;
    setup.processors = sizes_.processors;
    // The list of places may take the long sort's memory, and the output's window when
    // the lines are all in memory (the window is not needed then).
    setup.orderMemory = sizes_.longBytes + (spool_->allInMemory() ? sizes_.windowBytes : 0);
    merge = std::make_unique<LongLineMerge>(std::move(setup));
    TQSORT_TRY(merge->take(main_.get(), long_.get()));
    std::vector<int32_t> widths = longWidths_;
    for (size_t i = 0; i < widths.size(); ++i) widths[i] = std::max(widths[i], mainWidths_[i]);
    TQSORT_TRY(merge->place(widths));
    probeSorts_ = merge->probeSorts();
    orderFileBytes_ = merge->orderFileBytes();
  }
  return writeSorted(target, bom, header, merge.get());
}

Status CollatedSort::writeSorted(OutputTarget* target, bool bom, const std::string& header, LongLineMerge* merge) {
  int32_t status = TqDatafile::StatusEndOfData;
  if (merge == nullptr && main_->created()) status = main_->sort();
  if (status != 0 && status != TqDatafile::StatusEndOfData) return Status::error(main_->error());
  Status result;
  uint64_t windows = 0, reads = 0;
  {
    OutputStream out(target, sizes_.blockBytes, sizes_.threads);
    result = [&]() -> Status {
      TQSORT_TRY(spool_->checkInputs());
      TQSORT_TRY(target->begin());
      if (bom) TQSORT_TRY(out.write(kUtf8Bom, kUtf8BomLength));
      if (!header.empty()) TQSORT_TRY(out.write(header.data(), header.size()));
      if (merge == nullptr && spool_->allInMemory()) return copyFromMemory(&out, status);
      LineGather gather(*spool_, sizes_.windowBytes, &out);
      if (merge != nullptr) {
        TQSORT_TRY(merge->write([&](int64_t place) { return gather.add(place); }));
      } else {
        for (; status == 0; status = main_->next()) TQSORT_TRY(gather.add(main_->place()));
        if (status != TqDatafile::StatusEndOfData) return Status::error(main_->error());
      }
      TQSORT_TRY(gather.flush());
      windows = gather.windows();
      reads = gather.reads();
      return Status();
    }();
    if (result.ok()) result = out.flush();
  }
  if (o_.stats) stats_->note(statsLine(windows, reads));
  TQSORT_TRY(result);
  // The lines were read again from the inputs as the output was written: it is kept
  // only if they did not change meanwhile.
  TQSORT_TRY(spool_->checkInputs());
  return target->commit();
}

Status CollatedSort::copyFromMemory(OutputStream* out, int32_t status) {
  // The lines lie anywhere in memory: a few rows ahead are taken first and their lines
  // fetched into the cache while the rows are read, then copied out.
  constexpr size_t kAhead = 32;
  const char* lines[kAhead];
  size_t lengths[kAhead];
  while (status == 0) {
    size_t n = 0;
    for (; n < kAhead && status == 0; ++n, status = main_->next()) {
      lines[n] = spool_->memoryLine(main_->place(), &lengths[n]);
      __builtin_prefetch(lines[n]);
      if (lengths[n] > 64) __builtin_prefetch(lines[n] + 64);
    }
    for (size_t i = 0; i < n; ++i) TQSORT_TRY(out->write(lines[i], lengths[i]));
  }
  if (status != TqDatafile::StatusEndOfData) return Status::error(main_->error());
  return Status();
}

std::string CollatedSort::statsLine(uint64_t windows, uint64_t reads) const {
  std::string main, apart;
  for (size_t i = 0; i < o_.keys.size(); ++i) {
    if (o_.keys[i].type != KeyType::Str) continue;
    main += (main.empty() ? "" : ", ") + std::to_string(mainWidths_[i]);
    apart += (apart.empty() ? "" : ", ") + std::to_string(longWidths_[i]);
  }
  std::string line = "collate: string key columns of " + main + " bytes (widened " + std::to_string(restarts_) +
                     " times); " + std::to_string(longLines_.size()) + " lines with longer values sorted apart";
  if (!longLines_.empty()) {
    line += " (columns of " + apart + " bytes, widened " + std::to_string(longRestarts_) + " times) and placed by " +
            std::to_string(probeSorts_) + " probe sorts";
  }
  return line + "; " + std::to_string(spool_->memoryLines()) + " of " + std::to_string(spool_->lines()) +
         " lines in memory (" + std::to_string(spool_->memoryBytes()) + " bytes), " +
         std::to_string(spool_->fileBytes()) + " bytes in the spool file (" + std::to_string(spool_->inputLines()) +
         " lines read again from the input; " + std::to_string(spool_->fileDiskBytes()) + " bytes on disk); " +
         std::to_string(windows) +
         " output windows, " + std::to_string(reads) + " reads";
}

}  // namespace tqsort
