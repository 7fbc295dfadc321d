// Time-domain classes: TdOperator and ReducedModel.
#include "python/bind_td.hpp"

#include <cmath>
#include <cstdint>
#include <utility>

#include "python/convert.hpp"
#include "python/td_objects.hpp"
#include "td/mesh_gen.hpp"
#include "td/mesh_input.hpp"
#include "td/port_queries.hpp"
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
  PyTdOperator& rec = td(self);
  const Borrow borrow(rec.borrow, Borrow::shared);
  return nb::int_(n_dof(rec.op));
}

nb::object td_n_dispersive(nb::handle self, const nb::args&, const nb::kwargs&) {
  PyTdOperator& rec = td(self);
  const Borrow borrow(rec.borrow, Borrow::shared);
  return nb::int_(static_cast<u64>(rec.op.debye.size()));
}

nb::object td_n_ports(nb::handle self, const nb::args&, const nb::kwargs&) {
  PyTdOperator& rec = td(self);
  const Borrow borrow(rec.borrow, Borrow::shared);
  return nb::int_(static_cast<u64>(rec.op.ports.size()));
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
  PyTdOperator& rec = td(self);
  const Borrow borrow(rec.borrow, Borrow::shared);
  CsrMatrix m = state_space(rec.op);
  const u64 n = m.n;
  return nb::make_tuple(nb::int_(n), index_vector_result(std::move(m.row_ptr)),
                        index_vector_result(std::move(m.col_idx)),
                        vector_result(std::move(m.values)));
}

// ---- read-mesh constructor, node and port queries ----------------------------------------------

// The four optional lists (parameters 3 to 6); an omitted list is empty, as is None.
std::vector<nb::tuple> optional_tuple_list(const Call& c, std::size_t i, std::size_t len) {
  return c.given(i) ? arg_tuple_list(c[i], c.name(i), len) : std::vector<nb::tuple>{};
}

MeshOperatorInputs mesh_operator_inputs(const Call& c) {
  MeshOperatorInputs in;
  for (const nb::tuple& t : optional_tuple_list(c, 3, 4))
    in.tag_materials.push_back({item_tag(t, 0, c.name(3)), item_triple(t, 1, c.name(3)),
                                item_triple(t, 2, c.name(3)), item_real(t, 3, c.name(3))});
  for (const nb::tuple& t : optional_tuple_list(c, 4, 4))
    in.ports.push_back({item_tag(t, 0, c.name(4)), item_index(t, 1, c.name(4)),
                        item_index(t, 2, c.name(4)), item_optional_triple(t, 3, c.name(4))});
  for (const nb::tuple& t : optional_tuple_list(c, 5, 6))
    in.absorbers.push_back({item_tag(t, 0, c.name(5)), item_index(t, 1, c.name(5)),
                            item_real(t, 2, c.name(5)), item_real(t, 3, c.name(5)),
                            item_real(t, 4, c.name(5)), item_flag(t, 5, c.name(5))});
  for (const nb::tuple& t : optional_tuple_list(c, 6, 4))
    in.dispersive.push_back({item_tag(t, 0, c.name(6)), item_real(t, 1, c.name(6)),
                             item_real(t, 2, c.name(6)), item_real(t, 3, c.name(6))});
  return in;
}

nb::object td_from_mesh_bytes(nb::handle, const nb::args& args, const nb::kwargs& kwargs) {
  Call c("TdOperator.from_mesh_bytes()",
         {{"mesh_bytes"}, {"order"}, {"flux_alpha", true}, {"tag_materials", true},
          {"ports", true}, {"absorbers", true}, {"dispersive", true}},
         args, kwargs);
  const auto bytes = arg_bytes(c[0], c.name(0));
  const u64 order = arg_index(c[1], c.name(1));
  const double flux_alpha = c.given(2) ? arg_real(c[2], c.name(2)) : 1.0;
  const MeshOperatorInputs inputs = mesh_operator_inputs(c);
  MaxwellOperator op = build_mesh_operator(bytes, order, flux_alpha, inputs);
  return nb::cast(PyTdOperator{std::move(op), {}, {}}, nb::rv_policy::move);
}

[[noreturn]] void raise_value_error(const std::string& msg) {
  PyErr_SetString(PyExc_ValueError, msg.c_str());
  throw nb::python_error();
}

