#include "fd/farfield.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "core/materials.hpp"
#include "fd/fields.hpp"
#include "fd/interp.hpp"
#include "fd/ports.hpp"
#include "fd/tri_geometry.hpp"

namespace vantrel {

namespace {

constexpr double FOUR_PI = 12.566370614359172;
constexpr double TWO_ETA0 = 753.46062733714;
constexpr double INV_SQRT2 = 0.7071067811865475;
constexpr double TINY = 1e-30;     // threshold of every logarithm and ratio below
constexpr double DB_FLOOR = -100;  // dB / dBi where the value is zero or not a number
constexpr double AR_LINEAR = 99;   // axial ratio of a linear (or absent) polarisation, dB

// Faces per task of the sampling loop: each face writes its own six slots.
constexpr std::size_t FACE_GRAIN = 64;

double db10(double v) { return v > TINY ? 10.0 * std::log10(v) : DB_FLOOR; }

// |a|² + |b|² with each modulus as the hypotenuse of its parts.
double power2(cplx a, cplx b) {
  const double ma = std::hypot(a.real(), a.imag()), mb = std::hypot(b.real(), b.imag());
  return ma * ma + mb * mb;
}

// Axial ratio (dB) of the polarisation ellipse of (E_θ, E_φ).
double axial_ratio_db(cplx et, cplx ep) {
  const double a = std::hypot(et.real(), et.imag()), b = std::hypot(ep.real(), ep.imag());
  const double s = a * a + b * b;
  if (!(s > TINY)) return AR_LINEAR;
  const double delta = std::atan2(ep.imag(), ep.real()) - std::atan2(et.imag(), et.real());
  const double cd = std::cos(delta);
  const double d = a * a - b * b;
  const double r = std::sqrt(d * d + 4.0 * a * a * b * b * cd * cd);
  const double minor = std::fmax(s - r, 0.0) * 0.5, major = (s + r) * 0.5;
  return minor > TINY ? 10.0 * std::log10(major / minor) : AR_LINEAR;
}

// Radiation efficiency 1 − Σ_o |S_o,port|² of the excitation column `port`, clamped to [0, 1];
// 1 when the S-parameters hold no such column.
double radiation_efficiency(const SweepResult& result, u64 freq_idx, u64 port) {
  if (freq_idx >= result.sparams.size()) return 1.0;
  const auto& s = result.sparams[freq_idx];
  if (s.empty() || port >= s.front().size()) return 1.0;
  double sum = 0.0;
  for (const auto& row : s) {
    if (port < row.size()) sum += std::norm(row[port]);
  }
  const double eta = 1.0 - sum;
  if (eta < 0.0) return 0.0;
  if (eta > 1.0) return 1.0;
  return eta;  // NaN stays NaN
}

// One warning per material entry that is not vacuum and has tetrahedra outside the region the
// surface encloses, absorbing layers aside: the pattern holds only the enclosed currents (and
// those of the conductors outside), so such a medium's scattering is missing from it.
void warn_of_media_outside(const Simulation& sim, const FarFieldSurface& surface, i32 tag) {
  if (surface.outside.empty()) return;
  std::vector<char> outside = surface.outside;
  for (const PmlRegion& layer : sim.pml_regions) {
    for (u64 t : layer.tets) outside[t] = 0;
  }
  std::vector<i32> reported;  // entries of one volume tag list the same tetrahedra
  for (const MaterialRegion& region : sim.materials) {
    if (is_vacuum(region) || std::ranges::count(reported, region.volume_tag) > 0) continue;
    u64 count = 0;
    for (u64 t : region.tets) count += outside[t] ? 1 : 0;
    if (count == 0) continue;
    reported.push_back(region.volume_tag);
    eprint("  WARNING: far-field surface (tag " + std::to_string(tag) + "): " +
           std::to_string(count) + " tetrahedra of volume tag " + std::to_string(region.volume_tag) +
           " lie outside the region it encloses; their material is not in the pattern\n");
  }
}

}  // namespace

FarFieldSources farfield_sources(std::span<const FarFieldSample> samples) {
  FarFieldSources s;
  const std::size_t n = samples.size();
  for (auto* v : {&s.x, &s.y, &s.z, &s.w}) v->resize(n);
  for (int c = 0; c < 3; ++c) {
    for (auto* v : {&s.j_re[c], &s.j_im[c], &s.m_re[c], &s.m_im[c]}) v->resize(n);
  }
  for (std::size_t k = 0; k < n; ++k) {
    const FarFieldSample& p = samples[k];
    s.x[k] = p.position[0];
    s.y[k] = p.position[1];
    s.z[k] = p.position[2];
    s.w[k] = p.weight;
    s.r_max = std::fmax(s.r_max, std::sqrt(dot3(p.position, p.position)));
    const Vec3& nn = p.normal;
    for (int c = 0; c < 3; ++c) {
      const int c1 = (c + 1) % 3, c2 = (c + 2) % 3;
      // J = n̂ × H; M = −(n̂ × E), zero on a conductor
      const cplx j = nn[c1] * p.h[c2] - nn[c2] * p.h[c1];
      const cplx m = p.is_pec ? cplx{} : -(nn[c1] * p.e[c2] - nn[c2] * p.e[c1]);
      s.j_re[c][k] = j.real();
      s.j_im[c][k] = j.imag();
      s.m_re[c][k] = m.real();
      s.m_im[c][k] = m.imag();
    }
  }
  return s;
}

namespace {

// sin and cos of |x| ≤ SINCOS_FAST_LIMIT without branches, so that the direction loop
// vectorises: x = n·π/2 + r (π/2 in three parts, exact products for |n| < 2^20), fdlibm's
// kernels on |r| ≤ π/4, then the quadrant n mod 4 rotates the pair.
constexpr double SINCOS_FAST_LIMIT = 1e6;

inline void sincos_fast(double x, double& s_out, double& c_out) {
  constexpr double TWO_OVER_PI = 6.36619772367581382433e-01;
  constexpr double PIO2_1 = 1.57079632673412561417e+00;
  constexpr double PIO2_2 = 6.07710050630396597660e-11;
  constexpr double PIO2_3 = 2.02226624871116645580e-21;
  constexpr double ROUND = 6755399441055744.0;  // 1.5·2^52: adding it rounds to an integer
  const double n = (x * TWO_OVER_PI + ROUND) - ROUND;
  const double r = ((x - n * PIO2_1) - n * PIO2_2) - n * PIO2_3;
  const double z = r * r;
  const double sp = -1.66666666666666324348e-01 +
                    z * (8.33333333332248946124e-03 +
                         z * (-1.98412698298579493134e-04 +
                              z * (2.75573137070700676789e-06 +
                                   z * (-2.50507602534068634195e-08 + z * 1.58969099521155010221e-10))));
  const double cp = 4.16666666666666019037e-02 +
                    z * (-1.38888888888741095749e-03 +
                         z * (2.48015872894767294178e-05 +
                              z * (-2.75573143513906633035e-07 +
                                   z * (2.08757232129817482790e-09 + z * -1.13596475577881948265e-11))));
  const double sr = r + r * z * sp;
  const double cr = (1.0 - 0.5 * z) + z * z * cp;
  // q ≡ n (mod 4) in −2..2; (a, b) = (cos qπ/2, sin qπ/2) by arithmetic, so no branch
  const double q = n - 4.0 * ((n * 0.25 + ROUND) - ROUND);
  const double a = 1.0 - std::fabs(q);
  const double b = q * (2.0 - std::fabs(q));
  s_out = a * sr + b * cr;
  c_out = a * cr - b * sr;
}

// Samples per block of the direction loop (the phases of a block live on the stack).
constexpr std::size_t BLOCK = 256;

}  // namespace

void sincos_for_farfield(double x, double& s, double& c) {
  if (std::fabs(x) <= SINCOS_FAST_LIMIT) {
    sincos_fast(x, s, c);
  } else {
    s = std::sin(x);
    c = std::cos(x);
  }
}

// Built for AVX2/FMA as well as the baseline on x86-64 Linux; the loader picks one clone per
// process, so every direction of a run takes the same code path whatever the thread count.
#if defined(__x86_64__) && defined(__linux__) && defined(__GNUC__)
#define VANTREL_FARFIELD_CLONES __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define VANTREL_FARFIELD_CLONES
#endif
VANTREL_FARFIELD_CLONES
FarFieldDirection farfield_direction_kernel(u64 phi_idx, u64 theta_idx,
                                            std::span<const double> theta,
                                            std::span<const double> phi,
                                            const FarFieldSources& src, double k0) {
  check_index(theta_idx, theta.size());
  check_index(phi_idx, phi.size());
  const double st = std::sin(theta[theta_idx]), ct = std::cos(theta[theta_idx]);
  const double sp = std::sin(phi[phi_idx]), cp = std::cos(phi[phi_idx]);
  const double rx = st * cp, ry = st * sp, rz = ct;      // r̂
  const double tx = ct * cp, ty = ct * sp, tz = -st;     // θ̂
  const double px = -sp, py = cp;                        // φ̂ (no z part)

  const std::size_t n = src.size();
  const double* __restrict X = src.x.data();
  const double* __restrict Y = src.y.data();
  const double* __restrict Z = src.z.data();
  const double* __restrict W = src.w.data();
  const double *__restrict jr0 = src.j_re[0].data(), *__restrict jr1 = src.j_re[1].data(),
               *__restrict jr2 = src.j_re[2].data();
  const double *__restrict ji0 = src.j_im[0].data(), *__restrict ji1 = src.j_im[1].data(),
               *__restrict ji2 = src.j_im[2].data();
  const double *__restrict mr0 = src.m_re[0].data(), *__restrict mr1 = src.m_re[1].data(),
               *__restrict mr2 = src.m_re[2].data();
  const double *__restrict mi0 = src.m_im[0].data(), *__restrict mi1 = src.m_im[1].data(),
               *__restrict mi2 = src.m_im[2].data();

  // N_θ, N_φ, L_θ, L_φ as (re, im), summed in sample order
  double nt_r = 0, nt_i = 0, np_r = 0, np_i = 0, lt_r = 0, lt_i = 0, lp_r = 0, lp_i = 0;
  const bool fast = k0 * src.r_max <= SINCOS_FAST_LIMIT;
  // per block: first the phases w·e^{jψ} (a loop the compiler vectorises), then the sums
  double qr[BLOCK], qi[BLOCK];
  for (std::size_t start = 0; start < n; start += BLOCK) {
    const std::size_t m = std::min(BLOCK, n - start);
    const double* __restrict Xb = X + start;
    const double* __restrict Yb = Y + start;
    const double* __restrict Zb = Z + start;
    const double* __restrict Wb = W + start;
    if (fast) {
      for (std::size_t l = 0; l < m; ++l) {
        double sn, cs;
        sincos_fast(k0 * (rx * Xb[l] + ry * Yb[l] + rz * Zb[l]), sn, cs);
        qr[l] = Wb[l] * cs;
        qi[l] = Wb[l] * sn;
      }
    } else {
      for (std::size_t l = 0; l < m; ++l) {
        double sn, cs;
        sincos_for_farfield(k0 * (rx * Xb[l] + ry * Yb[l] + rz * Zb[l]), sn, cs);
        qr[l] = Wb[l] * cs;
        qi[l] = Wb[l] * sn;
      }
    }
    for (std::size_t l = 0; l < m; ++l) {
      const std::size_t k = start + l;
      const double jt_r = tx * jr0[k] + ty * jr1[k] + tz * jr2[k];
      const double jt_i = tx * ji0[k] + ty * ji1[k] + tz * ji2[k];
      const double jp_r = px * jr0[k] + py * jr1[k];
      const double jp_i = px * ji0[k] + py * ji1[k];
      const double mt_r = tx * mr0[k] + ty * mr1[k] + tz * mr2[k];
      const double mt_i = tx * mi0[k] + ty * mi1[k] + tz * mi2[k];
      const double mp_r = px * mr0[k] + py * mr1[k];
      const double mp_i = px * mi0[k] + py * mi1[k];
      nt_r += qr[l] * jt_r - qi[l] * jt_i;
      nt_i += qr[l] * jt_i + qi[l] * jt_r;
      np_r += qr[l] * jp_r - qi[l] * jp_i;
      np_i += qr[l] * jp_i + qi[l] * jp_r;
      lt_r += qr[l] * mt_r - qi[l] * mt_i;
      lt_i += qr[l] * mt_i + qi[l] * mt_r;
      lp_r += qr[l] * mp_r - qi[l] * mp_i;
      lp_i += qr[l] * mp_i + qi[l] * mp_r;
    }
  }
  // −j·k0/(4π)·(a + jb) = k0/(4π)·(b − ja)
  const double f = k0 / FOUR_PI;
  const double at_r = lp_r + ETA0 * nt_r, at_i = lp_i + ETA0 * nt_i;  // L_φ + η0·N_θ
  const double ap_r = ETA0 * np_r - lt_r, ap_i = ETA0 * np_i - lt_i;  // η0·N_φ − L_θ
  FarFieldDirection d;
  d.e_theta = {f * at_i, -f * at_r};
  d.e_phi = {f * ap_i, -f * ap_r};
  d.phi_index = phi_idx;
  d.theta_index = theta_idx;
  d.intensity = power2(d.e_theta, d.e_phi) / TWO_ETA0;
  return d;
}

std::vector<FarFieldDirection> farfield_directions(std::span<const double> theta,
                                                   std::span<const double> phi,
                                                   const FarFieldSources& sources, double k0) {
  const std::size_t n_theta = theta.size();
  std::vector<FarFieldDirection> dirs(n_theta * phi.size());
  // every direction writes its own slot; the sum over samples is sequential inside a direction
  parallel_for(dirs.size(), [&](std::size_t d) {
    dirs[d] = farfield_direction_kernel(d / n_theta, d % n_theta, theta, phi, sources, k0);
  });
  return dirs;
}

i32 farfield_surface_tag(const Config& config) {
  if (config.output.nfft_tag) return *config.output.nfft_tag;
  for (const PortConfig& p : config.ports) {
    if (const auto* abc = p.as<PortConfig::Abc>()) return abc->tag;
  }
  return 2;
}

std::vector<FarFieldSample> farfield_samples(const Simulation& sim, std::span<const cplx> solution,
                                             double omega, const FarFieldSurface& surface) {
  const Mesh& mesh = sim.mesh;
  const auto rule = triangle_quadrature_6pt();
  const double wmu = omega * MU0;
  std::vector<FarFieldSample> samples(6 * surface.faces.size());
  parallel_for(
      surface.faces.size(),
      [&](std::size_t e) {
        const FarFieldFace& ff = surface.faces[e];
        check_index(ff.face, mesh.faces.size());
        check_index(ff.tet, mesh.tets.size());
        const auto& fn = mesh.faces[ff.face];
        for (u64 n : fn) check_index(n, mesh.nodes.size());
        const Vec3 &a = mesh.nodes[fn[0]], &b = mesh.nodes[fn[1]], &c = mesh.nodes[fn[2]];
        const Vec3 m = cross3(sub3(b, a), sub3(c, a));
        const double area = 0.5 * std::sqrt(dot3(m, m));
        for (int q = 0; q < 6; ++q) {
          const auto& l = rule[q].bary;
          FarFieldSample& s = samples[6 * e + q];
          s.position = {l[0] * a[0] + l[1] * b[0] + l[2] * c[0],
                        l[0] * a[1] + l[1] * b[1] + l[2] * c[1],
                        l[0] * a[2] + l[1] * b[2] + l[2] * c[2]};
          s.e = eval_field_at_point(sim.basis, mesh, solution, ff.tet, s.position);
          const CVec3 curl = eval_curl_at_point(sim.basis, mesh, solution, ff.tet, s.position);
          // ∇×E = −jωμ0·H under e^{+jωt}: H = j·(∇×E)/(ωμ0)
          for (int k = 0; k < 3; ++k) s.h[k] = {-curl[k].imag() / wmu, curl[k].real() / wmu};
          s.normal = ff.normal;
          s.weight = rule[q].weight * area;
          s.is_pec = ff.is_pec;
        }
      },
      FACE_GRAIN);
  return samples;
}

RadiationPattern pattern_from_directions(std::vector<double> theta, std::vector<double> phi,
                                         std::span<const FarFieldDirection> dirs, double eta) {
  RadiationPattern pat;
  pat.theta_rad = std::move(theta);
  pat.phi_rad = std::move(phi);
  const std::size_t n_theta = pat.theta_rad.size(), n_phi = pat.phi_rad.size();
  const std::size_t n_dir = n_theta * n_phi;
  pat.e_theta.resize(n_dir);
  pat.e_phi.resize(n_dir);
  std::vector<double> u(n_dir);
  for (const FarFieldDirection& d : dirs) {
    check_index(d.theta_index, n_theta);
    check_index(d.phi_index, n_phi);
    const std::size_t at = d.phi_index * n_theta + d.theta_index;
    pat.e_theta[at] = d.e_theta;
    pat.e_phi[at] = d.e_phi;
    u[at] = d.intensity;
  }

  // P = Σ U·sin θ·Δθ·Δφ over the grid (every point the same weight)
  const double dtheta = PI / (static_cast<double>(n_theta) - 1.0);
  const double dphi = TWO_PI / static_cast<double>(n_phi);
  double power = 0.0;
  for (std::size_t d = 0; d < n_dir; ++d)
    power += dphi * (dtheta * (std::sin(pat.theta_rad[d % n_theta]) * u[d]));
  pat.radiated_power = power;

  pat.directivity_dbi.resize(n_dir);
  pat.peak_directivity_dbi = 0.0;
  for (std::size_t d = 0; d < n_dir; ++d) {
    const double v = FOUR_PI * u[d] / power;
    const double dbi = (power > 0.0 && v > TINY) ? 10.0 * std::log10(v) : DB_FLOOR;
    pat.directivity_dbi[d] = dbi;
    pat.peak_directivity_dbi = std::fmax(pat.peak_directivity_dbi, dbi);
  }

  const double eta_db = db10(eta);
  pat.gain_dbi.resize(n_dir);
  pat.peak_gain_dbi = -std::numeric_limits<double>::infinity();
  for (std::size_t d = 0; d < n_dir; ++d) {
    pat.gain_dbi[d] = pat.directivity_dbi[d] + eta_db;
    pat.peak_gain_dbi = std::fmax(pat.peak_gain_dbi, pat.gain_dbi[d]);
  }

  pat.axial_ratio_db.resize(n_dir);
  pat.lcp_dbi.resize(n_dir);
  pat.rcp_dbi.resize(n_dir);
  const double p_floor = std::fmax(power, TINY);
  const cplx j(0.0, 1.0);
  for (std::size_t d = 0; d < n_dir; ++d) {
    const cplx et = pat.e_theta[d], ep = pat.e_phi[d];
    pat.axial_ratio_db[d] = axial_ratio_db(et, ep);
    // E_L = (E_θ − jE_φ)/√2, E_R = (E_θ + jE_φ)/√2
    const cplx el = (et - cmul(j, ep)) * INV_SQRT2, er = (et + cmul(j, ep)) * INV_SQRT2;
    pat.lcp_dbi[d] = db10(FOUR_PI * (power2(el, 0.0) / TWO_ETA0) / p_floor);
    pat.rcp_dbi[d] = db10(FOUR_PI * (power2(er, 0.0) / TWO_ETA0) / p_floor);
  }

  return pat;
}

std::optional<RadiationPattern> compute_farfield(const Simulation& sim, const SweepResult& result,
                                                 u64 freq_idx, u64 port_idx, u64 n_theta,
                                                 u64 n_phi) {
  const std::vector<cplx>* x = sweep_solution(sim, result, freq_idx, port_idx);
  if (!x || freq_idx >= result.frequencies.size()) return std::nullopt;
  const double freq = result.frequencies[freq_idx];
  const double omega = TWO_PI * freq;
  const double k0 = freq * TWO_PI / C0;

  if (n_theta != 0 && n_phi > std::numeric_limits<u64>::max() / n_theta) {
    throw Error("far-field grid of " + std::to_string(n_theta) + " x " + std::to_string(n_phi) +
                " directions is too large");
  }
  const i32 tag = farfield_surface_tag(sim.config);
  const auto group = sim.mesh.face_groups.find(tag);
  if (group == sim.mesh.face_groups.end() || group->second.empty()) return std::nullopt;
  // each face once (a triangle listed twice under the tag is one face)
  const FarFieldSurface surface = farfield_surface(sim.mesh, group->second, sim.pec_faces, tag);

  const std::vector<FarFieldSample> samples = farfield_samples(sim, *x, omega, surface);
  eprint("  Far-field: " + std::to_string(samples.size()) + " surface integration points (" +
         std::to_string(surface.n_surface) + " ABC tris + " + std::to_string(surface.n_conductor) +
         " PEC tris)\n");
  warn_of_media_outside(sim, surface, tag);
  const FarFieldSources sources = farfield_sources(samples);

  RadiationPattern pat;
  pat.theta_rad.resize(n_theta);
  pat.phi_rad.resize(n_phi);
  for (u64 i = 0; i < n_theta; ++i)
    pat.theta_rad[i] = static_cast<double>(i) * PI / static_cast<double>(n_theta - 1);
  for (u64 j = 0; j < n_phi; ++j) pat.phi_rad[j] = static_cast<double>(j) * TWO_PI / static_cast<double>(n_phi);

  const std::vector<FarFieldDirection> dirs =
      farfield_directions(pat.theta_rad, pat.phi_rad, sources, k0);

  const double eta = radiation_efficiency(result, freq_idx, port_idx);
  pat = pattern_from_directions(std::move(pat.theta_rad), std::move(pat.phi_rad), dirs, eta);
  eprint("  Peak directivity: " + fmt_fixed(pat.peak_directivity_dbi, 2) +
         " dBi, peak gain: " + fmt_fixed(pat.peak_gain_dbi, 2) +
         " dBi, radiation efficiency: " + fmt_fixed(100.0 * eta, 1) + "%\n");
  return pat;
}

}  // namespace vantrel
