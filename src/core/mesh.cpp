#include "core/mesh.hpp"

#include <algorithm>
#include <cmath>

namespace vantrel {

Mesh build_topology(std::vector<Vec3> nodes, std::vector<std::array<u64, 4>> tets) {
  Mesh m;
  m.nodes = std::move(nodes);
  m.tets = std::move(tets);
  const std::size_t nt = m.tets.size();
  m.tet_edges.assign(nt, {});
  m.tet_faces.assign(nt, {});
  // A tetrahedral mesh has about 7 edges and 12 faces per 6 tets; reserve once.
  m.edge_index.reserve(nt * 7 / 6 + 16);
  m.face_index.reserve(nt * 2 + 16);
  m.edges.reserve(nt * 7 / 6 + 16);
  m.faces.reserve(nt * 2 + 16);

  // Edges and faces are numbered in order of first appearance.
  for (std::size_t t = 0; t < nt; ++t) {
    const auto& tv = m.tets[t];
    for (int k = 0; k < 6; ++k) {
      const u64 a = tv[LOCAL_EDGES[k][0]], b = tv[LOCAL_EDGES[k][1]];
      const EdgeKey key{std::min(a, b), std::max(a, b)};
      auto [it, inserted] = m.edge_index.try_emplace(key, m.edges.size());
      if (inserted) m.edges.push_back(key);
      m.tet_edges[t][k] = it->second;
    }
    for (int k = 0; k < 4; ++k) {
      FaceKey key{tv[LOCAL_FACES[k][0]], tv[LOCAL_FACES[k][1]], tv[LOCAL_FACES[k][2]]};
      std::sort(key.begin(), key.end());
      auto [it, inserted] = m.face_index.try_emplace(key, m.faces.size());
      if (inserted) m.faces.push_back(key);
      m.tet_faces[t][k] = it->second;
    }
  }

  m.face_edges.resize(m.faces.size());
  for (std::size_t f = 0; f < m.faces.size(); ++f) {
    const auto& [a, b, c] = m.faces[f];
    m.face_edges[f] = {m.edge_index.at({a, b}), m.edge_index.at({b, c}), m.edge_index.at({a, c})};
  }

  m.face_tets.assign(m.faces.size(), {NO_TET, NO_TET});
  u64 dropped = 0;
  for (std::size_t t = 0; t < nt; ++t) {
    for (int k = 0; k < 4; ++k) {
      auto& slot = m.face_tets[m.tet_faces[t][k]];
      if (slot[0] == NO_TET) {
        slot[0] = t;
      } else if (slot[1] == NO_TET) {
        slot[1] = t;
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
