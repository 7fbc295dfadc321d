#pragma once
// Small kernels of the surface terms: unit vectors, the six-point quadrature sum, and the
// in-plane curl and divergence of the second-order edge functions lambda_a*W and lambda_b*W,
// W = lambda_b grad(lambda_a) - lambda_a grad(lambda_b), sampled at the six rule points; plus the
// placement of a tetrahedron's edges and faces on its local node positions.

#include <array>
#include <cmath>

#include "core/support.hpp"

namespace vantrel {

// Values of a function at the six points of the triangle rule, in the rule's order.
using Sampled6 = std::array<cplx, 6>;
using Real6 = std::array<double, 6>;

// Two affine functions of the face's local coordinates (s, t): f = f0 + f_s s + f_t t and
// g = g0 + g_s s + g_t t; in use f = lambda_a and g = lambda_b of one edge (a, b). The field order
// is alpha_a, alpha_b, beta_a, beta_b, gamma_a, gamma_b.
struct AffinePair {
  double f0 = 0.0, g0 = 0.0;
  double f_s = 0.0, g_s = 0.0;
  double f_t = 0.0, g_t = 0.0;
};

// v / |v|; a zero vector gives NaN components.
inline Vec3 normalize3(const Vec3& v) {
  const double len = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
  return {v[0] / len, v[1] / len, v[2] / len};
}

// sum_k w_k * a_k * b_k: a bilinear sum, no conjugation.
inline cplx quadrature_sum6(const Sampled6& a, const Sampled6& b, const Real6& w) {
  cplx sum(0.0, 0.0);
  for (int k = 0; k < 6; ++k) sum += w[k] * cmul(a[k], b[k]);
  return sum;
}

// curl_n(lambda_a W) = 3 (g_s f_t - f_s g_t) f
Sampled6 surface_curl_first(const AffinePair& p, const Real6& s, const Real6& t);
// curl_n(lambda_b W) = 3 (g_s f_t - f_s g_t) g
Sampled6 surface_curl_second(const AffinePair& p, const Real6& s, const Real6& t);
// div(lambda_a W) = grad(lambda_a).W = f_s (f_s g - g_s f) + f_t (f_t g - g_t f)
Sampled6 surface_div_first(const AffinePair& p, const Real6& s, const Real6& t);
// div(lambda_b W) = grad(lambda_b).W = g_s (f_s g - g_s f) + g_t (f_t g - g_t f)
Sampled6 surface_div_second(const AffinePair& p, const Real6& s, const Real6& t);

// The same four kernels under the names the surface-term code uses (xi = s, eta = t).
inline Sampled6 edge_curl_first(const AffinePair& p, const Real6& xi, const Real6& eta) {
  return surface_curl_first(p, xi, eta);
}
inline Sampled6 edge_curl_second(const AffinePair& p, const Real6& xi, const Real6& eta) {
  return surface_curl_second(p, xi, eta);
}
inline Sampled6 edge_div_first(const AffinePair& p, const Real6& xi, const Real6& eta) {
  return surface_div_first(p, xi, eta);
}
inline Sampled6 edge_div_second(const AffinePair& p, const Real6& xi, const Real6& eta) {
  return surface_div_second(p, xi, eta);
}

// For each of the six edges (lower global node first), the positions (0..3) of its two nodes in
// the tetrahedron's node list; a node not in the list leaves 0.
std::array<std::array<u64, 2>, 6> edge_local_vertices(const std::array<u64, 4>& tet_nodes,
                                                      const std::array<std::array<u64, 2>, 6>& edges);
// The same for the four faces' ascending node triples.
std::array<std::array<u64, 3>, 4> face_local_vertices(const std::array<u64, 4>& tet_nodes,
                                                      const std::array<std::array<u64, 3>, 4>& faces);

}  // namespace vantrel
