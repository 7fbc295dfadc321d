#include "fd/gradients.hpp"

#include <algorithm>
#include <cmath>


namespace vantrel {

namespace {

// Local edge of a pair of local nodes (either order).
constexpr std::array<std::array<int, 4>, 4> EDGE_OF = {{
    {-1, 0, 1, 2},
    {0, -1, 3, 4},
    {1, 3, -1, 5},
    {2, 4, 5, -1},
}};
// Local face that does not hold a local node.
constexpr std::array<int, 4> FACE_WITHOUT = {3, 1, 2, 0};

inline double dist3(const Vec3& a, const Vec3& b) {
  const double dx = a[0] - b[0], dy = a[1] - b[1], dz = a[2] - b[2];
  return std::sqrt(dx * dx + dy * dy + dz * dz);
}

// The column of every scalar unknown (nodes first, then edges), NONE_U64 when it takes none.
struct ScalarColumns {
  std::vector<u64> of;  // n_nodes + n_edges
  u64 n_cols = 0;
};

ScalarColumns scalar_columns(const Mesh& mesh, std::span<const u64> pec_faces) {
  const u64 n_nodes = mesh.nodes.size(), n_edges = mesh.edges.size();
  std::vector<std::uint8_t> used(n_nodes, 0), on_pec(n_nodes, 0), edge_on_pec(n_edges, 0);
  DisjointSets component(n_nodes), piece(n_nodes);
  for (const auto& t : mesh.tets) {
    for (u64 v : t) used[v] = 1;
    for (int i = 1; i < 4; ++i) component.unite(t[0], t[i]);
  }
  for (u64 f : pec_faces) {
    check_index(f, mesh.faces.size());
    const FaceKey& nd = mesh.faces[f];
    for (u64 v : nd) on_pec[v] = 1;
    piece.unite(nd[0], nd[1]);
    piece.unite(nd[0], nd[2]);
    for (u64 e : mesh.face_edges[f]) edge_on_pec[e] = 1;
  }
  // Per mesh component: whether a conductor touches it, and its first conductor piece (the one
  // holding its lowest conductor node), whose potential is the reference 0.
  std::vector<std::uint8_t> touches(n_nodes, 0);
  std::vector<u64> first_piece(n_nodes, NONE_U64), piece_col(n_nodes, NONE_U64);
  for (u64 v = 0; v < n_nodes; ++v)
    if (used[v] && on_pec[v]) {
      const u64 c = component.find(v);
      touches[c] = 1;
      if (first_piece[c] == NONE_U64) first_piece[c] = piece.find(v);
    }
  ScalarColumns sc;
  sc.of.assign(n_nodes + n_edges, NONE_U64);
  std::vector<u64> pieces;  // further pieces, in order of their lowest node
  for (u64 v = 0; v < n_nodes; ++v) {
    if (!used[v]) continue;
    const u64 c = component.find(v);
    if (on_pec[v]) {
      const u64 p = piece.find(v);
      if (p != first_piece[c] && piece_col[p] == NONE_U64) {
        piece_col[p] = pieces.size();
        pieces.push_back(p);
      }
    } else if (touches[c] || v != c) {
      // a component without conductors loses its root (its lowest node): the constant
      sc.of[v] = sc.n_cols++;
    }
  }
  for (u64 e = 0; e < n_edges; ++e)
    if (!edge_on_pec[e]) sc.of[n_nodes + e] = sc.n_cols++;
  const u64 piece_base = sc.n_cols;
  sc.n_cols += pieces.size();
  for (u64 v = 0; v < n_nodes; ++v)
    if (used[v] && on_pec[v]) {
      const u64 p = piece.find(v);
      if (piece_col[p] != NONE_U64) sc.of[v] = piece_base + piece_col[p];
    }
  return sc;
}

// The global scalar unknown of local scalar s of tetrahedron t.
inline u64 global_scalar(const Mesh& mesh, u64 t, int s) {
  return s < 4 ? mesh.tets[t][s] : mesh.nodes.size() + mesh.tet_edges[t][s - 4];
}

// The edge or face that local vector function i of tetrahedron t belongs to, as an entity
// number: edges 0..n_edges-1, faces after them.
inline u64 entity_of(const Mesh& mesh, u64 t, int i) {
  const int k = i % 10;
  return k < 6 ? mesh.tet_edges[t][k] : mesh.edges.size() + mesh.tet_faces[t][k - 6];
}

}  // namespace

// With W_ij = λj∇λi − λi∇λj, the basis is L λa W_ab and L λb W_ab on an edge (a < b by global
// number) and d_pr λq W_rp, d_pq λr W_pq on a face (p < q < r); on a face the three products
// λp W_qr + λq W_rp + λr W_pq add up to zero. Every gradient is a sum of products λk W_ij:
//   ∇λi = Σ_{j≠i} W_ij = Σ_{j≠i} Σ_k λk W_ij               (Σ λ = 1, Σ ∇λ = 0)
//   ∇(λaλb) = λb ∇λa + λa ∇λb = Σ_{j≠a} λb W_aj + Σ_{j≠b} λa W_bj
// and each product is one basis function (k on the edge ij) or a face function (k off it).
LocalGradients tet_local_gradients(const Mesh& mesh, u64 t) {
  const TetLocalOrder lo = tet_local_order(mesh, t);
  std::array<Vec3, 4> P;
  for (int i = 0; i < 4; ++i) P[i] = mesh.nodes[mesh.tets[t][i]];
  double L[6];
  for (int k = 0; k < 6; ++k) L[k] = mesh.edge_lengths[mesh.tet_edges[t][k]];
  LocalGradients c{};
  // coef · λk W_ij into column s
  auto add = [&](int k, int i, int j, double coef, int s) {
    if (k == i || k == j) {
      const int e = EDGE_OF[i][j];
      const int a = lo.edge[e][0];
      const double w = (i == a ? coef : -coef) / L[e];  // W_ij = ±W_ab
      c[k == a ? e : 10 + e][s] += w;
      return;
    }
    const int f = FACE_WITHOUT[6 - i - j - k];
    const int p = lo.face[f][0], q = lo.face[f][1], r = lo.face[f][2];
    if (k == q) {
      c[6 + f][s] += (i == r ? coef : -coef) / dist3(P[p], P[r]);
    } else if (k == r) {
      c[16 + f][s] += (i == p ? coef : -coef) / dist3(P[p], P[q]);
    } else {  // λp W_qr = −λq W_rp − λr W_pq
      const double w = i == q ? coef : -coef;
      c[6 + f][s] -= w / dist3(P[p], P[r]);
      c[16 + f][s] -= w / dist3(P[p], P[q]);
    }
  };
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j)
      if (j != i)
        for (int k = 0; k < 4; ++k) add(k, i, j, 1.0, i);
  for (int e = 0; e < 6; ++e) {
    const int a = LOCAL_EDGES[e][0], b = LOCAL_EDGES[e][1];
    for (int j = 0; j < 4; ++j) {
      if (j != a) add(b, a, j, 1.0, 4 + e);
      if (j != b) add(a, b, j, 1.0, 4 + e);
    }
  }
  return c;
}