nb::object td_nearest_node_dof(nb::handle self, const nb::args& args, const nb::kwargs& kwargs) {
  PyTdOperator& rec = td(self);
  Call c("TdOperator.nearest_node_dof()", {{"point"}, {"field"}, {"comp"}}, args, kwargs);
  const Borrow borrow(rec.borrow, Borrow::shared);
  const Vec3 point = arg_triple(c[0], c.name(0));
  const u64 field = arg_index(c[1], c.name(1));
  const u64 comp = arg_index(c[2], c.name(2));
  // Above these the index formula names another unknown, or one past the state.
  if (field > 1) raise_value_error("field must be 0 (E) or 1 (H), got " + std::to_string(field));
  if (comp > 2)
    raise_value_error("comp must be 0 (x), 1 (y) or 2 (z), got " + std::to_string(comp));
  // A NaN or infinite coordinate compares below no distance, so the scan would name unknown 0.
  if (!std::isfinite(point[0]) || !std::isfinite(point[1]) || !std::isfinite(point[2]))
    raise_value_error("point must be finite, got (" + fmt_float(point[0]) + ", " +
                      fmt_float(point[1]) + ", " + fmt_float(point[2]) + ")");
  return nb::int_(nearest_node_dof(rec.op, point, field, comp));
}

nb::object td_port_cutoff(nb::handle self, const nb::args& args, const nb::kwargs& kwargs) {
  PyTdOperator& rec = td(self);
  Call c("TdOperator.port_cutoff()", {{"port_idx"}}, args, kwargs);
  const Borrow borrow(rec.borrow, Borrow::shared);
  const u64 port_idx = arg_index(c[0], c.name(0));
  return nb::float_(port_cutoff(rec.op, port_idx));
}

nb::object td_port_source(nb::handle self, const nb::args& args, const nb::kwargs& kwargs) {
  PyTdOperator& rec = td(self);
  Call c("TdOperator.port_source()", {{"port_idx"}}, args, kwargs);
  const Borrow borrow(rec.borrow, Borrow::shared);
  const u64 port_idx = arg_index(c[0], c.name(0));
  return vector_result(port_source(rec.op, port_idx));
}

nb::object td_port_projections(nb::handle self, const nb::args& args, const nb::kwargs& kwargs) {
  PyTdOperator& rec = td(self);
  Call c("TdOperator.port_projections()", {{"y"}, {"port_idx"}}, args, kwargs);
  const Borrow borrow(rec.borrow, Borrow::shared);
  VectorArg y(c[0], c.name(0));
  const u64 port_idx = arg_index(c[1], c.name(1));
  const auto [pe, ph] = port_projections(rec.op, y.data(), port_idx);
  return nb::make_tuple(nb::float_(pe), nb::float_(ph));
}

nb::object td_node_coords(nb::handle self, const nb::args&, const nb::kwargs&) {
  PyTdOperator& rec = td(self);
  const Borrow borrow(rec.borrow, Borrow::shared);
  const std::vector<Vec3> pts = node_coords(rec.op);
  std::vector<double> flat;
  flat.reserve(3 * pts.size());
  for (const Vec3& p : pts) flat.insert(flat.end(), p.begin(), p.end());
  if (flat.size() % 3 != 0) panic("(n,3) shape");
  const std::size_t rows = flat.size() / 3;
  return grid_result(std::move(flat), rows, 3);
}

