#include "sort_support.h"

#include <cmath>

#include "core/sortkey.h"

namespace {

// Dates in numeric order; -0.0 equals 0.0, and every NaN is one value above +infinity.
int compareDates(double a, double b) {
  bool aNaN = std::isnan(a), bNaN = std::isnan(b);
  if (aNaN || bNaN) return aNaN == bNaN ? 0 : (aNaN ? 1 : -1);
  return a < b ? -1 : (a > b ? 1 : 0);
}

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

int sign(int64_t v) { return (v > 0) - (v < 0); }

}  // namespace

int compareRefValues(const RefColumn& column, const RefValue& a, const RefValue& b) {
  bool aNull = a.null && !(column.type == tqbTypeInteger && column.length < 0);
  bool bNull = b.null && !(column.type == tqbTypeInteger && column.length < 0);
  if (aNull || bNull) return static_cast<int>(!aNull) - static_cast<int>(!bNull);
  switch (column.type) {
    case tqbTypeBoolean:
    case tqbTypeInteger:
      return a.i < b.i ? -1 : (a.i > b.i ? 1 : 0);
    case tqbTypeDate:
      return compareDates(a.d, b.d);
    case tqbTypeReal:
      return sign(tqbDecimalCompare(a.real, b.real));
    default: {
      int c = a.s.compare(b.s);
      return sign(c);
    }
  }
}

int compareRefRows(const std::vector<RefColumn>& columns, const std::vector<RefKey>& keys,
                   const std::vector<RefValue>& a, const std::vector<RefValue>& b) {
  for (const RefKey& k : keys) {
    int c = compareRefValues(columns[k.field], a[k.field], b[k.field]);
    if (c != 0) {
      // Nulls are the lowest value in both directions.
      return k.ascending ? c : -c;
    }
  }
  return 0;
}

bool storeRow(TqDatafile* file, const std::vector<RefColumn>& columns, const std::vector<RefValue>& row) {
  bool ok = true;
  for (size_t c = 0; c < columns.size(); ++c) {
    const RefValue& v = row[c];
    int32_t index = static_cast<int32_t>(c);
    if (columns[c].type == tqbTypeInteger && columns[c].length < 0) {
      *file->getInt64(index) = v.i;
      file->getField(index)->setNull();
      continue;
    }
    TqbDatavar* field = file->getField(index);
    if (v.null) {
      field->setNull();
      continue;
    }
    switch (columns[c].type) {
      case tqbTypeBoolean: field->assign(v.i != 0); break;
      case tqbTypeInteger: field->assign(v.i); break;
      case tqbTypeDate: field->assign(TqbDate(v.d)); break;
      case tqbTypeReal: ok &= field->assign(tqbTypeReal, v.real, 24); break;
      default: ok &= field->assign(v.s.c_str()); break;
    }
  }
  return ok;
}

std::vector<RefValue> loadRow(TqDatafile* file, const std::vector<RefColumn>& columns) {
  std::vector<RefValue> row(columns.size());
  for (size_t c = 0; c < columns.size(); ++c) {
    RefValue& v = row[c];
    int32_t index = static_cast<int32_t>(c);
    if (columns[c].type == tqbTypeInteger && columns[c].length < 0) {
      v.null = false;
      v.i = *file->getInt64(index);
      continue;
    }
    const TqbDatavar* field = file->getField(index);
    v.null = field->isNull();
    if (v.null) continue;
    switch (columns[c].type) {
      case tqbTypeBoolean: v.i = field->asBool(nullptr) ? 1 : 0; break;
      case tqbTypeInteger: v.i = field->asInt64(nullptr); break;
      case tqbTypeDate: v.d = field->asDouble(nullptr); break;
      case tqbTypeReal: {
        size_t n = 0;
        const void* raw = field->getRaw(&n);
        std::memcpy(v.real, raw, n < 24 ? n : 24);
        break;
      }
      default: v.s = field->asCstr(); break;
    }
  }
  return row;
}

bool sameRow(const std::vector<RefColumn>& columns, const std::vector<RefValue>& a,
             const std::vector<RefValue>& b) {
  for (size_t c = 0; c < columns.size(); ++c) {
    bool raw = columns[c].type == tqbTypeInteger && columns[c].length < 0;
    if (!raw && a[c].null != b[c].null) return false;
    if (!raw && a[c].null) continue;
    if (columns[c].type == tqbTypeReal) {
      if (std::memcmp(a[c].real, b[c].real, 24) != 0) return false;
    } else if (columns[c].type == tqbTypeDate) {
      if (!sameBits(a[c].d, b[c].d)) return false;  // -0.0 comes back as -0.0
    } else if (compareRefValues(columns[c], a[c], b[c]) != 0) {
      return false;
    }
  }
  return true;
}

