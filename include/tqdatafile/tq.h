// The C++ layer over the library: RAII objects, phases as types, a Status per call.
//
//   auto manager = tq::Manager::create({.tempDirs = "/var/tmp"});
//   auto sorter = manager->sorter({.columns = {tq::Column::string(40), tq::Column::integer()},
//                                  .keys = {{.field = 0}, {.field = 1, .order = tq::Order::descending}},
//                                  .memory = 64u << 20, .processors = 2, .stable = true});
//   if (!sorter) return fail(sorter.status());
//   for (...) if (tq::Status s = sorter->add(name, count); !s.ok()) return fail(s);
//   auto sorted = std::move(*sorter).sort();           // the Sorter is consumed
//   if (!sorted) return fail(sorted.status());
//   for (const tq::Row& row : *sorted) use(row.get<std::string_view>(0), row.get<int64_t>(1));
//   if (!sorted->status().ok()) return fail(sorted->status());
//
// The objects and their phases:
//
//   Manager      the temporary directories; makes stores and sorters.  Copyable.
//   Store        an unsorted datafile being filled: add() rows.  freeze() && makes it a
//   FrozenStore  read-only store: rows in the order they were added, by range-for or
//                next(), from a Position (seek), or by independent readers (clone).
//   Sorter       a sorting datafile being filled: add() rows.  sort() && makes it
//   SortedRows   the rows in key order, by range-for or next().
//
// A phase that cannot read has no way to read: rows of a Store or Sorter are read only
// through what freeze() or sort() return, which consume it.  Objects that own a datafile
// cannot be copied; moved from (or consumed) they are empty, and every call on an empty
// object answers Code::notAllowed.  Each object keeps alive what its rows need (a
// datafile has a manager of its own inside the layer), so the objects may be destroyed
// in any order: a Manager before the stores it made, a store before its clones.
//
// Errors: every call that can fail returns a Status or a Result<T> (tq_status.h); a
// reading's failure is kept in status() for after the loop.  The layer throws nothing
// of its own and lets no exception of a callback into the library.  What can leave it
// is std::bad_alloc, when the process has no memory left for a message or an options
// copy, and what copying the host's progress callable throws (the library's own
// allocations are reported as statuses).
//
// Threads: one object is used by one thread at a time; objects that share no rows may be
// used on different threads at once (they share no manager).  A FrozenStore and its
// clones share their rows: use them from one thread at a time.
//
// The layer is header-only, over the interfaces in datafile.h and manager.h; it compiles
// as C++17 (designated initializers need C++20 in the host's own code).
#ifndef TQDATAFILE_TQ_H
#define TQDATAFILE_TQ_H

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/tqbstring.h"
#include "tqdatafile/datafile.h"
#include "tqdatafile/manager.h"
#include "tqdatafile/tq_options.h"
#include "tqdatafile/tq_rows.h"
#include "tqdatafile/tq_status.h"
#include "tqdatafile/tq_values.h"

