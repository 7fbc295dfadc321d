#include "td/port_queries.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "td/geom_factors.hpp"
#include "td/vec3_ops.hpp"

namespace vantrel {

namespace {

const TdPort& port_at(const MaxwellOperator& op, u64 port_idx) {
  check_index(port_idx, op.ports.size());
  return op.ports[port_idx];
}

// Whether the point lies more than a thousand mesh extents L from the centre of the elements'
// bounding box along some axis. Closer in, the squared distances round by less than about
// 1e-9 L^2, far below any difference between two nodes.
bool far_from_mesh(const MaxwellOperator& op, const Vec3& point) {
  static constexpr Vec3 corners[4] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  Vec3 lo{INFINITY, INFINITY, INFINITY}, hi{-INFINITY, -INFINITY, -INFINITY};
  for (const GeomFactors& g : op.geom)
    for (const Vec3& xi : corners) {
      const Vec3 x = affine_map(g, xi);
      for (int c = 0; c < 3; ++c) {
        lo[c] = std::min(lo[c], x[c]);
        hi[c] = std::max(hi[c], x[c]);
      }
    }
  const double extent = std::max({hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]});
  for (int c = 0; c < 3; ++c)
    if (std::fabs(point[c] - (0.5 * lo[c] + 0.5 * hi[c])) > 1024.0 * extent) return true;
  return false;
}

}  // namespace

std::vector<Vec3> node_coords(const MaxwellOperator& op) {
  const ReferenceElement& ref = op.reference;
  std::vector<Vec3> out;
  out.reserve(op.n_elem * ref.np);
  for (u64 e = 0; e < op.n_elem; ++e)
    for (u64 i = 0; i < ref.np; ++i) out.push_back(affine_map(op.geom[e], ref.nodes[i]));
  return out;
}

std::array<u64, 4> corner_local_nodes(const ReferenceElement& ref) {
  static constexpr Vec3 corners[4] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  std::array<u64, 4> out{};
  for (int c = 0; c < 4; ++c) {
    u64 i = 0;
    while (i < ref.np && !(std::fabs(ref.nodes[i][0] - corners[c][0]) < 1e-12 &&
                           std::fabs(ref.nodes[i][1] - corners[c][1]) < 1e-12 &&
                           std::fabs(ref.nodes[i][2] - corners[c][2]) < 1e-12))
      ++i;
    if (i == ref.np) panic("reference element carries the tet-corner nodes");
    out[c] = i;
  }
  return out;
}

u64 nearest_node_dof(const MaxwellOperator& op, const Vec3& point, u64 field, u64 comp) {
  // An undefined point is nearer to no node than the start value.
  if (!finite3(point)) return 0;
  const ReferenceElement& ref = op.reference;
  const u64 np = ref.np;
  const u64 dof_offset = 3 * field + comp;
  if (!far_from_mesh(op, point)) {
    double best = std::numeric_limits<double>::max();
    u64 result = 0;
    for (u64 e = 0; e < op.n_elem; ++e)
      for (u64 i = 0; i < np; ++i) {
        const Vec3 q = affine_map(op.geom[e], ref.nodes[i]);
        const double dx = q[0] - point[0], dy = q[1] - point[1], dz = q[2] - point[2];
        const double d2 = (dx * dx + dy * dy) + dz * dz;
        if (d2 < best) {
          best = d2;
          result = e * 6 * np + 6 * i + dof_offset;
        }
      }
    return result;
  }
  // Far away, q - p rounds to the same value for every node (and its square overflows beyond
  // about 1e154), so candidates are compared through the difference of their squared distances,
  // |q - p|^2 - |b - p|^2 = A - 2B with A = sum (q_i - b_i)(q_i + b_i), B = sum (q_i - b_i) p_i,
  // in which the node offsets q - b survive. p enters scaled by the power of two s with |p|/s in
  // [1, 2), so that B / s cannot overflow; s * (B / s) turns infinite only where it dwarfs A.
  const double s = std::ldexp(1.0, std::ilogb(std::max(max_abs(point), 1.0)));
  const Vec3 ps{point[0] / s, point[1] / s, point[2] / s};
  Vec3 best = affine_map(op.geom[0], ref.nodes[0]);
  u64 result = dof_offset;
  for (u64 e = 0; e < op.n_elem; ++e)
    for (u64 i = 0; i < np; ++i) {
      const Vec3 q = affine_map(op.geom[e], ref.nodes[i]);
      double a = 0.0, bs = 0.0;
      for (int c = 0; c < 3; ++c) {
        const double diff = q[c] - best[c];
        a += diff * (q[c] + best[c]);
        bs += diff * ps[c];
      }
      if (0.5 * a < s * bs) {  // strictly nearer: ties keep the first node
        best = q;
        result = e * 6 * np + 6 * i + dof_offset;
      }
    }
  return result;
}

