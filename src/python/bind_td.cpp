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

struct ReducedModelObj {};

// ---- methods with interpreter text signatures -------------------------------------------------
// Members are plain CPython method descriptors whose C docstring carries the text signature
// ("name($self, y)\n--\n\nDescription"), so that __text_signature__ and inspect.signature show
// the real parameters. Failures are translated as in the module's exception translators.

using MethodFn = nb::object (*)(nb::handle self, const nb::args& args, const nb::kwargs& kwargs);

inline PyObject* fail_with_current_exception() {
  try {
    throw;
  } catch (nb::python_error& e) {
    e.restore();
  } catch (const Error& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (const Panic& e) {
    eprint(std::string("vantrel stopped: ") + e.what() + "\n");
    PyErr_SetObject(panic_exception_type().ptr(), nb::make_tuple(nb::str(e.what())).ptr());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_SystemError, e.what());
  }
  return nullptr;
}

template <MethodFn F>
PyObject* method_trampoline(PyObject* self, PyObject* args, PyObject* kwargs) {
  try {
    const nb::args a = nb::borrow<nb::args>(args);
    const nb::kwargs k = kwargs ? nb::borrow<nb::kwargs>(kwargs) : nb::kwargs();
    return F(self, a, k).release().ptr();
  } catch (...) {
    return fail_with_current_exception();
  }
}

template <MethodFn F>
PyObject* noargs_trampoline(PyObject* self, PyObject*) {
  try {
    return F(self, nb::args(), nb::kwargs()).release().ptr();
  } catch (...) {
    return fail_with_current_exception();
  }
}

// Adds `name` to the class as a method descriptor; `noargs` methods take no arguments at all.
template <MethodFn F>
void def_method(nb::handle cls, const char* name, const char* doc, bool noargs = false) {
  auto* def = new PyMethodDef{};  // lives as long as the type object: once per process
  def->ml_name = name;
  def->ml_doc = doc;
  if (noargs) {
    def->ml_meth = reinterpret_cast<PyCFunction>(&noargs_trampoline<F>);
    def->ml_flags = METH_NOARGS;
  } else {
    def->ml_meth = reinterpret_cast<PyCFunction>(
        reinterpret_cast<void (*)()>(&method_trampoline<F>));
    def->ml_flags = METH_VARARGS | METH_KEYWORDS;
  }
  nb::object descr =
      nb::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), def));
  if (!descr.is_valid()) throw nb::python_error();
  if (PyObject_SetAttrString(cls.ptr(), name, descr.ptr()) != 0) throw nb::python_error();
}

template <class T>
T& record_of(nb::handle self, const char* class_name) {
  if (!nb::inst_ready(self))
    throw Error(std::string(class_name) + " object is not initialised");
  return *nb::inst_ptr<T>(self);
}

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
  VectorArg y(c[0], c.name(0));
  return vector_result(apply_operator(rec.op, y.data()));
}

nb::object td_field_energy(nb::handle self, const nb::args& args, const nb::kwargs& kwargs) {
  PyTdOperator& rec = td(self);
  Call c("TdOperator.field_energy()", {{"y"}}, args, kwargs);
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

}  // namespace

void bind_td(nb::module_& m) {
  auto op = nb::class_<PyTdOperator>(
      m, "TdOperator",
      "TdOperator(nx, ny, nz, lx, ly, lz, order, flux_alpha=1.0)\n--\n\n"
      "Time-domain DGTD Maxwell operator (vacuum, PEC walls), built on a\n"
      "structured box cavity. Wraps the `MaxwellOperator`.");
  op.def("__init__", &td_init);
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

  auto rm = nb::class_<ReducedModelObj>(
      m, "ReducedModel",
      "A Krylov model-order-reduced model of a `TdOperator` \u2014 `A \u2248 V\u00b7\u00c2\u00b7V\u1d40`\n"
      "with `\u00c2` small and dense. Propagates states at a fraction of the cost.");
  rm.def("__init__", [](ReducedModelObj*, nb::args, nb::kwargs) { no_constructor("ReducedModel"); });
  add_to_all(m, "ReducedModel");
}

}  // namespace vantrel::py
