#include "fd/sparam.hpp"

#include <chrono>
#include <cmath>
#include <span>

#include "fd/interp.hpp"
#include "fd/tri_geometry.hpp"

namespace vantrel {

namespace {

constexpr double SPARAM_TWO_PI = 6.283185307179586;
constexpr double SPARAM_C0 = 299792458.0;

Vec3 profile_or_zero(const Port& port, const Vec3& p, double k0) {
  const std::optional<Vec3> e = port.mode_profile(p[0], p[1], p[2], k0);
  return e ? *e : Vec3{0.0, 0.0, 0.0};
}

// Voltage path: mean over the lines of (V - d_oe v_peak) / v_peak.
cplx voltage_sparam(const std::vector<IntegrationLine>& lines, double v_peak, bool diagonal,
                    const FieldSampler& sample) {
  cplx total(0.0, 0.0);
  for (const IntegrationLine& line : lines) {
    cplx value(0.0, 0.0);
    if (line.size() >= 2) {
      const cplx v = integrate_line_voltage(sample, line);
      value = cdiv(diagonal ? v - v_peak : v, cplx(v_peak, 0.0));
    }
    total += value;
  }
  return cdiv(total, cplx(static_cast<double>(lines.size()), 0.0));
}

}  // namespace

cplx port_overlap_integral(const std::vector<Vec3>& nodes,
                           const std::vector<std::array<u64, 3>>& triangles,
                           const std::function<cplx(const Vec3&)>& integrand) {
  const auto quad = triangle_quadrature_6pt();
  cplx total(0.0, 0.0);
  for (const auto& tri : triangles) {
    for (u64 i : tri) check_index(i, nodes.size());
    const Vec3& p0 = nodes[tri[0]];
    const Vec3& p1 = nodes[tri[1]];
    const Vec3& p2 = nodes[tri[2]];
    const Vec3 c = cross3(sub3(p1, p0), sub3(p2, p0));
    const double area = std::sqrt(dot3(c, c)) * 0.5;
    cplx s(0.0, 0.0);
    for (const auto& q : quad) {
      const auto& l = q.bary;
      const Vec3 x{l[0] * p0[0] + l[1] * p1[0] + l[2] * p2[0], l[0] * p0[1] + l[1] * p1[1] + l[2] * p2[1],
                   l[0] * p0[2] + l[1] * p1[2] + l[2] * p2[2]};
      s += q.weight * integrand(x);
    }
    total += area * s;
  }
  return total;
}

SweepResult run_sweep(const Simulation& sim, SweepTimings* timings) {
  SweepResult res;
  res.mesh_fingerprint = sim.mesh_fingerprint;
  const std::vector<double> frequencies = frequency_list(sim.config.frequency);
  check_frequencies(frequencies);
  const std::vector<const Port*> ports = sim.port_list();
  // a port without a propagating mode at some frequency is refused before any work
  check_ports_at_frequencies(sim, frequencies);
  for (const Port* p : ports)
    if (p->is_driven()) ++res.n_driven;

  const auto start = std::chrono::steady_clock::now();
  std::vector<FrequencySolution> sweep = solve_sweep(
      sim.mesh, sim.basis, ports, sim.port_faces, sim.pec_faces, frequencies,
      sim.materials.empty() ? nullptr : &sim.materials,
      sim.pml_regions.empty() ? nullptr : &sim.pml_regions, timings);
  {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    const long long whole = ns < 0 ? 0 : ns / 1000000000LL;
    const long long sub = ns < 0 ? 0 : ns - whole * 1000000000LL;
    res.solve_time_s = static_cast<double>(sub) / 1e9 + static_cast<double>(whole);
  }

  const auto extract_start = std::chrono::steady_clock::now();
  const std::vector<u64> driven = sim.driven_order();
  const TetGrid grid = build_tet_grid(sim.mesh);
  const u64 nd = res.n_driven;

  // triangles of every observation port, once
  std::vector<std::vector<std::array<u64, 3>>> triangles(nd);
  for (u64 o = 0; o < nd; ++o) {
    check_index(driven[o], sim.port_faces.size());
    for (u64 f : sim.port_faces[driven[o]]) {
      check_index(f, sim.mesh.faces.size());
      triangles[o].push_back(sim.mesh.faces[f]);
    }
  }

  res.sparams.reserve(sweep.size());
  for (std::size_t i = 0; i < sweep.size(); ++i) {
    check_index(i, frequencies.size());
    const double f = frequencies[i];
    const double k0 = SPARAM_TWO_PI * f / SPARAM_C0;
    std::vector<std::vector<cplx>> s(nd, std::vector<cplx>(nd, cplx(0.0, 0.0)));
    // the norm integral of each modal observation port does not depend on the excitation
    std::vector<std::optional<cplx>> norm(nd);
    const auto& sols = sweep[i].solutions;
    for (u64 e = 0; e < sols.size(); ++e) {
      const FieldSampler sample{grid, sim.mesh, sim.basis, sols[e]};
      for (u64 o = 0; o < nd; ++o) {
        check_index(driven[o], ports.size());
        const Port& port = *ports[driven[o]];
        const auto lines = sim.lumped_lines.find(driven[o]);
        const std::optional<LumpedPortInfo> info = port.lumped_info();
        cplx value;
        if (port.is_lumped() && lines != sim.lumped_lines.end() && info) {
          value = voltage_sparam(lines->second, info->v_peak, o == e, sample);
        } else {
          const double w = o == e ? 1.0 : 0.0;
          const cplx num = port_overlap_integral(sim.mesh.nodes, triangles[o], [&](const Vec3& p) {
            const Vec3 m = profile_or_zero(port, p, k0);
            const CVec3 field = sample(p);
            double re = 0.0, im = 0.0;
            for (int c = 0; c < 3; ++c) {
              re += m[c] * (field[c].real() - w * m[c]);
              im += m[c] * field[c].imag();
            }
            return cplx(re, im);
          });
          if (!norm[o])
            norm[o] = port_overlap_integral(sim.mesh.nodes, triangles[o], [&](const Vec3& p) {
              const Vec3 m = profile_or_zero(port, p, k0);
              return cplx(m[0] * m[0] + m[1] * m[1] + m[2] * m[2], 0.0);
            });
          const cplx d = *norm[o];
          value = std::hypot(d.real(), d.imag()) < 1e-30 ? cplx(0.0, 0.0) : cdiv(num, d);
        }
        check_index(o, s.size());
        check_index(e, s[o].size());
        s[o][e] = value;
      }
    }
    res.sparams.push_back(std::move(s));
  }

  res.solutions.reserve(sweep.size());
  for (FrequencySolution& fs : sweep) res.solutions.push_back(std::move(fs.solutions));
  res.frequencies = frequencies;
  if (timings)
    timings->extract_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - extract_start).count();
  return res;
}

}  // namespace vantrel