namespace tq {

class FrozenStore;
class SortedRows;

namespace detail {

// Adds one row made of `values` to the holder's root; `where` (may be null) receives the
// row's start.  A value refused leaves no row behind.
inline Status addRow(FileHolder* holder, const Value* values, size_t count, int64_t* where,
                     const char* what) {
  if (holder == nullptr) return emptyObject(what);
  if (count != holder->columns.size()) {
    return invalid("The row has " + std::to_string(count) + " values; the rows have " +
                   std::to_string(holder->columns.size()) + " fields.");
  }
  for (size_t i = 0; i < count; ++i) {
    Status s = values[i].storeInto(*holder->rootFields[i], holder->columns[i], static_cast<int64_t>(i));
    if (!s.ok()) return s;
  }
  int32_t code = holder->root->addRow(where);
  return code == TqDatafile::StatusOk ? Status() : fileStatus(holder->root, code, *holder);
}

inline Status checkColumns(const std::vector<Column>& columns) {
  if (columns.empty()) return invalid("columns: a row needs at least one column.");
  for (size_t i = 0; i < columns.size(); ++i) {
    const Column& c = columns[i];
    std::string name = "columns[" + std::to_string(i) + "]";
    if (c.type < Type::boolean || c.type > Type::date) return invalid(name + ": unknown type.");
    if (c.type == Type::string && (c.maxLength < 1 || c.maxLength > kTqMaxStringLength)) {
      return invalid(name + ": a string column takes a maxLength from 1 to " +
                     std::to_string(kTqMaxStringLength) + ", not " + std::to_string(c.maxLength) + ".");
    }
  }
  return Status();
}

// The holder's own manager, with the columns and chunk size set.
inline Status openManager(FileHolder* holder, const std::string& tempDirs, const std::vector<Column>& columns,
                          uint32_t chunkSize) {
  Status s = checkColumns(columns);
  if (!s.ok()) return s;
  TqbString error;
  holder->manager = tqDatafileManagerCreate(TqbString(tempDirs.c_str()), &error);
  if (holder->manager == nullptr) return Status(Code::createFailed, error.str());
  TqDatafileManager* m = holder->manager;
  if (chunkSize != 0 && !m->setChunkSize(chunkSize)) return invalid("chunkSize: " + m->getError().str());
  if (!m->setColumns(static_cast<int32_t>(columns.size()))) return invalid("columns: " + m->getError().str());
  for (size_t i = 0; i < columns.size(); ++i) {
    int32_t length = columns[i].type == Type::string ? columns[i].maxLength : 0;
    if (!m->setColSpec(static_cast<int32_t>(i), static_cast<tqbType>(columns[i].type), length)) {
      return invalid("columns[" + std::to_string(i) + "]: " + m->getError().str());
    }
  }
  holder->columns = columns;
  return Status();
}

inline Status makeFile(FileHolder* holder, uint32_t flags) {
  holder->root = holder->manager->createFile(flags);
  if (holder->root == nullptr) return Status(Code::createFailed, holder->manager->getError().str());
  holder->rootFields = FileHolder::fieldsOf(holder->root, holder->columns.size());
  for (TqbDatavar* field : holder->rootFields) {
    if (field == nullptr) return Status(Code::createFailed, "The datafile has fewer fields than columns.");
  }
  return Status();
}

// The words tqDatafileParseCollateParms takes for the layer's enumerations; null for a
// value outside them.
inline const char* strengthWord(Strength s) {
  switch (s) {
    case Strength::standard: return "";
    case Strength::primary: return "PRIMARY";
    case Strength::secondary: return "SECONDARY";
    case Strength::tertiary: return "TERTIARY";
    case Strength::quaternary: return "QUATERNARY";
    case Strength::identical: return "IDENTICAL";
  }
  return nullptr;
}

inline const char* caseWord(CaseFirst c) {
  switch (c) {
    case CaseFirst::standard: return "";
    case CaseFirst::upper: return "UPPER";
    case CaseFirst::lower: return "LOWER";
  }
  return nullptr;
}

inline const char* variantWord(Variant v) {
  switch (v) {
    case Variant::standard: return "";
    case Variant::phonebook: return "PHONEBOOK";
    case Variant::pinyin: return "PINYIN";
    case Variant::stroke: return "STROKE";
    case Variant::traditional: return "TRADITIONAL";
    case Variant::big5han: return "BIG5HAN";
    case Variant::gb2312han: return "GB2312HAN";
    case Variant::posix: return "POSIX";
    case Variant::direct: return "DIRECT";
  }
  return nullptr;
}

inline Status collateFlags(const Collation& c, const std::string& name, unsigned* flags) {
  const char* strength = strengthWord(c.strength);
  const char* caseFirst = caseWord(c.caseFirst);
  const char* variant = variantWord(c.variant);
  if (strength == nullptr || caseFirst == nullptr || variant == nullptr) {
    return invalid(name + ": a collation option outside its enumeration.");
  }
  TqbString error;
  if (!tqDatafileParseCollateParms(c.numeric, caseFirst, c.ignorePunctuation, strength, variant, flags,
                                   &error)) {
    return invalid(name + ": " + error.str());
  }
  return Status();
}

// The engine's creation flags, after checking that the keys suit it.
inline Status sortFlags(const SortOptions& o, uint32_t* flags) {
  bool collated = false;
  for (size_t k = 0; k < o.keys.size(); ++k) {
    const Key& key = o.keys[k];
    std::string name = "keys[" + std::to_string(k) + "]";
    if (key.field < 0 || static_cast<size_t>(key.field) >= o.columns.size()) {
      return invalid(name + ": field " + std::to_string(key.field) + " does not exist (the rows have " +
                     std::to_string(o.columns.size()) + " columns).");
    }
    if (key.order != Order::ascending && key.order != Order::descending) {
      return invalid(name + ": an order outside its enumeration.");
    }
    if (key.collation.has_value() && o.columns[static_cast<size_t>(key.field)].type != Type::string) {
      return invalid(name + ": a collation orders strings; field " + std::to_string(key.field) + " holds " +
                     typeWords(o.columns[static_cast<size_t>(key.field)].type) + ".");
    }
    collated = collated || key.collation.has_value();
  }
  bool strings = false;
  for (const Column& c : o.columns) strings = strings || c.type == Type::string;
  Engine engine = o.engine;
  if (engine == Engine::automatic) {
    engine = collated ? Engine::external : strings ? Engine::variableRows : Engine::fixedRows;
  }
  if (collated && engine != Engine::external) {
    return invalid("engine: only Engine::external sorts by a collation.");
  }
  switch (engine) {
    case Engine::variableRows: *flags = TqDatafile::FlagSorted | TqDatafile::FlagVariableRows; break;
    case Engine::fixedRows: *flags = TqDatafile::FlagSorted; break;
    case Engine::external: *flags = TqDatafile::FlagSorted | TqDatafile::FlagExternalSort; break;
    default: return invalid("engine: outside its enumeration.");
  }
  return Status();
}

// The manager's sort settings (read by the datafile at createFile or at its first row).
inline Status setSortOptions(TqDatafileManager* m, const SortOptions& o) {
  if (o.keys.empty()) return invalid("keys: a sort needs at least one key.");
  if (o.memory > UINT32_MAX) return invalid("memory: at most 4 GiB - 1 bytes, not " + std::to_string(o.memory) + ".");
  if (!m->setSortSize(static_cast<uint32_t>(o.memory))) return invalid("memory: " + m->getError().str());
  if (o.processors < 0 || o.processors > kTqMaxSortProcessors || !m->setSortProcessors(o.processors)) {
    return invalid("processors: from 0 to " + std::to_string(kTqMaxSortProcessors) + ", not " +
                   std::to_string(o.processors) + ".");
  }
  if (o.expectedRows < 0 || !m->setSortRecords(o.expectedRows)) {
    return invalid("expectedRows: not negative, not " + std::to_string(o.expectedRows) + ".");
  }
  if (!m->setSortStable(o.stable) || !m->setSortNoDups(o.unique) || !m->setSortMarkByGroups(o.markGroups)) {
    return invalid("sort options: " + m->getError().str());
  }
  return Status();
}

// Defines the keys on the new sorting datafile.
inline Status setKeys(FileHolder* holder, const SortOptions& o) {
  TqDatafile* f = holder->root;
  int32_t code = f->resetSort(static_cast<int32_t>(o.keys.size()));
  if (code != TqDatafile::StatusOk) return Status(static_cast<Code>(code), "keys: " + f->getError().str());
  for (size_t k = 0; k < o.keys.size(); ++k) {
    const Key& key = o.keys[k];
    std::string name = "keys[" + std::to_string(k) + "]";
    TqCollation collation{nullptr, 0};
    if (key.collation.has_value()) {
      Status s = collateFlags(*key.collation, name, &collation.collateFlags);
      if (!s.ok()) return s;
      collation.locale = key.collation->locale.c_str();  // the datafile copies it
    }
    code = f->setSort(static_cast<int32_t>(k), key.field, key.order == Order::ascending ? 1 : 0,
                      key.collation.has_value() ? &collation : nullptr);
    if (code != TqDatafile::StatusOk) return Status(static_cast<Code>(code), name + ": " + f->getError().str());
  }
  return Status();
}

// The external engine takes its keys (opens their collations, sizes its memory for
// them) at the first row.  One row of nulls, taken back at once, makes it do so now, so
// that a key it refuses (an unknown locale) is refused when the sorter is made; clear()
// before sort() keeps the keys and starts the rows, and the stable order's count, from
// nothing.  (The chunk sorts check their keys in setSort.  Trying theirs would only
// allocate and free a first chunk ahead of the others, after which the allocator keeps
// later chunks in its heap: a 5M-row sort in 64 MiB peaked up to 16 MiB higher.)
inline Status tryKeys(FileHolder* holder) {
  TqDatafile* f = holder->root;
  for (TqbDatavar* field : holder->rootFields) field->setNull();
  int32_t code = f->addRow(nullptr);
  if (code == TqDatafile::StatusOk) code = f->clear();
  return code == TqDatafile::StatusOk ? Status() : fileStatus(f, code, *holder);
}

}  // namespace detail

namespace detail {

// What a Store and a Sorter have in common: rows go in, one value per column
// (tq_values.h tells what each column takes).  `What` names the object in messages.
template <const char* What>
class RowSink {
 public:
  RowSink() = default;  // empty
  RowSink(RowSink&&) noexcept = default;
  RowSink& operator=(RowSink&&) noexcept = default;
  RowSink(const RowSink&) = delete;
  RowSink& operator=(const RowSink&) = delete;

