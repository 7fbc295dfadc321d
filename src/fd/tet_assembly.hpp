#pragma once
// Element matrices of the second-order vector (Nedelec, first family, complete quadratic) element
// and their parallel assembly into uncompressed triplets.
//
//   E_ij = ∫_T (∇×N_i) · μr⁻¹ (∇×N_j) dV      (curl-curl, 1/m)
//   B_ij = ∫_T N_i · εr N_j dV                  (mass, m)
//
// Bilinear forms without conjugation; the sweep forms E − k0²·B. The 20 local functions, with
// W_xy = λy∇λx − λx∇λy and edges/faces oriented by ascending global node number:
//   k = 0..5    L_k  λa W_ab              first kind, local edge k = (a, b)
//   6 + f       d_pr λq (λp∇λr − λr∇λp)  first kind, local face f = (p, q, r)
//   10 + k      L_k  λb W_ab              second kind, local edge k
//   16 + f      d_pq λr (λq∇λp − λp∇λq)  second kind, local face f
// On a face these restrict tangentially to the face's eight surface functions, so no sign
// flags are needed between neighbouring tetrahedra.

#include <array>
#include <memory>
#include <span>
#include <vector>

#include "core/materials.hpp"
#include "core/mesh.hpp"
#include "core/support.hpp"
#include "fd/basis.hpp"

namespace vantrel {

// T[i][j][k][l] at 125i + 25j + 5k + l; index 0 is the constant 1, index m = 1..4 is λ(m−1).
// ∫_T λ0^n1 λ1^n2 λ2^n3 λ3^n4 dV = J · n1! n2! n3! n4! / (n1 + n2 + n3 + n4 + 3)!, J = 6|V|.
using BarycentricIntegralTable = std::array<double, 625>;

BarycentricIntegralTable build_barycentric_table();
// T[i][j][k][l] · scale; an index of 5 or more stops with the index-out-of-range message.
double barycentric_integral(const BarycentricIntegralTable& table, u64 i, u64 j, u64 k, u64 l,
                            double scale);

// Inverse by adjugate / det. Stops with "matinv3: singular 3x3 material tensor (|det| = {:.3e})"
// when |det| ≤ 1e-30 or det is not a number.
Tensor3 matinv3(const Tensor3& m);
CVec3 complex_cross3(const CVec3& u, const CVec3& v);
CVec3 complex_mat3_vec(const Tensor3& m, const CVec3& v);
cplx complex_dot3(const CVec3& u, const CVec3& v);  // Σ u_i v_i, no conjugate

// Local positions (0..3 in tets[t]) of the lower/higher global node of each local edge and of
// the lowest/middle/highest global node of each local face, read from the stored edge and face
// node lists. A node missing from the tetrahedron leaves its entry at 0.
struct TetLocalOrder {
  std::array<std::array<int, 2>, 6> edge{};
  std::array<std::array<int, 3>, 4> face{};
};
TetLocalOrder tet_local_order(const Mesh& mesh, u64 t);

// Shared read-only input of the element kernel. Nothing owned.
struct TetElementContext {
  const Mesh& mesh;
  std::span<const Tensor3> mu;   // relative permeability per tetrahedron
  std::span<const Tensor3> eps;  // relative permittivity per tetrahedron
  const BarycentricIntegralTable& table;
  const FemBasis& basis;
};

// The two 20×20 matrices of tetrahedron t, row-major (entry 20r + c), before emission.
struct ElementMatrices {
  std::array<cplx, 400> e;
  std::array<cplx, 400> b;
};
void tet_element_matrices(const TetElementContext& ctx, u64 t, ElementMatrices& out);

// Kernel with emission: entry 20r + c of the four windows gets (tet_dofs[t][r], tet_dofs[t][c],
// E[r][c], B[r][c]). Windows shorter than 400 entries stop with the index-out-of-range message.
void tet_element_matrices(const TetElementContext& ctx, u64 t, std::span<u64> rows,
                          std::span<u64> cols, std::span<cplx> e_vals, std::span<cplx> b_vals);

// Large output buffers: aligned to 2 MiB and marked for transparent huge pages where the
// platform has them, which cuts the page faults of the first touch by a factor of 512.
void* bulk_allocate(std::size_t bytes);
void bulk_deallocate(void* p) noexcept;

// Allocator whose value-less construct() leaves the memory as is: the assembly allocates its
// output at the final size and the element loop is the first to touch it (in parallel).
template <class T>
struct UninitAllocator {
  using value_type = T;
  UninitAllocator() = default;
  template <class U>
  UninitAllocator(const UninitAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return static_cast<T*>(bulk_allocate(n * sizeof(T))); }
  void deallocate(T* p, std::size_t) noexcept { bulk_deallocate(p); }
  template <class U, class... A>
  void construct(U* p, A&&... a) {
    if constexpr (sizeof...(A) != 0) ::new (static_cast<void*>(p)) U(std::forward<A>(a)...);
  }
  template <class U>
  bool operator==(const UninitAllocator<U>&) const noexcept { return true; }
};
template <class T>
using BulkVector = std::vector<T, UninitAllocator<T>>;

// Uncompressed element contributions: entry 400t + 20r + c is local (r, c) of tetrahedron t.
// Both triangles of every block are present; repeated (row, col) pairs are left for the consumer.
struct ElementTriplets {
  BulkVector<u64> rows;
  BulkVector<u64> cols;
  BulkVector<cplx> e_vals;
  BulkVector<cplx> b_vals;
  std::size_t size() const { return rows.size(); }
};

// Runs the element kernel on every tetrahedron in parallel on the global pool; each tetrahedron
// writes its own 400 slots, so the result does not depend on the thread count. A stop inside any
// kernel (singular μ, short tensor arrays) ends the whole call with that message.
ElementTriplets assemble_tet_elements(const Mesh& mesh, const FemBasis& basis,
                                      std::span<const Tensor3> eps, std::span<const Tensor3> mu);

}  // namespace vantrel
