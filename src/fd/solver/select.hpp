#pragma once
// Choosing the sparse direct solver back end from the environment variable VANTREL_SOLVER.

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "fd/solver/sparse_solver.hpp"

namespace vantrel {

enum class SolverPreference : std::uint8_t { Auto = 0, Pardiso = 1, Accelerate = 2, Faer = 3 };

// The preference a VANTREL_SOLVER value names: only the ASCII letters A-Z are folded to lower
// case, nothing is trimmed, and "pardiso", "accelerate", "faer" are compared exactly; anything
// else (the empty text and values with blanks included) is Auto. nullopt (unset) is Auto.
SolverPreference solver_preference_from_text(std::optional<std::string_view> value);

// Reads VANTREL_SOLVER anew at every call. Never fails.
SolverPreference solver_preference_from_env();

// Builds a fresh back end and reports it on standard error ("  solver: using {}"):
//   Auto       PARDISO when MKL loads, else the symmetric-indefinite LDL^T back end;
//   Pardiso    PARDISO when MKL loads, else faer LU with the line
//              "  solver: PARDISO requested but unavailable, falling back to faer LU";
//   Accelerate the LDL^T back end (MKL is not even looked for);
//   Faer       faer LU.
// With report = false nothing is printed (a second matrix of the same call).
std::unique_ptr<SparseSolver> select_solver_backend(SolverPreference preference, bool report = true);

}  // namespace vantrel
