#pragma once
// Time-domain operator on a read Gmsh mesh: per-element materials from tagged volumes, graded
// absorbing layers, Debye-dispersive regions and waveguide or lumped ports with axis-aligned
// frames. All values are in the operator's normalised units (c = eps0 = mu0 = 1).

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/mesh.hpp"
#include "core/support.hpp"
#include "td/rhs.hpp"

namespace vantrel {

// ---- entries as the caller gives them -------------------------------------------------------------
struct TagMaterialEntry {
  i32 tag = 0;         // volume tag
  Vec3 eps{};          // diagonal relative permittivity
  Vec3 mu{};           // diagonal relative permeability
  double sigma = 0.0;  // electric conductivity
};

struct PortEntry {
  i32 face_tag = 0;                // surface tag
  u64 m = 0, n = 0;                // TE(m, n); (0, 0) with a direction is a lumped port
  std::optional<Vec3> direction;   // field axis of a lumped port; none for a waveguide port
};

// Graded layer: at depth x (0 at the inner face, 1 at the outer) the loss is nu_max * x^2, with
// sigma = nu * eps_x and sigma_m = nu * mu_x, so that the layer is impedance-matched.
struct AbsorberEntry {
  i32 volume_tag = 0;
  u64 axis = 0;              // 0 = x, 1 = y, 2 = z
  double inner_face = 0.0;   // coordinate of the inner face on `axis`
  double thickness = 0.0;
  double nu_max = 0.0;       // loss at the outer face
  bool is_low = false;       // true: the layer extends toward decreasing coordinate
};

// eps(w) = eps_inf + (eps_static - eps_inf) / (1 + j w tau), time convention e^{+jwt}.
struct DispersiveEntry {
  i32 volume_tag = 0;
  double eps_inf = 1.0;
  double eps_static = 1.0;
  double tau = 1.0;
};

struct MeshOperatorInputs {
  std::vector<TagMaterialEntry> tag_materials;
  std::vector<PortEntry> ports;
  std::vector<AbsorberEntry> absorbers;
  std::vector<DispersiveEntry> dispersive;
};

// Refuses entries that cannot be built, naming the entry (Error): an absorber axis above 2.
// Runs before the mesh is read.
void check_mesh_operator_inputs(const MeshOperatorInputs& in);

// ---- steps of the set-up ----------------------------------------------------------------------------
// One material per tetrahedron: vacuum, then the tagged materials, then the absorber grading.
// Unknown volume tags are skipped.
std::vector<ElementMaterial> element_materials(const Mesh& mesh,
                                               std::span<const TagMaterialEntry> tag_materials,
                                               std::span<const AbsorberEntry> absorbers);

// Debye records in entry order, then group order; eps of each listed tetrahedron becomes
// (eps_inf, eps_inf, eps_inf). Unknown volume tags are skipped.
std::vector<DebyeInput> dispersive_inputs(const Mesh& mesh,
                                          std::span<const DispersiveEntry> dispersive,
                                          std::vector<ElementMaterial>& materials);

// (min, max - min) of the points' coordinate on `axis` (0..2), NaN coordinates skipped.
std::pair<double, double> axis_extent(std::span<const Vec3> points, u64 axis);

struct PortFaceGeometry {
  std::vector<Vec3> points;  // distinct port nodes, first-seen order
  Vec3 normal{};             // unit normal of the first face, pointing into the domain
};

// Nodes and inward normal of a surface group. Error "port face tag {} has no triangles, or ..."
// when the tag has no group or its first face no tetrahedron; Error naming the tag when the first
// face has zero area (no normal).
PortFaceGeometry port_face_geometry(const Mesh& mesh, i32 face_tag);

// The frame of a port: w is the coordinate axis nearest the inward normal, (u, v, w) right-handed,
// u along the wider of the two in-plane extents; with a direction, v is the direction projected
// onto the port plane. m and n are left to the caller.
WaveguideMode axis_aligned_port_frame(const PortFaceGeometry& geometry,
                                      const std::optional<Vec3>& direction);

// One port input per entry, in entry order (the entry's position is its port index). Error
// "port face tag {} has no triangles, or ..." also for a direction that is zero, along the face
// normal, or not finite.
std::vector<TdPortInput> port_inputs(const Mesh& mesh, std::span<const PortEntry> ports);

// Reads the mesh (printing its summary line), derives every input and builds the operator.
MaxwellOperator build_mesh_operator(std::span<const std::uint8_t> mesh_bytes, u64 order,
                                    double flux_alpha, const MeshOperatorInputs& inputs);

}  // namespace vantrel