  template <typename... V>
  Status add(const V&... values) {
    const Value list[] = {Value(values)..., Value()};  // (the last one keeps the array non-empty)
    return addRow(holder_.get(), list, sizeof...(V), nullptr, What);
  }
  Status add(std::initializer_list<Value> values) {
    return addRow(holder_.get(), values.begin(), values.size(), nullptr, What);
  }
  Status add(const std::vector<Value>& values) {
    return addRow(holder_.get(), values.data(), values.size(), nullptr, What);
  }

  // The rows added so far.
  int64_t rowCount() const { return holder_ != nullptr ? holder_->root->getRowCount() : 0; }
  explicit operator bool() const noexcept { return holder_ != nullptr; }

 protected:
  explicit RowSink(std::shared_ptr<FileHolder> holder) : holder_(std::move(holder)) {}
  std::shared_ptr<FileHolder> holder_;
};

// What a FrozenStore and SortedRows have in common: rows come out.
template <const char* What>
class RowSource {
 public:
  RowSource() = default;  // empty
  RowSource(RowSource&&) noexcept = default;
  RowSource& operator=(RowSource&&) noexcept = default;
  RowSource(const RowSource&) = delete;
  RowSource& operator=(const RowSource&) = delete;

  // Range-for: from the next row not yet read to the last.
  RowIterator begin() { return RowIterator(reader_ != nullptr && reader_->advance() ? reader_.get() : nullptr); }
  RowEnd end() const noexcept { return RowEnd(); }
  // The next row; Code::endOfData after the last (status() stays ok).
  Result<Row> next() {
    if (reader_ == nullptr) return emptyObject(What);
    if (reader_->advance()) return reader_->row();
    if (!reader_->status().ok()) return reader_->status();
    return Status(Code::endOfData, "There are no more rows.");
  }
  // Why the last reading stopped: ok at the end of the rows (or while rows remain).
  Status status() const { return reader_ != nullptr ? reader_->status() : emptyObject(What); }
  // The rows (sorted with SortOptions::unique: known exactly once they are all read).
  int64_t rowCount() const { return reader_ != nullptr ? reader_->file()->getRowCount() : 0; }
  explicit operator bool() const noexcept { return reader_ != nullptr; }

