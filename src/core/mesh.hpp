#pragma once
// The tetrahedral mesh record every solver reads, and the topology that numbers its edges/faces.

#include <array>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "core/sharded_index_map.hpp"
#include "core/support.hpp"

namespace vantrel {

inline constexpr u64 NO_TET = NONE_U64;

// Local edges as pairs of local node positions. The fifth pair is (3, 1), not (1, 3).
inline constexpr std::array<std::array<int, 2>, 6> LOCAL_EDGES = {
    {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {3, 1}, {2, 3}}};
// Local faces as triples of local node positions. The third triple is (0, 3, 1).
inline constexpr std::array<std::array<int, 3>, 4> LOCAL_FACES = {
    {{0, 1, 2}, {0, 2, 3}, {0, 3, 1}, {1, 2, 3}}};
// The local vertex not on each local face, in LOCAL_FACES order.
inline constexpr std::array<int, 4> FACE_OPPOSITE_VERTEX = {3, 1, 2, 0};

using EdgeKey = std::array<u64, 2>;
using FaceKey = std::array<u64, 3>;

// Edge and face numbers by ascending node key; `find(key)->second` is the number.
using EdgeIndexMap = ShardedIndexMap<2>;
using FaceIndexMap = ShardedIndexMap<3>;
using GroupMap = std::unordered_map<i32, std::vector<u64>>;

struct Mesh {
  std::vector<Vec3> nodes;                    // metres; the index is the node number
  std::vector<EdgeKey> edges;                 // (lower node, higher node)
  std::vector<FaceKey> faces;                 // ascending node triples
  std::vector<std::array<u64, 4>> tets;       // node indices in the caller's order
  std::vector<std::array<u64, 6>> tet_edges;  // LOCAL_EDGES order
  std::vector<std::array<u64, 4>> tet_faces;  // LOCAL_FACES order
  std::vector<std::array<u64, 3>> face_edges; // edges (a,b), (b,c), (a,c) of face a<b<c
  std::vector<std::array<u64, 2>> face_tets;  // lower tet first; NO_TET in an empty slot
  std::vector<double> edge_lengths;
  EdgeIndexMap edge_index;
  FaceIndexMap face_index;
  GroupMap face_groups;    // surface tag -> face indices, file order
  GroupMap volume_groups;  // volume tag -> tetrahedron indices

  // Face index of an ascending node triple, or NONE_U64.
  u64 find_face(const FaceKey& sorted) const {
    auto it = face_index.find(sorted);
    return it == face_index.end() ? NONE_U64 : it->second;
  }
  u64 find_edge(u64 a, u64 b) const {
    auto it = edge_index.find(a < b ? EdgeKey{a, b} : EdgeKey{b, a});
    return it == edge_index.end() ? NONE_U64 : it->second;
  }
};

// Numbers edges and faces in order of first appearance and builds the incidences.
// Prints the non-manifold warning when a face meets more than two tetrahedra. Runs its passes on
// the worker pool; the result does not depend on the thread count. A node index not below
// nodes.size() stops with the index-out-of-bounds message.
Mesh build_topology(std::vector<Vec3> nodes, std::vector<std::array<u64, 4>> tets);

}  // namespace vantrel
