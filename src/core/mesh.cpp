#include "core/mesh.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

namespace vantrel {

namespace {

// LOCAL_EDGE_OF[i][j]: the local edge joining local vertices i and j (either order).
constexpr std::array<std::array<int, 4>, 4> make_local_edge_of() {
  std::array<std::array<int, 4>, 4> t{};
  for (auto& row : t) row = {-1, -1, -1, -1};
  for (int k = 0; k < 6; ++k) {
    t[LOCAL_EDGES[k][0]][LOCAL_EDGES[k][1]] = k;
    t[LOCAL_EDGES[k][1]][LOCAL_EDGES[k][0]] = k;
  }
  return t;
}
constexpr auto LOCAL_EDGE_OF = make_local_edge_of();

// How far ahead of the current tetrahedron the hash slots are prefetched.
constexpr std::size_t PREFETCH_DISTANCE = 8;

inline EdgeKey edge_key(u64 a, u64 b) { return a < b ? EdgeKey{a, b} : EdgeKey{b, a}; }

// Sorts three local vertex positions by their node numbers (ascending).
inline void sort_local(const std::array<u64, 4>& tv, int& a, int& b, int& c) {
  if (tv[b] < tv[a]) std::swap(a, b);
  if (tv[c] < tv[b]) std::swap(b, c);
  if (tv[b] < tv[a]) std::swap(a, b);
}

}  // namespace

Mesh build_topology(std::vector<Vec3> nodes, std::vector<std::array<u64, 4>> tets) {
  Mesh m;
  m.nodes = std::move(nodes);
  m.tets = std::move(tets);
  const std::size_t nt = m.tets.size();
  m.tet_edges.resize(nt);
  m.tet_faces.resize(nt);
  // A large tetrahedral mesh has about 7 edges and 12 faces per 6 tetrahedra; the maps grow if
  // a small or disconnected mesh has more.
  const std::size_t est_edges = nt + nt / 4 + 16, est_faces = 2 * nt + nt / 8 + 16;
  m.edge_index.reserve(est_edges);
  m.face_index.reserve(est_faces);
  m.face_edges.reserve(est_faces);
  m.face_tets.reserve(est_faces);

  // One pass over the tetrahedra in index order, local edges then local faces in table order:
  // edges and faces are numbered in order of first appearance. A face's three edges are edges
  // of the tetrahedron that introduces it, and its tetrahedron slots are filled in index order.
  u64 dropped = 0;
  for (std::size_t t = 0; t < nt; ++t) {
    if (t + PREFETCH_DISTANCE < nt) {
      const auto& pv = m.tets[t + PREFETCH_DISTANCE];
      for (int k = 0; k < 6; ++k)
        m.edge_index.prefetch(edge_key(pv[LOCAL_EDGES[k][0]], pv[LOCAL_EDGES[k][1]]));
      for (int k = 0; k < 4; ++k) {
        int a = LOCAL_FACES[k][0], b = LOCAL_FACES[k][1], c = LOCAL_FACES[k][2];
        sort_local(pv, a, b, c);
        m.face_index.prefetch({pv[a], pv[b], pv[c]});
      }
    }
    const std::array<u64, 4> tv = m.tets[t];
    std::array<u64, 6>& te = m.tet_edges[t];
    for (int k = 0; k < 6; ++k)
      te[k] = m.edge_index.insert(edge_key(tv[LOCAL_EDGES[k][0]], tv[LOCAL_EDGES[k][1]])).first;
    for (int k = 0; k < 4; ++k) {
      int a = LOCAL_FACES[k][0], b = LOCAL_FACES[k][1], c = LOCAL_FACES[k][2];
      sort_local(tv, a, b, c);
      const auto [f, inserted] = m.face_index.insert({tv[a], tv[b], tv[c]});
      m.tet_faces[t][k] = f;
      if (inserted) {
        // Edges (a,b), (b,c), (a,c) of the ascending triple.
        m.face_edges.push_back(
            {te[LOCAL_EDGE_OF[a][b]], te[LOCAL_EDGE_OF[b][c]], te[LOCAL_EDGE_OF[a][c]]});
        m.face_tets.push_back({t, NO_TET});
      } else {
        auto& slot = m.face_tets[f];
        if (slot[1] == NO_TET) {
          slot[1] = t;
        } else {
          ++dropped;
        }
      }
    }
  }
  if (dropped > 0) {
    eprint("WARNING: non-manifold mesh: " + std::to_string(dropped) +
           " face-tet incidences beyond the two-per-face limit were dropped; face-jump terms on "
           "those faces will be wrong\n");
  }

  m.edges = m.edge_index.keys();
  m.faces = m.face_index.keys();

  const u64 nn = m.nodes.size();
  m.edge_lengths.resize(m.edges.size());
  for (std::size_t e = 0; e < m.edges.size(); ++e) {
    // Callers guarantee node indices below the node count; a broken one stops here instead of
    // reading past the node list.
    check_index(m.edges[e][1], nn);
    const Vec3& p = m.nodes[m.edges[e][0]];
    const Vec3& q = m.nodes[m.edges[e][1]];
    const double dx = q[0] - p[0], dy = q[1] - p[1], dz = q[2] - p[2];
    m.edge_lengths[e] = std::sqrt(dx * dx + dy * dy + dz * dz);
  }
  return m;
}

}  // namespace vantrel
