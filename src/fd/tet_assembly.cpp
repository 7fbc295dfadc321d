#include "fd/tet_assembly.hpp"

#include <cmath>
#include <cstdlib>
#include <new>
#include <string>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "fd/surface_kernels.hpp"

namespace vantrel {

namespace {

constexpr std::array<u64, 10> FACTORIALS = {1, 1, 2, 6, 24, 120, 720, 5040, 40320, 362880};

// Canonical numbering of the six unordered node pairs (x < y) for the cross products
// X_xy = g_x × g_y; X_yx = −X_xy.
constexpr int PAIR_INDEX[4][4] = {{-1, 0, 1, 2}, {0, -1, 3, 4}, {1, 3, -1, 5}, {2, 4, 5, -1}};
constexpr int PAIR_NODES[6][2] = {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}};

// c · λx λy · g_z (a term of a basis function, g = 6V∇λ).
struct ValueTerm {
  double c;
  int lead;  // (x, y) as the first two table indices: 125·(x+1) + 25·(y+1)
  int tail;  // (x, y) as the last two table indices: 5·(x+1) + (y+1)
  int z;
};
// c · λx · X_pair (a term of a curl).
struct CurlTerm {
  double c;
  int lead;  // x as the first table index: 125·(x+1); ∫λxλx' = J·T[x+1][x'+1][0][0]
  int tail;  // x as the second table index: 25·(x+1)
  int pair;
};
struct Function {
  double s;  // length factor: L_k for edge functions, node distance for face functions
  ValueTerm v[2];
  int n_curl;
  CurlTerm k[3];
};

inline double dist3(const Vec3& a, const Vec3& b) {
  const double dx = a[0] - b[0], dy = a[1] - b[1], dz = a[2] - b[2];
  return std::sqrt(dx * dx + dy * dy + dz * dz);
}

inline Vec3 cross3(const Vec3& u, const Vec3& v) {
  return {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
}

inline ValueTerm vterm(double c, int x, int y, int z) {
  return {c, 125 * (x + 1) + 25 * (y + 1), 5 * (x + 1) + (y + 1), z};
}

// c · λx · (g_y × g_z), folded onto the canonical pair. y = z (only from an edge or face whose
// nodes are not all in the tetrahedron) is the zero cross product.
inline CurlTerm cterm(double c, int x, int y, int z) {
  if (y == z) return {0.0, 125 * (x + 1), 25 * (x + 1), 0};
  return {y < z ? c : -c, 125 * (x + 1), 25 * (x + 1), PAIR_INDEX[y][z]};
}

// Real vector · complex tensor · real vector.
inline cplx quad_form(const Vec3& u, const Tensor3& m, const Vec3& v) {
  cplx acc = 0.0;
  for (int i = 0; i < 3; ++i) {
    const cplx row = m[3 * i] * v[0] + m[3 * i + 1] * v[1] + m[3 * i + 2] * v[2];
    acc += u[i] * row;
  }
  return acc;
}

inline bool is_symmetric(const Tensor3& m) {
  return m[1] == m[3] && m[2] == m[6] && m[5] == m[7];
}

}  // namespace

void* bulk_allocate(std::size_t bytes) {
  constexpr std::size_t HUGE_PAGE = std::size_t{1} << 21;
  if (bytes == 0) bytes = 1;
  if (bytes < 8 * HUGE_PAGE) {
    if (void* p = std::malloc(bytes)) return p;
    throw std::bad_alloc();
  }
  const std::size_t rounded = (bytes + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
  void* p = std::aligned_alloc(HUGE_PAGE, rounded);
  if (p == nullptr) throw std::bad_alloc();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  ::madvise(p, rounded, MADV_HUGEPAGE);  // advice only: failure leaves normal pages
#endif
  return p;
}

void bulk_deallocate(void* p) noexcept { std::free(p); }

BarycentricIntegralTable build_barycentric_table() {
  BarycentricIntegralTable t{};
  for (int i = 0; i < 5; ++i)
    for (int j = 0; j < 5; ++j)
      for (int k = 0; k < 5; ++k)
        for (int l = 0; l < 5; ++l) {
          int n[5] = {0, 0, 0, 0, 0};
          ++n[i], ++n[j], ++n[k], ++n[l];
          u64 num = 1;
          int total = 0;
          for (int m = 1; m <= 4; ++m) {
            num *= FACTORIALS[n[m]];
            total += n[m];
          }
          t[125 * i + 25 * j + 5 * k + l] =
              static_cast<double>(num) / static_cast<double>(FACTORIALS[total + 3]);
        }
  return t;
}

double barycentric_integral(const BarycentricIntegralTable& table, u64 i, u64 j, u64 k, u64 l,
                            double scale) {
  check_index(i, 5);
  check_index(j, 5);
  check_index(k, 5);
  check_index(l, 5);
  return table[125 * i + 25 * j + 5 * k + l] * scale;
}

Tensor3 matinv3(const Tensor3& m) {
  // Cofactors of the first row, reused for the determinant.
  const cplx c00 = cmul(m[4], m[8]) - cmul(m[5], m[7]);
  const cplx c01 = cmul(m[3], m[8]) - cmul(m[5], m[6]);
  const cplx c02 = cmul(m[3], m[7]) - cmul(m[4], m[6]);
  const cplx det = cmul(m[0], c00) - cmul(m[1], c01) + cmul(m[2], c02);
  const double abs_det = std::hypot(det.real(), det.imag());
  if (!(abs_det > 1e-30)) {
    panic("matinv3: singular 3x3 material tensor (|det| = " + fmt_exp(abs_det, 3) + ")");
  }
  const cplx r = cdiv(cplx(1.0, 0.0), det);
  // Adjugate (transposed cofactors), each entry formed so that a symmetric input gives a
  // bitwise symmetric inverse.
  Tensor3 inv;
  inv[0] = cmul(c00, r);
  inv[1] = cmul(cmul(m[2], m[7]) - cmul(m[1], m[8]), r);
  inv[2] = cmul(cmul(m[1], m[5]) - cmul(m[2], m[4]), r);
  inv[3] = cmul(cmul(m[5], m[6]) - cmul(m[3], m[8]), r);
  inv[4] = cmul(cmul(m[0], m[8]) - cmul(m[2], m[6]), r);
  inv[5] = cmul(cmul(m[2], m[3]) - cmul(m[0], m[5]), r);
  inv[6] = cmul(c02, r);
  inv[7] = cmul(cmul(m[1], m[6]) - cmul(m[0], m[7]), r);
  inv[8] = cmul(cmul(m[0], m[4]) - cmul(m[1], m[3]), r);
  return inv;
}

CVec3 complex_cross3(const CVec3& u, const CVec3& v) {
  return {cmul(u[1], v[2]) - cmul(u[2], v[1]), cmul(u[2], v[0]) - cmul(u[0], v[2]),
          cmul(u[0], v[1]) - cmul(u[1], v[0])};
}

CVec3 complex_mat3_vec(const Tensor3& m, const CVec3& v) {
  CVec3 out;
  for (int i = 0; i < 3; ++i)
    out[i] = cmul(m[3 * i], v[0]) + cmul(m[3 * i + 1], v[1]) + cmul(m[3 * i + 2], v[2]);
  return out;
}

cplx complex_dot3(const CVec3& u, const CVec3& v) {
  return cmul(u[0], v[0]) + cmul(u[1], v[1]) + cmul(u[2], v[2]);
}

TetLocalOrder tet_local_order(const Mesh& mesh, u64 t) {
  check_index(t, mesh.tets.size());
  check_index(t, mesh.tet_edges.size());
  check_index(t, mesh.tet_faces.size());
  std::array<std::array<u64, 2>, 6> edge_nodes;
  for (int k = 0; k < 6; ++k) {
    const u64 e = mesh.tet_edges[t][k];
    check_index(e, mesh.edges.size());
    edge_nodes[k] = mesh.edges[e];
  }
  std::array<std::array<u64, 3>, 4> face_nodes;
  for (int f = 0; f < 4; ++f) {
    const u64 g = mesh.tet_faces[t][f];
    check_index(g, mesh.faces.size());
    face_nodes[f] = mesh.faces[g];
  }
  const auto ev = edge_local_vertices(mesh.tets[t], edge_nodes);
  const auto fv = face_local_vertices(mesh.tets[t], face_nodes);
  TetLocalOrder o;
  for (int k = 0; k < 6; ++k) o.edge[k] = {static_cast<int>(ev[k][0]), static_cast<int>(ev[k][1])};
  for (int f = 0; f < 4; ++f)
    o.face[f] = {static_cast<int>(fv[f][0]), static_cast<int>(fv[f][1]), static_cast<int>(fv[f][2])};
  return o;
}

// One generic kernel: every basis function is two terms c·λxλy·∇λz and every curl up to three
// terms c·λx·(∇λy×∇λz), so each entry is a short sum over term pairs of
//   B: c c' · ∫λxλyλx'λy' · (g_z · ε g_z')       E: c c' · ∫λxλx' · (X · μ⁻¹ X')
// with g = 6V∇λ (the cofactor vectors, no division) and the powers of 6V removed at the end:
// B by 1/J², E by 1/J⁴ (J = 6|V|; each integral carries one factor J).
void tet_element_matrices(const TetElementContext& ctx, u64 t, ElementMatrices& out) {
  const Mesh& mesh = ctx.mesh;
  check_index(t, ctx.mu.size());
  check_index(t, ctx.eps.size());
  const TetLocalOrder lo = tet_local_order(mesh, t);
  const auto& tn = mesh.tets[t];
  std::array<Vec3, 4> P;
  for (int i = 0; i < 4; ++i) {
    check_index(tn[i], mesh.nodes.size());
    P[i] = mesh.nodes[tn[i]];
  }
  double L[6];
  for (int k = 0; k < 6; ++k) {
    const u64 e = mesh.tet_edges[t][k];
    check_index(e, mesh.edge_lengths.size());
    L[k] = mesh.edge_lengths[e];
  }

  const Tensor3 mu_inv = matinv3(ctx.mu[t]);
  const Tensor3& eps = ctx.eps[t];

  // g_i = 6V ∇λ_i: g1 = e2×e3, g2 = e3×e1, g3 = e1×e2, g0 = −(g1+g2+g3); 6V = e1·g1.
  const Vec3 e1{P[1][0] - P[0][0], P[1][1] - P[0][1], P[1][2] - P[0][2]};
  const Vec3 e2{P[2][0] - P[0][0], P[2][1] - P[0][1], P[2][2] - P[0][2]};
  const Vec3 e3{P[3][0] - P[0][0], P[3][1] - P[0][1], P[3][2] - P[0][2]};
  std::array<Vec3, 4> g;
  g[1] = cross3(e2, e3);
  g[2] = cross3(e3, e1);
  g[3] = cross3(e1, e2);
  for (int c = 0; c < 3; ++c) g[0][c] = -(g[1][c] + g[2][c] + g[3][c]);
  const double J = std::fabs(e1[0] * g[1][0] + e1[1] * g[1][1] + e1[2] * g[1][2]);
  const double inv_j2 = 1.0 / (J * J);
  const double inv_j4 = inv_j2 * inv_j2;
  const double b_scale = J * inv_j2;
  const double e_scale = J * inv_j4;

  // m_zw = g_z · ε g_w and C_PQ = X_P · μ⁻¹ X_Q, shared by every entry.
  const bool symmetric = is_symmetric(eps) && is_symmetric(mu_inv);
  cplx m[4][4];
  for (int z = 0; z < 4; ++z)
    for (int w = 0; w < 4; ++w)
      m[z][w] = (symmetric && w < z) ? m[w][z] : quad_form(g[z], eps, g[w]);
  std::array<Vec3, 6> X;
  for (int p = 0; p < 6; ++p) X[p] = cross3(g[PAIR_NODES[p][0]], g[PAIR_NODES[p][1]]);
  cplx C[6][6];
  for (int p = 0; p < 6; ++p)
    for (int q = 0; q < 6; ++q)
      C[p][q] = (symmetric && q < p) ? C[q][p] : quad_form(X[p], mu_inv, X[q]);

  double d[4][4];
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) d[i][j] = i == j ? 0.0 : dist3(P[i], P[j]);

  Function fn[20];
  for (int k = 0; k < 6; ++k) {
    const int a = lo.edge[k][0], b = lo.edge[k][1];
    // λa W_ab = λaλb∇λa − λaλa∇λb, curl −3 λa X_ab; λb W_ab = λbλb∇λa − λaλb∇λb, curl −3 λb X_ab.
    fn[k] = {L[k], {vterm(1.0, a, b, a), vterm(-1.0, a, a, b)}, 1, {cterm(-3.0, a, a, b)}};
    fn[10 + k] = {L[k], {vterm(1.0, b, b, a), vterm(-1.0, a, b, b)}, 1, {cterm(-3.0, b, a, b)}};
  }
  for (int f = 0; f < 4; ++f) {
    const int p = lo.face[f][0], q = lo.face[f][1], r = lo.face[f][2];
    // λq(λp∇λr − λr∇λp), curl λp X_qr + λr X_pq + 2 λq X_pr.
    fn[6 + f] = {d[p][r],
                 {vterm(1.0, q, p, r), vterm(-1.0, q, r, p)},
                 3,
                 {cterm(1.0, p, q, r), cterm(1.0, r, p, q), cterm(2.0, q, p, r)}};
    // λr(λq∇λp − λp∇λq), curl λp X_qr − λq X_pr − 2 λr X_pq.
    fn[16 + f] = {d[p][q],
                  {vterm(1.0, r, q, p), vterm(-1.0, r, p, q)},
                  3,
                  {cterm(1.0, p, q, r), cterm(-1.0, q, p, r), cterm(-2.0, r, p, q)}};
  }

  const double* T = ctx.table.data();
  auto entry = [&](int i, int j) {
    const Function& fi = fn[i];
    const Function& fj = fn[j];
    cplx bv = 0.0;
    for (int a = 0; a < 2; ++a) {
      const ValueTerm& ta = fi.v[a];
      for (int b = 0; b < 2; ++b) {
        const ValueTerm& tb = fj.v[b];
        bv += (ta.c * tb.c * T[ta.lead + tb.tail]) * m[ta.z][tb.z];
      }
    }
    cplx ev = 0.0;
    for (int a = 0; a < fi.n_curl; ++a) {
      const CurlTerm& ta = fi.k[a];
      for (int b = 0; b < fj.n_curl; ++b) {
        const CurlTerm& tb = fj.k[b];
        ev += (ta.c * tb.c * T[ta.lead + tb.tail]) * C[ta.pair][tb.pair];
      }
    }
    const double s = fi.s * fj.s;
    out.e[20 * i + j] = ev * (s * e_scale);
    out.b[20 * i + j] = bv * (s * b_scale);
  };

  auto is_face = [](int i) { return (i >= 6 && i < 10) || i >= 16; };
  if (symmetric) {
    for (int i = 0; i < 20; ++i) {
      for (int j = i; j < 20; ++j) entry(i, j);
      for (int j = 0; j < i; ++j) {
        out.e[20 * i + j] = out.e[20 * j + i];
        out.b[20 * i + j] = out.b[20 * j + i];
      }
    }
  } else {
    // Edge-edge, edge-face and face-face are evaluated; face-edge mirrors edge-face.
    for (int i = 0; i < 20; ++i)
      for (int j = 0; j < 20; ++j)
        if (!(is_face(i) && !is_face(j))) entry(i, j);
    for (int i = 0; i < 20; ++i)
      for (int j = 0; j < 20; ++j)
        if (is_face(i) && !is_face(j)) {
          out.e[20 * i + j] = out.e[20 * j + i];
          out.b[20 * i + j] = out.b[20 * j + i];
        }
  }
}

void tet_element_matrices(const TetElementContext& ctx, u64 t, std::span<u64> rows,
                          std::span<u64> cols, std::span<cplx> e_vals, std::span<cplx> b_vals) {
  check_index(399, rows.size());
  check_index(399, cols.size());
  check_index(399, e_vals.size());
  check_index(399, b_vals.size());
  check_index(t, ctx.basis.tet_dofs.size());
  ElementMatrices mats;
  tet_element_matrices(ctx, t, mats);
  const auto& dofs = ctx.basis.tet_dofs[t];
  for (int r = 0; r < 20; ++r) {
    for (int c = 0; c < 20; ++c) {
      const int k = 20 * r + c;
      rows[k] = dofs[r];
      cols[k] = dofs[c];
      e_vals[k] = mats.e[k];
      b_vals[k] = mats.b[k];
    }
  }
}

ElementTriplets assemble_tet_elements(const Mesh& mesh, const FemBasis& basis,
                                      std::span<const Tensor3> eps, std::span<const Tensor3> mu) {
  const std::size_t n = mesh.tets.size();
  ElementTriplets out;
  out.rows.resize(400 * n);
  out.cols.resize(400 * n);
  out.e_vals.resize(400 * n);
  out.b_vals.resize(400 * n);
  const BarycentricIntegralTable table = build_barycentric_table();
  const TetElementContext ctx{mesh, mu, eps, table, basis};
  parallel_for(n, [&](std::size_t t) {
    const std::size_t o = 400 * t;
    tet_element_matrices(ctx, t, std::span<u64>(out.rows.data() + o, 400),
                         std::span<u64>(out.cols.data() + o, 400),
                         std::span<cplx>(out.e_vals.data() + o, 400),
                         std::span<cplx>(out.b_vals.data() + o, 400));
  });
  return out;
}

}  // namespace vantrel
