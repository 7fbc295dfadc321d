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
};

// The radiating faces of the integration surface `surface` (the faces of tag `tag`) with the
// conductor faces `pec_faces` (either list may repeat a face; a face of both is a surface face).
//
// The enclosed region is the set of tetrahedra that the surface, closed where its rim lies on a
// conductor, cuts off from the rest of the mesh: the tetrahedra split into cells across the
// surface and conductor faces, and a cell belongs to the region when the surface's normals
// (integration_surface_normals) put more of its surface area on its inner side than on its outer
// side; a cell that touches no surface face follows the cells it meets across conductor faces
// (a closed conducting shell inside the region is inside it). Then:
// - a surface face with the region on one side radiates with its normal out of the region and
//   the field of the tetrahedron beyond it, else of its only tetrahedron; when it lies on a
//   conductor meshed as a hole (no tetrahedron beyond, not the mesh's outer boundary) it radiates
//   nothing: the current on that side of the conductor cancels its equivalent current;
// - a surface face with the region on both sides (a wall between two enclosed volumes) is
//   dropped;
// - a conductor face with the region on one side closes the surface: with a tetrahedron beyond
//   (a conducting sheet) it radiates the current n̂ × H of that side, n̂ out of the region; on the
//   mesh's outer boundary (a floor) it radiates as a closing face, n̂ × H of its own tetrahedron
//   with n̂ out of the mesh, when it is reached from the surface's rim across edges that no
//   other surface face and no third conductor face meet; otherwise it radiates nothing;
// - a conductor face outside the region radiates its physical current n̂ × H on each side with a
//   tetrahedron, n̂ pointing into that tetrahedron, except on the mesh's outer boundary, whose
//   currents no surface sees (no image theory);
// - a conductor face with the region on both sides radiates nothing.
// A surface that cuts off no region (every face has one cell on both sides: an open surface in
// the air) radiates alone with the normals of integration_surface_normals, the field taken from
// the tetrahedron each normal points to where there is one. Error naming the tag when some faces
// bound the region and others have no enclosed side.
FarFieldSurface farfield_surface(const Mesh& mesh, std::span<const u64> surface,
                                 std::span<const u64> pec_faces, i32 tag);

}  // namespace vantrel
