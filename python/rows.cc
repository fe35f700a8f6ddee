// The row sorter of the Python module: Python tuples into a tq::Sorter, sorted rows back
// out as tuples.
//
// Rows cross in batches.  Adding, a batch of rows is turned into cells (values the
// library takes, their text still in the Python objects, which the batch keeps alive)
// with the GIL, and added to the sorter without it.  Reading, a batch of sorted rows is
// copied out of the library without the GIL and made into tuples with it, one per
// __next__.  So the Python side holds one batch, and the sort its memory budget,
// however many rows pass.
//
// Column kinds and the Python values each takes (None everywhere: nulls sort lowest,
// in both directions):
//   str      str (UTF-8 in a string column; a zero character is refused)
//   bytes    bytes, bytearray, memoryview: in a string column of twice the length,
//            0x00 written 0x01 0x01 and 0x01 written 0x01 0x02, which keeps byte order
//            and takes zero bytes
//   int      int (64-bit)
//   float    float, int: in a decimal column, the shortest decimal that reads back as
//            the same float
//   decimal  decimal.Decimal, int: in a decimal column (52 digits at most)
//   date     datetime.date (a datetime is refused: its time would be lost)
//   bool     bool
// A value of another type is a TypeError; a value the library refuses (too long, out
// of range) an InvalidArgument with the library's message.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
// After Python.h (which pybind11 includes first).
#include <datetime.h>

#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support.h"
#include "tqdatafile/tq.h"

namespace tqpy {

namespace {

enum class Kind { str, bytes, integer, floating, decimal, date, boolean };

struct ColumnKind {
  Kind kind;
  int32_t maxLength;  // str and bytes: as declared
};

Kind kindNamed(const std::string& name) {
  if (name == "str") return Kind::str;
  if (name == "bytes") return Kind::bytes;
  if (name == "int") return Kind::integer;
  if (name == "float") return Kind::floating;
  if (name == "decimal") return Kind::decimal;
  if (name == "date") return Kind::date;
  if (name == "bool") return Kind::boolean;
  raise(exceptions().invalidArgument, "columns: unknown kind '" + name + "'.", "invalidArgument");
}

// After a call of the library: what the progress callable raised, or the stop it asked
// for (the library may have finished its step before it looked).
void raiseIfStopped(Relay& relay) {
  relay.deliver();
  relay.raiseKept();
  if (relay.stopping()) raise(exceptions().stopped, "The sort was cancelled by its progress callable.", "stopped");
}

[[noreturn]] void raiseStatus(const tq::Status& s) {
  PyObject* type = s.code() == tq::Code::invalidArgument ? exceptions().invalidArgument
                   : s.code() == tq::Code::stopped       ? exceptions().stopped
                                                         : exceptions().error;
  raise(type, s.message(), tq::codeName(s.code()));
}

// 0x00 -> 0x01 0x01, 0x01 -> 0x01 0x02: no zero bytes, and the same order.
void escapeBytes(std::string_view in, std::string* out) {
  for (char c : in) {
    if (c == '\0' || c == '\1') {
      out->push_back('\1');
      out->push_back(static_cast<char>(c + 1));
    } else {
      out->push_back(c);
    }
  }
}

py::bytes unescapeBytes(std::string_view in) {
  std::string out;
  out.reserve(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] == '\1' && i + 1 < in.size()) {
      out.push_back(static_cast<char>(in[++i] - 1));
    } else {
      out.push_back(in[i]);
    }
  }
  return py::bytes(out);
}

// One value of a row being added: what tq::Value is made from once the GIL is gone.
struct Cell {
  enum class Is { null, text, escaped, integer, floating, decimal, date, boolean } is = Is::null;
  const char* text = nullptr;  // text: in the Python object; escaped: an offset into the arena
  size_t length = 0;
  int64_t integer = 0;
  double number = 0;
  tq::Decimal decimal;
};

[[noreturn]] void wrongType(size_t field, const ColumnKind& column, py::handle value) {
  static const char* const kTakes[] = {"str", "bytes", "int", "float or int", "decimal.Decimal or int",
                                       "datetime.date", "bool"};
  std::string given = py::str(py::type::handle_of(value).attr("__name__"));
  PyErr_SetString(PyExc_TypeError, ("field " + std::to_string(field) + " takes " +
                                    kTakes[static_cast<int>(column.kind)] + " or None, not " + given)
                                       .c_str());
  throw py::error_already_set();
}

