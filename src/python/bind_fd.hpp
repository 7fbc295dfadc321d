#pragma once
#include <nanobind/nanobind.h>

namespace vantrel::py {
// Registers Simulation, SweepResult, Eigenmode and RadiationPattern, in that order.
void bind_fd(nanobind::module_& m);
}  // namespace vantrel::py
