#include "fd/surface_kernels.hpp"

namespace vantrel {

namespace {

inline double f_at(const AffinePair& p, double s, double t) { return p.f0 + p.f_s * s + p.f_t * t; }
inline double g_at(const AffinePair& p, double s, double t) { return p.g0 + p.g_s * s + p.g_t * t; }

template <class F>
Sampled6 sample(const Real6& s, const Real6& t, F&& value) {
  Sampled6 out{};
  for (int k = 0; k < 6; ++k) out[k] = cplx(value(s[k], t[k]), 0.0);
  return out;
}

}  // namespace

Sampled6 surface_curl_first(const AffinePair& p, const Real6& s, const Real6& t) {
  const double c = 3.0 * (p.g_s * p.f_t - p.f_s * p.g_t);
  return sample(s, t, [&](double x, double y) { return c * f_at(p, x, y); });
}

Sampled6 surface_curl_second(const AffinePair& p, const Real6& s, const Real6& t) {
  const double c = 3.0 * (p.g_s * p.f_t - p.f_s * p.g_t);
  return sample(s, t, [&](double x, double y) { return c * g_at(p, x, y); });
}

Sampled6 surface_div_first(const AffinePair& p, const Real6& s, const Real6& t) {
  return sample(s, t, [&](double x, double y) {
    const double f = f_at(p, x, y), g = g_at(p, x, y);
    return p.f_s * (p.f_s * g - p.g_s * f) + p.f_t * (p.f_t * g - p.g_t * f);
  });
}

Sampled6 surface_div_second(const AffinePair& p, const Real6& s, const Real6& t) {
  return sample(s, t, [&](double x, double y) {
    const double f = f_at(p, x, y), g = g_at(p, x, y);
    return p.g_s * (p.f_s * g - p.g_s * f) + p.g_t * (p.f_t * g - p.g_t * f);
  });
}

namespace {
u64 local_position(const std::array<u64, 4>& tet_nodes, u64 node) {
  for (u64 i = 0; i < 4; ++i) {
    if (tet_nodes[i] == node) return i;
  }
  return 0;
}
}  // namespace

std::array<std::array<u64, 2>, 6> edge_local_vertices(const std::array<u64, 4>& tet_nodes,
                                                      const std::array<std::array<u64, 2>, 6>& edges) {
  std::array<std::array<u64, 2>, 6> out{};
  for (int e = 0; e < 6; ++e) {
    for (int k = 0; k < 2; ++k) out[e][k] = local_position(tet_nodes, edges[e][k]);
  }
  return out;
}

std::array<std::array<u64, 3>, 4> face_local_vertices(const std::array<u64, 4>& tet_nodes,
                                                      const std::array<std::array<u64, 3>, 4>& faces) {
  std::array<std::array<u64, 3>, 4> out{};
  for (int f = 0; f < 4; ++f) {
    for (int k = 0; k < 3; ++k) out[f][k] = local_position(tet_nodes, faces[f][k]);
  }
  return out;
}

}  // namespace vantrel
