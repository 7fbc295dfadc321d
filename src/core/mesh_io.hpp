#pragma once
// Gmsh MSH 4.1 import (ASCII and binary) into the Mesh record.

#include <cstdint>
#include <span>

#include "core/mesh.hpp"

namespace vantrel {

// Reads a complete Gmsh MSH 4.1 file (ASCII or binary) from memory. Takes 3-node triangles
// (type 2) and 4-node tetrahedra (type 4); every other element type is skipped. Tetrahedra are
// filed in `volume_groups` and triangles that are faces of the tetrahedra in `face_groups`,
// under each physical tag of their entity, or under the entity tag when it has none.
// Prints "Mesh: {} nodes, {} edges, {} tris, {} tets" on success.
// Throws Error: "Cannot parse mesh bytes: MshParserError([...])" for input that is not a
// well-formed MSH 4.1 file, "No nodes in mesh", "No elements in mesh", "No tetrahedra found in
// mesh", "Unknown node tag in tet" / "Unknown node tag in tri", and messages naming a node with a
// non-finite coordinate or a tetrahedron that repeats a node.
Mesh load_msh_bytes(std::span<const std::uint8_t> bytes);

}  // namespace vantrel
