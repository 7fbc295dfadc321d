#include "fd/surface_terms.hpp"

#include <algorithm>
#include <cmath>

#include "fd/tri_geometry.hpp"

namespace vantrel {

namespace {

// One tangential face function s * l_c * W_ab, W_ab = l_b grad l_a - l_a grad l_b.
struct FaceFunction {
  int c, a, b;
};
// Local edges of a face in `face_edges` order: (0,1), (1,2), (0,2).
constexpr std::array<std::array<int, 2>, 3> FACE_EDGES = {{{0, 1}, {1, 2}, {0, 2}}};
// The eight functions in `face_dofs` order.
constexpr std::array<FaceFunction, 8> FACE_FUNCTIONS = {{
    {0, 0, 1}, {1, 1, 2}, {0, 0, 2},  // first unknowns of the edges: l_a W_ab
    {1, 2, 0},                        // first face unknown: l1 (l0 grad l2 - l2 grad l0)
    {1, 0, 1}, {2, 1, 2}, {2, 0, 2},  // second unknowns of the edges: l_b W_ab
    {2, 0, 1},                        // second face unknown: l2 (l1 grad l0 - l0 grad l1)
}};

// Length factor of function r: L_ab for an edge, L02 for row 3, L01 for row 7.
double length_factor(const FaceLocal& fl, int r) {
  switch (r) {
    case 3: return fl.len[0][2];
    case 7: return fl.len[0][1];
    default: {
      const auto& e = FACE_EDGES[r % 4];
      return fl.len[e[0]][e[1]];
    }
  }
}

Vec3 sub(const Vec3& a, const Vec3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
double dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
Vec3 cross(const Vec3& a, const Vec3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
Vec3 unit(const Vec3& v) {
  const double l = std::sqrt(dot(v, v));
  return {v[0] / l, v[1] / l, v[2] / l};
}
double dot2(const std::array<double, 2>& a, const std::array<double, 2>& b) {
  return a[0] * b[0] + a[1] * b[1];
}
double cross2(const std::array<double, 2>& a, const std::array<double, 2>& b) {
  return a[0] * b[1] - a[1] * b[0];
}

}  // namespace

FaceIntegralTable build_face_integral_table() {
  constexpr std::array<double, 10> fact = {1, 1, 2, 6, 24, 120, 720, 5040, 40320, 362880};
  FaceIntegralTable tab;
  for (int i = 0; i < 5; ++i)
    for (int j = 0; j < 5; ++j)
      for (int k = 0; k < 5; ++k)
        for (int l = 0; l < 5; ++l) {
          std::array<int, 7> nu{};
          for (int idx : {i, j, k, l})
            if (idx > 0) ++nu[idx];
          double num = 2.0;
          int total = 0;
          for (int m = 1; m <= 6; ++m) {
            num *= fact[nu[m]];
            total += nu[m];
          }
          tab.t[((i * 5 + j) * 5 + k) * 5 + l] = num / fact[total + 2];
        }
  return tab;
}

FaceLocal face_local(const Mesh& mesh, u64 face) {
  check_index(face, mesh.faces.size());
  FaceLocal fl;
  for (int k = 0; k < 3; ++k) {
    const u64 node = mesh.faces[face][k];
    check_index(node, mesh.nodes.size());
    fl.p[k] = mesh.nodes[node];
  }
  const Vec3 e1 = sub(fl.p[1], fl.p[0]), e2 = sub(fl.p[2], fl.p[0]);
  fl.n = unit(cross(e1, e2));
  fl.t1 = unit(e1);
  fl.t2 = unit(cross(fl.n, fl.t1));
  for (int k = 0; k < 3; ++k) {
    const Vec3 d = sub(fl.p[k], fl.p[0]);
    fl.xi[k] = dot(fl.t1, d);
    fl.eta[k] = dot(fl.t2, d);
  }
  const auto& x = fl.xi;
  const auto& y = fl.eta;
  fl.area = std::abs((x[0] - x[2]) * (y[1] - y[0]) - (x[0] - x[1]) * (y[2] - y[0])) / 2.0;
  fl.g[0] = {y[1] - y[2], x[2] - x[1]};
  fl.g[1] = {y[2] - y[0], x[0] - x[2]};
  fl.g[2] = {y[0] - y[1], x[1] - x[0]};
  for (int i = 0; i < 3; ++i)
    for (int j = i; j < 3; ++j) {
      const double d = std::sqrt((x[i] - x[j]) * (x[i] - x[j]) + (y[i] - y[j]) * (y[i] - y[j]));
      fl.len[i][j] = d;
      fl.len[j][i] = d;
    }
  return fl;
}

// raw_rc = s_r s_c sum of (G.G) * int(l l l l)/A*A over the 2x2 terms of the two functions, with
// unscaled G = 2A grad l, so that int N_r . N_c = raw_rc / (2A)^2.
std::array<double, 64> face_mass_raw(const FaceLocal& fl, const FaceIntegralTable& table) {
  const double area = fl.area;
  auto integral = [&](int p, int q, int s, int t) { return area * table.at(p + 1, q + 1, s + 1, t + 1); };
  std::array<double, 64> m{};
  for (int r = 0; r < 8; ++r) {
    const FaceFunction& fr = FACE_FUNCTIONS[r];
    const double sr = length_factor(fl, r);
    for (int c = 0; c < 8; ++c) {
      const FaceFunction& fc = FACE_FUNCTIONS[c];
      const double sc = length_factor(fl, c);
      // s l_c l_b G_a - s l_c l_a G_b, times the same for the column function
      const double v = dot2(fl.g[fr.a], fl.g[fc.a]) * integral(fr.c, fr.b, fc.c, fc.b) -
                       dot2(fl.g[fr.a], fl.g[fc.b]) * integral(fr.c, fr.b, fc.c, fc.a) -
                       dot2(fl.g[fr.b], fl.g[fc.a]) * integral(fr.c, fr.a, fc.c, fc.b) +
                       dot2(fl.g[fr.b], fl.g[fc.b]) * integral(fr.c, fr.a, fc.c, fc.a);
      m[8 * r + c] = sr * sc * v;
    }
  }
  return m;
}

// Surface curl (normal component) and divergence of l_c W_ab, with X_ij = grad l_i x grad l_j:
//   curl(l_c W_ab) = -2 l_c X_ab + l_b X_ca - l_a X_cb,   div(l_c W_ab) = grad l_c . W_ab.
// (For c = a these are -3 l_a X_ab and l_b |grad l_a|^2 - l_a grad l_a . grad l_b.)
std::array<double, 64> face_abc2_matrix(const FaceLocal& fl) {
  const auto quad = triangle_quadrature_6pt();
  const double two_a = 2.0 * fl.area;
  std::array<std::array<double, 2>, 3> grad{};
  for (int k = 0; k < 3; ++k) grad[k] = {fl.g[k][0] / two_a, fl.g[k][1] / two_a};
  // l_k = alpha_k + beta_k xi + gamma_k eta, so that the quadrature points can be placed in the plane
  std::array<double, 3> alpha{};
  for (int k = 0; k < 3; ++k) alpha[k] = (k == 0 ? 1.0 : 0.0) - grad[k][0] * fl.xi[0] - grad[k][1] * fl.eta[0];

  std::array<std::array<double, 6>, 8> curl{}, div{};
  for (std::size_t q = 0; q < quad.size() && q < 6; ++q) {
    const auto& b = quad[q].bary;
    const double xq = b[0] * fl.xi[0] + b[1] * fl.xi[1] + b[2] * fl.xi[2];
    const double yq = b[0] * fl.eta[0] + b[1] * fl.eta[1] + b[2] * fl.eta[2];
    std::array<double, 3> lam{};
    for (int k = 0; k < 3; ++k) lam[k] = alpha[k] + grad[k][0] * xq + grad[k][1] * yq;
    for (int r = 0; r < 8; ++r) {
      const FaceFunction& f = FACE_FUNCTIONS[r];
      curl[r][q] = -2.0 * lam[f.c] * cross2(grad[f.a], grad[f.b]) +
                   lam[f.b] * cross2(grad[f.c], grad[f.a]) - lam[f.a] * cross2(grad[f.c], grad[f.b]);
      div[r][q] = lam[f.b] * dot2(grad[f.c], grad[f.a]) - lam[f.a] * dot2(grad[f.c], grad[f.b]);
    }
  }
  std::array<double, 64> qm{};
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) {
      double cs = 0.0, ds = 0.0;
      for (int q = 0; q < 6; ++q) {
        cs += quad[q].weight * curl[r][q] * curl[c][q];
        ds += quad[q].weight * div[r][q] * div[c][q];
      }
      qm[8 * r + c] = fl.area * length_factor(fl, r) * length_factor(fl, c) * (cs - ds);
    }
  return qm;
}

bool face_load_vector(const FaceLocal& fl, const Port& port, double k0, std::array<cplx, 8>& l) {
  const auto quad = triangle_quadrature_6pt();
  const double two_a = 2.0 * fl.area;
  std::array<std::array<double, 2>, 3> grad{};
  for (int k = 0; k < 3; ++k) grad[k] = {fl.g[k][0] / two_a, fl.g[k][1] / two_a};
  std::array<cplx, 8> acc{};
  for (const auto& qp : quad) {
    const auto& lam = qp.bary;
    Vec3 x{};
    for (int i = 0; i < 3; ++i)
      x[i] = lam[0] * fl.p[0][i] + lam[1] * fl.p[1][i] + lam[2] * fl.p[2][i];
    const std::optional<CVec3> u = port.incident_term(x[0], x[1], x[2], k0);
    if (!u) return false;
    // tangential components of U in (t1, t2)
    const cplx u1 = (*u)[0] * fl.t1[0] + (*u)[1] * fl.t1[1] + (*u)[2] * fl.t1[2];
    const cplx u2 = (*u)[0] * fl.t2[0] + (*u)[1] * fl.t2[1] + (*u)[2] * fl.t2[2];
    for (int r = 0; r < 8; ++r) {
      const FaceFunction& f = FACE_FUNCTIONS[r];
      const double s = length_factor(fl, r) * lam[f.c];
      const double n1 = s * (lam[f.b] * grad[f.a][0] - lam[f.a] * grad[f.b][0]);
      const double n2 = s * (lam[f.b] * grad[f.a][1] - lam[f.a] * grad[f.b][1]);
      acc[r] += qp.weight * (n1 * u1 + n2 * u2);
    }
  }
  // the minus sign is the face's orientation factor in its own frame
  for (int r = 0; r < 8; ++r) l[r] = -fl.area * acc[r];
  return true;
}

SurfaceFaces prepare_surface_faces(const Mesh& mesh, const std::vector<std::vector<u64>>& port_faces,
                                   const std::vector<const Port*>& ports) {
  SurfaceFaces sf;
  std::vector<u64> all;
  for (const auto& list : port_faces) all.insert(all.end(), list.begin(), list.end());
  sf.faces = all;
  std::sort(sf.faces.begin(), sf.faces.end());
  sf.faces.erase(std::unique(sf.faces.begin(), sf.faces.end()), sf.faces.end());

  sf.port_offsets.assign(1, 0);
  sf.compact_of_port_face.reserve(all.size());
  std::vector<char> needs_q(sf.faces.size(), 0);
  for (std::size_t p = 0; p < port_faces.size(); ++p) {
    const bool abc2 = p < ports.size() && ports[p]->is_second_order_abc();
    for (u64 f : port_faces[p]) {
      const u64 ci = static_cast<u64>(std::lower_bound(sf.faces.begin(), sf.faces.end(), f) -
                                      sf.faces.begin());
      sf.compact_of_port_face.push_back(ci);
      if (abc2) needs_q[ci] = 1;
    }
    sf.port_offsets.push_back(sf.compact_of_port_face.size());
  }

  const std::size_t nf = sf.faces.size();
  const FaceIntegralTable table = build_face_integral_table();
  sf.local.resize(nf);
  sf.m_raw.resize(nf);
  sf.two_a_sq.resize(nf);
  sf.q.resize(nf);
  parallel_for(nf, [&](std::size_t i) {
    sf.local[i] = face_local(mesh, sf.faces[i]);
    sf.m_raw[i] = face_mass_raw(sf.local[i], table);
    const double two_a = 2.0 * sf.local[i].area;
    sf.two_a_sq[i] = two_a * two_a;
    if (needs_q[i]) sf.q[i] = face_abc2_matrix(sf.local[i]);
  });
  return sf;
}

void add_surface_terms(const SurfaceFaces& sf, const std::vector<const Port*>& ports, double k0,
                       std::vector<cplx>& slots) {
  for (std::size_t p = 0; p < ports.size(); ++p) {
    const Port& port = *ports[p];
    const cplx g = port.robin_coefficient(k0);
    std::optional<cplx> c2;
    if (port.is_second_order_abc()) c2 = port.abc2_coefficient(k0);
    for (u64 k = sf.port_offsets[p]; k < sf.port_offsets[p + 1]; ++k) {
      const u64 ci = sf.compact_of_port_face[k];
      cplx* s = slots.data() + 64 * ci;
      const cplx coef = cdiv(g, cplx(sf.two_a_sq[ci], 0.0));
      const auto& m = sf.m_raw[ci];
      for (int j = 0; j < 64; ++j) s[j] += cplx(coef.real() * m[j], coef.imag() * m[j]);
      if (c2) {
        const auto& q = sf.q[ci];
        for (int j = 0; j < 64; ++j) s[j] += cplx(c2->real() * q[j], c2->imag() * q[j]);
      }
    }
  }
}

std::vector<std::vector<cplx>> build_right_hand_sides(const SurfaceFaces& sf, const FemBasis& basis,
                                                      const std::vector<const Port*>& ports,
                                                      double k0) {
  std::vector<std::vector<cplx>> rhs;
  for (std::size_t p = 0; p < ports.size(); ++p) {
    const Port& port = *ports[p];
    if (!port.is_driven()) continue;
    std::vector<cplx> b(basis.n_dofs, cplx(0.0, 0.0));
    // port objects are used from the owning thread only, so the faces are walked in order here
    for (u64 k = sf.port_offsets[p]; k < sf.port_offsets[p + 1]; ++k) {
      const u64 ci = sf.compact_of_port_face[k];
      std::array<cplx, 8> load{};
      if (!face_load_vector(sf.local[ci], port, k0, load)) continue;
      const u64 f = sf.faces[ci];
      check_index(f, basis.face_dofs.size());
      const auto& dofs = basis.face_dofs[f];
      for (int r = 0; r < 8; ++r) b[dofs[r]] += load[r];
    }
    rhs.push_back(std::move(b));
  }
  return rhs;
}

}  // namespace vantrel
