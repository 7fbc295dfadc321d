#include "core/mesh.hpp"
#include "core/mesh_io.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

using namespace vantrel;

namespace {

// ---- topology ---------------------------------------------------------------------------------

// The numbering written out naively with ordered maps: the reference for build_topology.
struct Reference {
  std::vector<EdgeKey> edges;
  std::vector<FaceKey> faces;
  std::vector<std::array<u64, 6>> tet_edges;
  std::vector<std::array<u64, 4>> tet_faces;
  std::vector<std::array<u64, 3>> face_edges;
  std::vector<std::array<u64, 2>> face_tets;
};

Reference reference_topology(const std::vector<std::array<u64, 4>>& tets) {
  Reference r;
  std::map<EdgeKey, u64> ei;
  std::map<FaceKey, u64> fi;
  for (const auto& tv : tets) {
    std::array<u64, 6> te{};
    std::array<u64, 4> tf{};
    for (int k = 0; k < 6; ++k) {
      u64 a = tv[LOCAL_EDGES[k][0]], b = tv[LOCAL_EDGES[k][1]];
      EdgeKey key{std::min(a, b), std::max(a, b)};
      auto [it, ins] = ei.emplace(key, r.edges.size());
      if (ins) r.edges.push_back(key);
      te[k] = it->second;
    }
    for (int k = 0; k < 4; ++k) {
      FaceKey key{tv[LOCAL_FACES[k][0]], tv[LOCAL_FACES[k][1]], tv[LOCAL_FACES[k][2]]};
      std::sort(key.begin(), key.end());
      auto [it, ins] = fi.emplace(key, r.faces.size());
      if (ins) r.faces.push_back(key);
      tf[k] = it->second;
    }
    r.tet_edges.push_back(te);
    r.tet_faces.push_back(tf);
  }
  for (const auto& f : r.faces)
    r.face_edges.push_back({ei.at({f[0], f[1]}), ei.at({f[1], f[2]}), ei.at({f[0], f[2]})});
  r.face_tets.assign(r.faces.size(), {NO_TET, NO_TET});
  for (u64 t = 0; t < tets.size(); ++t)
    for (u64 f : r.tet_faces[t]) {
      auto& s = r.face_tets[f];
      if (s[0] == NO_TET) s[0] = t;
      else if (s[1] == NO_TET) s[1] = t;
    }
  return r;
}

// A structured box of n^3 cubes, six tetrahedra each, with node numbers and tetrahedra
// shuffled and vertex orders rotated, so that no numbering follows the grid.
void shuffled_box(int n, std::vector<Vec3>& nodes, std::vector<std::array<u64, 4>>& tets) {
  const int np = n + 1;
  std::vector<u64> perm(static_cast<std::size_t>(np * np * np));
  for (std::size_t i = 0; i < perm.size(); ++i) perm[i] = i;
  std::mt19937 rng(7);
  std::shuffle(perm.begin(), perm.end(), rng);
  nodes.assign(perm.size(), {});
  for (int k = 0; k < np; ++k)
    for (int j = 0; j < np; ++j)
      for (int i = 0; i < np; ++i) nodes[perm[(k * np + j) * np + i]] = {1.0 * i, 1.0 * j, 1.0 * k};
  const auto id = [&](int i, int j, int k) { return perm[(k * np + j) * np + i]; };
  static const int cube_tets[6][4] = {{0, 1, 3, 7}, {0, 1, 5, 7}, {0, 2, 3, 7},
                                      {0, 2, 6, 7}, {0, 4, 5, 7}, {0, 4, 6, 7}};
  tets.clear();
  for (int k = 0; k < n; ++k)
    for (int j = 0; j < n; ++j)
      for (int i = 0; i < n; ++i)
        for (const auto& ct : cube_tets) {
          std::array<u64, 4> t{};
          for (int v = 0; v < 4; ++v) {
            const int c = ct[v];
            t[v] = id(i + (c & 1), j + ((c >> 1) & 1), k + ((c >> 2) & 1));
          }
          std::rotate(t.begin(), t.begin() + (tets.size() % 4), t.end());
          tets.push_back(t);
        }
  std::shuffle(tets.begin(), tets.end(), rng);
}

std::string captured_topology_warning(std::vector<std::array<u64, 4>> tets, u64 n_nodes,
                                      Mesh* out = nullptr) {
  testing::internal::CaptureStderr();
  Mesh m = build_topology(std::vector<Vec3>(n_nodes, Vec3{0, 0, 0}), std::move(tets));
  if (out != nullptr) *out = std::move(m);
  return testing::internal::GetCapturedStderr();
}

}  // namespace