 protected:
  explicit RowSource(std::unique_ptr<Reader> reader) : reader_(std::move(reader)) {}
  std::unique_ptr<Reader> reader_;
};

inline constexpr char kStore[] = "Store";
inline constexpr char kFrozenStore[] = "FrozenStore";
inline constexpr char kSorter[] = "Sorter";
inline constexpr char kSortedRows[] = "SortedRows";

}  // namespace detail

// An unsorted datafile being filled: add() rows.
class Store : public detail::RowSink<detail::kStore> {
 public:
  Store() = default;  // empty

  // add(), handing back where the row starts (for FrozenStore::seek).
  template <typename... V>
  Result<Position> append(const V&... values) {
    const Value list[] = {Value(values)..., Value()};
    int64_t where = -1;
    Status s = detail::addRow(holder_.get(), list, sizeof...(V), &where, detail::kStore);
    if (!s.ok()) return s;
    return Position(where, holder_->id);
  }

  // Ends the input: the rows become readable, from the first.  The Store is consumed
  // (empty afterwards, whatever the outcome).
  Result<FrozenStore> freeze() &&;

 private:
  friend class Manager;
  using RowSink::RowSink;
};

// A read-only store: its rows in the order they were added; range-for, next(), status().
class FrozenStore : public detail::RowSource<detail::kFrozenStore> {
 public:
  FrozenStore() = default;  // empty

  // Makes the row at `position` the next one read (a failed reading may go on from
  // there).  A refused seek changes nothing.
  Status seek(const Position& position) {
    return reader_ != nullptr ? reader_->seek(position) : detail::emptyObject(detail::kFrozenStore);
  }
  // Another reader of the same rows, from the first row; the rows stay until the
  // store and all its clones are gone.
  Result<FrozenStore> clone() {
    if (reader_ == nullptr) return detail::emptyObject(detail::kFrozenStore);
    TqDatafile* copy = reader_->file()->clone();
    if (copy == nullptr) return Status(Code::createFailed, reader_->file()->getError().str());
    return FrozenStore(std::make_unique<detail::Reader>(reader_->holder(), copy, true, false, false));
  }

 private:
  friend class Store;
  using RowSource::RowSource;
};

inline Result<FrozenStore> Store::freeze() && {
  std::shared_ptr<detail::FileHolder> holder = std::move(holder_);
  if (holder == nullptr) return detail::emptyObject(detail::kStore);
  int32_t code = holder->root->freeze();
  if (code != TqDatafile::StatusOk) return detail::fileStatus(holder->root, code, *holder);
  TqDatafile* root = holder->root;
  return FrozenStore(std::make_unique<detail::Reader>(std::move(holder), root, true, false, false));
}

// A sorting datafile being filled: add() rows.
class Sorter : public detail::RowSink<detail::kSorter> {
 public:
  Sorter() = default;  // empty