GradientSystem build_gradient_system(const Mesh& mesh, const FemBasis& basis,
                                     std::span<const u64> pec_faces, std::span<const u64> local_of,
                                     const ElementTriplets& el) {
  const u64 n_tets = mesh.tets.size();
  const ScalarColumns sc = scalar_columns(mesh, pec_faces);
  GradientSystem sys;
  GradientMatrix& g = sys.g;
  g.n_cols = sc.n_cols;
  g.n_rows = 0;
  for (u64 l : local_of) g.n_rows += l != NONE_U64;

  // Each edge and face is written by one tetrahedron, its lowest: every tetrahedron that holds
  // it gives the same coefficients (the tangential trace of ∇φ decides them).
  const u64 n_edges = mesh.edges.size();
  std::vector<u64> owner(n_edges + mesh.faces.size(), NONE_U64);
  for (u64 t = 0; t < n_tets; ++t)
    for (int i = 0; i < 20; ++i) {
      u64& o = owner[entity_of(mesh, t, i)];
      if (o == NONE_U64) o = t;
    }

  // Row form in two passes over the tetrahedra: counts, then entries. Columns of one row come
  // from one tetrahedron; scalars of one conductor piece share a column and add up.
  struct RowEntry {
    u64 col;
    double val;
  };
  auto row_entries = [&](const LocalGradients& c, u64 t, int i, std::array<RowEntry, 10>& out) {
    int n = 0;
    for (int s = 0; s < N_LOCAL_SCALARS; ++s) {
      const u64 col = sc.of[global_scalar(mesh, t, s)];
      if (col == NONE_U64 || c[i][s] == 0.0) continue;
      int k = 0;
      while (k < n && out[k].col != col) ++k;
      if (k == n) out[n++] = {col, 0.0};
      out[k].val += c[i][s];
    }
    return n;
  };
  // body(i, l) for every local function i of t whose free unknown l this tetrahedron writes
  auto for_owned_rows = [&](u64 t, auto&& body) {
    for (int i = 0; i < 20; ++i) {
      const u64 l = local_of[basis.tet_dofs[t][i]];
      if (l != NONE_U64 && owner[entity_of(mesh, t, i)] == t) body(i, l);
    }
  };
  std::vector<u64> count(g.n_rows + 1, 0);
  parallel_for(n_tets, [&](std::size_t t) {
    const LocalGradients c = tet_local_gradients(mesh, t);
    std::array<RowEntry, 10> e;
    for_owned_rows(t, [&](int i, u64 l) { count[l + 1] = row_entries(c, t, i, e); });
  }, 64);
  for (u64 l = 0; l < g.n_rows; ++l) count[l + 1] += count[l];
  g.row_start = std::move(count);
  g.row_cols.resize(g.row_start.back());
  g.row_vals.resize(g.row_start.back());
  // K_T = C_Tᵀ B_T C_T per tetrahedron, 100 slots each (unused ones marked).
  std::vector<u64> kr(100 * n_tets), kc(100 * n_tets);
  std::vector<cplx> kv(100 * n_tets);
  parallel_for(n_tets, [&](std::size_t t) {
    const LocalGradients c = tet_local_gradients(mesh, t);
    std::array<RowEntry, 10> e;
    for_owned_rows(t, [&](int i, u64 l) {
      const int n = row_entries(c, t, i, e);
      std::sort(e.begin(), e.begin() + n, [](const RowEntry& x, const RowEntry& y) { return x.col < y.col; });
      for (int k = 0; k < n; ++k) {
        g.row_cols[g.row_start[l] + k] = e[k].col;
        g.row_vals[g.row_start[l] + k] = e[k].val;
      }
    });
    const cplx* b = el.b_vals.data() + 400 * t;
    std::array<std::array<cplx, N_LOCAL_SCALARS>, 20> bc{};  // B_T C_T
    for (int r = 0; r < 20; ++r)
      for (int q = 0; q < 20; ++q) {
        const cplx brq = b[20 * r + q];
        for (int s = 0; s < N_LOCAL_SCALARS; ++s) bc[r][s] += brq * c[q][s];
      }
    for (int s1 = 0; s1 < N_LOCAL_SCALARS; ++s1) {
      const u64 c1 = sc.of[global_scalar(mesh, t, s1)];
      for (int s2 = 0; s2 < N_LOCAL_SCALARS; ++s2) {
        const u64 c2 = sc.of[global_scalar(mesh, t, s2)];
        const std::size_t k = 100 * t + N_LOCAL_SCALARS * s1 + s2;
        kr[k] = c1 == NONE_U64 || c2 == NONE_U64 ? NONE_U64 : c1;
        kc[k] = c2;
        cplx sum(0.0, 0.0);
        for (int r = 0; r < 20; ++r) sum += c[r][s1] * bc[r][s2];
        kv[k] = sum;
      }
    }
  }, 64);

  // Column form of G.
  g.col_start.assign(g.n_cols + 1, 0);
  for (u64 col : g.row_cols) ++g.col_start[col + 1];
  for (u64 j = 0; j < g.n_cols; ++j) g.col_start[j + 1] += g.col_start[j];
  g.col_rows.resize(g.row_cols.size());
  g.col_vals.resize(g.row_cols.size());
  std::vector<u64> next(g.col_start.begin(), g.col_start.end() - 1);
  for (u64 l = 0; l < g.n_rows; ++l)
    for (u64 k = g.row_start[l]; k < g.row_start[l + 1]; ++k) {
      const u64 p = next[g.row_cols[k]]++;
      g.col_rows[p] = l;
      g.col_vals[p] = g.row_vals[k];
    }

  std::size_t m = 0;
  for (std::size_t k = 0; k < kr.size(); ++k) {
    if (kr[k] == NONE_U64) continue;
    kr[m] = kr[k];
    kc[m] = kc[k];
    kv[m] = kv[k];
    if (kv[m].imag() != 0.0) sys.real = false;
    ++m;
  }
  kr.resize(m);
  kc.resize(m);
  kv.resize(m);
  sys.k_rows = std::move(kr);
  sys.k_cols = std::move(kc);
  sys.k_vals = std::move(kv);
  return sys;
}

