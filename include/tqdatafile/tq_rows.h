// Reading rows in the C++ layer (tq.h): tq::Row, tq::Position and the range-for over a
// frozen store or sorted rows.
//
//   for (const tq::Row& row : sorted) {
//     std::string_view name = row.get<std::string_view>(0);   // no terminating zero
//     int64_t age = row.get<int64_t>(1);
//   }
//   if (!sorted.status().ok()) ...                             // what ended the loop
//
// Every loop starts with the next row not yet read and ends at the last row or at the
// first failure; there is no first row to take apart.  status() tells which, after the
// loop: ok at the end of the rows, else why reading stopped.  A Row is a view of the
// reader's current row: valid until the reader moves on.  A get<T> that asks for a field
// that does not exist, or as a type its column does not hold, gives T{} and makes
// status() invalidArgument, which also ends the loop after that row.
//
// The objects in this file are the layer's own plumbing (namespace detail) plus the
// views a host holds; the host makes none of them itself.
#ifndef TQDATAFILE_TQ_ROWS_H
#define TQDATAFILE_TQ_ROWS_H

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <iterator>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "tqdatafile/datafile.h"
#include "tqdatafile/manager.h"
#include "tqdatafile/tq_values.h"

namespace tq {

class Row;
class Store;

namespace detail {

// Hands the library's progress calls to the host's callable, one at a time, from
// whichever thread the library calls on.  An exception must not cross into the
// library: it is caught, kept, and cancels the sort.
class ProgressRelay final : public TqSortProgress {
 public:
  explicit ProgressRelay(std::function<bool(double)> callable) : callable_(std::move(callable)) {}
  bool progress(double fraction) override {
    std::lock_guard<std::mutex> guard(mutex_);
    if (threw_.load(std::memory_order_acquire)) return false;
    try {
      return callable_(fraction);
    } catch (...) {
      thrown_ = std::current_exception();
      threw_.store(true, std::memory_order_release);
    }
    return false;
  }
  // The message of a sort that the callable stopped by throwing; empty otherwise.
  std::string thrownMessage() const {
    if (!threw_.load(std::memory_order_acquire)) return std::string();
    std::string what = "an exception";
    try {
      std::rethrow_exception(thrown_);
    } catch (const std::exception& e) {
      what = e.what();
    } catch (...) {
    }
    return "The progress callback threw (" + what + "); the sort stopped.";
  }

 private:
  std::mutex mutex_;  // one call of the callable at a time
  std::function<bool(double)> callable_;
  std::exception_ptr thrown_;      // written before threw_ is set
  std::atomic<bool> threw_{false};
};

// What every object over one datafile shares: a manager of its own (so that no other
// object's settings reach it, and it lives exactly as long as the datafile needs it),
// the root datafile, its columns and the progress relay the root points to.  The last
// object that needs the rows destroys it: the root first, then the manager.
struct FileHolder {
  FileHolder() = default;
  FileHolder(const FileHolder&) = delete;
  FileHolder& operator=(const FileHolder&) = delete;
  ~FileHolder() {
    if (root != nullptr) root->release();
    if (manager != nullptr) manager->release();
  }

  // An id for positions: a position is taken only by the rows it came from.
  static uint64_t nextId() {
    static std::atomic<uint64_t> last{0};
    return last.fetch_add(1, std::memory_order_relaxed) + 1;
  }

  // The field values of `file` (getField: valid for the datafile's life), so that no
  // row pays a virtual call per field.
  static std::vector<TqbDatavar*> fieldsOf(TqDatafile* file, size_t count) {
    std::vector<TqbDatavar*> fields(count);
    for (size_t i = 0; i < count; ++i) fields[i] = file->getField(static_cast<int32_t>(i));
    return fields;
  }