int64_t toInt64(size_t field, py::handle value) {
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (overflow != 0) {
    raise(exceptions().invalidArgument,
          "field " + std::to_string(field) + ": " + std::string(py::str(value)) + " is beyond the 64-bit integers.",
          "invalidArgument");
  }
  if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
  return v;
}

// The cell of `value` for `column` (GIL held); escaped bytes go to `arena`.
Cell makeCell(size_t field, const ColumnKind& column, py::handle value, std::string* arena) {
  Cell c;
  if (value.is_none()) return c;
  PyObject* v = value.ptr();
  switch (column.kind) {
    case Kind::str: {
      if (!PyUnicode_Check(v)) wrongType(field, column, value);
      Py_ssize_t size = 0;
      c.text = PyUnicode_AsUTF8AndSize(v, &size);  // kept by the str object
      if (c.text == nullptr) throw py::error_already_set();
      c.length = static_cast<size_t>(size);
      c.is = Cell::Is::text;
      return c;
    }
    case Kind::bytes: {
      if (!PyBytes_Check(v) && !PyByteArray_Check(v) && !PyMemoryView_Check(v)) wrongType(field, column, value);
      py::buffer_info info = py::reinterpret_borrow<py::buffer>(value).request();
      size_t size = static_cast<size_t>(info.size * info.itemsize);
      if (size > static_cast<size_t>(column.maxLength)) {
        raise(exceptions().invalidArgument,
              "field " + std::to_string(field) + ": " + std::to_string(size) +
                  " bytes; the column holds at most " + std::to_string(column.maxLength) + ".",
              "invalidArgument");
      }
      c.integer = static_cast<int64_t>(arena->size());
      escapeBytes(std::string_view(static_cast<const char*>(info.ptr), size), arena);
      c.length = arena->size() - static_cast<size_t>(c.integer);
      c.is = Cell::Is::escaped;
      return c;
    }
    case Kind::integer:
      if (!PyLong_Check(v)) wrongType(field, column, value);
      c.integer = toInt64(field, value);
      c.is = Cell::Is::integer;
      return c;
    case Kind::floating:
      if (PyFloat_Check(v)) {
        c.number = PyFloat_AS_DOUBLE(v);
        c.is = Cell::Is::floating;
      } else if (PyLong_Check(v) && !PyBool_Check(v)) {
        c.integer = toInt64(field, value);
        c.is = Cell::Is::integer;
      } else {
        wrongType(field, column, value);
      }
      return c;
    case Kind::decimal: {
      static py::object decimalType = py::module_::import("decimal").attr("Decimal");
      if (PyLong_Check(v) && !PyBool_Check(v)) {
        c.integer = toInt64(field, value);
        c.is = Cell::Is::integer;
        return c;
      }
      if (!py::isinstance(value, decimalType)) wrongType(field, column, value);
      std::string text = py::str(value);
      tq::Result<tq::Decimal> d = tq::Decimal::parse(text);
      if (!d.ok()) {
        raise(exceptions().invalidArgument, "field " + std::to_string(field) + ": " + d.status().message(),
              "invalidArgument");
      }
      c.decimal = *d;
      c.is = Cell::Is::decimal;
      return c;
    }
    case Kind::date:
      if (!PyDate_Check(v) || PyDateTime_Check(v)) wrongType(field, column, value);
      c.number = tq::Date::fromYmd(PyDateTime_GET_YEAR(v), PyDateTime_GET_MONTH(v), PyDateTime_GET_DAY(v)).asDouble();
      c.is = Cell::Is::date;
      return c;
    case Kind::boolean:
      if (!PyBool_Check(v)) wrongType(field, column, value);
      c.integer = v == Py_True ? 1 : 0;
      c.is = Cell::Is::boolean;
      return c;
  }
  wrongType(field, column, value);
}

