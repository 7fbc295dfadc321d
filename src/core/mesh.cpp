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

// How many tetrahedra ahead of the current one the hash slots are prefetched.
constexpr std::size_t PREFETCH_DISTANCE = 8;

inline EdgeKey edge_key(u64 a, u64 b) { return a < b ? EdgeKey{a, b} : EdgeKey{b, a}; }

// The local vertices of local face k, ordered by their node numbers (a sorting network; the
// order among equal node numbers does not matter, they give the same key).
inline std::array<int, 3> sorted_face(const std::array<u64, 4>& tv, int k) {
  int a = LOCAL_FACES[k][0], b = LOCAL_FACES[k][1], c = LOCAL_FACES[k][2];
  if (tv[b] < tv[a]) std::swap(a, b);
  if (tv[c] < tv[b]) std::swap(b, c);
  if (tv[b] < tv[a]) std::swap(a, b);
  return {a, b, c};
}

}  // namespace

Mesh build_topology(std::vector<Vec3> nodes, std::vector<std::array<u64, 4>> tets) {
  Mesh m;
  m.nodes = std::move(nodes);
  m.tets = std::move(tets);
  const std::size_t nt = m.tets.size();
  const u64 nn = m.nodes.size();
  // Callers guarantee node indices below the node count; a broken one stops here instead of
  // reading past the node list.
  for (const auto& tv : m.tets)
    for (const u64 v : tv) check_index(v, nn);

  m.tet_edges.resize(nt);
  m.tet_faces.resize(nt);
  // A large tetrahedral mesh has about 7 edges and 12 faces per 6 tetrahedra; the lists and
  // maps grow if a small or disconnected mesh has more.
  const std::size_t est_edges = nt + nt / 4 + 16, est_faces = 2 * nt + nt / 8 + 16;
  m.edge_index.reserve(est_edges);
  m.face_index.reserve(est_faces);
  m.edges.reserve(est_edges);
  m.faces.reserve(est_faces);
  m.face_edges.reserve(est_faces);
  m.face_tets.reserve(est_faces);

  // One pass over the tetrahedra in index order, local edges then local faces in table order:
  // edges and faces are numbered in order of first appearance. A face's three edges are edges
  // of the tetrahedron that introduces it, and its tetrahedron slots fill in index order.
  u64 dropped = 0;
  for (std::size_t t = 0; t < nt; ++t) {
    if (t + PREFETCH_DISTANCE < nt) {
      const auto& pv = m.tets[t + PREFETCH_DISTANCE];
      for (int k = 0; k < 6; ++k)
        m.edge_index.prefetch(edge_key(pv[LOCAL_EDGES[k][0]], pv[LOCAL_EDGES[k][1]]));
      for (int k = 0; k < 4; ++k) {
        const auto s = sorted_face(pv, k);
        m.face_index.prefetch({pv[s[0]], pv[s[1]], pv[s[2]]});
      }
    }
    const std::array<u64, 4> tv = m.tets[t];
    std::array<u64, 6>& te = m.tet_edges[t];
    for (int k = 0; k < 6; ++k) {
      const EdgeKey key = edge_key(tv[LOCAL_EDGES[k][0]], tv[LOCAL_EDGES[k][1]]);
      const auto [e, inserted] = m.edge_index.insert(key);
      if (inserted) m.edges.push_back(key);
      te[k] = e;
    }
    for (int k = 0; k < 4; ++k) {
      const auto s = sorted_face(tv, k);
      const FaceKey key{tv[s[0]], tv[s[1]], tv[s[2]]};
      const auto [f, inserted] = m.face_index.insert(key);
      m.tet_faces[t][k] = f;
      if (inserted) {
        m.faces.push_back(key);
        // Edges (a,b), (b,c), (a,c) of the ascending triple.
        m.face_edges.push_back({te[LOCAL_EDGE_OF[s[0]][s[1]]], te[LOCAL_EDGE_OF[s[1]][s[2]]],
                                te[LOCAL_EDGE_OF[s[0]][s[2]]]});
        m.face_tets.push_back({t, NO_TET});
      } else if (m.face_tets[f][1] == NO_TET) {
        m.face_tets[f][1] = t;
      } else {
        ++dropped;
      }
    }
  }
  if (dropped > 0) {
    eprint("WARNING: non-manifold mesh: " + std::to_string(dropped) +
           " face-tet incidences beyond the two-per-face limit were dropped; face-jump terms on "
           "those faces will be wrong\n");
  }

  m.edge_lengths.resize(m.edges.size());
  for (std::size_t e = 0; e < m.edges.size(); ++e) {
    const Vec3& p = m.nodes[m.edges[e][0]];
    const Vec3& q = m.nodes[m.edges[e][1]];
    const double dx = q[0] - p[0], dy = q[1] - p[1], dz = q[2] - p[2];
    m.edge_lengths[e] = std::sqrt(dx * dx + dy * dy + dz * dz);
  }
  return m;
}

}  // namespace vantrel