TEST(Topology, EmptyTetrahedronList) {
  Mesh m;
  EXPECT_EQ(captured_topology_warning({}, 3, &m), "");
  EXPECT_TRUE(m.edges.empty());
  EXPECT_TRUE(m.faces.empty());
  EXPECT_TRUE(m.tet_edges.empty());
  EXPECT_TRUE(m.face_tets.empty());
  EXPECT_TRUE(m.face_groups.empty() && m.volume_groups.empty());
  EXPECT_EQ(m.find_face({0, 1, 2}), NONE_U64);
  EXPECT_EQ(m.find_edge(0, 1), NONE_U64);
}

TEST(Topology, SingleTetrahedronNumbering) {
  const Mesh m = build_topology({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, {{0, 1, 2, 3}});
  EXPECT_EQ(m.edges, (std::vector<EdgeKey>{{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}}));
  EXPECT_EQ(m.faces, (std::vector<FaceKey>{{0, 1, 2}, {0, 2, 3}, {0, 1, 3}, {1, 2, 3}}));
  EXPECT_EQ(m.tet_edges[0], (std::array<u64, 6>{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(m.tet_faces[0], (std::array<u64, 4>{0, 1, 2, 3}));
  EXPECT_EQ(m.face_edges[2], (std::array<u64, 3>{0, 4, 2}));
  for (const auto& ft : m.face_tets) EXPECT_EQ(ft, (std::array<u64, 2>{0, NO_TET}));
  for (u64 e = 0; e < 6; ++e) EXPECT_EQ(m.edge_index.find(m.edges[e])->second, e);
  for (u64 f = 0; f < 4; ++f) EXPECT_EQ(m.find_face(m.faces[f]), f);
  EXPECT_EQ(m.find_edge(3, 1), 4u);
  EXPECT_EQ(m.find_face({1, 2, 4}), NONE_U64);
  EXPECT_EQ(m.edge_index.size(), 6u);
  // Iteration visits every key once.
  std::vector<u64> seen;
  for (const auto& [key, f] : m.face_index) {
    EXPECT_EQ(m.faces[f], key);
    seen.push_back(f);
  }
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<u64>{0, 1, 2, 3}));
}

TEST(Topology, ReversedTetrahedronKeepsLocalTables) {
  const Mesh m = build_topology({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, {{3, 2, 1, 0}});
  // First appearance: local edge (0,1) of (3,2,1,0) is nodes (2,3), and so on.
  EXPECT_EQ(m.edges, (std::vector<EdgeKey>{{2, 3}, {1, 3}, {0, 3}, {1, 2}, {0, 2}, {0, 1}}));
  EXPECT_EQ(m.faces, (std::vector<FaceKey>{{1, 2, 3}, {0, 1, 3}, {0, 2, 3}, {0, 1, 2}}));
  for (int k = 0; k < 6; ++k) {
    const u64 a = m.tets[0][LOCAL_EDGES[k][0]], b = m.tets[0][LOCAL_EDGES[k][1]];
    EXPECT_EQ(m.edges[m.tet_edges[0][k]], (EdgeKey{std::min(a, b), std::max(a, b)}));
  }
  for (int k = 0; k < 4; ++k) {
    FaceKey key{m.tets[0][LOCAL_FACES[k][0]], m.tets[0][LOCAL_FACES[k][1]],
                m.tets[0][LOCAL_FACES[k][2]]};
    std::sort(key.begin(), key.end());
    EXPECT_EQ(m.faces[m.tet_faces[0][k]], key);
  }
  // face_edges are (a,b), (b,c), (a,c) of each ascending triple.
  for (u64 f = 0; f < 4; ++f) {
    const auto& [a, b, c] = m.faces[f];
    EXPECT_EQ(m.face_edges[f], (std::array<u64, 3>{m.find_edge(a, b), m.find_edge(b, c),
                                                   m.find_edge(a, c)}));
  }
}

TEST(Topology, SharedFaceLowerTetrahedronFirst) {
  // Face (1,2,3) is shared; the second tetrahedron lists it in another order.
  for (const auto& second : {std::array<u64, 4>{4, 3, 2, 1}, std::array<u64, 4>{2, 1, 4, 3}}) {
    Mesh m;
    EXPECT_EQ(captured_topology_warning({{0, 1, 2, 3}, second}, 5, &m), "");
    EXPECT_EQ(m.faces.size(), 7u);
    const u64 f = m.find_face({1, 2, 3});
    ASSERT_NE(f, NONE_U64);
    EXPECT_EQ(m.face_tets[f], (std::array<u64, 2>{0, 1}));
    u64 boundary = 0;
    for (const auto& ft : m.face_tets) boundary += ft[1] == NO_TET;
    EXPECT_EQ(boundary, 6u);
  }
}

TEST(Topology, NonManifoldFacesWarnAndDropIncidences) {
  Mesh m;
  const std::string one = captured_topology_warning({{0, 1, 2, 3}, {1, 2, 3, 4}, {5, 3, 2, 1}}, 6, &m);
  EXPECT_EQ(one,
            "WARNING: non-manifold mesh: 1 face-tet incidences beyond the two-per-face limit were "
            "dropped; face-jump terms on those faces will be wrong\n");
  EXPECT_EQ(m.face_tets[m.find_face({1, 2, 3})], (std::array<u64, 2>{0, 1}));
  const std::string two = captured_topology_warning(
      {{0, 1, 2, 3}, {1, 2, 3, 4}, {5, 3, 2, 1}, {6, 7, 8, 9}, {7, 8, 9, 10}, {7, 8, 9, 11}}, 12);
  EXPECT_NE(two.find("non-manifold mesh: 2 face-tet incidences"), std::string::npos);
}

TEST(Topology, EdgeLength) {
  const Mesh m = build_topology({{0, 0, 0}, {3, 4, 0}, {0, 0, 1}, {1, 1, 1}}, {{0, 1, 2, 3}});
  EXPECT_EQ(m.edges[0], (EdgeKey{0, 1}));
  EXPECT_DOUBLE_EQ(m.edge_lengths[0], 5.0);
}

TEST(Topology, NodeIndexBeyondTheNodeListStops) {
  try {
    build_topology(std::vector<Vec3>(3), {{0, 1, 2, 3}});
    FAIL() << "no stop";
  } catch (const Panic& p) {
    EXPECT_STREQ(p.what(), "index out of bounds: the len is 3 but the index is 3");
  }
}

TEST(Topology, RepeatedNodeIsNumberedLikeAnyOther) {
  const Mesh m = build_topology(std::vector<Vec3>(3), {{0, 0, 1, 2}});
  EXPECT_EQ(m.edges[0], (EdgeKey{0, 0}));
  // Local faces (0,1,2) and (0,3,1) of (0,0,1,2) become faces (0,0,1) and (0,0,2)...
  EXPECT_EQ(m.faces.size(), 3u);
  // ...and the face met twice by the same tetrahedron holds it in both slots.
  const u64 f = m.find_face({0, 1, 2});
  EXPECT_EQ(m.face_tets[f], (std::array<u64, 2>{0, 0}));
}

class ShuffledBox : public testing::TestWithParam<int> {};

// n = 6: one hash shard; n = 20: 48000 tetrahedra, numbered across several shards in parallel.
INSTANTIATE_TEST_SUITE_P(Topology, ShuffledBox, testing::Values(6, 20));

TEST_P(ShuffledBox, MatchesNaiveNumbering) {
  std::vector<Vec3> nodes;
  std::vector<std::array<u64, 4>> tets;
  shuffled_box(GetParam(), nodes, tets);
  const Reference r = reference_topology(tets);
  const Mesh m = build_topology(nodes, tets);
  EXPECT_EQ(m.edges, r.edges);
  EXPECT_EQ(m.faces, r.faces);
  EXPECT_EQ(m.tet_edges, r.tet_edges);
  EXPECT_EQ(m.tet_faces, r.tet_faces);
  EXPECT_EQ(m.face_edges, r.face_edges);
  EXPECT_EQ(m.face_tets, r.face_tets);
  for (u64 e = 0; e < m.edges.size(); ++e) {
    const Vec3& p = nodes[m.edges[e][0]];
    const Vec3& q = nodes[m.edges[e][1]];
    // Grid edges have lengths 1, sqrt 2 or sqrt 3.
    const double l2 = std::round((q[0] - p[0]) * (q[0] - p[0]) + (q[1] - p[1]) * (q[1] - p[1]) +
                                 (q[2] - p[2]) * (q[2] - p[2]));
    EXPECT_DOUBLE_EQ(m.edge_lengths[e], std::sqrt(l2));
    EXPECT_EQ(m.find_edge(m.edges[e][1], m.edges[e][0]), e);
  }
  // Euler characteristic of a ball: V - E + F - T = 1.
  EXPECT_EQ(static_cast<long>(nodes.size()) - static_cast<long>(m.edges.size()) +
                static_cast<long>(m.faces.size()) - static_cast<long>(m.tets.size()),
            1);
}

TEST(Topology, IndexIterationVisitsEveryKeyOnce) {
  std::vector<Vec3> nodes;
  std::vector<std::array<u64, 4>> tets;
  shuffled_box(20, nodes, tets);
  const Mesh m = build_topology(nodes, tets);
  ASSERT_GT(m.face_index.n_shards(), 1u);
  std::vector<int> seen(m.faces.size(), 0);
  std::size_t n = 0;
  for (const auto& [key, f] : m.face_index) {
    ASSERT_LT(f, m.faces.size());
    EXPECT_EQ(m.faces[f], key);
    ++seen[f];
    ++n;
  }
  EXPECT_EQ(n, m.faces.size());
  EXPECT_EQ(m.face_index.size(), m.faces.size());
  EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](int c) { return c == 1; }));
  EXPECT_EQ(m.edge_index.at(m.edges[17]), 17u);
  EXPECT_THROW(m.edge_index.at({0, 0}), std::out_of_range);
}

