#pragma once
// Nodal discontinuous-Galerkin reference tetrahedron of order N: equispaced nodes, monomial modal
// basis, exact monomial mass integrals, derivative and lift matrices. Dense matrices are flat
// row-major lists of f64: entry (i, j) of an n-column matrix sits at i*n + j.

#include <array>
#include <vector>

#include "core/support.hpp"

namespace vantrel {

// Reference tetrahedron (r, s, t): vertices (0,0,0), (1,0,0), (0,1,0), (0,0,1). Local faces in
// LOCAL_FACES order: 0 on t = 0, 1 on r = 0, 2 on s = 0, 3 on r + s + t = 1.
struct ReferenceElement {
  std::vector<Vec3> nodes;                      // Np points, lattice order (i, j, k), k innermost
  std::vector<double> mass;                     // Np x Np, V^-T S V^-1; entries sum to 1/6
  std::vector<double> inv_mass;                 // Np x Np
  std::vector<double> dr, ds, dt;               // Np x Np nodal derivative matrices
  std::array<std::vector<u64>, 4> face_nodes;   // Nfp volume-node numbers per face, ascending
  std::vector<double> lift;                     // Np x 4*Nfp: (i, f*Nfp + j) at (4*i + f)*Nfp + j
  std::array<std::vector<double>, 4> face_weights;  // Nfp per face, each list sums to 1/2
  u64 order = 0;
  u64 np = 0;
  u64 nfp = 0;
};

// Builds the reference element of order N. Stops with "DG reference element needs order >= 1"
// for N = 0 and with "singular matrix in invert()" when a Vandermonde matrix loses all precision.
ReferenceElement new_reference_element(u64 order);

// Gauss-Jordan inverse with partial pivoting of a row-major n x n matrix (the input is copied).
std::vector<double> invert(const std::vector<double>& a, u64 n);
// a^T * b * c, each n x n.
std::vector<double> congruence_product(const std::vector<double>& a, const std::vector<double>& b,
                                       const std::vector<double>& c, u64 n);
// a * b, skipping exact-zero entries of a.
std::vector<double> square_matmul(const std::vector<double>& a, const std::vector<double>& b, u64 n);
// Exchanges rows p and q of the n-column matrix m.
void swap_rows(std::vector<double>& m, u64 n, u64 p, u64 q);
// n! as f64 (product 1*2*...*n), 0! = 1.
double factorial(u64 n);
// d/d(axis) of r^a s^b t^c at point (axis 0 = r, 1 = s, 2 = t).
double monomial_derivative(const std::array<u64, 3>& exponents, const Vec3& point, int axis);
// x^n by repeated squaring, x^0 = 1 for every x.
double int_pow(double x, u64 n);

}  // namespace vantrel
