#pragma once
// Fields at the mesh nodes: E from any coefficient vector over the unknowns (a sweep solution or
// an eigenmode), and H and the loss current density J from a sweep solution. Every node is
// evaluated at its own coordinates inside one tetrahedron, the lowest-numbered one that lists it;
// values are not averaged. A node that no tetrahedron lists gets (0, 0, 0).

#include <optional>
#include <span>
#include <vector>

#include "core/support.hpp"
#include "fd/simulation.hpp"
#include "fd/sparam.hpp"

namespace vantrel {

// Entry of first_tet_per_node for a node that no tetrahedron lists.
inline constexpr u64 NODE_WITHOUT_TET = NONE_U64;

// For each node the lowest index of a tetrahedron that lists it, else NODE_WITHOUT_TET.
std::vector<u64> first_tet_per_node(const Mesh& mesh);
inline std::vector<u64> first_tet_per_node(const Simulation& sim) {
  return first_tet_per_node(sim.mesh);
}

// E (V/m) at every node from a coefficient vector with one entry per unknown.
// A vector shorter than the numbering needs stops with the index-out-of-bounds message.
std::vector<CVec3> nodal_field_samples(const Simulation& sim, std::span<const cplx> coeffs);

// Error unless a solution vector of this length can belong to `sim` (one entry per unknown):
// "result does not belong to this simulation (...)".
void check_solution_length(const Simulation& sim, std::size_t length);

// The solution of (freq_idx, port_idx), or null when an index is out of range. Error when the
// result's solutions do not have this simulation's number of unknowns, or when the result records
// the fingerprint of another mesh (checked before the indices).
const std::vector<cplx>* sweep_solution(const Simulation& sim, const SweepResult& result,
                                        u64 freq_idx, u64 port_idx);

// H (A/m) at every node. Under e^{+jωt}, ∇×E = −jωμ0μr·H, so H = j·∇×E/(ωμ0μr).
// Empty optional when an index is out of range (frequency or solution lists).
std::optional<std::vector<CVec3>> h_field_at_nodes(const Simulation& sim, const SweepResult& result,
                                                   u64 freq_idx, u64 port_idx);

// J = σ_eff·E (A/m²) at every node, σ_eff = σ + tanδ·ω·ε0·εr per material region (a lossy
// region overwrites earlier ones, a lossless one leaves them); zero where the node's first
// tetrahedron is lossless. Empty optional when an index is out of range.
std::optional<std::vector<CVec3>> current_density_at_nodes(const Simulation& sim,
                                                           const SweepResult& result,
                                                           u64 freq_idx, u64 port_idx);

}  // namespace vantrel