TEST(IndexMap, SwitchesToWideSlotsForLargeValues) {
  IndexMap<2> map;
  for (u64 i = 0; i < 1000; ++i) EXPECT_EQ(map.insert({i, i + 1}).first, i);
  // A component beyond 32 bits moves every key to 64-bit slots.
  const u64 big = u64{1} << 40;
  EXPECT_EQ(map.insert({big, big + 1}), (std::pair<u64, bool>{1000, true}));
  EXPECT_EQ(map.insert({5, 6}), (std::pair<u64, bool>{5, false}));
  for (u64 i = 0; i < 1000; ++i) EXPECT_EQ(map.lookup({i, i + 1}), i);
  EXPECT_EQ(map.lookup({big, big + 1}), 1000u);
  EXPECT_EQ(map.lookup({big, big}), NONE_U64);
  // Renumbering to values beyond 32 bits.
  IndexMap<1> small;
  small.insert({7});
  small.insert({9});
  small.renumber({big, 3});
  EXPECT_EQ(small.lookup({7}), big);
  EXPECT_EQ(small.lookup({9}), 3u);
  EXPECT_EQ(small.find({9})->second, 3u);
  EXPECT_EQ(small.lookup({big}), NONE_U64);
}

// ---- MSH import -------------------------------------------------------------------------------

