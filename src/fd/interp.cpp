#include "fd/interp.hpp"

#include <cmath>
#include <limits>

#include "fd/tet_assembly.hpp"

namespace vantrel {

namespace {

inline Vec3 sub3(const Vec3& a, const Vec3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
inline double dot3(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
inline Vec3 cross3(const Vec3& u, const Vec3& v) {
  return {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
}

// Everything the evaluation needs about tetrahedron t at point p, free of divisions:
// Lam[i] = 6V·λ_i(p), g[i] = 6V·∇λ_i (V signed), and the single factor 1/(6V)³.
struct TetAtPoint {
  double lam[4];
  Vec3 g[4];
  double d[4][4];
  double inv_cube;
  TetLocalOrder lo;
  const std::array<u64, 20>* dofs;
};

TetAtPoint prepare(const FemBasis& basis, const Mesh& mesh, std::span<const cplx> solution, u64 t,
                   const Vec3& p) {
  check_index(t, mesh.tets.size());
  check_index(t, basis.tet_dofs.size());
  TetAtPoint s;
  s.lo = tet_local_order(mesh, t);
  s.dofs = &basis.tet_dofs[t];
  for (u64 dof : *s.dofs) check_index(dof, solution.size());
  const auto& tn = mesh.tets[t];
  std::array<Vec3, 4> P;
  for (int i = 0; i < 4; ++i) {
    check_index(tn[i], mesh.nodes.size());
    P[i] = mesh.nodes[tn[i]];
  }
  const Vec3 e1 = sub3(P[1], P[0]), e2 = sub3(P[2], P[0]), e3 = sub3(P[3], P[0]);
  s.g[1] = cross3(e2, e3);
  s.g[2] = cross3(e3, e1);
  s.g[3] = cross3(e1, e2);
  for (int c = 0; c < 3; ++c) s.g[0][c] = -(s.g[1][c] + s.g[2][c] + s.g[3][c]);
  const double six_v = dot3(e1, s.g[1]);
  s.inv_cube = 1.0 / (six_v * six_v * six_v);
  // 6V·λ_i is affine and vanishes at every node but i: measure from a node other than i.
  const Vec3 q0 = sub3(p, P[0]);
  s.lam[0] = dot3(s.g[0], sub3(p, P[1]));
  for (int i = 1; i < 4; ++i) s.lam[i] = dot3(s.g[i], q0);
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) s.d[i][j] = i == j ? 0.0 : std::sqrt(dot3(sub3(P[i], P[j]), sub3(P[i], P[j])));
  return s;
}

inline void add_scaled(CVec3& acc, cplx c, const Vec3& v) {
  acc[0] += cplx(c.real() * v[0], c.imag() * v[0]);
  acc[1] += cplx(c.real() * v[1], c.imag() * v[1]);
  acc[2] += cplx(c.real() * v[2], c.imag() * v[2]);
}

// Lx·g_y − Ly·g_x style combination a·g_i + b·g_j.
inline Vec3 comb(double a, const Vec3& gi, double b, const Vec3& gj) {
  return {a * gi[0] + b * gj[0], a * gi[1] + b * gj[1], a * gi[2] + b * gj[2]};
}

inline CVec3 scaled(CVec3 v, double s) {
  for (auto& c : v) c *= s;
  return v;
}

}  // namespace

TetGrid build_tet_grid(const Mesh& mesh) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  Vec3 lo{inf, inf, inf}, hi{-inf, -inf, -inf};
  for (const Vec3& p : mesh.nodes)
    for (int c = 0; c < 3; ++c) {
      lo[c] = std::fmin(lo[c], p[c]);
      hi[c] = std::fmax(hi[c], p[c]);
    }
  const Vec3 span = sub3(hi, lo);
  const double diag = std::sqrt(dot3(span, span));
  TetGrid grid;
  grid.cell_size = diag / std::fmax(std::cbrt(static_cast<double>(mesh.tets.size())), 2.0);
  for (u64 t = 0; t < mesh.tets.size(); ++t) {
    Vec3 c{0.0, 0.0, 0.0};
    for (u64 n : mesh.tets[t]) {
      check_index(n, mesh.nodes.size());
      for (int k = 0; k < 3; ++k) c[k] += mesh.nodes[n][k];
    }
    for (double& x : c) x *= 0.25;
    grid.cells[cell_key(grid, c)].push_back(t);
  }
  return grid;
}

CellKey cell_key(const TetGrid& grid, const Vec3& p) {
  const double h = grid.cell_size;
  return {saturating_cast<i32>(std::floor(p[0] / h)), saturating_cast<i32>(std::floor(p[1] / h)),
          saturating_cast<i32>(std::floor(p[2] / h))};
}

bool point_in_tet(const Mesh& mesh, u64 t, const Vec3& p) {
  check_index(t, mesh.tets.size());
  const auto& tn = mesh.tets[t];
  for (u64 n : tn) check_index(n, mesh.nodes.size());
  const Vec3& a = mesh.nodes[tn[0]];
  const Vec3 e1 = sub3(mesh.nodes[tn[1]], a), e2 = sub3(mesh.nodes[tn[2]], a),
             e3 = sub3(mesh.nodes[tn[3]], a);
  const Vec3 c23 = cross3(e2, e3);
  const double det = dot3(e1, c23);
  if (std::fabs(det) < 1e-30) return false;
  const Vec3 q = sub3(p, a);
  const double l1 = dot3(q, c23) / det;
  const double l2 = dot3(q, cross3(e3, e1)) / det;
  const double l3 = dot3(q, cross3(e1, e2)) / det;
  return l1 >= -1e-08 && l2 >= -1e-08 && l3 >= -1e-08 && l1 + l2 + l3 <= 1.00000001;
}

std::optional<u64> locate_tet(const TetGrid& grid, const Mesh& mesh, const Vec3& p) {
  const CellKey k = cell_key(grid, p);
  constexpr std::int64_t lo = std::numeric_limits<i32>::min(), hi = std::numeric_limits<i32>::max();
  for (int di = -1; di <= 1; ++di)
    for (int dj = -1; dj <= 1; ++dj)
      for (int dk = -1; dk <= 1; ++dk) {
        // Neighbour keys in 64 bits: a key beyond the i32 range names no cell.
        const std::int64_t ki = std::int64_t{k[0]} + di, kj = std::int64_t{k[1]} + dj, kk = std::int64_t{k[2]} + dk;
        if (ki < lo || ki > hi || kj < lo || kj > hi || kk < lo || kk > hi) continue;
        const auto it = grid.cells.find(
            {static_cast<i32>(ki), static_cast<i32>(kj), static_cast<i32>(kk)});
        if (it == grid.cells.end()) continue;
        for (u64 t : it->second)
          if (point_in_tet(mesh, t, p)) return t;
      }
  for (u64 t = 0; t < mesh.tets.size(); ++t)
    if (point_in_tet(mesh, t, p)) return t;
  return std::nullopt;
}

// E = (1/(6V)³) [ Σ_k d_ab (u_k L_a + u'_k L_b)(L_b g_a − L_a g_b)
//               + Σ_f ( w_f d_pr L_q (L_p g_r − L_r g_p) + w'_f d_pq L_r (L_q g_p − L_p g_q) ) ]
CVec3 eval_field_at_point(const FemBasis& basis, const Mesh& mesh, std::span<const cplx> solution,
                          u64 t, const Vec3& p) {
  const TetAtPoint s = prepare(basis, mesh, solution, t, p);
  const auto& dofs = *s.dofs;
  const double* L = s.lam;
  CVec3 e{};
  for (int k = 0; k < 6; ++k) {
    const int a = s.lo.edge[k][0], b = s.lo.edge[k][1];
    const cplx coef = (solution[dofs[k]] * L[a] + solution[dofs[10 + k]] * L[b]) * s.d[a][b];
    add_scaled(e, coef, comb(L[b], s.g[a], -L[a], s.g[b]));
  }
  for (int f = 0; f < 4; ++f) {
    const int p0 = s.lo.face[f][0], q = s.lo.face[f][1], r = s.lo.face[f][2];
    add_scaled(e, solution[dofs[6 + f]] * (s.d[r][p0] * L[q]), comb(L[p0], s.g[r], -L[r], s.g[p0]));
    add_scaled(e, solution[dofs[16 + f]] * (s.d[q][p0] * L[r]), comb(L[q], s.g[p0], -L[p0], s.g[q]));
  }
  return scaled(e, s.inv_cube);
}

// ∇×E = (1/(6V)³) [ Σ_k −3 d_ab (u_k L_a + u'_k L_b) X_ab
//                 + Σ_f ( w_f d_pr (L_p X_qr + 2 L_q X_pr + L_r X_pq)
//                       + w'_f d_pq (L_p X_qr − L_q X_pr − 2 L_r X_pq) ) ],  X_xy = g_x × g_y.
CVec3 eval_curl_at_point(const FemBasis& basis, const Mesh& mesh, std::span<const cplx> solution,
                         u64 t, const Vec3& p) {
  const TetAtPoint s = prepare(basis, mesh, solution, t, p);
  const auto& dofs = *s.dofs;
  const double* L = s.lam;
  CVec3 c{};
  for (int k = 0; k < 6; ++k) {
    const int a = s.lo.edge[k][0], b = s.lo.edge[k][1];
    const cplx coef = (solution[dofs[k]] * L[a] + solution[dofs[10 + k]] * L[b]) * (-3.0 * s.d[a][b]);
    add_scaled(c, coef, cross3(s.g[a], s.g[b]));
  }
  for (int f = 0; f < 4; ++f) {
    const int p0 = s.lo.face[f][0], q = s.lo.face[f][1], r = s.lo.face[f][2];
    const Vec3 xqr = cross3(s.g[q], s.g[r]), xpr = cross3(s.g[p0], s.g[r]),
               xpq = cross3(s.g[p0], s.g[q]);
    Vec3 v1, v2;
    for (int i = 0; i < 3; ++i) {
      v1[i] = L[p0] * xqr[i] + 2.0 * L[q] * xpr[i] + L[r] * xpq[i];
      v2[i] = L[p0] * xqr[i] - L[q] * xpr[i] - 2.0 * L[r] * xpq[i];
    }
    add_scaled(c, solution[dofs[6 + f]] * s.d[r][p0], v1);
    add_scaled(c, solution[dofs[16 + f]] * s.d[q][p0], v2);
  }
  return scaled(c, s.inv_cube);
}

CVec3 FieldSampler::operator()(const Vec3& p) const {
  const auto t = locate_tet(grid, mesh, p);
  if (!t) return {};
  return eval_field_at_point(basis, mesh, solution, *t, p);
}

cplx integrate_line_voltage(const FieldSampler& sampler, std::span<const Vec3> line) {
  cplx v = 0.0;
  for (std::size_t k = 0; k + 1 < line.size(); ++k) {
    const Vec3 mid{0.5 * (line[k][0] + line[k + 1][0]), 0.5 * (line[k][1] + line[k + 1][1]),
                   0.5 * (line[k][2] + line[k + 1][2])};
    const CVec3 e = sampler(mid);
    const Vec3 dl = sub3(line[k + 1], line[k]);
    v += e[0] * dl[0] + e[1] * dl[1] + e[2] * dl[2];
  }
  return v;
}

}  // namespace vantrel