tq::Value valueOf(const Cell& c, const std::string& arena) {
  switch (c.is) {
    case Cell::Is::null: return tq::Value();
    case Cell::Is::text: return tq::Value(std::string_view(c.text, c.length));
    case Cell::Is::escaped: return tq::Value(std::string_view(arena.data() + c.integer, c.length));
    case Cell::Is::integer: return tq::Value(c.integer);
    case Cell::Is::floating: return tq::Value(c.number);
    case Cell::Is::decimal: return tq::Value(c.decimal);
    case Cell::Is::date: return tq::Value(tq::Date(c.number));
    case Cell::Is::boolean: return tq::Value(c.integer != 0);
  }
  return tq::Value();
}

constexpr size_t kBatchRows = 2048;
constexpr size_t kBatchBytes = size_t{1} << 20;

class SortedRows;

// tqdatafile._RowSorter: rows in; sort() hands back the sorted rows.
class RowSorter {
 public:
  RowSorter(const std::vector<std::pair<std::string, int32_t>>& columns, const std::vector<py::tuple>& keys,
            uint64_t memory, uint32_t chunkSize, int32_t processors, bool stable, bool unique,
            const std::string& engine, const std::string& tempDirs, int64_t expectedRows, py::object progress);

  void add(py::handle row) {
    Batch batch;
    takeRow(row, &batch);
    addBatch(batch);
  }
  // Adds every row of `rows`.  A failure (of a row, or of the iterable itself) comes
  // after the rows before it were added: failures are raised in row order.
  void extend(py::iterable rows) {
    Batch batch;
    try {
      for (py::handle row : rows) {
        takeRow(row, &batch);
        if (batch.rows.size() >= kBatchRows || batch.arena.size() >= kBatchBytes) {
          addBatch(batch);
          batch = Batch();
        }
      }
    } catch (py::error_already_set&) {
      addBatch(batch);  // raises instead when one of these rows fails
      throw;
    }
    addBatch(batch);
  }
  int64_t rowCount() const { return sorter_.rowCount(); }
  std::unique_ptr<SortedRows> sort();

 private:
  struct Batch {
    std::vector<py::object> rows;  // keep the text the cells point to
    std::vector<Cell> cells;
    std::string arena;
  };

  void takeRow(py::handle row, Batch* batch) {
    PyObject* tuple = PySequence_Tuple(row.ptr());
    if (tuple == nullptr) throw py::error_already_set();
    py::tuple values = py::reinterpret_steal<py::tuple>(tuple);
    if (values.size() != columns_.size()) {
      raise(exceptions().invalidArgument,
            "The row has " + std::to_string(values.size()) + " values; the rows have " +
                std::to_string(columns_.size()) + " fields.",
            "invalidArgument");
    }
    for (size_t i = 0; i < columns_.size(); ++i) batch->cells.push_back(makeCell(i, columns_[i], values[i], &batch->arena));
    batch->rows.push_back(std::move(values));
  }

  void addBatch(Batch& batch) {
    tq::Status failed;
    {
      py::gil_scoped_release release;
      std::vector<tq::Value> row(columns_.size());
      for (size_t r = 0; r < batch.rows.size() && failed.ok(); ++r) {
        for (size_t i = 0; i < columns_.size(); ++i) row[i] = valueOf(batch.cells[r * columns_.size() + i], batch.arena);
        failed = sorter_.add(row);
      }
    }
    raiseIfStopped(*relay_);
    if (!failed.ok()) raiseStatus(failed);
  }

  std::vector<ColumnKind> columns_;
  std::shared_ptr<Relay> relay_;  // before sorter_: destroyed after it
  tq::Sorter sorter_;
};

// tqdatafile._SortedRows: the sorted rows, one tuple per __next__.
class SortedRows {
 public:
  SortedRows(tq::SortedRows rows, std::vector<ColumnKind> columns, std::shared_ptr<Relay> relay)
      : relay_(std::move(relay)), rows_(std::move(rows)), columns_(std::move(columns)) {}

  py::object next() {
    if (at_ == count_) fetch();
    if (at_ == count_) throw py::stop_iteration();
    py::tuple row(columns_.size());
    for (size_t i = 0; i < columns_.size(); ++i) row[i] = cellObject(columns_[i], cells_[at_ * columns_.size() + i]);
    ++at_;
    return row;
  }

