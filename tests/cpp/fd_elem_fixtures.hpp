#pragma once
// Small meshes and an independent evaluation of the 20 vector basis functions for the element
// and interpolation tests. The reference evaluation works from the definitions (each function
// as terms c·λxλy∇λz, curls by the product rule), not from the kernels' closed forms.

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <random>
#include <tuple>
#include <vector>

#include <Eigen/Dense>

#include "core/mesh.hpp"
#include "fd/basis.hpp"

namespace vantrel::fdtest {

// Structured box split into 6 tetrahedra per cell (Kuhn). With `flip` every other tetrahedron
// is stored with negative orientation (nodes 1 and 2 swapped).
inline Mesh box_mesh(int nx, int ny, int nz, Vec3 lo, Vec3 size, bool flip = false) {
  std::vector<Vec3> nodes;
  auto id = [&](int i, int j, int k) { return static_cast<u64>((k * (ny + 1) + j) * (nx + 1) + i); };
  for (int k = 0; k <= nz; ++k)
    for (int j = 0; j <= ny; ++j)
      for (int i = 0; i <= nx; ++i)
        nodes.push_back({lo[0] + size[0] * i / nx, lo[1] + size[1] * j / ny, lo[2] + size[2] * k / nz});
  static constexpr int PERMS[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
  std::vector<std::array<u64, 4>> tets;
  for (int k = 0; k < nz; ++k)
    for (int j = 0; j < ny; ++j)
      for (int i = 0; i < nx; ++i)
        for (const auto& perm : PERMS) {
          int c[3] = {i, j, k};
          std::array<u64, 4> t;
          t[0] = id(c[0], c[1], c[2]);
          for (int s = 0; s < 3; ++s) {
            ++c[perm[s]];
            t[s + 1] = id(c[0], c[1], c[2]);
          }
          if (flip && tets.size() % 2 == 1) std::swap(t[1], t[2]);
          tets.push_back(t);
        }
  return build_topology(std::move(nodes), std::move(tets));
}

inline Mesh single_tet(const std::array<Vec3, 4>& p, std::array<u64, 4> order = {0, 1, 2, 3}) {
  return build_topology({p.begin(), p.end()}, {order});
}

inline std::array<Vec3, 4> random_tet(std::mt19937& rng) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (;;) {
    std::array<Vec3, 4> p;
    for (auto& v : p)
      for (auto& x : v) x = u(rng);
    Eigen::Matrix3d m;
    for (int c = 0; c < 3; ++c)
      for (int r = 0; r < 3; ++r) m(r, c) = p[c + 1][r] - p[0][r];
    if (std::fabs(m.determinant()) > 0.2) return p;
  }
}

// Value terms c·λx·λy·∇λz of the 20 functions of tetrahedron t, with the length factor, from
// the definitions: edges (a, b) and faces (p, q, r) ordered by global node number.
struct RefFunction {
  double s;
  std::vector<std::array<double, 4>> terms;  // (c, x, y, z) as local node positions
};

inline std::array<RefFunction, 20> reference_functions(const Mesh& mesh, u64 t) {
  const auto& tn = mesh.tets[t];
  auto by_global = [&](std::vector<int> loc) {
    std::sort(loc.begin(), loc.end(), [&](int i, int j) { return tn[i] < tn[j]; });
    return loc;
  };
  auto dist = [&](int i, int j) {
    const Vec3 &a = mesh.nodes[tn[i]], &b = mesh.nodes[tn[j]];
    return std::sqrt((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) +
                     (a[2] - b[2]) * (a[2] - b[2]));
  };
  std::array<RefFunction, 20> fn;
  for (int k = 0; k < 6; ++k) {
    const auto e = by_global({LOCAL_EDGES[k][0], LOCAL_EDGES[k][1]});
    const double a = e[0], b = e[1], L = dist(e[0], e[1]);
    fn[k] = {L, {{1, a, b, a}, {-1, a, a, b}}};        // λa(λb∇λa − λa∇λb)
    fn[10 + k] = {L, {{1, b, b, a}, {-1, b, a, b}}};   // λb(λb∇λa − λa∇λb)
  }
  for (int f = 0; f < 4; ++f) {
    const auto v = by_global({LOCAL_FACES[f][0], LOCAL_FACES[f][1], LOCAL_FACES[f][2]});
    const double p = v[0], q = v[1], r = v[2];
    fn[6 + f] = {dist(v[0], v[2]), {{1, q, p, r}, {-1, q, r, p}}};   // λq(λp∇λr − λr∇λp)
    fn[16 + f] = {dist(v[0], v[1]), {{1, r, q, p}, {-1, r, p, q}}};  // λr(λq∇λp − λp∇λq)
  }
  return fn;
}

struct Barycentric {
  std::array<double, 4> lam;
  std::array<Eigen::Vector3d, 4> grad;
  double volume;  // |V|
};

inline Barycentric barycentric_at(const Mesh& mesh, u64 t, const Eigen::Vector3d& x) {
  const auto& tn = mesh.tets[t];
  Eigen::Vector3d P[4];
  for (int i = 0; i < 4; ++i) P[i] = {mesh.nodes[tn[i]][0], mesh.nodes[tn[i]][1], mesh.nodes[tn[i]][2]};
  Eigen::Matrix3d m;
  m << P[1] - P[0], P[2] - P[0], P[3] - P[0];
  const Eigen::Matrix3d inv = m.inverse();
  const Eigen::Vector3d l = inv * (x - P[0]);
  Barycentric b;
  b.lam = {1 - l.sum(), l[0], l[1], l[2]};
  for (int i = 0; i < 3; ++i) b.grad[i + 1] = inv.row(i).transpose();
  b.grad[0] = -(b.grad[1] + b.grad[2] + b.grad[3]);
  b.volume = std::fabs(m.determinant()) / 6.0;
  return b;
}

inline Eigen::Vector3d ref_value(const RefFunction& f, const Barycentric& b) {
  Eigen::Vector3d v = Eigen::Vector3d::Zero();
  for (const auto& t : f.terms) {
    const int x = int(t[1]), y = int(t[2]), z = int(t[3]);
    v += t[0] * b.lam[x] * b.lam[y] * b.grad[z];
  }
  return f.s * v;
}

// ∇×(λxλy∇λz) = (λy∇λx + λx∇λy) × ∇λz.
inline Eigen::Vector3d ref_curl(const RefFunction& f, const Barycentric& b) {
  Eigen::Vector3d v = Eigen::Vector3d::Zero();
  for (const auto& t : f.terms) {
    const int x = int(t[1]), y = int(t[2]), z = int(t[3]);
    v += t[0] * (b.lam[y] * b.grad[x] + b.lam[x] * b.grad[y]).cross(b.grad[z]);
  }
  return f.s * v;
}

// Collapsed Gauss-Legendre rule on the unit tetrahedron (5 points per direction: exact for the
// degree-4 products of two quadratic functions after the Duffy map adds degree 3).
struct TetRulePoint {
  double w;
  std::array<double, 3> l;  // λ1, λ2, λ3
};
inline std::vector<TetRulePoint> tet_rule() {
  const double x[5] = {-0.9061798459386640, -0.5384693101056831, 0.0, 0.5384693101056831,
                       0.9061798459386640};
  const double w[5] = {0.2369268850561891, 0.4786286704993665, 0.5688888888888889,
                       0.4786286704993665, 0.2369268850561891};
  std::vector<TetRulePoint> pts;
  for (int i = 0; i < 5; ++i)
    for (int j = 0; j < 5; ++j)
      for (int k = 0; k < 5; ++k) {
        const double u = 0.5 * (x[i] + 1), v = 0.5 * (x[j] + 1), s = 0.5 * (x[k] + 1);
        const double wt = 0.125 * w[i] * w[j] * w[k] * (1 - u) * (1 - u) * (1 - v);
        pts.push_back({wt, {u, v * (1 - u), s * (1 - u) * (1 - v)}});  // weights sum to 1/6
      }
  return pts;
}

// A canonical name of a global unknown: (kind, sorted node numbers), kind 0..3 = first-kind
// edge, first-kind face, second-kind edge, second-kind face.
using DofKey = std::tuple<int, u64, u64, u64>;
inline DofKey dof_key(const Mesh& mesh, u64 dof) {
  const u64 ne = mesh.edges.size(), nf = mesh.faces.size();
  auto edge = [&](int kind, u64 e) { return DofKey{kind, mesh.edges[e][0], mesh.edges[e][1], NONE_U64}; };
  auto face = [&](int kind, u64 f) { return DofKey{kind, mesh.faces[f][0], mesh.faces[f][1], mesh.faces[f][2]}; };
  if (dof < ne) return edge(0, dof);
  if (dof < ne + nf) return face(1, dof - ne);
  if (dof < 2 * ne + nf) return edge(2, dof - ne - nf);
  return face(3, dof - 2 * ne - nf);
}

}  // namespace vantrel::fdtest