bool valuesFromKey(const std::vector<RefColumn>& columns, const std::vector<RefKey>& keys, const std::string& key,
                   std::vector<RefValue>* row) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(key.data());
  uint32_t left = static_cast<uint32_t>(key.size());
  for (const RefKey& k : keys) {
    const RefColumn& column = columns[static_cast<size_t>(k.field)];
    RefValue& v = (*row)[static_cast<size_t>(k.field)];
    uint32_t n = 0;
    bool b = false;
    switch (column.type) {
      case tqbTypeBoolean: n = tqkey::kBooleanKeyBytes; break;
      case tqbTypeDate:
      case tqbTypeInteger: n = tqkey::kNumberKeyBytes; break;
      case tqbTypeReal: n = tqkey::kRealKeyBytes; break;
      default: n = tqkey::stringKeyLength(p, left, k.ascending); break;
    }
    if (n == 0 || n > left) return false;
    switch (column.type) {
      case tqbTypeBoolean:
        v.null = !tqkey::getBooleanKey(p, k.ascending, &b);
        v.i = b ? 1 : 0;
        break;
      case tqbTypeDate: v.null = !tqkey::getDateKey(p, k.ascending, &v.d); break;
      case tqbTypeInteger:
        if (column.length >= 0) v.null = !tqkey::getIntegerKey(p, k.ascending, &v.i);
        break;
      case tqbTypeReal: break;
      default:
        v.null = p[0] == tqkey::presence(true, k.ascending);
        v.s.clear();
        for (uint32_t i = 1; i + 1 < n; ++i) v.s.push_back(static_cast<char>(k.ascending ? p[i] : ~p[i]));
    }
    p += n;
    left -= n;
  }
  return true;
}

int64_t InfoLines::value(const std::string& prefix) const {
  for (const std::string& l : lines) {
    if (l.compare(0, prefix.size(), prefix) == 0 && l.size() > prefix.size() + 2) {
      return std::stoll(l.substr(prefix.size() + 2));
    }
  }
  return -1;
}

const char* engineName(SortEngine engine) {
  switch (engine) {
    case SortEngine::variable: return "variable";
    case SortEngine::fixed: return "fixed";
    case SortEngine::external: return "external";
  }
  return "?";
}

void SortTest::TearDown() {
  if (mgr_ != nullptr) mgr_->release();
  mgr_ = nullptr;
  TempDirTest::TearDown();
}

AbsTqSortfile* SortTest::makeSortfile(const std::vector<RefColumn>& columns, const SortOptions& options,
                                      const std::vector<RefKey>& keys, bool mayFail, std::string* error) {
  auto failed = [&](const TqbString& text) -> AbsTqSortfile* {
    if (!mayFail) ADD_FAILURE() << "making the sort failed: " << text.asCstr();
    if (error != nullptr) *error = text.asCstr();
    return nullptr;
  };
  if (mgr_ == nullptr) {
    TqbString text;
    std::string dirs = options.dirs.empty() ? dir_ : options.dirs;
    mgr_ = static_cast<TqDatafileManagerImpl*>(tqDatafileManagerCreate(dirs.c_str(), &text));
    if (mgr_ == nullptr) return failed(text);
  }
  bool ok = mgr_->setColumns(static_cast<int32_t>(columns.size()));
  for (size_t c = 0; ok && c < columns.size(); ++c) {
    ok = mgr_->setColSpec(static_cast<int32_t>(c), columns[c].type, columns[c].length);
  }
  if (!ok) return failed(mgr_->getError());
  mgr_->setChunkSize(options.chunkSize);
  mgr_->setSortSize(options.sortSize);
  mgr_->setSortProcessors(options.processors);
  mgr_->setSortStable(options.stable);
  mgr_->setSortNoDups(options.noDups);
  mgr_->setSortMarkByGroups(options.markByGroups);
  uint32_t flags = TqDatafile::FlagSorted;
  if (options.engine == SortEngine::variable) flags |= TqDatafile::FlagVariableRows;
  if (options.engine == SortEngine::external) flags |= TqDatafile::FlagExternalSort;
  TqDatafile* file = mgr_->createFile(flags);
  if (file == nullptr) return failed(mgr_->getError());
  if (options.windowSize != 0 && options.engine != SortEngine::external) {
    static_cast<TqSortVornImpl*>(file)->setWindowSize(options.windowSize);
  }
  int32_t status = file->resetSort(static_cast<int32_t>(keys.size()));
  for (size_t k = 0; status == 0 && k < keys.size(); ++k) {
    status = file->setSort(static_cast<int32_t>(k), keys[k].field, keys[k].ascending ? 1 : 0, nullptr);
  }
  if (status != 0) {
    TqbString text = file->getError();
    file->release();
    return failed(text);
  }
  return static_cast<AbsTqSortfile*>(file);
}

int32_t SortTest::sortAll(TqDatafile* file, const std::vector<RefColumn>& columns,
                          const std::vector<std::vector<RefValue>>& rows,
                          std::vector<std::vector<RefValue>>* out, std::vector<bool>* marks,
                          std::vector<std::string>* keys) {
  for (const auto& row : rows) {
    storeRow(file, columns, row);
    int32_t status = file->addRow(nullptr);
    if (status != 0) return status;
  }
  int32_t status = file->sort();
  bool mark = true;  // the row loaded by sort starts the first group
  while (status == 0) {
    out->push_back(loadRow(file, columns));
    if (marks != nullptr) marks->push_back(mark);
    if (keys != nullptr) {
      const uint8_t* key = nullptr;
      uint32_t length = 0;
      int32_t given = tqDatafileSortKey(file, &key, &length);
      keys->push_back(given == 0 ? std::string(reinterpret_cast<const char*>(key), length)
                                 : "refused " + std::to_string(given));
    }
    status = file->next(&mark);
  }
  return status;
}
