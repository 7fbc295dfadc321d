#include "td/rhs.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "td/vec3_ops.hpp"

namespace vantrel {

namespace {

struct FaceLink {
  u64 neighbour = NONE_U64;
  u64 neighbour_face = NONE_U64;
  u64 face = 0;
  Vec3 normal{};
  double area = 0.0;
};

// Number of elements per parallel job: enough jobs for load balance (about eight per worker),
// but never so small that taking a pooled scratch costs more than the elements.
u64 job_length(u64 k) {
  const u64 t = std::max<u64>(1, static_cast<u64>(worker_count()));
  return std::clamp<u64>(k / (8 * t), 1, 256);
}

// A scratch taken from the operator's pool for one job; returned when the job ends, also when
// the job stops with a failure.
class PooledScratch {
 public:
  PooledScratch(ScratchPool& pool, u64 np, u64 nfp) : pool_(pool) {
    std::lock_guard<std::mutex> guard(pool_.lock);
    if (pool_.items.empty()) {
      scratch_ = new_element_scratch(np, nfp);
    } else {
      scratch_ = std::move(pool_.items.back());
      pool_.items.pop_back();
    }
  }
  ~PooledScratch() {
    std::lock_guard<std::mutex> guard(pool_.lock);
    pool_.items.push_back(std::move(scratch_));
  }
  PooledScratch(const PooledScratch&) = delete;
  PooledScratch& operator=(const PooledScratch&) = delete;
  ElementScratch& get() { return scratch_; }

