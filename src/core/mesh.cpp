#include "core/mesh.hpp"

#include "core/huge_pages.hpp"

#include <algorithm>
#include <bit>
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

// The local vertices of local face k, ordered by their node numbers (a sorting network; the
// order among equal node numbers does not matter, they give the same key).
inline std::array<int, 3> sorted_face(const std::array<u64, 4>& tv, int k) {
  int a = LOCAL_FACES[k][0], b = LOCAL_FACES[k][1], c = LOCAL_FACES[k][2];
  if (tv[b] < tv[a]) std::swap(a, b);
  if (tv[c] < tv[b]) std::swap(b, c);
  if (tv[b] < tv[a]) std::swap(a, b);
  return {a, b, c};
}

// Shards of about 32k occurrences keep each shard's table within a core's cache.
std::size_t shard_count(std::size_t n_occ) {
  std::size_t s = 1;
  while (s < 4096 && s * 32768 < n_occ) s *= 2;
  return s;
}

template <std::size_t N>
struct Numbered {
  std::vector<std::array<u64, N>> keys;  // by number: first-appearance order
  std::vector<u64> first;                // per key: its first occurrence
  std::vector<u64> second;               // per key: its second occurrence, or NONE_U64
  u64 beyond_two = 0;                    // occurrences after the second of their key
  ShardedIndexMap<N> index;
};

// Numbers the distinct keys among the occurrences o = 0 .. n_occ-1 in order of first appearance
// and hands every occurrence its key's number through set_id(o, number) (each o once; o in
// parallel chunks).
//
// The result is the numbering of one pass over the occurrences with a single hash map, without
// that pass's cache and TLB misses on a large mesh: the occurrences are first partitioned by
// hash shard (keeping their order), every shard numbers its own keys in order of first
// appearance with a small table (shards in parallel), and a key's global number is the rank of
// its first occurrence among all first occurrences (a bitmap over o with prefix counts).
//
// T is the integer type of the working lists: 32 bits whenever every node number and occurrence
// fits (halving the memory the partition writes), else 64 bits.
template <std::size_t N, class T, class KeyOf, class SetId>
Numbered<N> number_keys(std::size_t n_occ, std::size_t occ_per_key, KeyOf key_of, SetId set_id) {
  struct Record {
    std::array<T, N> key;
    T o;
  };
  const std::size_t n_shards = shard_count(n_occ);
  Numbered<N> out;
  out.index = ShardedIndexMap<N>(n_shards);

  // 1. Partition by shard, stable in o: chunks of occurrences count their shards in parallel,
  // and chunk c writes its occurrences of shard s after those of the chunks before it.
  const std::size_t n_chunks = std::min<std::size_t>(64, n_occ / 65536 + 1);
  const std::size_t chunk_len = (n_occ + n_chunks - 1) / n_chunks;
  std::vector<std::uint16_t> shard_of;
  resize_huge(shard_of, n_occ);
  std::vector<u64> offset(n_chunks * n_shards, 0);  // [chunk][shard]
  parallel_for(n_chunks, [&](std::size_t c) {
    u64* count = &offset[c * n_shards];
    for (std::size_t o = c * chunk_len; o < std::min(n_occ, (c + 1) * chunk_len); ++o) {
      const std::size_t s = out.index.shard_of(key_of(o));
      shard_of[o] = static_cast<std::uint16_t>(s);
      ++count[s];
    }
  });
  std::vector<u64> start(n_shards + 1, 0);
  for (std::size_t s = 0; s < n_shards; ++s) {
    u64 at = start[s];
    for (std::size_t c = 0; c < n_chunks; ++c) {
      const u64 n = offset[c * n_shards + s];
      offset[c * n_shards + s] = at;
      at += n;
    }
    start[s + 1] = at;
  }
  std::vector<Record> records;
  resize_huge(records, n_occ);
  parallel_for(n_chunks, [&](std::size_t c) {
    std::vector<u64> cursor(offset.begin() + c * n_shards, offset.begin() + (c + 1) * n_shards);
    for (std::size_t o = c * chunk_len; o < std::min(n_occ, (c + 1) * chunk_len); ++o) {
      const auto k = key_of(o);
      Record& r = records[cursor[shard_of[o]]++];
      for (std::size_t i = 0; i < N; ++i) r.key[i] = static_cast<T>(k[i]);
      r.o = static_cast<T>(o);
    }
  });

  // 2. Shard-local numbers in order of first appearance.
  std::vector<T> local;
  resize_huge(local, n_occ);
  std::vector<std::vector<u64>> first(n_shards), second(n_shards);
  std::vector<u64> beyond(n_shards, 0);
  parallel_for(n_shards, [&](std::size_t s) {
    IndexMap<N>& table = out.index.shard(s);
    const std::size_t n = start[s + 1] - start[s];
    // A little more than the expected key count: boundary keys have fewer occurrences.
    const std::size_t expect = n / occ_per_key + n / 8 + 16;
    table.reserve(expect);
    first[s].reserve(expect);
    second[s].reserve(expect);
    for (u64 i = start[s]; i < start[s + 1]; ++i) {
      std::array<u64, N> key;
      for (std::size_t c = 0; c < N; ++c) key[c] = records[i].key[c];
      const auto [j, inserted] = table.insert(key);
      local[i] = static_cast<T>(j);
      if (inserted) {
        first[s].push_back(records[i].o);
        second[s].push_back(NONE_U64);
      } else if (second[s][j] == NONE_U64) {
        second[s][j] = records[i].o;
      } else {
        ++beyond[s];
      }
    }
  });
  records = {};
  for (const u64 b : beyond) out.beyond_two += b;

  // 3. Global number = rank of the key's first occurrence.
  std::vector<u64> bits((n_occ + 63) / 64, 0), before(bits.size() + 1, 0);
  for (const auto& fs : first)
    for (const u64 o : fs) bits[o >> 6] |= u64{1} << (o & 63);
  for (std::size_t w = 0; w < bits.size(); ++w)
    before[w + 1] = before[w] + static_cast<u64>(std::popcount(bits[w]));
  const std::size_t n_keys = before.back();
  resize_huge(out.keys, n_keys);
  resize_huge(out.first, n_keys);
  resize_huge(out.second, n_keys);
  std::vector<std::vector<u64>> global(n_shards);
  parallel_for(n_shards, [&](std::size_t s) {
    global[s].resize(first[s].size());
    for (std::size_t j = 0; j < first[s].size(); ++j) {
      const u64 o = first[s][j];
      const u64 below = bits[o >> 6] & ((u64{1} << (o & 63)) - 1);
      const u64 g = before[o >> 6] + static_cast<u64>(std::popcount(below));
      global[s][j] = g;
      out.first[g] = o;
      out.second[g] = second[s][j];
    }
    out.index.shard(s).renumber(global[s]);
  });
  parallel_for(n_keys, [&](std::size_t g) { out.keys[g] = key_of(out.first[g]); }, 4096);

  // 4. Every occurrence's number, chunk by chunk through the same positions as step 1.
  parallel_for(n_chunks, [&](std::size_t c) {
    std::vector<u64> cursor(offset.begin() + c * n_shards, offset.begin() + (c + 1) * n_shards);
    for (std::size_t o = c * chunk_len; o < std::min(n_occ, (c + 1) * chunk_len); ++o) {
      const std::size_t s = shard_of[o];
      set_id(o, global[s][local[cursor[s]++]]);
    }
  });
  return out;
}

