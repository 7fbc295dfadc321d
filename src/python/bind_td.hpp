#pragma once
#include <nanobind/nanobind.h>

namespace vantrel::py {
// Registers TdOperator and ReducedModel, in that order.
void bind_td(nanobind::module_& m);
}  // namespace vantrel::py
