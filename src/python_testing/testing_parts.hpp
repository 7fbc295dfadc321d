#pragma once
#include <nanobind/nanobind.h>

namespace vantrel::testing {
void bind_convert_probes(nanobind::module_& m);  // testing_convert.cpp
void bind_mesh_probes(nanobind::module_& m);     // testing_mesh.cpp
void bind_config_probes(nanobind::module_& m);   // testing_config.cpp
void bind_solvers_probes(nanobind::module_& m);  // testing_solvers.cpp
void bind_fd_probes(nanobind::module_& m);       // testing_fd.cpp
void bind_sweep_probes(nanobind::module_& m);    // testing_sweep.cpp
void bind_farfield_probes(nanobind::module_& m);  // testing_farfield.cpp
void bind_td_probes(nanobind::module_& m);       // testing_td.cpp
void bind_eigenmode_probes(nanobind::module_& m);  // testing_eigenmode.cpp
}  // namespace vantrel::testing