namespace {

const char* ENTITIES =
    "$Entities\n0 0 2 1\n"
    "5 0 0 0 1 1 1 2 7 8 0\n"  // surface 5: physical tags 7, 8
    "6 0 0 0 1 1 1 0 0\n"      // surface 6: no physical tag
    "1 0 0 0 1 1 1 1 3 0\n"    // volume 1: physical tag 3
    "$EndEntities\n";

// One tetrahedron on nodes tagged 1..4 in tag order.
const char* NODES_1234 =
    "$Nodes\n1 4 1 4\n3 1 0 4\n1\n2\n3\n4\n0 0 0\n1 0 0\n0 1 0\n0 0 1\n$EndNodes\n";

std::string msh(const std::string& body, const std::string& header = "4.1 0 8") {
  return "$MeshFormat\n" + header + "\n$EndMeshFormat\n" + body;
}

Mesh load(const std::string& text, std::string* err = nullptr) {
  testing::internal::CaptureStderr();
  try {
    Mesh m = load_msh_bytes({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
    const std::string line = testing::internal::GetCapturedStderr();
    if (err != nullptr) *err = line;
    return m;
  } catch (...) {
    testing::internal::GetCapturedStderr();
    throw;
  }
}

// The Error message of importing `text`, or "" when it imports.
std::string error_of(const std::string& text) {
  try {
    load(text);
  } catch (const Error& e) {
    return e.what();
  }
  return "";
}

bool starts_with(const std::string& s, const std::string& prefix) {
  return s.rfind(prefix, 0) == 0;
}

// Little- (or big-) endian binary MSH writer for the tests.
struct BinWriter {
  std::string out;
  bool big = false;
  void raw(const void* p, std::size_t n) {
    std::string b(static_cast<const char*>(p), n);
    if (big) std::reverse(b.begin(), b.end());
    out += b;
  }
  void i32v(std::int32_t v) { raw(&v, 4); }
  void sz(std::uint64_t v) { raw(&v, 8); }
  void f64(double v) { raw(&v, 8); }
  void text(const std::string& s) { out += s; }
};

// A binary file with two tetrahedra sharing face (2,3,4), node tags 10..50 written out of order,
// a line block, a 10-node tetrahedron block and a triangle block on surface 5.
std::string binary_file(bool big_endian) {
  BinWriter w;
  w.big = big_endian;
  w.text("$MeshFormat\n4.1 1 8\n");
  w.i32v(1);
  w.text("\n$EndMeshFormat\n$PhysicalNames\n1\n2 7 \"port\"\n$EndPhysicalNames\n$Entities\n");
  for (std::uint64_t n : {0, 0, 1, 1}) w.sz(n);
  w.i32v(5);
  for (int k = 0; k < 6; ++k) w.f64(0);
  w.sz(1);
  w.i32v(7);
  w.sz(0);
  w.i32v(1);
  for (int k = 0; k < 6; ++k) w.f64(0);
  w.sz(0);
  w.sz(0);
  w.text("\n$EndEntities\n$Nodes\n");
  for (std::uint64_t n : {1, 5, 10, 50}) w.sz(n);
  w.i32v(3);
  w.i32v(1);
  w.i32v(0);
  w.sz(5);
  const std::uint64_t tags[5] = {30, 10, 50, 20, 40};
  const double xyz[5][3] = {{0, 1, 0}, {0, 0, 0}, {1, 1, 1}, {1, 0, 0}, {0, 0, 1}};
  for (auto t : tags) w.sz(t);
  for (auto& p : xyz)
    for (double x : p) w.f64(x);
  w.text("\n$EndNodes\n$Elements\n");
  for (std::uint64_t n : {4, 6, 1, 6}) w.sz(n);
  // A line block (type 1, two nodes), skipped.
  w.i32v(1);
  w.i32v(1);
  w.i32v(1);
  w.sz(1);
  for (std::uint64_t v : {1, 10, 20}) w.sz(v);
  // Tetrahedra (type 4).
  w.i32v(3);
  w.i32v(1);
  w.i32v(4);
  w.sz(2);
  for (std::uint64_t v : {2, 10, 20, 30, 40}) w.sz(v);
  for (std::uint64_t v : {3, 50, 40, 30, 20}) w.sz(v);
  // One 10-node tetrahedron (type 11), skipped.
  w.i32v(3);
  w.i32v(1);
  w.i32v(11);
  w.sz(1);
  w.sz(4);
  for (int k = 0; k < 10; ++k) w.sz(10);
  // Triangles (type 2) on surface 5: face (10,20,30) and a triangle that is no face.
  w.i32v(2);
  w.i32v(5);
  w.i32v(2);
  w.sz(2);
  for (std::uint64_t v : {5, 30, 10, 20}) w.sz(v);
  for (std::uint64_t v : {6, 10, 20, 50}) w.sz(v);
  w.text("\n$EndElements\n$NodeData\n1\n\"junk\"\n0\n0\n$EndNodeData\n");
  return w.out;
}

}  // namespace

TEST(MshImport, DenseTagsInOrderAndGroups) {
  std::string line;
  const Mesh m = load(msh(std::string(ENTITIES) + NODES_1234 +
                          "$Elements\n2 2 1 2\n"
                          "2 5 2 1\n1 3 1 2\n"  // triangle written (3,1,2) -> face (0,1,2)
                          "3 1 4 1\n2 4 1 3 2\n"
                          "$EndElements\n"),
                      &line);
  EXPECT_EQ(line, "Mesh: 4 nodes, 6 edges, 4 tris, 1 tets\n");
  EXPECT_EQ(m.nodes[1], (Vec3{1, 0, 0}));
  EXPECT_EQ(m.tets[0], (std::array<u64, 4>{3, 0, 2, 1}));  // file order kept, not sorted
  const u64 f = m.find_face({0, 1, 2});
  EXPECT_EQ(m.face_groups.at(7), std::vector<u64>{f});
  EXPECT_EQ(m.face_groups.at(8), std::vector<u64>{f});
  EXPECT_EQ(m.face_groups.count(5), 0u);
  EXPECT_EQ(m.volume_groups.at(3), std::vector<u64>{0});
  EXPECT_EQ(m.volume_groups.size(), 1u);
}

TEST(MshImport, GroupsFallBackToEntityTags) {
  const std::string elements =
      "$Elements\n3 4 1 4\n"
      "2 6 2 1\n1 1 2 4\n"
      "2 5 2 2\n2 1 2 3\n3 2 3 4\n"
      "3 1 4 1\n4 1 2 3 4\n$EndElements\n";
  // Surface 6 has no physical tag: its triangle goes under 6.
  const Mesh with = load(msh(std::string(ENTITIES) + NODES_1234 + elements));
  EXPECT_EQ(with.face_groups.at(6), std::vector<u64>{with.find_face({0, 1, 3})});
  EXPECT_EQ(with.face_groups.at(7).size(), 2u);
  // Without $Entities everything goes under entity tags.
  const Mesh without = load(msh(std::string(NODES_1234) + elements));
  EXPECT_EQ(without.face_groups.at(5),
            (std::vector<u64>{without.find_face({0, 1, 2}), without.find_face({1, 2, 3})}));
  EXPECT_EQ(without.volume_groups.at(1), std::vector<u64>{0});
}

TEST(MshImport, TriangleThatIsNoFaceIsLeftOut) {
  const Mesh m = load(msh(
      "$Nodes\n1 5 1 5\n3 1 0 5\n1\n2\n3\n4\n5\n0 0 0\n1 0 0\n0 1 0\n0 0 1\n1 1 1\n$EndNodes\n"
      "$Elements\n2 3 1 3\n2 5 2 2\n1 1 2 5\n2 1 2 3\n3 1 4 1\n3 1 2 3 4\n$EndElements\n"));
  EXPECT_EQ(m.face_groups.at(5), std::vector<u64>{m.find_face({0, 1, 2})});
}

TEST(MshImport, SparseAndOutOfOrderNodeTags) {
  // Sparse tags 10..40 written in order: the tetrahedron is (0,1,2,3).
  const Mesh sparse = load(msh(
      "$Nodes\n1 4 10 40\n3 1 0 4\n10\n20\n30\n40\n0 0 0\n1 0 0\n0 1 0\n0 0 1\n$EndNodes\n"
      "$Elements\n1 1 1 1\n3 1 4 1\n1 10 20 30 40\n$EndElements\n"));
  EXPECT_EQ(sparse.tets[0], (std::array<u64, 4>{0, 1, 2, 3}));
  // A dense numbering 1..4 written out of order: elements still name nodes by their tags, so
  // every tetrahedron keeps its geometry.
  const Mesh shuffled = load(msh(
      "$Nodes\n1 4 1 4\n3 1 0 4\n3\n1\n4\n2\n0 1 0\n0 0 0\n0 0 1\n1 0 0\n$EndNodes\n"
      "$Elements\n1 1 1 1\n3 1 4 1\n1 1 2 3 4\n$EndElements\n"));
  EXPECT_EQ(shuffled.tets[0], (std::array<u64, 4>{1, 3, 0, 2}));
  const std::array<Vec3, 4> want = {Vec3{0, 0, 0}, Vec3{1, 0, 0}, Vec3{0, 1, 0}, Vec3{0, 0, 1}};
  for (int k = 0; k < 4; ++k) EXPECT_EQ(shuffled.nodes[shuffled.tets[0][k]], want[k]);
  // Tags spread over several blocks, one of them huge: the sparse map.
  const Mesh spread = load(msh(
      "$Nodes\n2 4 1 9000000000\n3 1 0 2\n9000000000\n1\n0 0 0\n1 0 0\n"
      "3 1 0 2\n77\n5\n0 1 0\n0 0 1\n$EndNodes\n"
      "$Elements\n1 1 1 1\n3 1 4 1\n1 9000000000 1 77 5\n$EndElements\n"));
  EXPECT_EQ(spread.tets[0], (std::array<u64, 4>{0, 1, 2, 3}));
}

TEST(MshImport, BinaryBothEndiannesses) {
  for (const bool big : {false, true}) {
    SCOPED_TRACE(big ? "big-endian" : "little-endian");
    std::string line;
    const Mesh m = load(binary_file(big), &line);
    EXPECT_EQ(line, "Mesh: 5 nodes, 9 edges, 7 tris, 2 tets\n");
    // Node order is file order (tags 30, 10, 50, 20, 40); tetrahedra name nodes by tag.
    EXPECT_EQ(m.tets[0], (std::array<u64, 4>{1, 3, 0, 4}));
    EXPECT_EQ(m.tets[1], (std::array<u64, 4>{2, 4, 0, 3}));
    EXPECT_EQ(m.nodes[2], (Vec3{1, 1, 1}));
    EXPECT_EQ(m.face_tets[m.find_face({0, 3, 4})], (std::array<u64, 2>{0, 1}));
    EXPECT_EQ(m.face_groups.at(7), std::vector<u64>{m.find_face({0, 1, 3})});
    EXPECT_EQ(m.volume_groups.at(1), (std::vector<u64>{0, 1}));
  }
}

TEST(MshImport, SkipsUnknownSectionsAndOtherElementTypes) {
  const Mesh m = load(msh(
      "$PhysicalNames\n1\n3 3 \"$EndElements is not the end\"\n$EndPhysicalNames\n" +
      std::string(NODES_1234) +
      "$Periodic\n0\n$EndPeriodic\n"
      "$Elements\n4 4 1 4\n"
      "0 1 15 1\n1 1\n"                        // point
      "1 1 1 1\n2 1 2\n"                       // line
      "3 1 11 1\n3 1 2 3 4 1 2 3 4 1 2\n"      // 10-node tetrahedron
      "3 1 4 1\n4 1 2 3 4\n$EndElements\n"
      "$NodeData\n1\n\"x\"\n1\n0.0\n3\n0\n1\n4\n1 0.5\n2 0.5\n3 0.5\n4 0.5\n$EndNodeData\n"));
  EXPECT_EQ(m.tets.size(), 1u);
  EXPECT_EQ(m.tets[0], (std::array<u64, 4>{0, 1, 2, 3}));
}

TEST(MshImport, ReturnedMessages) {
  const std::string tet = "$Elements\n1 1 1 1\n3 1 4 1\n1 1 2 3 4\n$EndElements\n";
  struct Case {
    const char* name;
    std::string text;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"no nodes", msh(tet), "No nodes in mesh"},
      {"no elements", msh(NODES_1234), "No elements in mesh"},
      {"triangles only",
       msh(std::string(NODES_1234) + "$Elements\n1 1 1 1\n2 1 2 1\n1 1 2 3\n$EndElements\n"),
       "No tetrahedra found in mesh"},
      {"second-order only",
       msh(std::string(NODES_1234) +
           "$Elements\n1 1 1 1\n3 1 11 1\n1 1 2 3 4 1 2 3 4 1 2\n$EndElements\n"),
       "No tetrahedra found in mesh"},
      {"empty element section", msh(std::string(NODES_1234) + "$Elements\n0 0 0 0\n$EndElements\n"),
       "No tetrahedra found in mesh"},
      {"unknown tag in tet",
       msh(std::string(NODES_1234) + "$Elements\n1 1 1 1\n3 1 4 1\n1 1 2 3 9\n$EndElements\n"),
       "Unknown node tag in tet"},
      {"unknown tag in tri",
       msh(std::string(NODES_1234) +
           "$Elements\n2 2 1 2\n2 1 2 1\n1 1 2 0\n3 1 4 1\n2 1 2 3 4\n$EndElements\n"),
       // tag 0 is no node of the file: the triangle block comes first
       "Unknown node tag in tri"},
      {"repeated node",
       msh(std::string(NODES_1234) + "$Elements\n1 1 1 1\n3 1 4 1\n17 1 2 3 2\n$EndElements\n"),
       "Degenerate tetrahedron: element 17 repeats node 2"},
      {"nan coordinate",
       msh("$Nodes\n1 4 1 4\n3 1 0 4\n1\n2\n3\n4\n0 0 0\n1 0 0\n0 nan 0\n0 0 1\n$EndNodes\n" + tet),
       "Node 3 has a non-finite coordinate"},
      {"infinite coordinate",
       msh("$Nodes\n1 4 1 4\n3 1 0 4\n1\n2\n3\n4\n0 0 0\n1 0 0\n0 1 0\n0 0 -inf\n$EndNodes\n" + tet),
       "Node 4 has a non-finite coordinate"},
      {"bad coordinate",
       msh("$Nodes\n1 4 1 4\n3 1 0 4\n1\n2\n3\n4\n0 0 0\n1 0 0\n0 abc 0\n0 0 1\n$EndNodes\n" + tet),
       "Cannot parse mesh bytes: MshParserError([$Nodes section, entity block 1: line 13: "
       "expected a node coordinate, found 'abc'])"},
      {"version 2.2", msh(std::string(NODES_1234) + tet, "2.2 0 8"),
       "Cannot parse mesh bytes: MshParserError([$MeshFormat section: line 2: unsupported MSH "
       "format version 2.2 (only 4.1 is read)])"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(error_of(c.text), c.message);
  }
}

TEST(MshImport, MalformedInputIsAParseError) {
  const std::string tet = "$Elements\n1 1 1 1\n3 1 4 1\n1 1 2 3 4\n$EndElements\n";
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"version 4.0", msh(std::string(NODES_1234) + tet, "4 0 8")},
      {"empty input", ""},
      {"not msh", "hello world"},
      {"file type 2", msh(std::string(NODES_1234) + tet, "4.1 2 8")},
      {"missing $EndNodes", msh("$Nodes\n1 4 1 4\n3 1 0 4\n1\n2\n3\n4\n0 0 0\n1 0 0\n0 1 0\n0 0 1\n" + tet)},
      {"missing end of unknown section", msh(std::string(NODES_1234) + tet + "$Comments\nabc\n")},
      {"node tag 0", msh("$Nodes\n1 4 0 3\n3 1 0 4\n0\n1\n2\n3\n0 0 0\n1 0 0\n0 1 0\n0 0 1\n$EndNodes\n" + tet)},
      {"parametric nodes", msh("$Nodes\n1 1 1 1\n3 1 1 1\n1\n0 0 0 0.5 0.5 0.5\n$EndNodes\n" + tet)},
      {"unknown element type", msh(std::string(NODES_1234) + "$Elements\n1 1 1 1\n3 1 77 1\n1 1 2 3 4\n$EndElements\n")},
      {"polygon element type", msh(std::string(NODES_1234) + "$Elements\n1 1 1 1\n2 1 34 1\n1 1 2 3\n$EndElements\n")},
      {"too few node tags", msh(std::string(NODES_1234) + "$Elements\n1 1 1 1\n3 1 4 1\n1 1 2 3\n$EndElements\n")},
      {"negative node tag", msh(std::string(NODES_1234) + "$Elements\n1 1 1 1\n3 1 4 1\n1 1 2 3 -4\n$EndElements\n")},
      {"overflowing tag", msh(std::string(NODES_1234) + "$Elements\n1 1 1 1\n3 1 4 1\n1 1 2 3 99999999999999999999\n$EndElements\n")},
      {"coordinate out of range", msh("$Nodes\n1 1 1 1\n3 1 0 1\n1\n0 0 1e999\n$EndNodes\n" + tet)},
      {"huge block count", msh("$Nodes\n1 4 1 4\n3 1 0 1000000000000000000\n1\n$EndNodes\n" + tet)},
      {"two node sections", msh(std::string(NODES_1234) + NODES_1234 + tet)},
      {"text after number", msh("$Nodes\n1 1 1 1\n3 1 0 1\n1\n0 0 1x\n$EndNodes\n" + tet)},
  };
  for (const auto& [name, text] : cases) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(starts_with(error_of(text), "Cannot parse mesh bytes: MshParserError(["))
        << error_of(text);
  }
}

