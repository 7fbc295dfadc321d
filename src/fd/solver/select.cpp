#include "fd/solver/select.hpp"

#include <cstdlib>
#include <string>

#include "fd/solver/accelerate.hpp"
#include "fd/solver/faer_lu.hpp"
#include "fd/solver/pardiso.hpp"

namespace vantrel {

SolverPreference solver_preference_from_text(std::optional<std::string_view> value) {
  if (!value) return SolverPreference::Auto;
  std::string folded(*value);
  for (char& ch : folded) {
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch + 0x20);
  }
  if (folded == "pardiso") return SolverPreference::Pardiso;
  if (folded == "accelerate") return SolverPreference::Accelerate;
  if (folded == "faer") return SolverPreference::Faer;
  return SolverPreference::Auto;
}

SolverPreference solver_preference_from_env() {
  // A value that is not valid UTF-8 cannot equal one of the three ASCII words after folding,
  // so it gives Auto without a separate check.
  const char* value = std::getenv("VANTREL_SOLVER");
  if (value == nullptr) return solver_preference_from_text(std::nullopt);
  return solver_preference_from_text(std::string_view(value));
}

std::unique_ptr<SparseSolver> select_solver_backend(SolverPreference preference, bool report) {
  std::unique_ptr<SparseSolver> solver;
  switch (preference) {
    case SolverPreference::Auto:
      solver = load_mkl_pardiso(report);
      if (!solver) solver = new_accelerate_solver();
      break;
    case SolverPreference::Pardiso:
      solver = load_mkl_pardiso(report);
      if (!solver) {
        if (report) eprint("  solver: PARDISO requested but unavailable, falling back to faer LU\n");
        solver = new_faer_lu_solver();
      }
      break;
    case SolverPreference::Accelerate:
      solver = new_accelerate_solver();
      break;
    case SolverPreference::Faer:
      solver = new_faer_lu_solver();
      break;
  }
  if (report) eprint("  solver: using " + solver->name() + "\n");
  return solver;
}

}  // namespace vantrel
