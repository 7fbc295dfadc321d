#pragma once
// Structured box cavity [0, lx] x [0, ly] x [0, lz]: nx*ny*nz hexahedral cells of six
// tetrahedra sharing the cell diagonal, vacuum inside, conducting walls on every side.

#include <array>
#include <vector>

#include "core/mesh.hpp"
#include "core/support.hpp"
#include "td/rhs.hpp"

namespace vantrel {

// Corner rows of the six tetrahedra of a cell; corner bits: 1 -> +i, 2 -> +j, 4 -> +k.
inline constexpr std::array<std::array<int, 4>, 6> BOX_CELL_TETS = {
    {{0, 1, 3, 7}, {0, 3, 2, 7}, {0, 2, 6, 7}, {0, 6, 4, 7}, {0, 4, 5, 7}, {0, 5, 1, 7}}};

u64 hex_corner_node(u64 nx, u64 ny, u64 i, u64 j, u64 k, int corner);

// The box's mesh record (numbered edges and faces, no groups). Stops with
// "assertion failed: nx >= 1 && ny >= 1 && nz >= 1" for a zero cell count; a side length that is
// not positive and finite is an error naming it ("lx must be a positive finite length, got 0.0").
Mesh box_mesh(u64 nx, u64 ny, u64 nz, double lx, double ly, double lz);

// The vacuum box operator: no ports, no dispersive elements; every boundary face is a wall.
MaxwellOperator build_box_operator(u64 nx, u64 ny, u64 nz, double lx, double ly, double lz,
                                   u64 order, double flux_alpha);

}  // namespace vantrel