double port_cutoff(const MaxwellOperator& op, u64 port_idx) {
  const TdPort& port = port_at(op, port_idx);
  if (port.kind != 1) return 0.0;
  const WaveguideMode& mode = port.mode;
  if (mode.m == 0 && mode.n == 0) return 0.0;
  const double m = static_cast<double>(mode.m) / mode.a;
  const double n = static_cast<double>(mode.n) / mode.b;
  return std::sqrt(m * m + n * n) * 3.141592653589793;
}

std::vector<double> port_source(const MaxwellOperator& op, u64 port_idx) {
  const TdPort& port = port_at(op, port_idx);
  std::vector<double> b(n_dof(op), 0.0);
  if (port.kind != 1) return b;
  const ReferenceElement& ref = op.reference;
  const u64 np = ref.np, nfp = ref.nfp;
  for (u64 p = 0; p < port.faces.size(); ++p) {
    const auto [e, f] = port.faces[p];
    const FaceConnection& F = op.faces[4 * e + f];
    const Vec3& n = F.normal;
    const Vec3& inv_eps = op.inv_eps[e];
    const Vec3& inv_mu = op.inv_mu[e];
    double* be = b.data() + e * 6 * np;
    for (u64 j = 0; j < nfp; ++j) {
      const PortSample& s = port.samples[p * nfp + j];
      // Exterior state (e_s, h_s) in the upwind flux with a zero interior state.
      const Vec3 ne = cross(n, s.e), nh = cross(n, s.h);
      const Vec3 nne = cross(n, ne), nnh = cross(n, nh);
      const Vec3 s_e{nh[0] - nne[0], nh[1] - nne[1], nh[2] - nne[2]};
      const Vec3 s_h{-ne[0] - nnh[0], -ne[1] - nnh[1], -ne[2] - nnh[2]};
      for (u64 i = 0; i < np; ++i) {
        const double L = 0.5 * F.fscale * ref.lift[(i * 4 + f) * nfp + j];
        for (int c = 0; c < 3; ++c) {
          be[6 * i + c] += L * inv_eps[c] * s_e[c];
          be[6 * i + 3 + c] += L * inv_mu[c] * s_h[c];
        }
      }
    }
  }
  return b;
}

std::pair<double, double> port_projections(const MaxwellOperator& op, std::span<const double> y,
                                           u64 port_idx) {
  const TdPort& port = port_at(op, port_idx);
  if (port.kind != 1) panic("port has no mode for extraction");
  const ReferenceElement& ref = op.reference;
  const u64 np = ref.np, nfp = ref.nfp;
  double num_e = 0.0, den_e = 0.0, num_h = 0.0, den_h = 0.0;
  for (u64 p = 0; p < port.faces.size(); ++p) {
    const auto [e, f] = port.faces[p];
    const double W = 2.0 * (0.5 * op.faces[4 * e + f].fscale * std::fabs(op.geom[e].det_j));
    for (u64 j = 0; j < nfp; ++j) {
      const u64 i = ref.face_nodes[f][j];
      const PortSample& s = port.samples[p * nfp + j];
      const double w = W * ref.face_weights[f][j];
      const u64 base = 6 * (e * np + i);
      Vec3 E, H;
      for (int c = 0; c < 3; ++c) {
        check_index(base + c, y.size());
        E[c] = y[base + c];
      }
      for (int c = 0; c < 3; ++c) {
        check_index(base + 3 + c, y.size());
        H[c] = y[base + 3 + c];
      }
      num_e += w * dot(s.e, E);
      den_e += dot(s.e, s.e) * w;
      num_h += w * dot(s.h, H);
      den_h += dot(s.h, s.h) * w;
    }
  }
  return {den_e > 0.0 ? num_e / den_e : 0.0, den_h > 0.0 ? num_h / den_h : 0.0};
}

}  // namespace vantrel