GradientProjector factorize_gradient_projector(GradientSystem&& sys, SolverPreference preference) {
  GradientProjector p;
  p.g = std::move(sys.g);
  if (p.g.n_cols == 0) return p;
  p.k_solver = select_solver_backend(preference, false);
  p.k_solver->factorize(p.g.n_cols, sys.k_rows, sys.k_cols, sys.k_vals);
  return p;
}

template <class T>
std::vector<T> gradient_transpose_apply(const GradientMatrix& g, std::span<const T> y) {
  std::vector<T> out(g.n_cols);
  parallel_for(g.n_cols, [&](std::size_t j) {
    T s(0.0);
    for (u64 k = g.col_start[j]; k < g.col_start[j + 1]; ++k) s += g.col_vals[k] * y[g.col_rows[k]];
    out[j] = s;
  }, 1024);
  return out;
}

template <class T>
void gradient_apply_subtract(const GradientMatrix& g, std::span<const T> z, std::vector<T>& x) {
  parallel_for(g.n_rows, [&](std::size_t l) {
    T s(0.0);
    for (u64 k = g.row_start[l]; k < g.row_start[l + 1]; ++k) s += g.row_vals[k] * z[g.row_cols[k]];
    x[l] -= s;
  }, 1024);
}

template std::vector<double> gradient_transpose_apply(const GradientMatrix&, std::span<const double>);
template std::vector<cplx> gradient_transpose_apply(const GradientMatrix&, std::span<const cplx>);
template void gradient_apply_subtract(const GradientMatrix&, std::span<const double>, std::vector<double>&);
template void gradient_apply_subtract(const GradientMatrix&, std::span<const cplx>, std::vector<cplx>&);

