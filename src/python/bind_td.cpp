// Time-domain classes: TdOperator and ReducedModel.
#include "python/bind_td.hpp"

#include "python/convert.hpp"

namespace vantrel::py {

namespace {

struct TdOperatorObj {};
struct ReducedModelObj {};

}  // namespace

void bind_td(nb::module_& m) {
  auto op = nb::class_<TdOperatorObj>(
      m, "TdOperator",
      "TdOperator(nx, ny, nz, lx, ly, lz, order, flux_alpha=1.0)\n--\n\n"
      "Time-domain DGTD Maxwell operator (vacuum, PEC walls), built on a\n"
      "structured box cavity. Wraps the `MaxwellOperator`.");
  op.def("__init__", [](TdOperatorObj*, nb::args, nb::kwargs) { no_constructor("TdOperator"); });
  add_to_all(m, "TdOperator");

  auto rm = nb::class_<ReducedModelObj>(
      m, "ReducedModel",
      "A Krylov model-order-reduced model of a `TdOperator` \u2014 `A \u2248 V\u00b7\u00c2\u00b7V\u1d40`\n"
      "with `\u00c2` small and dense. Propagates states at a fraction of the cost.");
  rm.def("__init__", [](ReducedModelObj*, nb::args, nb::kwargs) { no_constructor("ReducedModel"); });
  add_to_all(m, "ReducedModel");
}

}  // namespace vantrel::py