  TqDatafileManager* manager = nullptr;
  TqDatafile* root = nullptr;
  std::vector<Column> columns;
  std::vector<TqbDatavar*> rootFields;  // the root's field values, one per column
  std::unique_ptr<ProgressRelay> progress;  // the root holds its address until released
  uint64_t id = nextId();
};

// The Status of a failed datafile call: its code and the datafile's text (the progress
// relay's, when the host's callable threw).
inline Status fileStatus(TqDatafile* file, int32_t code, const FileHolder& holder) {
  std::string thrown = holder.progress != nullptr ? holder.progress->thrownMessage() : std::string();
  return Status(static_cast<Code>(code), thrown.empty() ? file->getError().str() : thrown);
}

inline Status emptyObject(const char* what) {
  return Status(Code::notAllowed, std::string("This ") + what +
                                      " is empty: it was moved from, consumed, or never made.");
}

class Reader;

// What get<T> reads: the column types it takes and how it converts.
enum class ReadAs { boolean, integer, floating, decimal, text, date };

template <typename T>
constexpr ReadAs readAs() {
  if constexpr (std::is_same_v<T, bool>) {
    return ReadAs::boolean;
  } else if constexpr (isInteger<T>) {
    return ReadAs::integer;
  } else if constexpr (std::is_floating_point_v<T>) {
    return ReadAs::floating;
  } else if constexpr (std::is_same_v<T, Decimal>) {
    return ReadAs::decimal;
  } else if constexpr (std::is_same_v<T, std::string_view> || std::is_same_v<T, std::string> ||
                       std::is_same_v<T, const char*>) {
    return ReadAs::text;
  } else {
    return ReadAs::date;
  }
}

template <typename T>
inline constexpr bool readable =
    std::is_same_v<T, bool> || isInteger<T> || std::is_floating_point_v<T> || std::is_same_v<T, Decimal> ||
    std::is_same_v<T, std::string_view> || std::is_same_v<T, std::string> ||
    std::is_same_v<T, const char*> || std::is_same_v<T, Date>
#if __cplusplus >= 202002L && defined(__cpp_lib_chrono) && __cpp_lib_chrono >= 201907L
    || std::is_same_v<T, std::chrono::sys_days>
#endif
    ;

inline bool takes(ReadAs as, Type type) {
  switch (as) {
    case ReadAs::boolean: return type == Type::boolean;
    case ReadAs::integer: return type == Type::integer;
    case ReadAs::floating:
    case ReadAs::decimal: return type == Type::integer || type == Type::decimal;
    case ReadAs::text: return type == Type::string;
    case ReadAs::date: return type == Type::date;
  }
  return false;
}

inline const char* readWords(ReadAs as) {
  switch (as) {
    case ReadAs::boolean: return "a bool";
    case ReadAs::integer: return "an integer";
    case ReadAs::floating: return "a floating-point number";
    case ReadAs::decimal: return "a decimal";
    case ReadAs::text: return "a text";
    case ReadAs::date: return "a date";
  }
  return "a value";
}

template <typename T>
struct IsOptional : std::false_type {};
template <typename T>
struct IsOptional<std::optional<T>> : std::true_type {};

}  // namespace detail

// Where a row of an unsorted store starts: from Store::append or Row::position(), for
// FrozenStore::seek.  It belongs to the rows it came from (and their clones); another
// store refuses it.  A default Position is no row.
class Position {
 public:
  Position() = default;
  bool valid() const noexcept { return offset_ >= 0; }
  int64_t offset() const noexcept { return offset_; }
  friend bool operator==(const Position& a, const Position& b) noexcept {
    return a.offset_ == b.offset_ && a.owner_ == b.owner_;
  }
  friend bool operator!=(const Position& a, const Position& b) noexcept { return !(a == b); }

 private:
  friend class Store;
  friend class FrozenStore;
  friend class detail::Reader;
  Position(int64_t offset, uint64_t owner) : offset_(offset), owner_(owner) {}
  int64_t offset_ = -1;
  uint64_t owner_ = 0;
};

// The current row of a reader.
class Row {
 public:
  Row() = default;  // no row: every field reads as null and get<T> as T{}

  // The fields of a row (the columns).
  int32_t size() const noexcept;
  // True when field `index` is null (and when there is no such field; get<T> reports it).
  bool isNull(int32_t index) const;
  // Field `index` as a T (table in tq_values.h); std::optional<T> gives nullopt for null.
  template <typename T>
  T get(int32_t index) const;
  // With SortOptions::markGroups: true for the first row of each group of equal keys.
  bool startsGroup() const noexcept;
  // A row of a store: where it starts, for FrozenStore::seek.  Sorted rows: no row.
  Position position() const noexcept;

