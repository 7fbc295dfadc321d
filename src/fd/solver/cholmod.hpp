#pragma once
// Sparse Cholesky (SuiteSparse CHOLMOD, supernodal, 64-bit indices) for real symmetric positive
// definite matrices handed over through the complex triplet interface with zero imaginary parts.
// Not one of the selectable back ends: the eigenmode search factorises its scalar gradient
// matrix with it when the filling is lossless.

#include <memory>

#include "fd/solver/sparse_solver.hpp"

namespace vantrel {

// factorize throws Error "CHOLMOD: {}" for an index not below n, a value that is not finite or
// not real, and a matrix that is not positive definite. solve takes a complex right-hand side
// (real and imaginary parts as two columns).
std::unique_ptr<SparseSolver> new_cholmod_solver();

}  // namespace vantrel