 private:
  ScratchPool& pool_;
  ElementScratch scratch_;
};

// Stops with the index message when the block [first, first + len) is not inside y.
inline void check_block(u64 first, u64 len, u64 size) {
  if (first + len > size) check_index(std::max(first, size), size);
}

}  // namespace

u64 n_field(const MaxwellOperator& op) { return 6 * op.reference.np * op.n_elem; }

u64 n_dof(const MaxwellOperator& op) {
  return op.reference.np * (6 * op.n_elem + 3 * static_cast<u64>(op.debye.size()));
}

ElementScratch new_element_scratch(u64 np, u64 nfp) {
  ElementScratch s;
  s.curl_h.assign(3 * np, 0.0);
  s.curl_e.assign(3 * np, 0.0);
  s.flux.assign(4 * nfp * 6, 0.0);
  return s;
}

// ---- set-up ---------------------------------------------------------------------------------------

Vec3 te_mode_field(const WaveguideMode& mode, const Vec3& point) {
  if (mode.m == 0 && mode.n == 0) return mode.v;
  constexpr double pi = 3.141592653589793;
  const Vec3 d = sub(point, mode.origin);
  const double xi = dot(d, mode.u);
  const double eta = dot(d, mode.v);
  const double m = static_cast<double>(mode.m);
  const double n = static_cast<double>(mode.n);
  const double X = xi * ((m * pi) / mode.a);
  const double Y = eta * ((n * pi) / mode.b);
  const double eu = ((n / mode.b) * std::cos(X)) * std::sin(Y);
  const double ev = (-((m / mode.a) * std::sin(X))) * std::cos(Y);
  // Normalised so that the TE(1,0) and TE(0,1) profiles peak at 1.
  const double D = std::fmax(std::fmax(m / mode.a, n / mode.b), 2.2250738585072014e-308);
  Vec3 r;
  for (int i = 0; i < 3; ++i) r[i] = mode.u[i] * eu / D + mode.v[i] * ev / D;
  return r;
}

std::vector<Vec3> face_node_coords(const MaxwellOperator& op, u64 element, u64 face) {
  if (face > 3) panic("local face index above 3");
  const auto& ref = op.reference;
  const auto& g = op.geom[element];
  std::vector<Vec3> pts;
  pts.reserve(ref.nfp);
  for (u64 i : ref.face_nodes[face]) pts.push_back(affine_map(g, ref.nodes[i]));
  return pts;
}

MaxwellOperator build_dg_operator(const Mesh& mesh, u64 order,
                                  const std::vector<ElementMaterial>& materials,
                                  const std::vector<TdPortInput>& ports,
                                  const std::vector<DebyeInput>& dispersive, double flux_alpha) {
  if (!std::isfinite(flux_alpha))
    throw Error("flux_alpha must be finite, got " + fmt_float(flux_alpha));
  MaxwellOperator op;
  op.reference = new_reference_element(order);
  const u64 K = mesh.tets.size();
  const u64 nfp = op.reference.nfp;

  op.geom.reserve(K);
  for (const auto& t : mesh.tets) {
    op.geom.push_back(
        geom_factors(mesh.nodes[t[0]], mesh.nodes[t[1]], mesh.nodes[t[2]], mesh.nodes[t[3]]));
  }

  // Face links: outward normal (pointing away from the opposite vertex), area, neighbour.
  std::vector<FaceLink> links(4 * K);
  for (u64 e = 0; e < K; ++e) {
    const auto& t = mesh.tets[e];
    for (u64 k = 0; k < 4; ++k) {
      const auto& lf = LOCAL_FACES[k];
      const Vec3& pa = mesh.nodes[t[lf[0]]];
      const Vec3& pb = mesh.nodes[t[lf[1]]];
      const Vec3& pc = mesh.nodes[t[lf[2]]];
      const Vec3& pd = mesh.nodes[t[FACE_OPPOSITE_VERTEX[k]]];
      const Vec3 n = cross(sub(pb, pa), sub(pc, pa));
      const double len = std::sqrt(dot(n, n));
      Vec3 normal{n[0] / len, n[1] / len, n[2] / len};
      if (dot(sub(pd, pa), normal) > 0.0) normal = {-normal[0], -normal[1], -normal[2]};
      FaceLink& L = links[4 * e + k];
      L.normal = normal;
      L.area = len / 2.0;
      L.face = mesh.tet_faces[e][k];
      const auto& ft = mesh.face_tets[L.face];
      const u64 nb = ft[0] == e ? ft[1] : ft[0];
      if (nb != NO_TET) {
        L.neighbour = nb;
        const auto& nf = mesh.tet_faces[nb];
        const auto it = std::find(nf.begin(), nf.end(), L.face);
        if (it == nf.end()) panic("a shared face must appear in the neighbour's faces");
        L.neighbour_face = static_cast<u64>(it - nf.begin());
      }
    }
  }

  std::vector<u64> port_of_face(mesh.faces.size(), NONE_U64);
  for (u64 p = 0; p < ports.size(); ++p)
    for (u64 g : ports[p].faces) port_of_face[g] = p;

  // Face connections; node matching needs the geometric factors in the record.
  op.n_elem = K;
  op.faces.resize(4 * K);
  for (u64 e = 0; e < K; ++e) {
    for (u64 f = 0; f < 4; ++f) {
      const FaceLink& L = links[4 * e + f];
      FaceConnection& F = op.faces[4 * e + f];
      if (L.neighbour != NONE_U64) {
        const auto mine = face_node_coords(op, e, f);
        const auto theirs = face_node_coords(op, L.neighbour, L.neighbour_face);
        F.node_map.resize(nfp);
        for (u64 j = 0; j < nfp; ++j) {
          double best = std::numeric_limits<double>::max();
          u64 q_best = 0;
          for (u64 q = 0; q < theirs.size(); ++q) {
            const double dx = theirs[q][0] - mine[j][0];
            const double dy = theirs[q][1] - mine[j][1];
            const double dz = theirs[q][2] - mine[j][2];
            const double d2 = (dx * dx + dy * dy) + dz * dz;
            if (d2 < best) {
              best = d2;
              q_best = q;
            }
          }
          if (!(best < 1e-18)) panic("unmatched face node");
          F.node_map[j] = q_best;
        }
      }
      F.normal = L.normal;
      F.fscale = (L.area + L.area) / std::fabs(op.geom[e].det_j);
      F.neighbour = L.neighbour;
      F.neighbour_face = L.neighbour_face;
      F.port = port_of_face[L.face];
    }
  }

  if (materials.size() != K) {
    panic("assertion `left == right` failed: one material per element\n  left: " +
          std::to_string(materials.size()) + "\n right: " + std::to_string(K));
  }
  op.inv_eps.resize(K);
  op.inv_mu.resize(K);
  op.sigma_over_eps.resize(K);
  op.sigma_m_over_mu.resize(K);
  for (u64 e = 0; e < K; ++e) {
    const auto& m = materials[e];
    for (int c = 0; c < 3; ++c) {
      op.inv_eps[e][c] = 1.0 / m.eps[c];
      op.inv_mu[e][c] = 1.0 / m.mu[c];
      op.sigma_over_eps[e][c] = m.sigma / m.eps[c];
      op.sigma_m_over_mu[e][c] = m.sigma_m / m.mu[c];
    }
  }

  op.ports.resize(ports.size());
  for (u64 p = 0; p < ports.size(); ++p) {
    if (ports[p].kind == 1) {
      op.ports[p].kind = 1;
      op.ports[p].mode = ports[p].mode;
    }
  }
  for (u64 e = 0; e < K; ++e)
    for (u64 f = 0; f < 4; ++f) {
      const u64 p = op.faces[4 * e + f].port;
      if (p != NONE_U64) op.ports[p].faces.push_back({e, f});
    }
  for (auto& port : op.ports) {
    if (port.kind != 1) continue;
    port.samples.reserve(port.faces.size() * nfp);
    const Vec3& w = port.mode.w;
    for (const auto& [e, f] : port.faces) {
      for (u64 j = 0; j < nfp; ++j) {
        const u64 i = op.reference.face_nodes[f][j];
        const Vec3 x = affine_map(op.geom[e], op.reference.nodes[i]);
        const Vec3 es = te_mode_field(port.mode, x);
        const Vec3 hs{w[1] * es[2] - w[2] * es[1], w[2] * es[0] - w[0] * es[2],
                      w[0] * es[1] - w[1] * es[0]};
        port.samples.push_back({es, hs});
      }
    }
  }

  op.debye_index.assign(K, NONE_U64);
  for (u64 d = 0; d < dispersive.size(); ++d) {
    const auto& in = dispersive[d];
    if (in.elem >= K) panic("dispersive element index out of range");
    if (op.debye_index[in.elem] != NONE_U64)
      panic("element " + std::to_string(in.elem) + " listed twice as dispersive");
    op.debye_index[in.elem] = d;
    op.debye.push_back({in.elem, -1.0 / in.tau, (in.eps_static - in.eps_inf) / in.tau,
                        1.0 / in.eps_inf});
  }
  op.flux_alpha = flux_alpha;
  return op;
}

// ---- right-hand side ------------------------------------------------------------------------------

void element_curl(const ReferenceElement& ref, const GeomFactors& g, std::span<const double> u,
                  std::span<double> out, std::span<double> ref_derivs,
                  std::span<double> derivatives) {
  const u64 np = ref.np;
  const double* D[3] = {ref.dr.data(), ref.ds.data(), ref.dt.data()};
  for (u64 c = 0; c < 3; ++c) {
    for (u64 k = 0; k < 3; ++k)
      for (u64 i = 0; i < np; ++i) {
        double s = 0.0;
        for (u64 j = 0; j < np; ++j) s += D[k][i * np + j] * u[3 * j + c];
        ref_derivs[k * np + i] = s;
      }
    for (u64 m = 0; m < 3; ++m)
      for (u64 i = 0; i < np; ++i)
        derivatives[(3 * m + c) * np + i] = g.inv_jac[m] * ref_derivs[i] +
                                            g.inv_jac[3 + m] * ref_derivs[np + i] +
                                            g.inv_jac[6 + m] * ref_derivs[2 * np + i];
  }
  for (u64 i = 0; i < np; ++i) {
    auto d = [&](u64 m, u64 c) { return derivatives[(3 * m + c) * np + i]; };
    out[3 * i] = d(1, 2) - d(2, 1);
    out[3 * i + 1] = d(2, 0) - d(0, 2);
    out[3 * i + 2] = d(0, 1) - d(1, 0);
  }
}

// The volume curls of E and H in one sweep over the derivative matrices: the node-major state
// block (Np x 6) is multiplied by dr, ds and dt together, then the chain rule and the curl are
// taken per node. The sums run in the same order as element_curl, so the values are identical.
void element_rhs(const MaxwellOperator& op, u64 e, std::span<const double> y,
                 std::span<double> out_e, ElementScratch& scratch) {
  const ReferenceElement& ref = op.reference;
  const u64 np = ref.np;
  const u64 nfp = ref.nfp;
  const u64 block = 6 * np;
  const u64 base = block * e;
  check_block(base, block, y.size());
  const double* ye = y.data() + base;
  const GeomFactors& g = op.geom[e];
  const double* J = g.inv_jac.data();
  const double* Dr = ref.dr.data();
  const double* Ds = ref.ds.data();
  const double* Dt = ref.dt.data();
  double* curl_h = scratch.curl_h.data();
  double* curl_e = scratch.curl_e.data();

  for (u64 i = 0; i < np; ++i) {
    double rr[6] = {0, 0, 0, 0, 0, 0}, rs[6] = {0, 0, 0, 0, 0, 0}, rt[6] = {0, 0, 0, 0, 0, 0};
    const double* dr_row = Dr + i * np;
    const double* ds_row = Ds + i * np;
    const double* dt_row = Dt + i * np;
    for (u64 j = 0; j < np; ++j) {
      const double* yj = ye + 6 * j;
      const double a = dr_row[j], b = ds_row[j], c = dt_row[j];
      for (int q = 0; q < 6; ++q) {
        rr[q] += a * yj[q];
        rs[q] += b * yj[q];
        rt[q] += c * yj[q];
      }
    }
    // d[m][q] = d u_q / d x_m, q = 0..2 for E, 3..5 for H.
    double d[3][6];
    for (int m = 0; m < 3; ++m)
      for (int q = 0; q < 6; ++q) d[m][q] = J[m] * rr[q] + J[3 + m] * rs[q] + J[6 + m] * rt[q];
    curl_h[3 * i] = d[1][5] - d[2][4];
    curl_h[3 * i + 1] = d[2][3] - d[0][5];
    curl_h[3 * i + 2] = d[0][4] - d[1][3];
    curl_e[3 * i] = -(d[1][2] - d[2][1]);
    curl_e[3 * i + 1] = -(d[2][0] - d[0][2]);
    curl_e[3 * i + 2] = -(d[0][1] - d[1][0]);
  }

  // Face fluxes per face node: E equation  alpha n x (n x dE) - n x dH,
  //                            H equation  n x dE + alpha n x (n x dH).
  double* flux = scratch.flux.data();
  const double alpha_faces = op.flux_alpha;
  for (u64 f = 0; f < 4; ++f) {
    const FaceConnection& F = op.faces[4 * e + f];
    const Vec3& n = F.normal;
    const std::vector<u64>& fn = ref.face_nodes[f];
    const bool port = F.port != NONE_U64;
    const bool wall = !port && F.neighbour == NONE_U64;
    const double alpha = port ? 1.0 : alpha_faces;
    const double* yn = nullptr;
    const std::vector<u64>* nb_nodes = nullptr;
    if (!port && !wall) {
      check_block(block * F.neighbour, block, y.size());
      yn = y.data() + block * F.neighbour;
      nb_nodes = &ref.face_nodes[F.neighbour_face];
    }
    for (u64 j = 0; j < nfp; ++j) {
      const double* yi = ye + 6 * fn[j];
      Vec3 dE, dH;
      if (port) {
        dE = {yi[0], yi[1], yi[2]};
        dH = {yi[3], yi[4], yi[5]};
      } else if (wall) {
        // Conducting wall: exterior E with its tangential part reversed, exterior H with its
        // normal part reversed.
        const double ne = n[0] * yi[0] + n[1] * yi[1] + n[2] * yi[2];
        const double nh = n[0] * yi[3] + n[1] * yi[4] + n[2] * yi[5];
        for (int c = 0; c < 3; ++c) {
          dE[c] = 2.0 * (yi[c] - n[c] * ne);
          dH[c] = 2.0 * n[c] * nh;
        }
      } else {
        const double* yp = yn + 6 * (*nb_nodes)[F.node_map[j]];
        for (int c = 0; c < 3; ++c) {
          dE[c] = yi[c] - yp[c];
          dH[c] = yi[3 + c] - yp[3 + c];
        }
      }
      const Vec3 nxE = cross(n, dE);
      const Vec3 nxH = cross(n, dH);
      const Vec3 nnE = cross(n, nxE);
      const Vec3 nnH = cross(n, nxH);
      double* fl = flux + (f * nfp + j) * 6;
      for (int c = 0; c < 3; ++c) {
        fl[c] = alpha * nnE[c] - nxH[c];
        fl[3 + c] = nxE[c] + alpha * nnH[c];
      }
    }
  }

  // Lift: curl += (0.5 fscale_f) LIFT_f flux_f, faces and face nodes in ascending order.
  const double* lift = ref.lift.data();
  double half_fscale[4];
  for (u64 f = 0; f < 4; ++f) half_fscale[f] = 0.5 * op.faces[4 * e + f].fscale;
  for (u64 k = 0; k < np; ++k) {
    double ch[3] = {curl_h[3 * k], curl_h[3 * k + 1], curl_h[3 * k + 2]};
    double ce[3] = {curl_e[3 * k], curl_e[3 * k + 1], curl_e[3 * k + 2]};
    for (u64 f = 0; f < 4; ++f) {
      const double* lrow = lift + (4 * k + f) * nfp;
      const double* fl = flux + f * nfp * 6;
      for (u64 j = 0; j < nfp; ++j) {
        const double w = half_fscale[f] * lrow[j];
        const double* fj = fl + 6 * j;
        ch[0] += w * fj[0];
        ch[1] += w * fj[1];
        ch[2] += w * fj[2];
        ce[0] += w * fj[3];
        ce[1] += w * fj[4];
        ce[2] += w * fj[5];
      }
    }
    for (int c = 0; c < 3; ++c) {
      curl_h[3 * k + c] = ch[c];
      curl_e[3 * k + c] = ce[c];
    }
  }

  const Vec3& ie = op.inv_eps[e];
  const Vec3& im = op.inv_mu[e];
  const Vec3& se = op.sigma_over_eps[e];
  const Vec3& sm = op.sigma_m_over_mu[e];
  for (u64 i = 0; i < np; ++i)
    for (int c = 0; c < 3; ++c) {
      out_e[6 * i + c] = ie[c] * curl_h[3 * i + c] - se[c] * ye[6 * i + c];
      out_e[6 * i + 3 + c] = im[c] * curl_e[3 * i + c] - sm[c] * ye[6 * i + 3 + c];
    }

  const u64 d = op.debye_index[e];
  if (d != NONE_U64) {
    const DebyeElement& de = op.debye[d];
    const u64 pbase = n_field(op) + 3 * np * d;
    check_block(pbase, 3 * np, y.size());
    for (u64 i = 0; i < np; ++i)
      for (int c = 0; c < 3; ++c) {
        const double P = y[pbase + 3 * i + c];
        out_e[6 * i + c] -= de.inv_eps_inf * (de.a * P + de.g * ye[6 * i + c]);
      }
  }
}

void apply_operator_parallel(const MaxwellOperator& op, std::span<const double> y,
                             std::span<double> out) {
  const u64 np = op.reference.np;
  const u64 block = 6 * np;
  const u64 nf = n_field(op);
  const u64 K = op.n_elem;
  if (out.size() < nf) {
    panic("apply: output holds " + std::to_string(out.size()) + " values, fewer than the " +
          std::to_string(nf) + " field values");
  }
  // Field pass: jobs of contiguous elements, one pooled scratch per job.
  const u64 len = job_length(K);
  const u64 n_jobs = (K + len - 1) / len;
  ScratchPool& pool = *op.scratch_pool;
  parallel_for(n_jobs, [&](std::size_t job) {
    PooledScratch scratch(pool, np, op.reference.nfp);
    const u64 first = job * len;
    const u64 last = std::min(K, first + len);
    for (u64 e = first; e < last; ++e)
      element_rhs(op, e, y, out.subspan(block * e, block), scratch.get());
  });

  // Polarisation pass, after the field pass: dP/dt = a P + g E, one chunk per Debye element.
  if (op.debye.empty()) return;
  const u64 chunk = 3 * np;
  const u64 rest = out.size() - nf;
  const u64 n_chunks = (rest + chunk - 1) / chunk;
  parallel_for(n_chunks, [&](std::size_t d) {
    check_index(d, op.debye.size());
    const DebyeElement& de = op.debye[d];
    const u64 pbase = nf + chunk * d;
    const u64 ebase = block * de.elem;
    for (u64 i = 0; i < np; ++i)
      for (u64 c = 0; c < 3; ++c) {
        const u64 pi = pbase + 3 * i + c;
        const u64 ei = ebase + 6 * i + c;
        check_index(pi, y.size());
        check_index(ei, y.size());
        const double v = de.a * y[pi] + de.g * y[ei];
        check_index(pi, out.size());
        out[pi] = v;
      }
  });
}

std::vector<double> apply_operator(const MaxwellOperator& op, std::span<const double> y) {
  std::vector<double> out(n_dof(op), 0.0);
  apply_operator_parallel(op, y, out);
  return out;
}

double element_energies(const MaxwellOperator& op, std::span<const double> y) {
  const u64 np = op.reference.np;
  const u64 K = op.n_elem;
  const u64 block = 6 * np;
  // Fixed-size element blocks summed in block order: the total does not depend on the number
  // of worker threads.
  constexpr u64 len = 64;
  const u64 n_jobs = (K + len - 1) / len;
  std::vector<double> sums(n_jobs, 0.0);
  const double* M = op.reference.mass.data();
  parallel_for(n_jobs, [&](std::size_t job) {
    const u64 first = job * len;
    const u64 last = std::min(K, first + len);
    double total = 0.0;
    for (u64 e = first; e < last; ++e) {
      check_block(block * e, block, y.size());
      const double* ye = y.data() + block * e;
      const double adet = std::fabs(op.geom[e].det_j);
      double coef[6];
      for (int c = 0; c < 3; ++c) {
        coef[c] = 1.0 / op.inv_eps[e][c];
        coef[3 + c] = 1.0 / op.inv_mu[e][c];
      }
      double s = 0.0;
      for (u64 i = 0; i < np; ++i)
        for (u64 j = 0; j < np; ++j) {
          const double w = adet * M[i * np + j];
          if (w == 0.0) continue;
          for (int c = 0; c < 6; ++c) s += ((w * coef[c]) * ye[6 * i + c]) * ye[6 * j + c];
        }
      total += s;
    }
    sums[job] = total;
  });
  double W = 0.0;
  for (double s : sums) W += s;
  return W;
}

}  // namespace vantrel
