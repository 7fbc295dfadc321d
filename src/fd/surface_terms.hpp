#pragma once
// Port and boundary surface terms of one frequency, per triangle of an object's tag:
//   g * M(f)   with M_rc  = int_f N_r . N_c dS                       (first order, g = robin_coefficient)
//   c2 * Q(f)  with Q_rc  = int_f (curl_s N_r curl_s N_c - div_s N_r div_s N_c) dS  (second-order ABC)
//   l(f)       with l_r   = -int_f N_r . U_inc dS                     (load of a driven port)
// N_r are the eight tangential second-order functions of the face, in the order of `face_dofs`:
// rows 0..2 first unknowns of edges (0,1), (1,2), (0,2); row 3 first face unknown; rows 4..6 second
// unknowns of the edges; row 7 second face unknown. With W_ab = lb grad la - la grad lb:
//   edge (a,b): L_ab la W_ab and L_ab lb W_ab;  face: L02 l1 W_20 and L01 l2 W_01.

#include <array>
#include <vector>

#include "core/mesh.hpp"
#include "fd/basis.hpp"
#include "fd/port.hpp"

namespace vantrel {

// 5x5x5x5 table of barycentric face integrals: index 0 stands for 1, index m >= 1 for l_(m-1);
// A * T[i][j][k][l] = int_face (product of the four factors) dS, exact.
struct FaceIntegralTable {
  std::array<double, 625> t{};
  double at(int i, int j, int k, int l) const { return t[((i * 5 + j) * 5 + k) * 5 + l]; }
};
FaceIntegralTable build_face_integral_table();

// Local frame of a face with nodes P0 < P1 < P2 (ascending ids): t1 along P1-P0, n the unit
// normal of (P1-P0)x(P2-P0), t2 = n x t1; xi/eta the vertex coordinates in (t1, t2).
struct FaceLocal {
  std::array<Vec3, 3> p{};
  Vec3 t1{}, t2{}, n{};
  std::array<double, 3> xi{}, eta{};
  double area = 0.0;
  std::array<std::array<double, 2>, 3> g{};  // G_k = 2A grad l_k, in (t1, t2)
  std::array<std::array<double, 3>, 3> len{};  // vertex distances
};
FaceLocal face_local(const Mesh& mesh, u64 face);

// First-order face matrix with the unscaled gradients G: g * M = (g / (2A)^2) * raw, raw real.
std::array<double, 64> face_mass_raw(const FaceLocal& fl, const FaceIntegralTable& table);
// Second-order absorbing matrix Q (six-point rule), already including the area.
std::array<double, 64> face_abc2_matrix(const FaceLocal& fl);
// Load vector of a driven port on one face: false (and l untouched) when the incident term is
// absent at any quadrature point, in which case the face contributes nothing.
bool face_load_vector(const FaceLocal& fl, const Port& port, double k0, std::array<cplx, 8>& l);

// The frequency-independent part of all surface terms: one entry per distinct face that some
// port or boundary object covers, with its raw matrices computed once per sweep.
struct SurfaceFaces {
  std::vector<u64> faces;                     // distinct faces, ascending
  std::vector<u64> compact_of_port_face;      // flattened port_faces -> index into `faces`
  std::vector<u64> port_offsets;              // port p's faces at [offsets[p], offsets[p+1])
  std::vector<FaceLocal> local;               // per distinct face
  std::vector<std::array<double, 64>> m_raw;  // per distinct face
  std::vector<double> two_a_sq;               // per distinct face: (2A)^2, the divisor of g
  std::vector<std::array<double, 64>> q;      // per distinct face (filled only when needed)
};
SurfaceFaces prepare_surface_faces(const Mesh& mesh, const std::vector<std::vector<u64>>& port_faces,
                                   const std::vector<const Port*>& ports);

// Adds every object's first- and second-order terms at k0 into `slots` (64 per entry of
// sf.faces, zeroed by the caller), objects in list order.
void add_surface_terms(const SurfaceFaces& sf, const std::vector<const Port*>& ports, double k0,
                       std::vector<cplx>& slots);

// One right-hand side per driven port (driven order), each n_dofs long.
std::vector<std::vector<cplx>> build_right_hand_sides(const SurfaceFaces& sf, const FemBasis& basis,
                                                      const std::vector<const Port*>& ports,
                                                      double k0);

}  // namespace vantrel