 private:
  // Copies the next batch of rows out of the library, without the GIL.
  void fetch() {
    cells_.clear();
    arena_.clear();
    count_ = at_ = 0;
    tq::Status failed;
    {
      py::gil_scoped_release release;
      while (count_ < kBatchRows && arena_.size() < kBatchBytes) {
        tq::Result<tq::Row> row = rows_.next();
        if (!row.ok()) {
          if (row.status().code() != tq::Code::endOfData) failed = row.status();
          break;
        }
        for (size_t i = 0; i < columns_.size(); ++i) cells_.push_back(copyCell(columns_[i], *row, static_cast<int32_t>(i)));
        ++count_;
      }
    }
    raiseIfStopped(*relay_);
    if (!failed.ok()) raiseStatus(failed);
  }

  Cell copyCell(const ColumnKind& column, const tq::Row& row, int32_t i) {
    Cell c;
    if (row.isNull(i)) return c;
    switch (column.kind) {
      case Kind::str:
      case Kind::bytes: {
        std::string_view text = row.get<std::string_view>(i);
        c.integer = static_cast<int64_t>(arena_.size());
        c.length = text.size();
        arena_.append(text);
        c.is = Cell::Is::escaped;
        return c;
      }
      case Kind::integer: c.integer = row.get<int64_t>(i); c.is = Cell::Is::integer; return c;
      case Kind::floating: c.number = row.get<double>(i); c.is = Cell::Is::floating; return c;
      case Kind::decimal: c.decimal = row.get<tq::Decimal>(i); c.is = Cell::Is::decimal; return c;
      case Kind::date: c.number = row.get<tq::Date>(i).asDouble(); c.is = Cell::Is::date; return c;
      case Kind::boolean: c.integer = row.get<bool>(i) ? 1 : 0; c.is = Cell::Is::boolean; return c;
    }
    return c;
  }

