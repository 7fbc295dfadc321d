#pragma once
// The gradient fields inside the second-order vector element space, and the projection that
// removes them from a vector.
//
// The 20 functions of a tetrahedron span the complete quadratic Nédélec space, which holds the
// gradient of every second-order scalar function exactly: of the vertex functions λ_i and of the
// edge functions λ_aλ_b. These gradients have no curl, so they span the null space of the
// curl-curl matrix E (λ = 0 of E x = λ B x, with the multiplicity of the scalar unknowns). On the
// unknowns the conductor faces leave free, the columns of G are the gradients of
//   - every vertex and edge function that vanishes on the conductor faces,
//   - one function per further connected conductor piece of a mesh component (1 on the piece,
//     0 on the others: the static field between floating conductors),
// less one vertex per mesh component that touches no conductor (the constants have no gradient).
// The eigenmode search keeps its Krylov vectors B-orthogonal to range(G):
//   x ← x − G (GᵀBG)⁻¹ GᵀB x,
// with K = GᵀBG = ∫ ε ∇φ_i·∇φ_j dV, the ε-weighted scalar stiffness matrix, factorised once.

#include <array>
#include <memory>
#include <span>
#include <vector>

#include "core/mesh.hpp"
#include "core/support.hpp"
#include "fd/basis.hpp"
#include "fd/solver/select.hpp"
#include "fd/solver/sparse_solver.hpp"
#include "fd/tet_assembly.hpp"

namespace vantrel {

// Local scalar functions of a tetrahedron: 0..3 the vertex functions λ_i of the local nodes,
// 4..9 the edge functions λ_aλ_b of the local edges in LOCAL_EDGES order.
inline constexpr int N_LOCAL_SCALARS = 10;

// c[i][s]: the coefficient of local vector function i (tet_dofs order) in ∇φ_s on the
// tetrahedron, so that ∇φ_s = Σ_i c[i][s] N_i there.
using LocalGradients = std::array<std::array<double, N_LOCAL_SCALARS>, 20>;
LocalGradients tet_local_gradients(const Mesh& mesh, u64 t);

// G on the free unknowns, real (geometry only), stored by rows and by columns.
struct GradientMatrix {
  u64 n_rows = 0;  // free unknowns (local numbers)
  u64 n_cols = 0;  // scalar functions kept
  std::vector<u64> row_start, row_cols;  // n_rows + 1; column of each entry
  std::vector<double> row_vals;
  std::vector<u64> col_start, col_rows;  // n_cols + 1; row of each entry
  std::vector<double> col_vals;
};

// G and K = GᵀBG (as triplets over the columns of G, both triangles, duplicates kept).
// `local_of` maps every unknown to its free number (NONE_U64 when constrained); `el` holds the
// element matrices whose B blocks give K.
struct GradientSystem {
  GradientMatrix g;
  std::vector<u64> k_rows, k_cols;
  std::vector<cplx> k_vals;
  bool real = true;  // every K value has a zero imaginary part
};
GradientSystem build_gradient_system(const Mesh& mesh, const FemBasis& basis,
                                     std::span<const u64> pec_faces, std::span<const u64> local_of,
                                     const ElementTriplets& el);

// The factorised projection. Holds its own copy of G; K is factorised by the back end the
// preference names (as the shift-invert matrix is), made without a console line.
struct GradientProjector {
  GradientMatrix g;
  std::unique_ptr<SparseSolver> k_solver;  // null when G has no column
};
GradientProjector factorize_gradient_projector(GradientSystem&& sys, SolverPreference preference);

// x ← x − G K⁻¹ Gᵀ bx, with bx = B x; returns the B-size of what was removed, |zᴴ K z|^½ with
// z = K⁻¹ Gᵀ bx. Nothing happens (0) when G has no column.
double remove_gradients(const GradientProjector& p, std::vector<cplx>& x, std::span<const cplx> bx);
// The same for real vectors (a lossless filling: K is real).
double remove_gradients(const GradientProjector& p, std::vector<double>& x, std::span<const double> bx);

// Gᵀ y and x ← x − G z (parallel, fixed order of summation).
template <class T>
std::vector<T> gradient_transpose_apply(const GradientMatrix& g, std::span<const T> y);
template <class T>
void gradient_apply_subtract(const GradientMatrix& g, std::span<const T> z, std::vector<T>& x);

}  // namespace vantrel