TEST(MshImport, BinaryCountsBeyondTheInputAreRefused) {
  // A node block claiming 2^60 nodes must fail on the bytes, not try to allocate them.
  std::string f = binary_file(false);
  const std::size_t nodes = f.find("$Nodes\n") + 7;
  const std::size_t block_count = nodes + 4 * 8 + 3 * 4;
  const std::uint64_t huge = std::uint64_t{1} << 60;
  std::memcpy(&f[block_count], &huge, 8);
  const std::string e = error_of(f);
  EXPECT_TRUE(starts_with(e, "Cannot parse mesh bytes: MshParserError([$Nodes section, entity "
                             "block 1: byte offset "))
      << e;
  EXPECT_NE(e.find("1152921504606846976 nodes run past the end of the input])"), std::string::npos)
      << e;
  // A bad endianness check.
  std::string g = binary_file(false);
  g[g.find("4.1 1 8\n") + 8] = 2;
  EXPECT_NE(error_of(g).find("endianness"), std::string::npos);
}

TEST(MshImport, EveryTruncationFailsCleanly) {
  for (const std::string& full :
       {binary_file(false), msh(std::string(ENTITIES) + NODES_1234 +
                                "$Elements\n1 1 1 1\n3 1 4 1\n1 1 2 3 4\n$EndElements\n")}) {
    const std::size_t complete = full.find("$EndElements") + std::strlen("$EndElements");
    for (std::size_t n = 0; n < complete; ++n) {
      std::string e;
      try {
        load(full.substr(0, n));
      } catch (const Error& err) {
        e = err.what();
      }
      EXPECT_FALSE(e.empty()) << "prefix of " << n << " bytes was accepted";
    }
    EXPECT_NO_THROW(load(full.substr(0, complete)));
  }
}

