// Probes of the nodal fields and the far field: on structured boxes for the benchmark, and of a
// caller's coefficient vector on a caller's mesh for the tests. The solution is given, so no
// sweep (and no sparse solver) is involved.
#include <chrono>
#include <complex>
#include <random>
#include <string>

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "core/mesh_io.hpp"
#include "fd/config.hpp"
#include "fd/farfield.hpp"
#include "fd/fields.hpp"
#include "fd/ports.hpp"
#include "fd/simulation.hpp"
#include "python/convert.hpp"
#include "python_testing/testing_parts.hpp"
#include "td/mesh_gen.hpp"

namespace nb = nanobind;

namespace vantrel::testing {

namespace {

// A unit box of n³ cells whose boundary faces are the absorbing surface (tag 2).
Simulation box_simulation(u64 n) {
  Mesh mesh = box_mesh(n, n, n, 1.0, 1.0, 1.0);
  std::vector<u64>& outer = mesh.face_groups[2];
  for (u64 f = 0; f < mesh.faces.size(); ++f) {
    if (mesh.face_tets[f][1] == NO_TET) outer.push_back(f);
  }
  return build_simulation(std::move(mesh),
                          parse_config("[mesh]\nfile = \"box\"\n[frequency]\nvalues = [1e9]\n"
                                       "[[ports]]\ntype = \"abc\"\ntag = 2\n[pec]\ntags = []\n"));
}

SweepResult random_result(const Simulation& sim) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<cplx> x(sim.basis.n_dofs);
  for (cplx& v : x) v = {u(rng), u(rng)};
  SweepResult r;
  r.frequencies = {1e9};
  r.solutions = {{std::move(x)}};
  r.n_driven = 1;
  return r;
}

using CVector = nb::ndarray<const std::complex<double>, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

template <class F>
double seconds(F&& f) {
  const auto t0 = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

void bind_farfield_probes(nb::module_& m) {
  // evaluate_solution(mesh_bytes, config_toml, solution, freq_hz, n_theta, n_phi) -> dict: the far
  // field (e_theta, e_phi) and E and H at the nodes of `solution` (n_dofs complex coefficients),
  // taken as a sweep's only solution at freq_hz.
  m.def("evaluate_solution", [](nb::bytes mesh_bytes, std::string toml, const CVector& solution,
                                double freq_hz, u64 n_theta, u64 n_phi) {
    const std::span<const std::uint8_t> bytes = py::arg_bytes(mesh_bytes, "mesh_bytes");
    const Simulation sim = build_simulation(load_msh_bytes(bytes), parse_config(toml));
    SweepResult r;
    r.frequencies = {freq_hz};
    r.solutions = {{std::vector<cplx>(solution.data(), solution.data() + solution.shape(0))}};
    r.n_driven = 1;
    r.mesh_fingerprint = sim.mesh_fingerprint;
    std::optional<RadiationPattern> p = compute_farfield(sim, r, 0, 0, n_theta, n_phi);
    if (!p) throw Error("evaluate_solution: no integration surface");
    nb::dict d;
    d["e_theta"] = py::complex_grid_result(std::move(p->e_theta), n_phi, n_theta);
    d["e_phi"] = py::complex_grid_result(std::move(p->e_phi), n_phi, n_theta);
    d["e_nodes"] = py::nodal_result(nodal_field_samples(sim, r.solutions[0][0]));
    d["h_nodes"] = py::nodal_result(h_field_at_nodes(sim, r, 0, 0));
    return d;
  });
  // farfield_timings(n_cells, grids) -> dict: surface triangles and samples, sampling time and,
  // for each (n_theta, n_phi) of `grids`, the time of the direction loop (seconds).
  m.def("farfield_timings", [](u64 n, std::vector<std::pair<u64, u64>> grids) {
    const Simulation sim = box_simulation(n);
    const SweepResult r = random_result(sim);
    const std::vector<u64>& surface = sim.mesh.face_groups.at(2);
    std::vector<FarFieldSample> samples;
    const double omega = TWO_PI * 1e9;
    // the sampling as compute_farfield does it: the radiating faces, then the fields on them
    const double sample_s = seconds([&] {
      samples = farfield_samples(sim, r.solutions[0][0], omega,
                                 farfield_surface(sim.mesh, surface, {}, 2));
    });
    const FarFieldSources sources = farfield_sources(samples);
    nb::dict d;
    d["n_tris"] = static_cast<u64>(surface.size());
    d["n_samples"] = static_cast<u64>(samples.size());
    d["sample_s"] = sample_s;
    nb::list loops;
    for (const auto& [nt, np] : grids) {
      std::vector<double> th(nt), ph(np);
      for (u64 i = 0; i < nt; ++i) th[i] = double(i) * PI / double(nt - 1);
      for (u64 j = 0; j < np; ++j) ph[j] = double(j) * TWO_PI / double(np);
      double s = 0.0;
      {
        nb::gil_scoped_release release;
        s = seconds([&] { farfield_directions(th, ph, sources, omega / C0); });
      }
      loops.append(s);
    }
    d["loop_s"] = loops;
    return d;
  });
  // nodal_timings(n_cells) -> dict: nodes, tetrahedra and the seconds of E and H at every node.
  m.def("nodal_timings", [](u64 n) {
    const Simulation sim = box_simulation(n);
    const SweepResult r = random_result(sim);
    nb::dict d;
    d["n_nodes"] = static_cast<u64>(sim.mesh.nodes.size());
    d["n_tets"] = static_cast<u64>(sim.mesh.tets.size());
    double e_s = 0.0, h_s = 0.0;
    {
      nb::gil_scoped_release release;
      e_s = seconds([&] { nodal_field_samples(sim, r.solutions[0][0]); });
      h_s = seconds([&] { h_field_at_nodes(sim, r, 0, 0); });
    }
    d["e_s"] = e_s;
    d["h_s"] = h_s;
    return d;
  });
}

}  // namespace vantrel::testing
