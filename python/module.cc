// The native part of the Python module tqdatafile (_tqdatafile): the row sorter on the
// C++ layer (rows.cc), tqsort run in this process and the key ranges of the cluster
// sort (csv.cc).  The Python package around it (tqdatafile/__init__.py) gives the
// names a user calls.
#include <pybind11/pybind11.h>

#include "support.h"

namespace tqpy {

Exceptions& exceptions() {
  static Exceptions made;
  return made;
}

void raise(PyObject* type, const std::string& message, const char* code) {
  py::object error = py::reinterpret_borrow<py::object>(type)(message);
  error.attr("code") = code != nullptr ? py::object(py::str(code)) : py::object(py::none());
  PyErr_SetObject(type, error.ptr());
  throw py::error_already_set();
}

namespace {

PyObject* newException(py::module_& m, const char* name, PyObject* bases, const char* doc) {
  std::string qualified = std::string("tqdatafile.") + name;
  PyObject* type = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, bases, nullptr);
  if (type == nullptr) throw py::error_already_set();
  m.add_object(name, py::reinterpret_borrow<py::object>(type));
  return type;
}

}  // namespace

}  // namespace tqpy

PYBIND11_MODULE(_tqdatafile, m) {
  using namespace tqpy;
  m.doc() = "The native part of tqdatafile: the library's sorts and tqsort, without the GIL.";
  Exceptions& e = exceptions();
  e.error = newException(m, "Error", PyExc_Exception,
                         "A failure of the library or of tqsort; `code` names the library's status "
                         "(None for tqsort's failures).");
  py::tuple invalidBases = py::make_tuple(py::handle(e.error), py::handle(PyExc_ValueError));
  e.invalidArgument = newException(m, "InvalidArgument", invalidBases.ptr(),
                                   "A value, option or argument the library refused.");
  e.stopped = newException(m, "Stopped", e.error, "A sort cancelled by its progress callable.");
  bindRows(m);
  bindCsv(m);
}
