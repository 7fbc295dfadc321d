#pragma once
// The semi-discrete DGTD Maxwell operator dy/dt = A*y in normalised units (c = eps0 = mu0 = 1):
// set-up records, the matrix-free right-hand side and the field energy.
//
// Per element: eps dE/dt = curl H - sigma E,  mu dH/dt = -curl E - sigma_m H, plus the Debye
// polarisation dP/dt = a P + g E of dispersive elements. Face coupling is the upwind-weighted
// flux of Hesthaven & Warburton: alpha = 1 upwind, alpha = 0 central.
//
// State layout (n_dof f64): node i of element e holds E_x, E_y, E_z, H_x, H_y, H_z at
// 6*Np*e + 6*i onward; the Debye blocks of 3*Np values (P_x, P_y, P_z per node) follow all
// elements, in the order of the operator's `debye` list.

#include <array>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "core/mesh.hpp"
#include "core/support.hpp"
#include "td/dg_basis.hpp"
#include "td/geom_factors.hpp"

namespace vantrel {

// ---- set-up inputs ----------------------------------------------------------------------------
struct ElementMaterial {
  Vec3 eps{1.0, 1.0, 1.0};  // relative permittivity, diagonal (x, y, z)
  Vec3 mu{1.0, 1.0, 1.0};   // relative permeability, diagonal
  double sigma = 0.0;       // electric conductivity (normalised)
  double sigma_m = 0.0;     // magnetic conductivity (normalised)
};
inline constexpr ElementMaterial VACUUM_MATERIAL{{1.0, 1.0, 1.0}, {1.0, 1.0, 1.0}, 0.0, 0.0};

// Rectangular-waveguide TE(m, n) mode on a port aperture.
struct WaveguideMode {
  u64 m = 0, n = 0;
  Vec3 origin{};       // a corner of the aperture
  Vec3 u{}, v{};       // unit axes of the aperture plane
  Vec3 w{};            // unit axis normal to the port plane
  double a = 0.0;      // aperture width along u
  double b = 0.0;      // aperture width along v
};

struct TdPortInput {
  u64 kind = 0;               // 1: the port carries `mode`; anything else: no mode
  WaveguideMode mode;
  std::vector<u64> faces;     // global face numbers of the mesh
};

struct DebyeInput {
  u64 elem = 0;
  double eps_inf = 1.0;
  double eps_static = 1.0;
  double tau = 1.0;
};

// ---- operator records -------------------------------------------------------------------------
struct FaceConnection {
  std::vector<u64> node_map;  // per own face node: position in the neighbour's face node list
  Vec3 normal{};              // outward unit normal
  double fscale = 0.0;        // 2*area / |det_j|
  u64 neighbour = NONE_U64;
  u64 neighbour_face = NONE_U64;
  u64 port = NONE_U64;
};

struct PortSample {
  Vec3 e{};  // transverse electric mode profile at the face node
  Vec3 h{};  // w x e
};

struct TdPort {
  u64 kind = 0;  // 1 = has a mode
  WaveguideMode mode;
  std::vector<std::array<u64, 2>> faces;  // (element, local face), element order
  std::vector<PortSample> samples;        // kind 1: face position * Nfp + j
};

struct DebyeElement {
  u64 elem = 0;
  double a = 0.0;            // -1/tau
  double g = 0.0;            // (eps_static - eps_inf)/tau
  double inv_eps_inf = 0.0;  // 1/eps_inf
};

// Work buffers of one element_rhs call; every buffer is overwritten before it is read.
struct ElementScratch {
  std::vector<double> curl_h;  // 3*Np node-major: curl H, then plus the E-equation face flux
  std::vector<double> curl_e;  // 3*Np node-major: -curl E, then plus the H-equation face flux
  std::vector<double> flux;    // 4*Nfp*6: per face node, the E- then H-equation flux vectors
};
ElementScratch new_element_scratch(u64 np, u64 nfp);

// Scratches shared by the parallel jobs of apply: a job takes one, uses it for all its elements
// and gives it back. The lock guards only the list, never an element computation.
struct ScratchPool {
  std::mutex lock;
  std::vector<ElementScratch> items;
};

struct MaxwellOperator {
  ReferenceElement reference;
  std::vector<GeomFactors> geom;                // K
  std::vector<FaceConnection> faces;            // 4*K, element e's face f at 4*e + f
  std::vector<Vec3> inv_eps;                    // K
  std::vector<Vec3> inv_mu;                     // K
  std::vector<Vec3> sigma_over_eps;             // K
  std::vector<Vec3> sigma_m_over_mu;            // K
  std::vector<TdPort> ports;
  std::vector<DebyeElement> debye;
  std::vector<u64> debye_index;                 // K; NONE_U64 = not dispersive
  u64 n_elem = 0;
  double flux_alpha = 1.0;
  // Owned; a pointer so that the record stays movable. Mutable through a const operator.
  std::unique_ptr<ScratchPool> scratch_pool = std::make_unique<ScratchPool>();
};

// n_field = 6*Np*K; n_dof = Np*(6*K + 3*n_dispersive).
u64 n_field(const MaxwellOperator& op);
u64 n_dof(const MaxwellOperator& op);

// ---- set-up -------------------------------------------------------------------------------------
// A non-finite flux_alpha is an error ("flux_alpha must be finite, got NaN").
MaxwellOperator build_dg_operator(const Mesh& mesh, u64 order,
                                  const std::vector<ElementMaterial>& materials,
                                  const std::vector<TdPortInput>& ports,
                                  const std::vector<DebyeInput>& dispersive, double flux_alpha);

// Physical coordinates of the Nfp nodes of local face `face` of `element`, face-node order.
std::vector<Vec3> face_node_coords(const MaxwellOperator& op, u64 element, u64 face);

// Transverse electric profile of the rectangular-waveguide TE(m, n) mode at `point`.
Vec3 te_mode_field(const WaveguideMode& mode, const Vec3& point);

// ---- right-hand side ------------------------------------------------------------------------------
// out = curl u for one element (u, out: 3*Np node-major).
void element_curl(const ReferenceElement& ref, const GeomFactors& g, std::span<const double> u,
                  std::span<double> out, std::span<double> ref_derivs,
                  std::span<double> derivatives);

// The 6*Np time derivatives of element e into out_e (plain stores). Reads y at e, at its face
// neighbours' face nodes and at its own polarisation block.
void element_rhs(const MaxwellOperator& op, u64 e, std::span<const double> y,
                 std::span<double> out_e, ElementScratch& scratch);

// out = A*y. y must hold every value the elements read (values past n_dof are never read); out
// is to be exactly n_dof long. Parallel over elements; the result does not depend on the thread
// count. Every one of the n_dof output values is overwritten.
void apply_operator_parallel(const MaxwellOperator& op, std::span<const double> y,
                             std::span<double> out);

// A new vector of n_dof values holding A*y.
std::vector<double> apply_operator(const MaxwellOperator& op, std::span<const double> y);

// W = sum over elements of y_e^T (|det_j| M (x) diag(eps, mu)) y_e; field energy = W/2.
// Reads only y[0, n_field).
double element_energies(const MaxwellOperator& op, std::span<const double> y);

}  // namespace vantrel