// number_keys with 32-bit working lists when the node numbers and occurrences allow it.
template <std::size_t N, class KeyOf, class SetId>
Numbered<N> number_keys_sized(std::size_t n_occ, u64 n_nodes, std::size_t occ_per_key,
                              KeyOf key_of, SetId set_id) {
  constexpr u64 LIMIT = u64{1} << 32;
  if (n_occ < LIMIT && n_nodes < LIMIT)
    return number_keys<N, std::uint32_t>(n_occ, occ_per_key, key_of, set_id);
  return number_keys<N, u64>(n_occ, occ_per_key, key_of, set_id);
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
  resize_huge(m.tet_edges, nt);
  resize_huge(m.tet_faces, nt);

  // Edges: occurrence 6t + k is local edge k of tetrahedron t. Numbered in order of first
  // appearance: tetrahedra in index order, LOCAL_EDGES order within one. An edge of a large
  // mesh is shared by about five tetrahedra.
  {
    auto num = number_keys_sized<2>(
        6 * nt, nn, 5,
        [&](std::size_t o) {
          const auto& tv = m.tets[o / 6];
          const u64 a = tv[LOCAL_EDGES[o % 6][0]], b = tv[LOCAL_EDGES[o % 6][1]];
          return a < b ? EdgeKey{a, b} : EdgeKey{b, a};
        },
        [&](std::size_t o, u64 id) { m.tet_edges[o / 6][o % 6] = id; });
    m.edges = std::move(num.keys);
    m.edge_index = std::move(num.index);
  }

  // Faces: occurrence 4t + k is local face k of tetrahedron t; the same order of appearance.
  {
    auto num = number_keys_sized<3>(
        4 * nt, nn, 2,
        [&](std::size_t o) {
          const auto& tv = m.tets[o / 4];
          const auto s = sorted_face(tv, static_cast<int>(o % 4));
          return FaceKey{tv[s[0]], tv[s[1]], tv[s[2]]};
        },
        [&](std::size_t o, u64 id) { m.tet_faces[o / 4][o % 4] = id; });
    m.faces = std::move(num.keys);
    m.face_index = std::move(num.index);

    // A face's edges (a,b), (b,c), (a,c) are local edges of the tetrahedron that introduces it;
    // its tetrahedron slots are the first two tetrahedra, by index, that list it.
    const std::size_t nf = m.faces.size();
    resize_huge(m.face_edges, nf);
    resize_huge(m.face_tets, nf);
    parallel_for(
        nf,
        [&](std::size_t f) {
          const u64 o = num.first[f], t = o / 4;
          const auto s = sorted_face(m.tets[t], static_cast<int>(o % 4));
          const auto& te = m.tet_edges[t];
          m.face_edges[f] = {te[LOCAL_EDGE_OF[s[0]][s[1]]], te[LOCAL_EDGE_OF[s[1]][s[2]]],
                             te[LOCAL_EDGE_OF[s[0]][s[2]]]};
          m.face_tets[f] = {t, num.second[f] == NONE_U64 ? NO_TET : num.second[f] / 4};
        },
        4096);
    if (num.beyond_two > 0) {
      eprint("WARNING: non-manifold mesh: " + std::to_string(num.beyond_two) +
             " face-tet incidences beyond the two-per-face limit were dropped; face-jump terms "
             "on those faces will be wrong\n");
    }
  }

  resize_huge(m.edge_lengths, m.edges.size());
  parallel_for(
      m.edges.size(),
      [&](std::size_t e) {
        const Vec3& p = m.nodes[m.edges[e][0]];
        const Vec3& q = m.nodes[m.edges[e][1]];
        const double dx = q[0] - p[0], dy = q[1] - p[1], dz = q[2] - p[2];
        m.edge_lengths[e] = std::sqrt(dx * dx + dy * dy + dz * dz);
      },
      4096);
  return m;
}

}  // namespace vantrel