  py::object cellObject(const ColumnKind& column, const Cell& c) {
    if (c.is == Cell::Is::null) return py::none();
    std::string_view text(arena_.data() + c.integer, c.length);
    switch (column.kind) {
      case Kind::str: return py::reinterpret_steal<py::object>(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
      case Kind::bytes: return unescapeBytes(text);
      case Kind::integer: return py::int_(c.integer);
      case Kind::floating: return py::float_(c.number);
      case Kind::decimal: {
        static py::object decimalType = py::module_::import("decimal").attr("Decimal");
        return decimalType(c.decimal.toString());
      }
      case Kind::date: {
        int y = 0, m = 0, d = 0;
        tq::Date(c.number).toYmd(&y, &m, &d);
        PyObject* date = PyDate_FromDate(y, m, d);
        if (date == nullptr) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(date);
      }
      case Kind::boolean: return py::bool_(c.integer != 0);
    }
    return py::none();
  }

  std::shared_ptr<Relay> relay_;  // before rows_: destroyed after them
  tq::SortedRows rows_;
  std::vector<ColumnKind> columns_;
  std::vector<Cell> cells_;
  std::string arena_;
  size_t count_ = 0;  // rows in cells_
  size_t at_ = 0;     // the next one to hand out
};

std::unique_ptr<SortedRows> RowSorter::sort() {
  tq::Result<tq::SortedRows> sorted = tq::Status(tq::Code::notAllowed, "not sorted");
  runReleased(*relay_, [&] { sorted = std::move(sorter_).sort(); });
  raiseIfStopped(*relay_);
  if (!sorted.ok()) raiseStatus(sorted.status());
  return std::make_unique<SortedRows>(std::move(*sorted), columns_, relay_);
}

tq::Collation collationOf(const py::dict& d) {
  tq::Collation c;
  c.locale = d["locale"].cast<std::string>();
  c.strength = static_cast<tq::Strength>(d["strength"].cast<int>());
  c.caseFirst = static_cast<tq::CaseFirst>(d["case_first"].cast<int>());
  c.variant = static_cast<tq::Variant>(d["variant"].cast<int>());
  c.numeric = d["numeric"].cast<bool>();
  c.ignorePunctuation = d["ignore_punctuation"].cast<bool>();
  return c;
}

tq::Engine engineNamed(const std::string& name) {
  if (name == "auto") return tq::Engine::automatic;
  if (name == "variable") return tq::Engine::variableRows;
  if (name == "fixed") return tq::Engine::fixedRows;
  if (name == "external") return tq::Engine::external;
  raise(exceptions().invalidArgument, "engine: 'auto', 'variable', 'fixed' or 'external', not '" + name + "'.",
        "invalidArgument");
}

RowSorter::RowSorter(const std::vector<std::pair<std::string, int32_t>>& columns, const std::vector<py::tuple>& keys,
                     uint64_t memory, uint32_t chunkSize, int32_t processors, bool stable, bool unique,
                     const std::string& engine, const std::string& tempDirs, int64_t expectedRows,
                     py::object progress)
    : relay_(std::make_shared<Relay>(std::move(progress))) {
  tq::SortOptions o;
  for (const auto& [name, length] : columns) {
    ColumnKind c{kindNamed(name), length};
    columns_.push_back(c);
    switch (c.kind) {
      case Kind::str: o.columns.push_back(tq::Column::string(length)); break;
      case Kind::bytes:  // room for every byte escaped
        o.columns.push_back(tq::Column::string(length > kTqMaxStringLength / 2 ? length : length * 2));
        break;
      case Kind::integer: o.columns.push_back(tq::Column::integer()); break;
      case Kind::floating:
      case Kind::decimal: o.columns.push_back(tq::Column::decimal()); break;
      case Kind::date: o.columns.push_back(tq::Column::date()); break;
      case Kind::boolean: o.columns.push_back(tq::Column::boolean()); break;
    }
  }
  for (const py::tuple& k : keys) {
    tq::Key key;
    key.field = k[0].cast<int32_t>();
    key.order = k[1].cast<bool>() ? tq::Order::descending : tq::Order::ascending;
    if (!k[2].is_none()) key.collation = collationOf(k[2].cast<py::dict>());
    if (key.collation && key.field >= 0 && static_cast<size_t>(key.field) < columns_.size() &&
        columns_[static_cast<size_t>(key.field)].kind == Kind::bytes) {
      raise(exceptions().invalidArgument, "keys: a collation orders str fields; field " +
                                              std::to_string(key.field) + " holds bytes.", "invalidArgument");
    }
    o.keys.push_back(std::move(key));
  }
  o.memory = memory;
  o.chunkSize = chunkSize;
  o.processors = processors;
  o.stable = stable;
  o.unique = unique;
  o.engine = engineNamed(engine);
  o.expectedRows = expectedRows;
  // The library's threads call this without the GIL.  The relay outlives the datafile:
  // whatever holds the sort's rows (this sorter, then its SortedRows) holds the relay
  // too, and lets the rows go first.
  Relay* relay = relay_.get();
  o.progress = [relay](double fraction) { return relay->hear("sorting", fraction); };
  tq::Result<tq::Manager> manager = tq::Manager::create({.tempDirs = tempDirs});
  if (!manager.ok()) raiseStatus(manager.status());
  tq::Result<tq::Sorter> sorter = tq::Status(tq::Code::notAllowed, "not made");
  {
    py::gil_scoped_release release;
    sorter = manager->sorter(o);
  }
  if (!sorter.ok()) raiseStatus(sorter.status());
  sorter_ = std::move(*sorter);
}

}  // namespace

void bindRows(py::module_& m) {
  PyDateTime_IMPORT;
  if (PyDateTimeAPI == nullptr) throw py::error_already_set();
  py::class_<SortedRows>(m, "_SortedRows")
      .def("__iter__", [](py::object self) { return self; })
      .def("__next__", &SortedRows::next);
  py::class_<RowSorter>(m, "_RowSorter")
      .def(py::init<const std::vector<std::pair<std::string, int32_t>>&, const std::vector<py::tuple>&, uint64_t,
                    uint32_t, int32_t, bool, bool, const std::string&, const std::string&, int64_t, py::object>(),
           py::arg("columns"), py::arg("keys"), py::arg("memory"), py::arg("chunk_size"), py::arg("processors"),
           py::arg("stable"), py::arg("unique"), py::arg("engine"), py::arg("temp_dirs"), py::arg("expected_rows"),
           py::arg("progress"))
      .def("add", &RowSorter::add)
      .def("extend", &RowSorter::extend)
      .def("sort", &RowSorter::sort)
      .def_property_readonly("row_count", &RowSorter::rowCount);
}

}  // namespace tqpy
