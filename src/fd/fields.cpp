#include "fd/fields.hpp"

#include <string>

#include "core/materials.hpp"
#include "fd/interp.hpp"
#include "fd/ports.hpp"

namespace vantrel {

namespace {

// Nodes per task of the nodal loops: each node writes only its own slot.
constexpr std::size_t NODE_GRAIN = 2048;

// Runs value(t, node) at every node in its first tetrahedron on the worker pool; zero where the
// node has no tetrahedron. The result does not depend on the thread count.
template <class F>
std::vector<CVec3> eval_at_nodes(const Mesh& mesh, F&& value) {
  const std::vector<u64> first = first_tet_per_node(mesh);
  std::vector<CVec3> out(mesh.nodes.size(), CVec3{});
  parallel_for(
      out.size(),
      [&](std::size_t i) {
        if (first[i] != NODE_WITHOUT_TET) out[i] = value(first[i], mesh.nodes[i]);
      },
      NODE_GRAIN);
  return out;
}

bool in_range(const SweepResult& result, u64 freq_idx, u64 port_idx) {
  return freq_idx < result.solutions.size() && port_idx < result.solutions[freq_idx].size() &&
         freq_idx < result.frequencies.size();
}

}  // namespace

std::vector<u64> first_tet_per_node(const Mesh& mesh) {
  std::vector<u64> first(mesh.nodes.size(), NODE_WITHOUT_TET);
  for (u64 t = 0; t < mesh.tets.size(); ++t) {
    for (u64 n : mesh.tets[t]) {
      check_index(n, first.size());
      if (first[n] == NODE_WITHOUT_TET) first[n] = t;
    }
  }
  return first;
}

std::vector<CVec3> nodal_field_samples(const Simulation& sim, std::span<const cplx> coeffs) {
  return eval_at_nodes(sim.mesh, [&](u64 t, const Vec3& p) {
    return eval_field_at_point(sim.basis, sim.mesh, coeffs, t, p);
  });
}

void check_solution_length(const Simulation& sim, std::size_t length) {
  if (length != sim.basis.n_dofs) {
    throw Error("result does not belong to this simulation (its solutions have " +
                std::to_string(length) + " unknowns, this simulation has " +
                std::to_string(sim.basis.n_dofs) + ")");
  }
}

const std::vector<cplx>* sweep_solution(const Simulation& sim, const SweepResult& result,
                                        u64 freq_idx, u64 port_idx) {
  // Checked before the indices: a foreign result is refused whatever the indices say.
  for (const auto& per_freq : result.solutions) {
    for (const auto& x : per_freq) check_solution_length(sim, x.size());
  }
  // the same count of unknowns on other nodes or tetrahedra (even the same ones in another
  // order) numbers them otherwise
  if (result.mesh_fingerprint != 0 && result.mesh_fingerprint != sim.mesh_fingerprint)
    throw Error("result does not belong to this simulation (it was solved on another mesh)");
  if (freq_idx >= result.solutions.size() || port_idx >= result.solutions[freq_idx].size()) {
    return nullptr;
  }
  return &result.solutions[freq_idx][port_idx];
}

std::optional<std::vector<CVec3>> h_field_at_nodes(const Simulation& sim, const SweepResult& result,
                                                   u64 freq_idx, u64 port_idx) {
  const std::vector<cplx>* x = sweep_solution(sim, result, freq_idx, port_idx);
  if (!x || !in_range(result, freq_idx, port_idx)) return std::nullopt;
  const u64 n_tets = sim.mesh.tets.size();
  std::vector<double> mur(n_tets, 1.0);
  for (const MaterialRegion& region : sim.materials) {
    for (u64 t : region.tets) {
      check_index(t, n_tets);
      mur[t] = region.ur;
    }
  }
  const double a = result.frequencies[freq_idx] * TWO_PI * MU0;  // ω·μ0
  return eval_at_nodes(sim.mesh, [&](u64 t, const Vec3& p) {
    const CVec3 c = eval_curl_at_point(sim.basis, sim.mesh, *x, t, p);
    const double d = a * mur[t];
    // H = j·(∇×E)/(ωμ0μr): j·(re + j·im) = −im + j·re.
    CVec3 h;
    for (int k = 0; k < 3; ++k) h[k] = cplx(-c[k].imag() / d, c[k].real() / d);
    return h;
  });
}

std::optional<std::vector<CVec3>> current_density_at_nodes(const Simulation& sim,
                                                           const SweepResult& result,
                                                           u64 freq_idx, u64 port_idx) {
  const std::vector<cplx>* x = sweep_solution(sim, result, freq_idx, port_idx);
  if (!x || !in_range(result, freq_idx, port_idx)) return std::nullopt;
  const u64 n_tets = sim.mesh.tets.size();
  std::vector<double> sigma_eff(n_tets, 0.0);
  const double b = result.frequencies[freq_idx] * TWO_PI * EPS0;  // ω·ε0
  for (const MaterialRegion& region : sim.materials) {
    if (region.conductivity == 0.0 && region.tand == 0.0) continue;
    const double s = region.conductivity + region.tand * (b * region.er);  // S/m
    for (u64 t : region.tets) {
      check_index(t, n_tets);
      sigma_eff[t] = s;
    }
  }
  return eval_at_nodes(sim.mesh, [&](u64 t, const Vec3& p) {
    const double s = sigma_eff[t];
    if (s == 0.0) return CVec3{};
    CVec3 e = eval_field_at_point(sim.basis, sim.mesh, *x, t, p);
    for (cplx& v : e) v = cplx(s * v.real(), s * v.imag());
    return e;
  });
}

}  // namespace vantrel