 private:
  friend class detail::Reader;
  explicit Row(detail::Reader* reader) : reader_(reader) {}
  detail::Reader* reader_ = nullptr;
};

namespace detail {

// One reader of a datafile's rows: the root itself or a clone of it, the row in hand,
// and the reading's Status.  Owned by a FrozenStore or SortedRows, at a fixed address
// (the Row and the iterators point to it).
class Reader {
 public:
  // `rowInHand`: the datafile already holds the next row to hand out (a sort loads its
  // first row; a seek the row sought).  `atEnd`: there are no rows.
  Reader(std::shared_ptr<FileHolder> holder, TqDatafile* file, bool positions, bool rowInHand,
         bool atEnd)
      : holder_(std::move(holder)), file_(file),
        fields_(FileHolder::fieldsOf(file, holder_->columns.size())), positions_(positions),
        rowInHand_(rowInHand), atEnd_(atEnd), mark_(rowInHand) {}
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;
  ~Reader() {
    if (file_ != holder_->root) file_->release();  // a clone; the holder releases the root
  }

  // Makes the next row current: true with a row, false at the end or on a failure.
  bool advance() {
    current_ = false;
    if (atEnd_ || !status_.ok()) return false;
    if (rowInHand_) {
      rowInHand_ = false;
      current_ = true;
      return true;
    }
    int64_t start = positions_ ? file_->tell() : -1;
    bool mark = false;
    int32_t code = file_->next(&mark);
    if (code == TqDatafile::StatusOk) {
      position_ = start;
      mark_ = mark;
      current_ = true;
      return true;
    }
    if (code == TqDatafile::StatusEndOfData) {
      atEnd_ = true;
    } else {
      status_ = fileStatus(file_, code, *holder_);
    }
    return false;
  }

  // Loads the row at `position` as the next one to hand out.
  Status seek(const Position& position) {
    if (position.owner_ != holder_->id || !position.valid()) {
      return invalid("The position is not one of these rows' (it came from other rows, or is none).");
    }
    int32_t code = file_->seek(position.offset_);
    if (code != TqDatafile::StatusOk) return fileStatus(file_, code, *holder_);
    status_ = Status();
    atEnd_ = false;
    rowInHand_ = true;
    current_ = false;
    position_ = position.offset_;
    return Status();
  }

  // The value of field `index` of the current row for a get<T> that reads `as`; null
  // (with the failure kept in status()) when there is none.
  const TqbDatavar* field(int32_t index, ReadAs as) {
    if (!current_) {
      fail(Status(Code::notAllowed, "No current row: the reader is before its first row or past its last."));
      return nullptr;
    }
    if (index < 0 || static_cast<size_t>(index) >= holder_->columns.size()) {
      fail(invalid(fieldName(index) + " does not exist: the rows have " +
                   std::to_string(holder_->columns.size()) + " fields."));
      return nullptr;
    }
    Type type = holder_->columns[static_cast<size_t>(index)].type;
    if (!takes(as, type)) {
      fail(invalid(fieldName(index) + " holds " + typeWords(type) + ", not " +
                   readWords(as) + "."));
      return nullptr;
    }
    return fields_[static_cast<size_t>(index)];
  }

  // The value of field `index` of the current row, or null (no row, no such field).
  const TqbDatavar* value(int32_t index) const noexcept {
    if (!current_ || index < 0 || static_cast<size_t>(index) >= fields_.size()) return nullptr;
    return fields_[static_cast<size_t>(index)];
  }

  // Keeps the first failure of a reading.
  void fail(Status status) {
    if (status_.ok()) status_ = std::move(status);
  }

  const Row& row() const noexcept { return row_; }
  const Status& status() const noexcept { return status_; }
  bool current() const noexcept { return current_; }
  bool mark() const noexcept { return mark_; }
  Position position() const noexcept {
    return positions_ && current_ ? Position(position_, holder_->id) : Position();
  }
  int32_t fieldCount() const noexcept { return static_cast<int32_t>(holder_->columns.size()); }
  TqDatafile* file() const noexcept { return file_; }
  const std::shared_ptr<FileHolder>& holder() const noexcept { return holder_; }

