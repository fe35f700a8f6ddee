#include "tqsort_sorter.h"

#include <unistd.h>

#include <algorithm>

#include "tqsort_output.h"
#include "tqsort_values.h"

namespace tqsort {

SortSizes chooseSortSizes(const Options& options, int64_t totalBytes) {
  SortSizes s;
  // Memory: what the user gave, else room for the whole input several times over (rows
  // carry their key copies), at most a quarter of the machine, within the library's
  // 32-bit sort size.
  uint64_t memory = static_cast<uint64_t>(sysconf(_SC_PHYS_PAGES)) * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  uint64_t size = options.bufferSize;
  if (size == 0) {
    size = memory / 4;
    if (totalBytes >= 0) size = std::min<uint64_t>(size, std::max<uint64_t>(static_cast<uint64_t>(totalBytes) * 4, 16u << 20));
  }
  size = std::min<uint64_t>(std::max<uint64_t>(size, 1u << 20), 0xFFF00000ull);
  s.sortBytes = static_cast<uint32_t>(size);
  // Eight chunks: a wide enough merge, few enough chunk files.
  s.chunkBytes = static_cast<uint32_t>(std::max<uint64_t>(size / 8, 1u << 18));
  // Every string field may be as long as fits a chunk with the others.
  size_t k = options.keys.size();
  s.maxFieldLength = static_cast<int32_t>(s.chunkBytes / (2 * k + 4)) - 16;
  s.processors = options.parallel;
  if (s.processors == 0) s.processors = static_cast<int>(std::min<long>(sysconf(_SC_NPROCESSORS_ONLN), 8));
  return s;
}

std::string rowErrorMessage(int32_t status, const std::string& libraryText, const InputFile& in, int64_t line) {
  (void)status;  // every refusal reads the same today; a row too long will read its own
  return in.shown + ":" + std::to_string(line) + ": " + std::string(libraryText);
}

Sorter::Sorter(Options& options, ProgressBar* progress, StatsSink* stats)
    : o_(options), progress_(progress), stats_(stats) {}

Sorter::~Sorter() { release(); }

void Sorter::release() {
  if (file_ != nullptr) file_->release();
  file_ = nullptr;
  if (manager_ != nullptr) manager_->release();
  manager_ = nullptr;
}

Status Sorter::start(const std::vector<std::string>& tempDirs, int64_t totalBytes) {
  std::string dirs;
  for (const std::string& d : tempDirs) dirs += (dirs.empty() ? "" : ":") + d;
  // The manager takes the list; an engine that reads the configuration finds it too.
  tqbSetConfigValue("BASE/TEMP", dirs.c_str());
  TqbString error;
  manager_ = tqDatafileManagerCreate(dirs.c_str(), &error);
  if (manager_ == nullptr) return Status::error(std::string(error.asCstr()));

  SortSizes sizes = chooseSortSizes(o_, totalBytes);
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
    manager_->setColSpec(static_cast<int32_t>(i), type, sizes.maxFieldLength);
  }
  manager_->setColSpec(static_cast<int32_t>(k), tqbTypeString, sizes.maxFieldLength);
  manager_->setChunkSize(sizes.chunkBytes);
  manager_->setSortSize(sizes.sortBytes);
  manager_->setSortProcessors(sizes.processors);
  // -u keeps the first record of each run in input order, so it sorts stably too.
  manager_->setSortStable(o_.stable || o_.unique);
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

Status Sorter::resolveKeys(const Record* header) {
  std::vector<Field> names;
  if (header != nullptr) splitFields(*header, o_.separator, countFields(*header, o_.separator), &names);
  for (KeySpec& key : o_.keys) {
    if (key.index < 0) {  // a name: find it in the header
      for (size_t i = 0; i < names.size() && key.index < 0; ++i) {
        const char* data;
        size_t length;
        fieldText(names[i], &scratch_, &data, &length);
        if (key.column == std::string(data, length)) key.index = static_cast<int>(i);
      }
      if (key.index < 0) {
        return Status::error("key '" + printable(key.text) + "': no column '" + printable(key.column) + "' in the header");
      }
    }
    maxField_ = std::max(maxField_, static_cast<size_t>(key.index) + 1);
  }
  keysResolved_ = true;
  return Status();
}

Status Sorter::header(const InputFile&, const Record& record, const char* lineEnd) {
  header_.assign(record.begin, record.length);
  if (!record.terminated) header_ += lineEnd;
  return resolveKeys(&record);
}

Status Sorter::setKey(size_t k, const char* data, size_t length, const InputFile& in, int64_t line) {
  const KeySpec& key = o_.keys[k];
  TqbDatavar* v = values_[k];
  if (key.type != KeyType::Str) trimBlanks(&data, &length);
  if (length == 0) {
    v->setNull();
    return Status();
  }
  bool ok = true;
  const char* what = "";
  switch (key.type) {
    case KeyType::Str:
      if (!v->assign(tqbTypeString, data, length)) return Status::error("out of memory");
      return Status();
    case KeyType::Int: {
      int64_t n;
      ok = parseInt64(data, length, &n);
      if (ok) v->assign(n);
      what = "a 64-bit integer";
      break;
    }
    case KeyType::Dec: {
      uint8_t raw[24];
      ok = parseDecimal(data, length, raw);
      if (ok) v->assign(tqbTypeReal, raw, 24);
      what = "an exact decimal (at most 52 digits; no NaN or infinity)";
      break;
    }
    case KeyType::Date: {
      int y, m, d;
      ok = parseDate(data, length, &y, &m, &d);
      if (ok) v->assign(TqbDate::fromYmd(y, m, d));
      what = "a date (YYYY-MM-DD, years 0001 to 9999)";
      break;
    }
    case KeyType::Bool: {
      bool b;
      ok = parseBool(data, length, &b);
      if (ok) v->assign(b);
      what = "a boolean (true/false, yes/no, 1/0)";
      break;
    }
  }
  if (ok) return Status();
  if (o_.lenient) {
    v->setNull();
    return Status();
  }
  return Status::error(in.shown + ":" + std::to_string(line) + ": column " + printable(key.column) + " (" +
                       typeName(key.type) + "): '" + printable(std::string_view(data, length)) + "' is not " + what);
}

Status Sorter::record(const InputFile& in, int64_t line, const Record& record, const char* lineEnd) {
  if (!keysResolved_) TQSORT_TRY(resolveKeys(nullptr));
  splitFields(record, o_.separator, maxField_, &fields_);
  for (size_t k = 0; k < o_.keys.size(); ++k) {
    const char* data;
    size_t length;
    fieldText(fields_[static_cast<size_t>(o_.keys[k].index)], &scratch_, &data, &length);
    TQSORT_TRY(setKey(k, data, length, in, line));
  }
  TqbDatavar* bytes = values_.back();
  bool ok;
  if (record.terminated) {
    ok = bytes->assign(tqbTypeString, record.begin, record.length);
  } else {
    // The last record had no line end: it gets one, as the lines before it had.
    lineScratch_.assign(record.begin, record.length);
    lineScratch_ += lineEnd;
    ok = bytes->assign(tqbTypeString, lineScratch_.data(), lineScratch_.size());
  }
  if (!ok) return Status::error("out of memory");
  int32_t status = file_->addRow(nullptr);
  if (status != 0) return Status::error(rowErrorMessage(status, file_->getError().asCstr(), in, line));
  return Status();
}

Status Sorter::finish(OutputTarget* out, bool bom) {
  int32_t status = file_->sort();
  progress_->done();
  if (status != 0 && status != TqDatafile::StatusEndOfData) return Status::error(std::string(file_->getError().asCstr()));
  TQSORT_TRY(out->begin());
  if (bom) TQSORT_TRY(out->write(kUtf8Bom, kUtf8BomLength));
  if (!header_.empty()) TQSORT_TRY(out->write(header_.data(), header_.size()));
  TqbDatavar* line = values_.back();
  while (status == 0) {
    size_t n = 0;
    const char* bytes = static_cast<const char*>(line->getRaw(&n));
    TQSORT_TRY(out->write(bytes, n - 1));  // without the value's terminating zero
    status = file_->next(nullptr);
  }
  if (status != TqDatafile::StatusEndOfData) return Status::error(std::string(file_->getError().asCstr()));
  return out->commit();
}

}  // namespace tqsort