nb::object td_corner_local_nodes(nb::handle self, const nb::args&, const nb::kwargs&) {
  PyTdOperator& rec = td(self);
  const Borrow borrow(rec.borrow, Borrow::shared);
  const auto c = corner_local_nodes(rec.op.reference);
  return nb::make_tuple(nb::int_(c[0]), nb::int_(c[1]), nb::int_(c[2]), nb::int_(c[3]));
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

// Registers ReducedModel.
void bind_reduced_model(nb::module_& m) {
  auto rm = nb::class_<PyReducedModel>(
      m, "ReducedModel",
      "A Krylov model-order-reduced model of a `TdOperator` \u2014 `A \u2248 V\u00b7\u00c2\u00b7V\u1d40`\n"
      "with `\u00c2` small and dense. Propagates states at a fraction of the cost.",
      nb::type_slots(NO_CONSTRUCTOR_SLOTS));
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
  def_static_method<&td_from_mesh_bytes>(
      op, "from_mesh_bytes",
      "from_mesh_bytes(mesh_bytes, order, flux_alpha=1.0, tag_materials=None, ports=None, "
      "absorbers=None, dispersive=None)\n--\n\n"
      "Build the operator from in-memory gmsh `.msh` bytes \u2014 the path for\n"
      "geometries of your own. `tag_materials` maps a gmsh volume tag to\n"
      "`(eps_diag, mu_diag, sigma)`, given as a list of `(tag, eps, mu, sigma)`\n"
      "tuples; `ports` lists `(face_tag, m, n, direction)` with `direction` None\n"
      "for a TE(m, n) waveguide port or the field axis of a lumped port;\n"
      "`absorbers` lists graded layers `(volume_tag, axis, inner_face,\n"
      "thickness, nu_max, is_low)`; `dispersive` lists Debye regions\n"
      "`(volume_tag, eps_inf, eps_static, tau)`. Untagged elements are vacuum;\n"
      "boundary faces that no port claims are PEC walls.");
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
  def_method<&td_step>(
      op, "step",
      "step($self, y, h, krylov_dim=40)\n--\n\n"
      "Advance the state by `h` with the matrix-free exponential propagator.\n"
      "Returns `exp(h\u00b7A)\u00b7y` as a new array, approximated in a Krylov space of\n"
      "dimension at most `krylov_dim` (Arnoldi with an a-posteriori stop at\n"
      "1e-10 relative to `\u2016y\u2016`). A step longer than one Krylov space resolves\n"
      "is split into substeps. `y` is read in place and left untouched; the\n"
      "Krylov workspace lives in the operator and is reused between calls.");
  def_method<&td_nearest_node_dof>(
      op, "nearest_node_dof",
      "nearest_node_dof($self, point, field, comp)\n--\n\n"
      "Global DOF index for a field component at the node nearest `point` \u2014\n"
      "`field` 0 = E, 1 = H; `comp` 0, 1, 2 = x, y, z. Ties go to the lowest\n"
      "element, then the lowest local node. Use it to place probes and soft\n"
      "sources (`step_driven`).");
  def_method<&td_step_driven>(
      op, "step_driven",
      "step_driven($self, y, source_dof, source_value, h, krylov_dim=40)\n--\n\n"
      "One source-driven step \u2014 `dy/dt = A\u00b7y + b` with `b` a single-DOF soft\n"
      "source (`b[source_dof] = source_value`, zero elsewhere), held constant\n"
      "over the step: returns `exp(h\u00b7A)\u00b7y + \u222b\u2080\u02b0 exp((h\u2212s)\u00b7A)\u00b7b ds`.");
  def_method<&td_n_ports>(op, "n_ports",
                          "n_ports($self)\n--\n\n"
                          "Number of waveguide ports on the operator.",
                          true);
  def_method<&td_port_cutoff>(
      op, "port_cutoff",
      "port_cutoff($self, port_idx)\n--\n\n"
      "Cutoff angular frequency of port `port_idx`'s mode (operator units).\n"
      "`\u03c0\u00b7\u221a((m/a)\u00b2 + (n/b)\u00b2)`; 0 for a lumped port.");
  def_method<&td_port_source>(
      op, "port_source",
      "port_source($self, port_idx)\n--\n\n"
      "Spatial source vector for driving port `port_idx` with a unit\n"
      "amplitude of its mode: `dy/dt = A\u00b7y + b\u00b7g(t)` imposes the exterior field\n"
      "`g(t)\u00b7(e, w\u00d7e)` through the port faces. `n_dof` entries.");
  def_method<&td_port_projections>(
      op, "port_projections",
      "port_projections($self, y, port_idx)\n--\n\n"
      "Modal field projections `(P_e, P_h)` at port `port_idx` for the\n"
      "state `y`: the least-squares amplitudes of the mode pattern in the\n"
      "tangential E and H. Per frequency, `(P_e \u00b1 Z\u00b7P_h)/2` splits the waves\n"
      "travelling into and out of the domain, with `Z = \u03c9/\u03b2`.");
  def_method<&td_step_with_source>(
      op, "step_with_source",
      "step_with_source($self, y, source, h, krylov_dim=40)\n--\n\n"
      "One source-driven step `dy/dt = A\u00b7y + b` with a full source vector\n"
      "`b = source` (`n_dof` entries, e.g. from `port_source` times the port's\n"
      "drive amplitude), held constant over the step.");
  def_method<&td_state_space>(
      op, "state_space",
      "state_space($self)\n--\n\n"
      "The explicit sparse state-space matrix `A`, as a CSR quadruple\n"
      "`(n, row_ptr, col_idx, values)` (int, int64, int64, float64 arrays):\n"
      "`scipy.sparse.csr_matrix((values, col_idx, row_ptr), shape=(n, n))`.",
      true);
  def_method<&td_node_coords>(
      op, "node_coords",
      "node_coords($self)\n--\n\n"
      "DG node physical coordinates \u2014 an `(n_elem\u00b7Np, 3)` numpy array, in\n"
      "state order: row `e\u00b7Np + i` is node `i` of element `e`.",
      true);
  def_method<&td_corner_local_nodes>(
      op, "corner_local_nodes",
      "corner_local_nodes($self)\n--\n\n"
      "The four corner local-node indices `(0,0,0),(1,0,0),(0,1,0),(0,0,1)`\n"
      "of the reference element, to write each element as a linear tet.",
      true);
  def_method<&td_reduced_model>(
      op, "reduced_model",
      "reduced_model($self, start, r)\n--\n\n"
      "Build a Krylov model-order-reduced model \u2014 `r`-step Arnoldi on the\n"
      "operator from the seed state `start`, giving `A \u2248 V\u00b7\u00c2\u00b7V\u1d40` with\n"
      "`V` orthonormal (`n \u00d7 r`) and `\u00c2` small and dense (`r \u00d7 r`).");
  add_to_all(m, "TdOperator");

  bind_reduced_model(m);
}

}  // namespace vantrel::py