 private:
  std::shared_ptr<FileHolder> holder_;
  TqDatafile* file_;      // the root, or a clone this reader releases
  std::vector<TqbDatavar*> fields_;  // file_'s field values
  bool positions_;        // rows have positions (an unsorted store)
  bool rowInHand_;        // the datafile holds the next row already
  bool atEnd_;            // the last row has been handed out
  bool current_ = false;  // the fields hold the current row
  bool mark_;             // the current row starts a group
  int64_t position_ = -1; // where the current row starts
  Status status_;         // the first failure of this reading
  Row row_{this};
};

// A value read as T from a field whose column takes it (Reader::field checked that).
template <typename T>
T convert(const TqbDatavar& value, Reader& reader, int32_t index) {
  if constexpr (std::is_same_v<T, bool>) {
    return value.asBool(nullptr);
  } else if constexpr (isInteger<T>) {
    int64_t v = value.asInt64(nullptr);
    bool fits = std::is_signed_v<T>
                    ? v >= static_cast<int64_t>(std::numeric_limits<T>::min()) &&
                          v <= static_cast<int64_t>(std::numeric_limits<T>::max())
                    : v >= 0 && static_cast<uint64_t>(v) <= std::numeric_limits<T>::max();
    if (fits) return static_cast<T>(v);
    reader.fail(invalid(fieldName(index) + ": " + std::to_string(v) +
                        " does not fit the integer type asked for."));
    return T{};
  } else if constexpr (std::is_floating_point_v<T>) {
    if (value.type() == tqbTypeInteger) return static_cast<T>(value.asInt64(nullptr));
    return static_cast<T>(tqbDecimalToDouble(value.getRaw(nullptr)));
  } else if constexpr (std::is_same_v<T, Decimal>) {
    if (value.type() == tqbTypeInteger) return Decimal::fromInt64(value.asInt64(nullptr));
    return Decimal::fromBytes(value.getRaw(nullptr));
  } else if constexpr (std::is_same_v<T, const char*>) {
    return value.asCstr();
  } else if constexpr (std::is_same_v<T, std::string_view> || std::is_same_v<T, std::string>) {
    size_t size = 0;
    const char* text = static_cast<const char*>(value.getRaw(&size));
    return T(text, size > 0 ? size - 1 : 0);  // the terminating zero is not the text's
  } else if constexpr (std::is_same_v<T, Date>) {
    return Date(value.asDouble(nullptr));
  } else {
    // std::chrono::sys_days: the calendar day (a time of day is dropped).
    return T(typename T::duration(static_cast<typename T::rep>(std::floor(value.asDouble(nullptr)))));
  }
}

}  // namespace detail

inline int32_t Row::size() const noexcept { return reader_ != nullptr ? reader_->fieldCount() : 0; }

inline bool Row::isNull(int32_t index) const {
  const TqbDatavar* value = reader_ != nullptr ? reader_->value(index) : nullptr;
  return value == nullptr || value->isNull();
}

template <typename T>
T Row::get(int32_t index) const {
  if constexpr (detail::IsOptional<T>::value) {
    using U = typename T::value_type;
    static_assert(detail::readable<U>, "get<std::optional<T>>: T is not a type a field is read as");
    const TqbDatavar* value = reader_ != nullptr ? reader_->field(index, detail::readAs<U>()) : nullptr;
    if (value == nullptr || value->isNull()) return std::nullopt;
    return detail::convert<U>(*value, *reader_, index);
  } else {
    static_assert(detail::readable<T>,
                  "get<T>: T is bool, an integer type (not char), float, double, tq::Decimal, "
                  "std::string_view, std::string, const char*, tq::Date, or std::optional of one");
    const TqbDatavar* value = reader_ != nullptr ? reader_->field(index, detail::readAs<T>()) : nullptr;
    if (value == nullptr || value->isNull()) return T{};
    return detail::convert<T>(*value, *reader_, index);
  }
}

inline bool Row::startsGroup() const noexcept { return reader_ != nullptr && reader_->current() && reader_->mark(); }

inline Position Row::position() const noexcept { return reader_ != nullptr ? reader_->position() : Position(); }

// The end of a range-for over rows.
struct RowEnd {};

// Reads row after row; an input iterator (one pass).
class RowIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = Row;
  using difference_type = std::ptrdiff_t;
  using pointer = const Row*;
  using reference = const Row&;

  explicit RowIterator(detail::Reader* reader) : reader_(reader) {}
  const Row& operator*() const noexcept { return reader_->row(); }
  const Row* operator->() const noexcept { return &reader_->row(); }
  RowIterator& operator++() {
    if (!reader_->advance()) reader_ = nullptr;
    return *this;
  }
  friend bool operator==(const RowIterator& it, RowEnd) noexcept { return it.reader_ == nullptr; }
  friend bool operator!=(const RowIterator& it, RowEnd) noexcept { return it.reader_ != nullptr; }

 private:
  detail::Reader* reader_;  // null at the end
};

}  // namespace tq

#endif
