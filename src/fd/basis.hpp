#pragma once
// Numbering of the second-order vector unknowns: two per edge and two per face, 20 per tet.
//   0 .. nE-1            first unknown of each edge
//   nE .. nE+nF-1        first unknown of each face
//   nE+nF .. 2nE+nF-1    second unknown of each edge
//   2nE+nF .. 2nE+2nF-1  second unknown of each face

#include <array>
#include <vector>

#include "core/mesh.hpp"

namespace vantrel {

struct FemBasis {
  std::vector<std::array<u64, 20>> tet_dofs;
  std::vector<std::array<u64, 8>> face_dofs;
  std::vector<std::array<u64, 2>> edge_dof_pairs;
  std::vector<u64> face_pair_rows;  // 64 per face: row unknown of local pair (i, j) at 64f+8i+j
  std::vector<u64> face_pair_cols;
  u64 n_dofs = 0;
  u64 n_tets = 0;
  u64 n_faces = 0;
  u64 n_edges = 0;
};

FemBasis build_basis(const Mesh& mesh);

}  // namespace vantrel
