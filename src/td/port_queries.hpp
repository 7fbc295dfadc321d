#pragma once
// Read-only queries on a built operator: node positions, the unknown nearest a point, and the
// port services (cut-off, source vector, modal projections) for driving and watching ports.

#include <array>
#include <span>
#include <utility>
#include <vector>

#include "core/support.hpp"
#include "td/rhs.hpp"

namespace vantrel {

// K*Np node positions, element-major: entry e*Np + i is reference node i of element e.
std::vector<Vec3> node_coords(const MaxwellOperator& op);

// Reference-node numbers of the corners (0,0,0), (1,0,0), (0,1,0), (0,0,1): (0, Np-1, Nfp-1, N).
std::array<u64, 4> corner_local_nodes(const ReferenceElement& ref);

// State index e*6Np + 6i + 3*field + comp of the node nearest `point` (linear scan; ties keep
// the lowest element, then the lowest node). field 0 = E, 1 = H; comp 0..2 = x, y, z. Any finite
// point has a nearest node, also far beyond the mesh; a NaN or infinite coordinate gives 0.
u64 nearest_node_dof(const MaxwellOperator& op, const Vec3& point, u64 field, u64 comp);

// Cut-off angular frequency pi*sqrt((m/a)^2 + (n/b)^2) of the port's TE(m, n) mode; 0 for a port
// without a mode and for a lumped (m = n = 0) port.
double port_cutoff(const MaxwellOperator& op, u64 port_idx);

// b with dy/dt = A*y + b*g(t) imposing the exterior field g(t)*(e_s, h_s) of the port's mode
// through the upwind port-face flux. n_dof entries; the Debye part stays zero.
std::vector<double> port_source(const MaxwellOperator& op, u64 port_idx);

// Weighted least-squares amplitudes (P_e, P_h) of the port's mode pattern in the tangential E and
// H of state y. A forward wave (along the port's w, into the domain) has P_h = P_e / Z.
std::pair<double, double> port_projections(const MaxwellOperator& op, std::span<const double> y,
                                           u64 port_idx);

}  // namespace vantrel