  // Ends the input and sorts.  The Sorter is consumed (empty afterwards, whatever the
  // outcome); a cancelled sort fails with Code::stopped.
  Result<SortedRows> sort() &&;

 private:
  friend class Manager;
  using RowSink::RowSink;
};

// The rows of a sort, in key order; range-for, next(), status().
class SortedRows : public detail::RowSource<detail::kSortedRows> {
 public:
  SortedRows() = default;  // empty

 private:
  friend class Sorter;
  using RowSource::RowSource;
};

inline Result<SortedRows> Sorter::sort() && {
  std::shared_ptr<detail::FileHolder> holder = std::move(holder_);
  if (holder == nullptr) return detail::emptyObject(detail::kSorter);
  int32_t code = holder->root->sort();  // loads the first sorted row (4: there is none)
  if (code != TqDatafile::StatusOk && code != TqDatafile::StatusEndOfData) {
    return detail::fileStatus(holder->root, code, *holder);
  }
  bool rows = code == TqDatafile::StatusOk;
  TqDatafile* root = holder->root;
  return SortedRows(std::make_unique<detail::Reader>(std::move(holder), root, false, rows, !rows));
}

class Manager {
 public:
  Manager() = default;  // empty

  // Checks the temporary directories (each must exist).
  static Result<Manager> create(const ManagerOptions& options = ManagerOptions()) {
    TqbString error;
    TqDatafileManager* probe = tqDatafileManagerCreate(TqbString(options.tempDirs.c_str()), &error);
    if (probe == nullptr) return Status(Code::createFailed, error.str());
    probe->release();
    Manager m;
    m.tempDirs_ = std::make_shared<const std::string>(options.tempDirs);
    return m;
  }

  // A new unsorted store.  Every option is checked here.
  Result<Store> store(const StoreOptions& options) const {
    if (tempDirs_ == nullptr) return detail::emptyObject("Manager");
    auto holder = std::make_shared<detail::FileHolder>();
    Status s = detail::openManager(holder.get(), *tempDirs_, options.columns, options.chunkSize);
    if (!s.ok()) return s;
    uint32_t flags = options.layout == RowLayout::variable ? TqDatafile::FlagVariableRows : 0;
    switch (options.spill) {
      case Spill::whenFull: flags |= TqDatafile::FlagMemoryFirst; break;
      case Spill::never: flags |= TqDatafile::FlagMemoryFirst | TqDatafile::FlagMemoryOnly; break;
      case Spill::immediately: break;
      default: return detail::invalid("spill: outside its enumeration.");
    }
    if (options.layout != RowLayout::variable && options.layout != RowLayout::fixed) {
      return detail::invalid("layout: outside its enumeration.");
    }
    s = detail::makeFile(holder.get(), flags);
    if (!s.ok()) return s;
    return Store(std::move(holder));
  }

  // A new sorter.  Every option is checked here, the keys by the sort engine itself (an
  // unknown locale is refused now, naming the key as keys[] numbers it).  Only a chunk
  // sort's first chunk is left to the first add(), which reports a failure to get it.
  Result<Sorter> sorter(const SortOptions& options) const {
    if (tempDirs_ == nullptr) return detail::emptyObject("Manager");
    auto holder = std::make_shared<detail::FileHolder>();
    Status s = detail::openManager(holder.get(), *tempDirs_, options.columns, options.chunkSize);
    uint32_t flags = 0;
    if (s.ok()) s = detail::sortFlags(options, &flags);
    if (s.ok()) s = detail::setSortOptions(holder->manager, options);
    if (s.ok()) s = detail::makeFile(holder.get(), flags);
    if (s.ok()) s = detail::setKeys(holder.get(), options);
    if (s.ok() && options.progress) {
      holder->progress = std::make_unique<detail::ProgressRelay>(options.progress);
      holder->root->setSortProgress(holder->progress.get());
    }
    if (s.ok() && (flags & TqDatafile::FlagExternalSort) != 0) s = detail::tryKeys(holder.get());
    if (!s.ok()) return s;
    return Sorter(std::move(holder));
  }

  explicit operator bool() const noexcept { return tempDirs_ != nullptr; }

 private:
  std::shared_ptr<const std::string> tempDirs_;
};

}  // namespace tq

#endif