TEST(MshImport, CorruptedBytesNeverCrash) {
  // Random byte flips: every outcome is a mesh or an Error, never a crash or another exception.
  const std::string base = binary_file(false);
  std::mt19937 rng(11);
  int errors = 0;
  for (int trial = 0; trial < 3000; ++trial) {
    std::string f = base;
    const int flips = 1 + trial % 4;
    for (int i = 0; i < flips; ++i) f[rng() % f.size()] = static_cast<char>(rng() & 0xff);
    try {
      load(f);
    } catch (const Error&) {
      ++errors;
    }
  }
  EXPECT_GT(errors, 0);
}

TEST(MshImport, EmptyNodeBlocksAreAllowed) {
  // A binary node block with no nodes (its data is empty, possibly before any node storage
  // exists) in front of the real one.
  std::string f = binary_file(false);
  const std::size_t header = f.find("$Nodes\n") + 7;
  const std::uint64_t two_blocks = 2;
  std::memcpy(&f[header], &two_blocks, 8);
  BinWriter empty;
  for (std::int32_t v : {0, 9, 0}) empty.i32v(v);
  empty.sz(0);
  f.insert(header + 4 * 8, empty.out);
  const Mesh m = load(f);
  EXPECT_EQ(m.nodes.size(), 5u);
  EXPECT_EQ(m.tets.size(), 2u);
}
