#pragma once
// Krylov reduced-order model of the time-domain operator: r Arnoldi steps from a seed vector give
// an orthonormal basis V (n × r) and the upper Hessenberg Â = VᵀAV (r × r), so that A ≈ V·Â·Vᵀ on
// the Krylov subspace and a state propagates as y(t) ≈ V·exp(t·Â)·Vᵀ·y(0) without the operator.
//
// The model copies what it needs: it holds no reference to the operator and never touches the
// operator's Krylov workspace.

#include <cstddef>
#include <span>
#include <vector>

#include "core/support.hpp"
#include "td/propagator.hpp"

namespace vantrel {

// The value behind a ReducedModel object.
struct PyReducedModel {
  std::vector<std::vector<double>> basis;  // r orthonormal vectors of n entries
  std::vector<double> a_hat;               // Â, r×r row-major, (i, j) at i·r + j
  u64 r = 0;                               // reduced dimension reached (≤ requested)
  u64 n = 0;                               // full state dimension, len(start)
};

// Arnoldi with one modified Gram–Schmidt pass per vector, from `start`, for at most r vectors.
// `apply(v, w)` writes A·v into w, both of n_dof entries. Errors (RuntimeError in Python): an
// all-zero or empty start, r = 0, len(start) ≠ n_dof, an infinite start norm. A start whose norm
// is not positive although an entry is nonzero (all squares underflow, or NaN) stops the call
// with "start vector must be nonzero".
PyReducedModel reduced_model(std::span<const double> start, std::size_t r, std::size_t n_dof,
                             ApplyRef apply);

// ŷ_k = ⟨V_k, y⟩ over the common length, one coefficient per basis vector.
std::vector<double> project_reduced_state(const PyReducedModel& model, std::span<const double> y);

// y = Σ_k ŷ_k·V_k over the first min(len(basis), len(ŷ)) terms; n entries.
std::vector<double> lift_reduced_state(const PyReducedModel& model, std::span<const double> yhat);

// V·exp(t·Â)·Vᵀ·y0; n entries. Errors: a non-finite t, a non-finite entry of y0, an exponential
// that overflows.
std::vector<double> propagate(const PyReducedModel& model, std::span<const double> y0, double t);

}  // namespace vantrel
