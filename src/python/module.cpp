// Registration only: the module object, its docstring, __all__ and the six classes in order.
#include <nanobind/nanobind.h>

#include "python/bind_fd.hpp"
#include "python/bind_td.hpp"
#include "python/convert.hpp"

namespace nb = nanobind;

NB_MODULE(_native, m) {
  m.doc() = "vantrel \u2014 frequency- and time-domain EM FEM solver.";
  vantrel::py::install_exception_translators();
  m.attr("__all__") = nb::list();
  vantrel::py::bind_fd(m);
  vantrel::py::bind_td(m);
}
