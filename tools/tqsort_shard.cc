#include "tqsort_shard.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "core/rowbytes.h"
#include "core/sortkey.h"

namespace tqsort {

void appendSortKey(std::string* out, KeyType type, bool descending, const TqbDatavar& value) {
  // The library's key bytes of the value (core/sortkey.h), as its sorts compare them.
  bool null = value.isNull();
  bool ascending = !descending;
  size_t at = out->size();
  auto room = [&](size_t n) {
    out->resize(at + n);
    return reinterpret_cast<uint8_t*>(out->data()) + at;
  };
  bool error = false;
  switch (type) {
    case KeyType::Str: {
      size_t n = 0;
      const uint8_t* bytes = null ? nullptr : static_cast<const uint8_t*>(value.getRaw(&n));
      uint32_t length = n > 0 ? static_cast<uint32_t>(n - 1) : 0;  // without the terminator
      tqkey::putStringKey(room(tqkey::stringKeyBytes(null, length)), bytes, length, ascending);
      break;
    }
    case KeyType::Int:
      tqkey::putIntegerKey(room(tqkey::kNumberKeyBytes), null, null ? 0 : value.asInt64(&error), ascending);
      break;
    case KeyType::Date:
      tqkey::putDateKey(room(tqkey::kNumberKeyBytes), null, null ? 0.0 : value.asDouble(&error), ascending);
      break;
    case KeyType::Bool:
      tqkey::putBooleanKey(room(tqkey::kBooleanKeyBytes), null, !null && value.asBool(&error), ascending);
      break;
    case KeyType::Dec: {
      alignas(8) uint8_t raw[kTqbDecimalBytes] = {};
      if (!null) {
        size_t size = 0;
        const void* bytes = value.getRaw(&size);
        std::memcpy(raw, bytes, std::min<size_t>(size, sizeof raw));
      }
      tqkey::putRealKey(room(tqkey::kRealKeyBytes), null ? nullptr : raw, ascending);
      break;
    }
  }
}

void Shard::release() {
  if (file_ != nullptr) file_->release();
  file_ = nullptr;
  if (manager_ != nullptr) manager_->release();
  manager_ = nullptr;
  lines_.reset();
}

Status Shard::start(const std::vector<std::string>& dirs, TqSortProgress* progress, TqSortInfo* info) {
  runDirs_ = dirs;
  dirs_.clear();
  for (const std::string& d : dirs) dirs_ += (dirs_.empty() ? "" : ":") + d;
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
    manager_->setColSpec(static_cast<int32_t>(i), libraryType(o_.keys[i].type), sizes_.keyLength);
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
  kept_ = keptInKeyLayout();
  for (size_t i = 0; i < k; ++i) {
    if (kept_.only[i] && tqDatafileSortKeyOnly(file_, static_cast<int32_t>(i)) != 0) {
      return Status::error(this->error());
    }
  }
  if (info_ != nullptr) file_->setSortInfo(info_);
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
  const KeptInKey oldKept = kept_;
  sizes_ = sizes;
  manager_ = nullptr;
  file_ = nullptr;
  Status s = create();
  // The row in hand goes over too, after the others.
  std::vector<TqbDatavar> pending(oldValues.size());
  for (size_t i = 0; i < oldValues.size(); ++i) pending[i] = *oldValues[i];
  // The new sort builds each key again from the values: every one kept only in the
  // old sort's key is taken back.
  int32_t status = s.ok() ? takeBack(old, oldValues, oldKept, true, old->sort()) : TqDatafile::StatusEndOfData;
  while (s.ok() && status == 0) {
    for (size_t i = 0; i < values_.size(); ++i) *values_[i] = *oldValues[i];
    if (file_->addRow(nullptr) != 0) s = Status::error(this->error());
    status = takeBack(old, oldValues, oldKept, true, old->next(nullptr));
  }
  if (s.ok() && status != TqDatafile::StatusEndOfData) {
    s = Status::error(failure_.empty() ? std::string(old->getError().asCstr()) : failure_);
  }
  old->release();
  oldManager->release();
  if (!s.ok()) {
    sizes_ = before;
    kept_ = oldKept;
    return s;
  }
  for (size_t i = 0; i < values_.size(); ++i) *values_[i] = pending[i];
  return Status();
}

Shard::KeptInKey Shard::keptInKeyLayout() const {
  const size_t k = o_.keys.size();
  const size_t keys = k + (sizes_.sequenceKey ? 1 : 0);
  KeptInKey kept;
  kept.only.assign(keys, 0);
  kept.taken.assign(keys, 0);
  kept.fixedTail.assign(keys, -1);
  kept.stableBytes = libraryStable(o_, sizes_) ? static_cast<uint32_t>(tqrowbytes::kStableKeyBytes) : 0;
  int64_t tail = 0;  // the fixed-width key bytes after key i, or -1
  for (size_t i = keys; i-- > 0;) {
    kept.fixedTail[i] = tail;
    const tqbType type = i < k ? libraryType(o_.keys[i].type) : tqbTypeInteger;
    if (tail >= 0) tail = tqrowbytes::isString(type) ? -1 : tail + static_cast<int64_t>(tqrowbytes::keyField(type, 0));
    kept.only[i] = i < k && keptInKey(o_, i, zeroBytes_);
    kept.any = kept.any || kept.only[i];
  }
  if (stored_ != nullptr) {
    for (size_t slot : stored_->slots()) kept.taken[slot] = kept.only[slot];
  }
  for (size_t i = 0; i < keys; ++i) {
    if (kept.only[i] && i < k && keyFoundByTerminator(o_, i)) kept.byTerminator.push_back(i);
    if (kept.only[i]) kept.lastOnly = i + 1;
    if (kept.taken[i]) kept.lastTaken = i + 1;
  }
  return kept;
}

void Shard::setStored(const StoredLine* stored) {
  stored_ = stored;
  kept_ = keptInKeyLayout();
}

bool Shard::zeroByteInKey() const {
  for (size_t i : kept_.byTerminator) {
    if (values_[i]->isNull()) continue;
    size_t n = 0;
    const void* bytes = values_[i]->getRaw(&n);
    if (n > 1 && std::memchr(bytes, 0, n - 1) != nullptr) return true;
  }
  return false;
}

namespace {

// The value of a key field of `type` from its key bytes `p` (`n` bytes, with the
// presence byte) into `v`; false when it does not read as one.  `scratch`: for the
// bytes of a descending string.
bool takeKeyValue(KeyType type, bool ascending, const uint8_t* p, uint32_t n, TqbDatavar* v,
                  std::string* scratch) {
  bool ok = true;
  switch (type) {
    case KeyType::Str: {
      // A null is its presence byte and one zero byte, whichever the direction.
      if (p[0] == tqkey::presence(true, ascending)) {
        if (n != tqkey::kNullStringKeyBytes) return false;
        v->setNull();
        return true;
      }
      if (n < 2 || p[n - 1] != (ascending ? 0x00 : 0xff)) return false;
      const char* bytes = reinterpret_cast<const char*>(p + 1);
      if (!ascending) {
        scratch->assign(bytes, n - 2);
        for (char& c : *scratch) c = static_cast<char>(~static_cast<uint8_t>(c));
        bytes = scratch->data();
      }
      return v->assign(tqbTypeString, bytes, n - 2);
    }
    case KeyType::Int: {
      int64_t value = 0;
      if (!tqkey::getIntegerKey(p, ascending, &value)) break;
      v->assign(value);
      return true;
    }
    case KeyType::Date: {
      double days = 0;
      if (!tqkey::getDateKey(p, ascending, &days)) break;
      v->assign(TqbDate(days));
      return true;
    }
    case KeyType::Bool: {
      bool value = false;
      if (!tqkey::getBooleanKey(p, ascending, &value)) break;
      v->assign(value);
      return true;
    }
    case KeyType::Dec: ok = false; break;
  }
  if (ok) v->setNull();
  return ok;
}

}  // namespace

int32_t Shard::takeBack(TqDatafile* file, const std::vector<TqbDatavar*>& values, const KeptInKey& kept, bool all,
                        int32_t status) {
  if (status != 0 || !kept.any) return status;
  const std::vector<uint8_t>& wanted = all ? kept.only : kept.taken;
  const size_t last = all ? kept.lastOnly : kept.lastTaken;
  if (last == 0) return 0;
  const uint8_t* key = nullptr;
  uint32_t length = 0;
  if (tqDatafileSortKey(file, &key, &length) != 0) return TqDatafile::StatusNotAllowed;
  // A key that does not read as its fields: never from a sound sort, but said, not lost.
  auto unreadable = [this] {
    failure_ = "internal error: a row's sort key does not hold its key values";
    return TqDatafile::StatusNotAllowed;
  };
  // Each key field in turn: a fixed width; a string that only fixed widths follow ends
  // that many bytes before the key's end; one kept only in the key at its terminator
  // (its values hold no zero byte); any other string as long as its value's key.
  uint64_t at = 0;
  for (size_t i = 0; i < last; ++i) {
    const KeyType type = i < o_.keys.size() ? o_.keys[i].type : KeyType::Int;
    const bool ascending = i >= o_.keys.size() || !o_.keys[i].descending;
    const uint32_t left = at < length ? length - static_cast<uint32_t>(at) : 0;
    uint64_t n = 0;
    if (type != KeyType::Str) {
      n = tqrowbytes::keyField(libraryType(type), 0);
    } else if (kept.fixedTail[i] >= 0) {
      uint64_t tail = static_cast<uint64_t>(kept.fixedTail[i]) + kept.stableBytes;
      n = length >= at + tail ? length - at - tail : 0;
    } else if (kept.only[i]) {
      n = tqkey::stringKeyLength(key + at, left, ascending);
    } else {
      size_t bytes = 0;
      if (!values[i]->isNull()) values[i]->getRaw(&bytes);
      n = tqrowbytes::keyField(tqbTypeString, values[i]->isNull() ? -1 : static_cast<int64_t>(bytes) - 1);
    }
    if (n == 0 || n > left) return unreadable();
    if (wanted[i] && !takeKeyValue(type, ascending, key + at, static_cast<uint32_t>(n), values[i], &takenBytes_)) {
      return unreadable();
    }
    at += n;
  }
  return 0;
}

Status setKeyValue(TqbDatavar* v, const KeyValue& value, const Batch& batch) {
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

bool Shard::assignLine(const char* bytes, size_t n, bool stored) {
  if (stored && n == sizeof kLineInKeys - 1 && std::memcmp(bytes, kLineInKeys, n) == 0) {
    lineValue_->setNull();
    return true;
  }
  return lineValue_->assign(tqbTypeString, bytes, n);
}

Status Shard::spillLine(const char* data, size_t length) {
  // Each sort's line file starts in a directory of its own.
  if (!lines_) lines_ = std::make_unique<TempSpill>(runDirs_, "lines-" + std::to_string(index_), index_);
  uint64_t offset = lines_->size();
  TQSORT_TRY(lines_->append(data, length));
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

RowShape Shard::shape(const KeyValue* row) const {
  RowShape shape;
  shape.zeroBytes = zeroBytes_;
  for (size_t i = 0; i < o_.keys.size(); ++i) {
    const TqbDatavar* v = values_[i];
    size_t n = 0;
    if (o_.keys[i].lastResort && row[i].kind == KeyValue::Text) {
      shape.keyBytes.push_back(static_cast<int64_t>(row[i].length));  // whole: the sort takes its share
    } else if (v->isNull()) {
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

Status Shard::refused(int32_t status, const Batch& batch, const Row& row, const KeyValue* values) {
  RowShape row_shape = shape(values);
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
      row_shape = shape(values);
    }
  }
  return Status::error(rowErrorMessage(o_, sizes_, row_shape, status, error(), *batch.file, row.line, row.length));
}

Status Shard::consume(Batch& batch) {
  const size_t k = o_.keys.size();
  const KeyValue* value = batch.values.data();
  int64_t rowNumber = static_cast<int64_t>(batch.firstRow);
  const bool storedWhole = batch.stored == nullptr || batch.stored->empty();
  for (const Row& row : batch.rows) {
    for (size_t i = 0; i < k; ++i, ++value) {
      if (o_.keys[i].lastResort && value->kind == KeyValue::Text && value->length > lineLimit()) {
        // The line's bytes as the last key, up to the longest line the sort holds: a
        // longer line goes to the line file, and its first bytes order it.
        KeyValue cut = *value;
        cut.length = lineLimit();
        TQSORT_TRY(setKeyValue(values_[i], cut, batch));
      } else {
        TQSORT_TRY(setKeyValue(values_[i], *value, batch));
      }
    }
    if (sizes_.sequenceKey) values_[k]->assign(rowNumber++);
    const char* bytes = batch.data() + row.offset;
    bool ok = true;
    if (row.length > static_cast<size_t>(sizes_.lineLength)) {
      TQSORT_TRY(spillLine(bytes, row.length));
    } else if (storedWhole) {
      ok = assignLine(bytes, row.length, false);
    } else if (row.storedLength > 0) {
      ok = assignLine(batch.arena.data() + row.stored, row.storedLength, true);
    } else {
      scratch_.clear();
      batch.stored->make(bytes, row.offset, row.length, value - k, &scratch_);
      ok = assignLine(scratch_.data(), scratch_.size(), true);
    }
    if (!ok) return Status::error("out of memory");
    if (!kept_.byTerminator.empty() && zeroByteInKey()) {
      // The key's fields are found by their terminators no longer: the rows so far go
      // over to a sort that stores these keys' values.
      zeroBytes_ = true;
      TQSORT_TRY(grow(sizes_));
    }
    int32_t status = file_->addRow(nullptr);
    if (status != 0) TQSORT_TRY(refused(status, batch, row, value - k));
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
  if (!lines_) return Status::error("internal error: a line file that was never written");
  TQSORT_TRY(lines_->seal());  // every line is in: the frame buffer serves the reads
  while (length > 0) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(length, sizes_.blockBytes));
    TQSORT_TRY(lines_->read(offset, copyBuffer_.get(), n));
    TQSORT_TRY(out->write(copyBuffer_.get(), n));
    offset += n;
    length -= n;
  }
  return Status();
}

}  // namespace tqsort
