#include "tqsort_collate_table.h"

#include <algorithm>

#include "core/rowbytes.h"
#include "tqsort_sizes.h"

namespace tqsort {

namespace {

constexpr uint64_t kMiB = uint64_t{1} << 20;

}  // namespace

std::string plainLibraryText(std::string text) {
  if (text.rfind("Key part ", 0) == 0 || text.rfind("Sort key ", 0) == 0) {
    size_t colon = text.find(": ");
    if (colon != std::string::npos) text = text.substr(colon + 2);
  }
  if (!text.empty() && text.back() == '.') text.pop_back();
  return printable(text, 1000);
}

uint64_t CollateTable::rowBytes(const Options& o, const std::vector<int32_t>& widths, bool lineNumbers) {
  // As the library lays a row out: each field behind its null indicator, then the
  // row number of a stable sort.
  const uint64_t integer = tqrowbytes::declaredWidth(tqbTypeInteger, 0);
  uint64_t bytes = integer;  // the place
  if (lineNumbers) bytes += integer;
  for (size_t i = 0; i < o.keys.size(); ++i) bytes += tqrowbytes::declaredWidth(libraryType(o.keys[i].type), widths[i]);
  if (o.stable || o.unique) bytes += 8;
  return bytes;
}

void CollateTable::release() {
  if (file_ != nullptr) file_->release();
  file_ = nullptr;
  if (manager_ != nullptr) manager_->release();
  manager_ = nullptr;
  values_.clear();
}

std::string CollateTable::error() const {
  std::string text;
  if (file_ != nullptr) {
    text = file_->getError().asCstr();
  } else if (manager_ != nullptr) {
    text = manager_->getError().asCstr();
  }
  text = plainLibraryText(text);
  // The sort's memory is a share of -S: a sort too small for its input says which
  // option gives it more.
  if (text.find("memory size") != std::string::npos && text.find("too small") != std::string::npos) {
    text += " (the sort has a share of -S; give a larger -S)";
  }
  return text;
}

Status CollateTable::create(const Shape& shape) {
  release();
  shape_ = shape;
  TqbString failure;
  manager_ = tqDatafileManagerCreate(dirs_.c_str(), &failure);
  if (manager_ == nullptr) return Status::error(std::string(failure.asCstr()));
  const size_t k = o_.keys.size();
  const size_t columns = k + 1 + (shape.lineNumbers ? 1 : 0);
  manager_->setColumns(static_cast<int32_t>(columns));
  for (size_t i = 0; i < k; ++i) {
    manager_->setColSpec(static_cast<int32_t>(i), libraryType(o_.keys[i].type), std::max(shape.widths[i], 1));
  }
  for (size_t i = k; i < columns; ++i) manager_->setColSpec(static_cast<int32_t>(i), tqbTypeInteger, 0);
  manager_->setSortSize(static_cast<uint32_t>(shape.memory));
  manager_->setChunkSize(static_cast<uint32_t>(std::clamp<uint64_t>(shape.memory / 16, 16u << 10, kMiB)));
  manager_->setSortProcessors(shape.processors);
  manager_->setSortStable(shape.stable);
  manager_->setSortNoDups(shape.unique);
  manager_->setSortMarkByGroups(shape.marks);
  // What the engine expects to sort: it puts its work files where they have room.
  if (shape.expectedRows > 0) manager_->setSortRecords(shape.expectedRows);
  file_ = manager_->createFile(TqDatafile::FlagSorted | TqDatafile::FlagExternalSort);
  if (file_ == nullptr) return Status::error(error());
  if (file_->resetSort(static_cast<int32_t>(k)) != 0) return Status::error(error());
  for (size_t i = 0; i < k; ++i) {
    const TqCollation* collation = o_.keys[i].type == KeyType::Str ? &collation_ : nullptr;
    if (file_->setSort(static_cast<int32_t>(i), static_cast<int32_t>(i), o_.keys[i].descending ? 0 : 1, collation) !=
        0) {
      return Status::error(error());
    }
  }
  for (size_t i = 0; i < columns; ++i) values_.push_back(file_->getField(static_cast<int32_t>(i)));
  return Status();
}

void CollateTable::setReporting(TqSortInfo* info, TqSortProgress* progress) {
  if (file_ == nullptr) return;
  file_->setSortInfo(info);
  file_->setSortProgress(progress);
}

Status CollateTable::add(const Batch& batch, const KeyValue* value, int64_t place, uint64_t line) {
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
  if (shape_.lineNumbers) values_[k + 1]->assign(static_cast<int64_t>(line));
  if (file_->addRow(nullptr) != 0) return Status::error(error());
  return Status();
}

int64_t CollateTable::place() const {
  bool bad = false;
  return values_[o_.keys.size()]->asInt64(&bad);
}

uint64_t CollateTable::line() const {
  bool bad = false;
  return shape_.lineNumbers ? static_cast<uint64_t>(values_[o_.keys.size() + 1]->asInt64(&bad)) : 0;
}

}  // namespace tqsort
