#pragma once
// The faces that radiate in the far field, each with its normal and the tetrahedron whose field
// it takes. The far field is the free-space radiation of the equivalent currents on the surface
// that bounds the enclosed region, plus the physical currents of the conductors outside it.

#include <span>
#include <vector>

#include "core/mesh.hpp"
#include "core/support.hpp"

namespace vantrel {

// True when every edge of the distinct faces is shared by an even number of them: the surface
// encloses a volume and has no rim.
bool surface_is_closed(const Mesh& mesh, std::span<const u64> faces);

// Unit normals of the integration faces, one per entry of `faces` (a face listed twice gets the
// same normal). The faces join into patches across the edges that exactly two of them share, and
// each patch is oriented consistently (those two faces run through the edge in opposite
// directions). Its side then follows from the geometry and the mesh boundary alone, so it does
// not depend on the order of the tetrahedra:
// - closed patch: out of the volume it encloses (inside the mesh or on its boundary alike);
// - open patch with faces on the mesh boundary: out of the mesh;
// - other open patch: towards its convex side; a flat one along the positive direction of the
//   largest component of its area-weighted normal.
std::vector<Vec3> integration_surface_normals(const Mesh& mesh, std::span<const u64> faces);

// One radiating face: the field of tetrahedron `tet` (one of the face's own) on `face` gives
// J = n̂ × H and, unless `is_pec`, M = −n̂ × E.
struct FarFieldFace {
  u64 face = 0;
  u64 tet = 0;
  Vec3 normal{};        // unit
  bool is_pec = false;  // a conductor carries no magnetic current
};

// The radiating faces: those of the surface in stored order, then those of the conductors in
// stored order (a conducting sheet outside the enclosed region twice, once per side).
struct FarFieldSurface {
  std::vector<FarFieldFace> faces;
  u64 n_surface = 0;    // distinct surface faces that radiate
  u64 n_conductor = 0;  // distinct conductor faces that radiate, one or two sides each
  // Per tetrahedron, 1 when it lies outside the enclosed region (its medium is not in the
  // pattern); empty when the surface encloses no region.
  std::vector<char> outside;
};

// The radiating faces of the integration surface `surface` (the faces of tag `tag`) with the
// conductor faces `pec_faces` (either list may repeat a face; a face of both is a surface face).
//
// The enclosed region is the set of tetrahedra that the surface, closed where its rim lies on a
// conductor, cuts off from the rest of the mesh. The tetrahedra split into cells across the
// surface and conductor faces; a cell belongs to the region when the normals of
// integration_surface_normals put more of the surface's area around it on its inner side than on
// its outer side. A cell that no surface face bounds (closed off by conductors) is outside when
// it meets an outside cell across conductor faces, else inside when it meets the region (a closed
// conducting shell inside it). Then, with n̂ out of the region unless said otherwise:
// - surface face with the region on one side: the field of the tetrahedron beyond it, else of its
//   own; nothing when it lies on a conductor meshed as a hole (no tetrahedron beyond, not on the
//   mesh's outer boundary), whose current there cancels the equivalent one;
// - surface face with the region on both sides (a wall between two enclosed volumes): dropped;
// - conductor face with the region on one side: a sheet radiates n̂ × H of its outer side; a face
//   of the mesh's outer boundary (a floor) closes the surface, n̂ × H of its own side, when it is
//   reached from the surface's rim across edges where exactly two conductor faces meet (never
//   across the rim: beyond it the region is on neither side); a conductor meshed as a hole
//   radiates nothing;
// - conductor face outside the region: n̂ × H on each side with a tetrahedron, n̂ into it; nothing
//   on the mesh's outer boundary, whose currents no surface sees (no image theory);
// - conductor face with the region on both sides: nothing.
// A surface that cuts off no region (each face has one cell on both sides: an open surface in the
// air) radiates alone with the normals of integration_surface_normals, the field taken from the
// tetrahedron each normal points to where there is one. Error naming the tag when some surface
// faces have the region on neither side.
FarFieldSurface farfield_surface(const Mesh& mesh, std::span<const u64> surface,
                                 std::span<const u64> pec_faces, i32 tag);

}  // namespace vantrel
