#pragma once
#include <nanobind/nanobind.h>

namespace vantrel::testing {
void bind_convert_probes(nanobind::module_& m);  // testing_convert.cpp
void bind_mesh_probes(nanobind::module_& m);     // testing_mesh.cpp
}  // namespace vantrel::testing