double remove_gradients(const GradientProjector& p, std::vector<cplx>& x, std::span<const cplx> bx) {
  if (!p.k_solver) return 0.0;
  const std::vector<cplx> r = gradient_transpose_apply(p.g, bx);
  const std::vector<cplx> z = p.k_solver->solve(r);
  gradient_apply_subtract<cplx>(p.g, z, x);
  cplx zr(0.0, 0.0);  // zᴴ K z = zᴴ r
  for (u64 j = 0; j < p.g.n_cols; ++j) zr += std::conj(z[j]) * r[j];
  return std::sqrt(std::abs(zr));
}

double remove_gradients(const GradientProjector& p, std::vector<double>& x, std::span<const double> bx) {
  if (!p.k_solver) return 0.0;
  const std::vector<double> r = gradient_transpose_apply(p.g, bx);
  const std::vector<cplx> z = p.k_solver->solve(std::vector<cplx>(r.begin(), r.end()));
  std::vector<double> zr(z.size());
  double size2 = 0.0;  // zᵀ K z = zᵀ r
  for (u64 j = 0; j < p.g.n_cols; ++j) {
    zr[j] = z[j].real();
    size2 += zr[j] * r[j];
  }
  gradient_apply_subtract<double>(p.g, zr, x);
  return std::sqrt(std::abs(size2));
}

}  // namespace vantrel
