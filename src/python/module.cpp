// Registration only: the module object, its docstring, __all__ and the six classes in order.
#include <cstdint>

#include <nanobind/nanobind.h>

#include "python/bind_fd.hpp"
#include "python/bind_td.hpp"
#include "python/convert.hpp"

namespace nb = nanobind;

// The module definition proper; its initialiser is reached only through PyInit__native below.
NB_MODULE(_native_module, m) {
  m.doc() = "vantrel \u2014 frequency- and time-domain EM FEM solver.";
  vantrel::py::install_exception_translators();
  m.attr("__all__") = nb::list();
  vantrel::py::bind_fd(m);
  vantrel::py::bind_td(m);
}

// The entry point the interpreter calls. The binding keeps per-process state (the type objects,
// the exception class, nanobind's own tables), so only the first interpreter that imports the
// module may have it: a sub-interpreter is refused before any of that state is touched.
extern "C" NB_EXPORT PyObject* PyInit__native() {
  static std::int64_t first_interpreter = -1;
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) return nullptr;
  if (first_interpreter < 0) {
    first_interpreter = id;
  } else if (id != first_interpreter) {
    PyErr_SetString(PyExc_ImportError, "PyO3 modules do not yet support subinterpreters");
    return nullptr;
  }
  return PyInit__native_module();
}
