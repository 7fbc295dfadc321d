#pragma once
// Resonant modes of a closed structure near a target frequency: the generalised eigenproblem
//   E x = λ B x,   λ = k² (rad²/m²),
// E the curl-curl and B the mass matrix over the unknowns that the conductor faces leave free,
// with the materials taken at the target frequency (no ports, no absorbing layers). A shift-invert
// Lanczos iteration in the bilinear form xᵀB y, with thick restarts, runs on (E − sB)⁻¹B with one
// factorisation and one solve per step; its vectors are kept B-orthogonal to the gradient fields
// (fd/gradients.hpp), the null space of E. The shift s is σ = (2π f_target / c0)², or a small
// negative multiple of the problem's own scale when σ lies below it (a target of 0 or far below
// the first resonance: E − σB would be singular to working precision), moved a little off an
// eigenvalue that sits at it. A lossless filling with a negative permittivity (B indefinite) is
// searched in the form xᵀE y instead. Time convention e^{+jωt}: a lossy filling gives Im f > 0
// and a finite Q.

#include <span>
#include <vector>

#include "core/materials.hpp"
#include "core/mesh.hpp"
#include "fd/basis.hpp"

namespace vantrel {

struct EigenmodeResult {
  std::vector<cplx> field;         // coefficient of every unknown; 0 at the conductor faces
  double frequency_hz = 0.0;       // Re f
  double frequency_imag_hz = 0.0;  // Im f
  double q_factor = 0.0;           // Re f / (2 |Im f|), +inf when |Im f| <= 1e-30
  cplx eigenvalue;                 // λ, rad²/m²
  double residual = 0.0;           // ‖E x − λ B x‖ / ‖E x‖ of the returned pair
};

// A returned pair has a relative residual ‖E x − λ B x‖ / ‖E x‖ at or below this.
inline constexpr double EIGEN_RESIDUAL_TOL = 1e-8;

// Wall-clock split of one search, in seconds, for the benchmark.
struct EigenmodeTimings {
  double assembly_s = 0.0;  // material tensors and element matrices
  double pattern_s = 0.0;   // conductor elimination and the merged free matrices
  double factor_s = 0.0;    // back-end selection and factorisation of E − σB
  double solve_s = 0.0;     // all solves of the Krylov iteration
  double gradient_s = 0.0;  // gradient fields: G, K = GᵀBG and the factorisation of K
  double krylov_s = 0.0;    // the whole Krylov iteration (solves, products, orthogonalisation)
  double ritz_s = 0.0;      // projected problems, Ritz vectors and residual checks
  u64 steps = 0;            // solves with E − sB
  u64 restarts = 0;
  u64 checks = 0;           // sequences from a fresh vector after the wanted pairs converged
  u64 check_steps = 0;      // solves those sequences took
  u64 shift_moves = 0;      // times the shift moved off a (nearly) singular E − sB
  u64 reorthogonalisations = 0;  // steps that needed a second Gram–Schmidt pass
  u64 n_free = 0;
  u64 n_gradients = 0;      // columns of G
  u64 nnz = 0;  // distinct matrix entries handed to the back end
  double shift = 0.0;       // s, rad²/m²
  double scale = 0.0;       // Σ E_ii / Σ B_ii over the free unknowns, rad²/m²
};

// The search. `materials` null means vacuum everywhere. Returns the n_modes converged pairs
// closest to σ (by |λ − σ|), closest first, every copy of an exactly repeated mode among them;
// fewer when the free space holds fewer modes, or when the budget of solves (ten times the basis
// size) runs out: then the pairs that converged come back and one warning line says how many and
// why. A shift at an eigenvalue (E − sB singular or nearly so) moves off it; the ordering stays
// by the distance to σ. Refused with an Error, before anything is assembled: a target that is not
// finite or whose σ overflows (naming target_frequency), and a medium without a finite value at
// the target, or lossless with a permittivity of 0, or with both a negative permittivity and a
// negative permeability (naming the [[materials]] entry); before any factorisation: a mesh the
// conductor faces leave no free unknown. A back-end failure that no move of the shift cures is an
// Error with its message unchanged; a non-finite projected matrix is the Error
// "eigendecomposition failed: NoConvergence".
std::vector<EigenmodeResult> solve_eigenmodes(const Mesh& mesh, const FemBasis& basis,
                                              const std::vector<u64>& pec_faces,
                                              const std::vector<MaterialRegion>* materials,
                                              u64 n_modes, double target_frequency,
                                              EigenmodeTimings* timings = nullptr);

// A Ritz value θ of the shift-inverted operator as a candidate eigenvalue λ = σ + 1/θ.
struct RitzValue {
  cplx lambda;
  std::size_t index;  // position of θ in the decomposition's list
};
// The candidates of a list of Ritz values θ of (E − sB)⁻¹B, λ = s + 1/θ, nearest to the target σ
// first (stable: equal distances keep the list order). Passed over: |θ| < 1e-30, a non-finite λ,
// Re λ ≤ 0, and |λ| ≤ 1e-6·|s| (the null space of E, left over from rounding).
std::vector<RitzValue> ritz_candidates(std::span<const cplx> theta, double shift, double sigma);

// Column j of the n × n symmetric tridiagonal matrix with diagonal `alphas` and off-diagonal
// `betas` (betas[i] at (i, i+1) and (i+1, i); an entry missing from betas reads as 0).
void tridiagonal_to_dense(std::span<cplx> column, u64 n, std::span<const cplx> alphas,
                          std::span<const double> betas, u64 j);

// Whether a orders before b: |a − target| < |b − target| (moduli by hypot). A NaN distance stops
// with "called `Option::unwrap()` on a `None` value".
bool cmp_by_distance_to_target(cplx target, cplx a, cplx b);

}  // namespace vantrel
