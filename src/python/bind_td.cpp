// Time-domain classes: TdOperator and ReducedModel.
#include "python/bind_td.hpp"

#include <cstdint>
#include <utility>

#include "python/convert.hpp"
#include "python/td_objects.hpp"
#include "td/mesh_gen.hpp"
#include "td/rhs.hpp"
#include "td/state_space.hpp"

namespace vantrel::py {

namespace {

PyTdOperator& td(nb::handle self) { return record_of<PyTdOperator>(self, "TdOperator"); }

// ---- TdOperator members -----------------------------------------------------------------------

void td_init(PyTdOperator* self, const nb::args& args, const nb::kwargs& kwargs) {
  Call c("TdOperator.__new__()",
         {{"nx"}, {"ny"}, {"nz"}, {"lx"}, {"ly"}, {"lz"}, {"order"}, {"flux_alpha", true}}, args,
         kwargs);
  const u64 nx = arg_index(c[0], c.name(0));
  const u64 ny = arg_index(c[1], c.name(1));
  const u64 nz = arg_index(c[2], c.name(2));
  const double lx = arg_real(c[3], c.name(3));
  const double ly = arg_real(c[4], c.name(4));
  const double lz = arg_real(c[5], c.name(5));
  const u64 order = arg_index(c[6], c.name(6));
  const double flux_alpha = c.given(7) ? arg_real(c[7], c.name(7)) : 1.0;
  MaxwellOperator op = build_box_operator(nx, ny, nz, lx, ly, lz, order, flux_alpha);
  new (self) PyTdOperator{std::move(op), {}};
}

// The class attribute __init__: a method descriptor with the constructor's text signature, so that
// inspect.signature(TdOperator) and help(TdOperator) show the parameters. TdOperator(...) itself
// takes nanobind's construction path; both build through td_init.
nb::object td_init_method(nb::handle self, const nb::args& args, const nb::kwargs& kwargs) {
  if (nb::inst_ready(self)) throw Error("TdOperator object is already initialised");
  td_init(nb::inst_ptr<PyTdOperator>(self), args, kwargs);
  nb::inst_mark_ready(self);
  return nb::none();
}


nb::object td_n_dof(nb::handle self, const nb::args&, const nb::kwargs&) {
  return nb::int_(n_dof(td(self).op));
}

nb::object td_n_dispersive(nb::handle self, const nb::args&, const nb::kwargs&) {
  return nb::int_(static_cast<u64>(td(self).op.debye.size()));
}

nb::object td_n_ports(nb::handle self, const nb::args&, const nb::kwargs&) {
  return nb::int_(static_cast<u64>(td(self).op.ports.size()));
}

nb::object td_apply(nb::handle self, const nb::args& args, const nb::kwargs& kwargs) {
  PyTdOperator& rec = td(self);
  Call c("TdOperator.apply()", {{"y"}}, args, kwargs);
  const Borrow borrow(rec.borrow, Borrow::shared);
  VectorArg y(c[0], c.name(0));
  return vector_result(apply_operator(rec.op, y.data()));
}

nb::object td_field_energy(nb::handle self, const nb::args& args, const nb::kwargs& kwargs) {
  PyTdOperator& rec = td(self);
  Call c("TdOperator.field_energy()", {{"y"}}, args, kwargs);
  const Borrow borrow(rec.borrow, Borrow::shared);
  VectorArg y(c[0], c.name(0));
  return nb::float_(0.5 * element_energies(rec.op, y.data()));
}

nb::object td_state_space(nb::handle self, const nb::args&, const nb::kwargs&) {
  CsrMatrix m = state_space(td(self).op);
  const u64 n = m.n;
  return nb::make_tuple(nb::int_(n), index_vector_result(std::move(m.row_ptr)),
                        index_vector_result(std::move(m.col_idx)),
                        vector_result(std::move(m.values)));
}

// ---- Krylov steps and the reduced-order model -------------------------------------------------
// The three steps borrow the object exclusively: they write its Krylov workspace and source
// vector. Every argument is converted before the object is touched.

constexpr u64 DEFAULT_KRYLOV_DIM = 40;

// The operator application handed to the propagator and the reduced model.
struct OperatorApply {
  const MaxwellOperator& op;
  void operator()(std::span<const double> v, std::span<double> w) const {
    apply_operator_parallel(op, v, w);
  }
};

std::size_t krylov_dim_arg(const Call& c, std::size_t i) {
  return c.given(i) ? static_cast<std::size_t>(arg_index(c[i], c.name(i))) : DEFAULT_KRYLOV_DIM;
}

nb::object td_step(nb::handle self, const nb::args& args, const nb::kwargs& kwargs) {
  PyTdOperator& rec = td(self);
  Call c("TdOperator.step()", {{"y"}, {"h"}, {"krylov_dim", true}}, args, kwargs);
  const Borrow borrow(rec.borrow, Borrow::exclusive);
  VectorArg y(c[0], c.name(0));
  const double h = arg_real(c[1], c.name(1));
  const std::size_t m = krylov_dim_arg(c, 2);
  const std::span<const double> yd = y.data();
  return vector_result(
      step_plain(rec.workspace, yd, h, m, n_dof(rec.op), OperatorApply{rec.op}));
}

nb::object td_step_driven(nb::handle self, const nb::args& args, const nb::kwargs& kwargs) {
  PyTdOperator& rec = td(self);
  Call c("TdOperator.step_driven()",
         {{"y"}, {"source_dof"}, {"source_value"}, {"h"}, {"krylov_dim", true}}, args, kwargs);
  const Borrow borrow(rec.borrow, Borrow::exclusive);
  VectorArg y(c[0], c.name(0));
  const u64 source_dof = arg_index(c[1], c.name(1));
  const double source_value = arg_real(c[2], c.name(2));
  const double h = arg_real(c[3], c.name(3));
  const std::size_t m = krylov_dim_arg(c, 4);
  const std::span<const double> yd = y.data();
  return vector_result(step_driven(rec.workspace, rec.source, yd, source_dof, source_value, h, m,
                                   n_dof(rec.op), OperatorApply{rec.op}));
}

nb::object td_step_with_source(nb::handle self, const nb::args& args, const nb::kwargs& kwargs) {
  PyTdOperator& rec = td(self);
  Call c("TdOperator.step_with_source()", {{"y"}, {"source"}, {"h"}, {"krylov_dim", true}}, args,
         kwargs);
  const Borrow borrow(rec.borrow, Borrow::exclusive);
  VectorArg y(c[0], c.name(0));
  VectorArg source(c[1], c.name(1));
  const double h = arg_real(c[2], c.name(2));
  const std::size_t m = krylov_dim_arg(c, 3);
  const std::span<const double> yd = y.data();
  const std::span<const double> sd = source.data();
  return vector_result(
      step_with_source(rec.workspace, yd, sd, h, m, n_dof(rec.op), OperatorApply{rec.op}));
}

nb::object td_reduced_model(nb::handle self, const nb::args& args, const nb::kwargs& kwargs) {
  PyTdOperator& rec = td(self);
  Call c("TdOperator.reduced_model()", {{"start"}, {"r"}}, args, kwargs);
  const Borrow borrow(rec.borrow, Borrow::shared);
  VectorArg start(c[0], c.name(0));
  const u64 r = arg_index(c[1], c.name(1));
  PyReducedModel model =
      reduced_model(start.data(), static_cast<std::size_t>(r), n_dof(rec.op), OperatorApply{rec.op});
  return nb::cast(std::move(model), nb::rv_policy::move);
}

PyReducedModel& rm_of(nb::handle self) { return record_of<PyReducedModel>(self, "ReducedModel"); }

nb::object rm_project(nb::handle self, const nb::args& args, const nb::kwargs& kwargs) {
  const PyReducedModel& rec = rm_of(self);
  Call c("ReducedModel.project()", {{"y"}}, args, kwargs);
  VectorArg y(c[0], c.name(0));
  return vector_result(project_reduced_state(rec, y.data()));
}

nb::object rm_lift(nb::handle self, const nb::args& args, const nb::kwargs& kwargs) {
  const PyReducedModel& rec = rm_of(self);
  Call c("ReducedModel.lift()", {{"yhat"}}, args, kwargs);
  VectorArg yhat(c[0], c.name(0));
  return vector_result(lift_reduced_state(rec, yhat.data()));
}

nb::object rm_propagate(nb::handle self, const nb::args& args, const nb::kwargs& kwargs) {
  const PyReducedModel& rec = rm_of(self);
  Call c("ReducedModel.propagate()", {{"y0"}, {"t"}}, args, kwargs);
  VectorArg y0(c[0], c.name(0));
  const double t = arg_real(c[1], c.name(1));
  return vector_result(propagate(rec, y0.data(), t));
}

// Adds the stepping and reduced-model members to TdOperator, then registers ReducedModel.
void bind_krylov(nb::module_& m, nb::handle op) {
  def_method<&td_step>(
      op, "step",
      "step($self, y, h, krylov_dim=40)\n--\n\n"
      "Advance the state by `h` with the matrix-free exponential propagator.\n"
      "Returns `exp(h\u00b7A)\u00b7y` as a new array, approximated in a Krylov space of\n"
      "dimension at most `krylov_dim` (Arnoldi with an a-posteriori stop at\n"
      "1e-10 relative to `\u2016y\u2016`). A step longer than one Krylov space resolves\n"
      "is split into substeps. `y` is read in place and left untouched; the\n"
      "Krylov workspace lives in the operator and is reused between calls.");
  def_method<&td_step_driven>(
      op, "step_driven",
      "step_driven($self, y, source_dof, source_value, h, krylov_dim=40)\n--\n\n"
      "One source-driven step \u2014 `dy/dt = A\u00b7y + b` with `b` a single-DOF soft\n"
      "source (`b[source_dof] = source_value`, zero elsewhere), held constant\n"
      "over the step: returns `exp(h\u00b7A)\u00b7y + \u222b\u2080\u02b0 exp((h\u2212s)\u00b7A)\u00b7b ds`.");
  def_method<&td_step_with_source>(
      op, "step_with_source",
      "step_with_source($self, y, source, h, krylov_dim=40)\n--\n\n"
      "One source-driven step `dy/dt = A\u00b7y + b` with a full source vector\n"
      "`b = source` (`n_dof` entries, e.g. from `port_source` times the port's\n"
      "drive amplitude), held constant over the step.");
  def_method<&td_reduced_model>(
      op, "reduced_model",
      "reduced_model($self, start, r)\n--\n\n"
      "Build a Krylov model-order-reduced model \u2014 `r`-step Arnoldi on the\n"
      "operator from the seed state `start`, giving `A \u2248 V\u00b7\u00c2\u00b7V\u1d40` with\n"
      "`V` orthonormal (`n \u00d7 r`) and `\u00c2` small and dense (`r \u00d7 r`).");

  auto rm = nb::class_<PyReducedModel>(
      m, "ReducedModel",
      "A Krylov model-order-reduced model of a `TdOperator` \u2014 `A \u2248 V\u00b7\u00c2\u00b7V\u1d40`\n"
      "with `\u00c2` small and dense. Propagates states at a fraction of the cost.");
  rm.def("__init__", [](PyReducedModel*, nb::args, nb::kwargs) { no_constructor("ReducedModel"); });
  rm.def_prop_ro(
      "r", [](const PyReducedModel& rec) { return rec.r; },
      "Reduced dimension `r` \u2014 at most the requested Krylov dimension,\n"
      "smaller when the Krylov space became invariant early.");
  rm.def_prop_ro(
      "n", [](const PyReducedModel& rec) { return rec.n; }, "Full state dimension `n`.");
  rm.def_prop_ro(
      "a_hat",
      [](const PyReducedModel& rec) {
        const std::size_t r = static_cast<std::size_t>(rec.r);
        return grid_result(std::vector<double>(rec.a_hat), r, r);
      },
      "The reduced operator `\u00c2 = V\u1d40AV` as an `r\u00d7r` numpy array.");
  def_method<&rm_project>(rm, "project",
                          "project($self, y)\n--\n\n"
                          "Project a full state into the reduced space \u2014 `\u0177 = V\u1d40\u00b7y`.");
  def_method<&rm_lift>(rm, "lift",
                       "lift($self, yhat)\n--\n\n"
                       "Lift a reduced state back to the full space \u2014 `y = V\u00b7\u0177`.");
  def_method<&rm_propagate>(
      rm, "propagate",
      "propagate($self, y0, t)\n--\n\n"
      "Propagate a full state by `t` through the reduced model \u2014\n"
      "`V\u00b7exp(t\u00b7\u00c2)\u00b7V\u1d40\u00b7y0`, for the cost of `r` inner products, one `r\u00d7r`\n"
      "exponential and one `r`-term sum.");
  add_to_all(m, "ReducedModel");
}

}  // namespace

void bind_td(nb::module_& m) {
  auto op = nb::class_<PyTdOperator>(
      m, "TdOperator",
      "TdOperator(nx, ny, nz, lx, ly, lz, order, flux_alpha=1.0)\n--\n\n"
      "Time-domain DGTD Maxwell operator (vacuum, PEC walls), built on a\n"
      "structured box cavity. Wraps the `MaxwellOperator`.");
  op.def("__init__", &td_init);
  // The type's call path keeps a plain pointer to nanobind's constructor; hold it for the life of
  // the process before the class attribute is replaced.
  op.attr("__init__").inc_ref();
  def_method<&td_init_method>(
      op, "__init__",
      "__init__($self, nx, ny, nz, lx, ly, lz, order, flux_alpha=1.0)\n--\n\n"
      "Build the vacuum box cavity [0, lx] \u00d7 [0, ly] \u00d7 [0, lz] of nx \u00d7 ny \u00d7 nz cells\n"
      "(six tetrahedra each) with conducting walls, and its operator of polynomial order\n"
      "`order` with upwind weight `flux_alpha` (0 central, 1 upwind).");
  def_method<&td_n_dof>(
      op, "n_dof",
      "n_dof($self)\n--\n\n"
      "Degrees of freedom \u2014 `6\u00b7Np\u00b7n_elem` for the `[E,H]` block, plus\n"
      "`3\u00b7Np` per Debye dispersive element for its polarisation block.",
      true);
  def_method<&td_n_dispersive>(
      op, "n_dispersive",
      "n_dispersive($self)\n--\n\n"
      "Number of Debye dispersive elements \u2014 the count of appended\n"
      "`3\u00b7Np` polarisation blocks at the end of the state vector.",
      true);
  def_method<&td_apply>(
      op, "apply",
      "apply($self, y)\n--\n\n"
      "Apply the semi-discrete operator \u2014 `dy/dt = A\u00b7y`. Zero-copy numpy in\n"
      "(`y`, float64, `n_dof` entries, read in place), a new `n_dof` array out.");
  def_method<&td_field_energy>(
      op, "field_energy",
      "field_energy($self, y)\n--\n\n"
      "Instantaneous electromagnetic field energy\n"
      "`\u00bd\u00b7\u222b(\u03b5|E|\u00b2 + \u03bc|H|\u00b2) dV` of the state `y` (operator units);\n"
      "polarisation entries do not enter it.");
  def_method<&td_n_ports>(op, "n_ports",
                          "n_ports($self)\n--\n\n"
                          "Number of waveguide ports on the operator.",
                          true);
  def_method<&td_state_space>(
      op, "state_space",
      "state_space($self)\n--\n\n"
      "The explicit sparse state-space matrix `A`, as a CSR quadruple\n"
      "`(n, row_ptr, col_idx, values)` (int, int64, int64, float64 arrays):\n"
      "`scipy.sparse.csr_matrix((values, col_idx, row_ptr), shape=(n, n))`.",
      true);
  add_to_all(m, "TdOperator");

  bind_krylov(m, op);
}

}  // namespace vantrel::py
