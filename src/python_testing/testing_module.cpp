// vantrel._testing: a private module for the test suite only. It reaches services that the
// public classes do not expose yet. Not part of the public API.
#include <nanobind/nanobind.h>

#include "python/convert.hpp"
#include "python_testing/testing_parts.hpp"

NB_MODULE(_testing, m) {
  vantrel::py::install_exception_translators();
  vantrel::testing::bind_convert_probes(m);
  vantrel::testing::bind_mesh_probes(m);
  vantrel::testing::bind_config_probes(m);
  vantrel::testing::bind_solvers_probes(m);
  vantrel::testing::bind_fd_probes(m);
  vantrel::testing::bind_sweep_probes(m);
  vantrel::testing::bind_farfield_probes(m);
  vantrel::testing::bind_td_probes(m);
  vantrel::testing::bind_eigenmode_probes(m);
}
