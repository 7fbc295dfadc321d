// Probes of the sparse solver back ends, their selection and the run-time library access.
#include <chrono>
#include <memory>
#include <span>
#include <string>

#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "fd/solver/accelerate.hpp"
#include "fd/solver/dynlib.hpp"
#include "fd/solver/faer_lu.hpp"
#include "fd/solver/pardiso.hpp"
#include "fd/solver/select.hpp"
#include "python/convert.hpp"
#include "python_testing/testing_parts.hpp"

namespace vantrel::testing {

namespace nb = nanobind;

namespace {

using IndexArray = nb::ndarray<const std::int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using ComplexArray = nb::ndarray<const std::complex<double>, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

std::span<const u64> index_span(const IndexArray& a) {
  return {reinterpret_cast<const u64*>(a.data()), a.shape(0)};
}
std::span<const cplx> complex_span(const ComplexArray& a) { return {a.data(), a.shape(0)}; }

// "faer", "pardiso", "accelerate" build that back end directly; "select" runs the selection
// from VANTREL_SOLVER with its console lines.
std::unique_ptr<SparseSolver> make_backend(const std::string& word) {
  if (word == "faer") return new_faer_lu_solver();
  if (word == "accelerate") return new_accelerate_solver();
  if (word == "pardiso") {
    auto s = load_mkl_pardiso();
    if (!s) throw Error("PARDISO unavailable");
    return s;
  }
  if (word == "select") return select_solver_backend(solver_preference_from_env());
  throw Error("unknown back end word: " + word);
}

struct SolverProbe {
  std::unique_ptr<SparseSolver> solver;
};

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

void bind_solvers_probes(nb::module_& m) {
  nb::class_<SolverProbe>(m, "SolverProbe")
      .def("__init__",
           [](SolverProbe* self, const std::string& word) { new (self) SolverProbe{make_backend(word)}; })
      .def("name", [](const SolverProbe& p) { return p.solver->name(); })
      .def("factorize",
           [](SolverProbe& p, u64 n, const IndexArray& rows, const IndexArray& cols, const ComplexArray& vals) {
             nb::gil_scoped_release unlocked;
             p.solver->factorize(n, index_span(rows), index_span(cols), complex_span(vals));
           })
      .def("refactorize",
           [](SolverProbe& p, u64 n, const IndexArray& rows, const IndexArray& cols, const ComplexArray& vals) {
             nb::gil_scoped_release unlocked;
             p.solver->refactorize(n, index_span(rows), index_span(cols), complex_span(vals));
           })
      .def("solve", [](const SolverProbe& p, const ComplexArray& rhs) {
        std::vector<cplx> x;
        {
          nb::gil_scoped_release unlocked;
          x = p.solver->solve(complex_span(rhs));
        }
        return py::complex_vector_result(std::move(x));
      });

  // One factorize and one solve; the back end is dropped at the end.
  m.def("solve_sparse", [](const std::string& word, u64 n, const IndexArray& rows, const IndexArray& cols,
                           const ComplexArray& vals, const ComplexArray& rhs) {
    std::vector<cplx> x;
    {
      nb::gil_scoped_release unlocked;
      auto s = make_backend(word);
      s->factorize(n, index_span(rows), index_span(cols), complex_span(vals));
      x = s->solve(complex_span(rhs));
    }
    return py::complex_vector_result(std::move(x));
  });

  // Timings of factorize, refactorize (same matrix) and one solve, in seconds, and the solution.
  m.def("time_sparse", [](const std::string& word, u64 n, const IndexArray& rows, const IndexArray& cols,
                          const ComplexArray& vals, const ComplexArray& rhs) {
    std::vector<cplx> x;
    double t_factor = 0, t_refactor = 0, t_solve = 0;
    std::string name;
    {
      nb::gil_scoped_release unlocked;
      auto s = make_backend(word);
      name = s->name();
      auto t0 = std::chrono::steady_clock::now();
      s->factorize(n, index_span(rows), index_span(cols), complex_span(vals));
      t_factor = seconds_since(t0);
      t0 = std::chrono::steady_clock::now();
      s->refactorize(n, index_span(rows), index_span(cols), complex_span(vals));
      t_refactor = seconds_since(t0);
      t0 = std::chrono::steady_clock::now();
      x = s->solve(complex_span(rhs));
      t_solve = seconds_since(t0);
    }
    nb::dict d;
    d["name"] = name;
    d["factorize_s"] = t_factor;
    d["refactorize_s"] = t_refactor;
    d["solve_s"] = t_solve;
    d["x"] = py::complex_vector_result(std::move(x));
    return d;
  });

  m.def("solver_preference", [](std::optional<std::string> value) {
    if (!value) return static_cast<int>(solver_preference_from_text(std::nullopt));
    return static_cast<int>(solver_preference_from_text(*value));
  }, nb::arg("value").none());
  m.def("solver_preference_from_env", [] { return static_cast<int>(solver_preference_from_env()); });
  m.def("select_solver_name", [] { return select_solver_backend(solver_preference_from_env())->name(); });
  m.def("pardiso_library_candidates", [] { return pardiso_library_candidates(); });
  m.def("pardiso_available", [] {
    auto s = load_mkl_pardiso();
    return static_cast<bool>(s);
  });
  m.def("upper_csr_from_triplets", [](u64 n, const IndexArray& rows, const IndexArray& cols,
                                      const ComplexArray& vals) {
    UpperCsr csr = upper_csr_from_triplets(n, index_span(rows), index_span(cols), complex_span(vals));
    return nb::make_tuple(std::vector<int>(csr.ia.begin(), csr.ia.end()),
                          std::vector<int>(csr.ja.begin(), csr.ja.end()),
                          py::complex_vector_result(std::move(csr.a)));
  });
}

}  // namespace vantrel::testing
