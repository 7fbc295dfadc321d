#include "fd/farfield_surface.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>

#include "fd/tri_geometry.hpp"

namespace vantrel {

namespace {

// The distinct faces of a list, ascending.
std::vector<u64> distinct_faces(const Mesh& mesh, std::span<const u64> faces) {
  std::vector<u64> distinct(faces.begin(), faces.end());
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  for (u64 f : distinct) check_index(f, mesh.face_edges.size());
  return distinct;
}

// The faces in stored order, each at its first place only.
std::vector<u64> faces_once(const Mesh& mesh, std::span<const u64> faces) {
  const std::vector<u64> distinct = distinct_faces(mesh, faces);
  std::vector<char> done(distinct.size(), 0);
  std::vector<u64> out;
  out.reserve(distinct.size());
  for (u64 f : faces) {
    const auto k = std::lower_bound(distinct.begin(), distinct.end(), f) - distinct.begin();
    if (!done[k]) out.push_back(f);
    done[k] = 1;
  }
  return out;
}

// One face's use of an edge: the edge, the face's position in its list, and the direction in which
// the face's node cycle a → b → c runs along the edge (+1 from its lower node to its higher one).
struct EdgeUse {
  u64 edge;
  std::size_t face;
  int dir;
};

// The edge uses of `faces` sorted by edge, then face position: each run of one edge lists the
// faces that share it.
std::vector<EdgeUse> edge_uses(const Mesh& mesh, std::span<const u64> faces) {
  // face a < b < c: the cycle runs (a, b) and (b, c) upwards and (a, c) downwards
  constexpr std::array<int, 3> DIR = {1, 1, -1};
  std::vector<EdgeUse> uses;
  uses.reserve(3 * faces.size());
  for (std::size_t k = 0; k < faces.size(); ++k) {
    check_index(faces[k], mesh.face_edges.size());
    for (int e = 0; e < 3; ++e) uses.push_back({mesh.face_edges[faces[k]][e], k, DIR[e]});
  }
  std::sort(uses.begin(), uses.end(), [](const EdgeUse& a, const EdgeUse& b) {
    return a.edge != b.edge ? a.edge < b.edge : a.face < b.face;
  });
  return uses;
}

// Calls run(first, last) for each run of equal edges in sorted edge uses.
template <class F>
void for_each_edge_run(const std::vector<EdgeUse>& uses, F&& run) {
  for (std::size_t i = 0; i < uses.size();) {
    std::size_t j = i;
    while (j < uses.size() && uses[j].edge == uses[i].edge) ++j;
    run(i, j);
    i = j;
  }
}

// The edges used by an odd number of the distinct faces: the rim of an open surface.
std::vector<u64> rim_edges(const Mesh& mesh, std::span<const u64> faces) {
  const std::vector<EdgeUse> uses = edge_uses(mesh, distinct_faces(mesh, faces));
  std::vector<u64> rim;
  for_each_edge_run(uses, [&](std::size_t i, std::size_t j) {
    if ((j - i) % 2 != 0) rim.push_back(uses[i].edge);
  });
  return rim;
}

// Unit normal of the cycle a → b → c (the face's ascending nodes), centroid and area of a face; a
// degenerate face has no normal.
struct FacePlane {
  Vec3 unit{};
  Vec3 centre{};
  double area = 0.0;
};

FacePlane face_plane(const Mesh& mesh, u64 f) {
  check_index(f, mesh.faces.size());
  const auto& fn = mesh.faces[f];
  for (u64 v : fn) check_index(v, mesh.nodes.size());
  const Vec3 &a = mesh.nodes[fn[0]], &b = mesh.nodes[fn[1]], &c = mesh.nodes[fn[2]];
  const Vec3 m = cross3(sub3(b, a), sub3(c, a));
  const double len = std::sqrt(dot3(m, m));
  FacePlane p;
  p.area = 0.5 * len;
  if (len > 0) p.unit = {m[0] / len, m[1] / len, m[2] / len};
  for (int i = 0; i < 3; ++i) p.centre[i] = (a[i] + b[i] + c[i]) / 3.0;
  return p;
}

Vec3 tet_centroid(const Mesh& mesh, u64 t) {
  check_index(t, mesh.tets.size());
  Vec3 c{};
  for (u64 v : mesh.tets[t]) {
    check_index(v, mesh.nodes.size());
    for (int i = 0; i < 3; ++i) c[i] += 0.25 * mesh.nodes[v][i];
  }
  return c;
}

// True when tetrahedron t (one of the face's own) lies on the side `n` points to.
bool ahead_of(const Mesh& mesh, const FacePlane& p, const Vec3& n, u64 t) {
  return dot3(n, sub3(tet_centroid(mesh, t), p.centre)) > 0;
}

// A patch below this |Σ (c_f − c̄)·n_f·A_f| relative to A^{3/2} counts as flat: rounding of a
// plane patch stays many orders below it, any bulge or enclosed volume lies far above.
constexpr double FLAT = 1e-9;

}  // namespace

bool surface_is_closed(const Mesh& mesh, std::span<const u64> faces) {
  return rim_edges(mesh, faces).empty();
}

std::vector<Vec3> integration_surface_normals(const Mesh& mesh, std::span<const u64> faces) {
  const std::vector<u64> distinct = distinct_faces(mesh, faces);
  const std::size_t n = distinct.size();

  // unit normal of the cycle a → b → c, area and centroid of each distinct face
  std::vector<Vec3> unit(n), centre(n);
  std::vector<double> area(n);
  for (std::size_t k = 0; k < n; ++k) {
    const FacePlane p = face_plane(mesh, distinct[k]);
    unit[k] = p.unit;
    centre[k] = p.centre;
    area[k] = p.area;
  }

  // Patches: faces joined across edges that exactly two of them share, oriented so that the two
  // cycles run through such an edge in opposite directions (s_g = −s_f·dir_f·dir_g). An edge of
  // three or more faces (surfaces meeting along a line) joins nothing.
  const std::vector<EdgeUse> uses = edge_uses(mesh, distinct);
  std::vector<std::vector<std::pair<std::size_t, int>>> next(n);
  for_each_edge_run(uses, [&](std::size_t i, std::size_t j) {
    if (j - i != 2) return;
    const EdgeUse &u = uses[i], &v = uses[i + 1];
    const int rel = -u.dir * v.dir;
    next[u.face].push_back({v.face, rel});
    next[v.face].push_back({u.face, rel});
  });
  std::vector<int> sign(n, 0);
  std::vector<std::size_t> patch(n);
  std::vector<std::vector<std::size_t>> members;
  for (std::size_t start = 0; start < n; ++start) {
    if (sign[start] != 0) continue;
    const std::size_t p = members.size();
    members.emplace_back();
    std::vector<std::size_t>& list = members.back();
    sign[start] = 1;
    patch[start] = p;
    list.push_back(start);
    for (std::size_t head = 0; head < list.size(); ++head) {
      const std::size_t f = list[head];
      for (const auto& [g, rel] : next[f]) {
        if (sign[g] != 0) continue;  // a non-orientable patch keeps the first sign reached
        sign[g] = rel * sign[f];
        patch[g] = p;
        list.push_back(g);
      }
    }
  }

  // A patch is closed when each of its edges is used by an even number of its faces.
  std::vector<char> open(members.size(), 0);
  std::vector<std::size_t> ps;  // the patches of one edge's faces
  for_each_edge_run(uses, [&](std::size_t i, std::size_t j) {
    ps.clear();
    for (std::size_t k = i; k < j; ++k) ps.push_back(patch[uses[k].face]);
    std::sort(ps.begin(), ps.end());
    for (std::size_t a = 0; a < ps.size();) {
      std::size_t b = a;
      while (b < ps.size() && ps[b] == ps[a]) ++b;
      if ((b - a) % 2 != 0) open[ps[a]] = 1;
      a = b;
    }
  });

  // The side of each patch, from geometry and the mesh boundary only (not the order of the
  // tetrahedra):
  // - closed: out of the volume it encloses, Σ (c_f − c̄)·n_f·A_f = 3·volume > 0 (the divergence
  //   theorem; c̄ the area-weighted centroid makes the sum independent of the origin);
  // - open with faces on the mesh boundary: out of the mesh on most of their area;
  // - other open: towards its convex side (the same sum > 0); a flat patch along the largest
  //   component of Σ n_f·A_f, taken positive.
  for (std::size_t p = 0; p < members.size(); ++p) {
    double total = 0.0;
    Vec3 cbar{};
    for (std::size_t f : members[p]) {
      total += area[f];
      for (int i = 0; i < 3; ++i) cbar[i] += area[f] * centre[f][i];
    }
    if (total > 0) {
      for (double& v : cbar) v /= total;
    }
    double bulge = 0.0, vote = 0.0;
    Vec3 mean{};
    for (std::size_t f : members[p]) {
      const double s = sign[f] * area[f];
      bulge += s * dot3(sub3(centre[f], cbar), unit[f]);
      for (int i = 0; i < 3; ++i) mean[i] += s * unit[f][i];
      const auto& ft = mesh.face_tets[distinct[f]];
      if (ft[0] == NO_TET || ft[1] != NO_TET) continue;
      // out of the mesh: away from the face's one tetrahedron
      vote += dot3(unit[f], sub3(tet_centroid(mesh, ft[0]), centre[f])) < 0 ? s : -s;
    }
    int side;
    if (!open[p]) {
      side = bulge >= 0 ? 1 : -1;
    } else if (vote != 0.0) {
      side = vote > 0 ? 1 : -1;
    } else if (std::fabs(bulge) > FLAT * total * std::sqrt(total)) {
      side = bulge > 0 ? 1 : -1;
    } else {
      int axis = 0;
      for (int i = 1; i < 3; ++i) {
        if (std::fabs(mean[i]) > std::fabs(mean[axis])) axis = i;
      }
      side = mean[axis] >= 0 ? 1 : -1;
    }
    for (std::size_t f : members[p]) sign[f] *= side;
  }

  std::vector<Vec3> normals;
  normals.reserve(faces.size());
  for (u64 f : faces) {
    const std::size_t k =
        static_cast<std::size_t>(std::lower_bound(distinct.begin(), distinct.end(), f) - distinct.begin());
    normals.push_back({sign[k] * unit[k][0], sign[k] * unit[k][1], sign[k] * unit[k][2]});
  }
  return normals;
}

namespace {

// Per face of the mesh, true on its outer boundary. The boundary faces (one tetrahedron each)
// form closed shells, joined across the edges that exactly two of them share. With the normals
// out of the mesh, a shell around the mesh encloses a positive volume Σ (c_f − p)·n_f·A_f / 3
// (the divergence theorem; any point p), the wall of a hole (a conductor meshed as a hole) a
// negative one.
std::vector<char> outer_boundary_faces(const Mesh& mesh) {
  std::vector<u64> boundary;
  for (u64 f = 0; f < mesh.faces.size(); ++f) {
    const auto& ft = mesh.face_tets[f];
    if (ft[0] != NO_TET && ft[1] == NO_TET) boundary.push_back(f);
  }
  DisjointSets shells(boundary.size());
  const std::vector<EdgeUse> uses = edge_uses(mesh, boundary);
  for_each_edge_run(uses, [&](std::size_t i, std::size_t j) {
    if (j - i == 2) shells.unite(uses[i].face, uses[i + 1].face);
  });
  std::vector<double> volume(boundary.size(), 0.0);
  const Vec3 origin = mesh.nodes.empty() ? Vec3{} : mesh.nodes[0];
  for (std::size_t k = 0; k < boundary.size(); ++k) {
    const FacePlane p = face_plane(mesh, boundary[k]);
    const double out = ahead_of(mesh, p, p.unit, mesh.face_tets[boundary[k]][0]) ? -1.0 : 1.0;
    volume[shells.find(k)] += out * p.area * dot3(sub3(p.centre, origin), p.unit);
  }
  std::vector<char> outer(mesh.faces.size(), 0);
  for (std::size_t k = 0; k < boundary.size(); ++k) outer[boundary[k]] = volume[shells.find(k)] > 0;
  return outer;
}

// The links (c, d) of sorted `links` that start at c.
std::span<const std::pair<u64, u64>> links_of(const std::vector<std::pair<u64, u64>>& links, u64 c) {
  auto first = std::lower_bound(links.begin(), links.end(), std::pair<u64, u64>{c, 0});
  auto last = first;
  while (last != links.end() && last->first == c) ++last;
  return {first, last};
}

constexpr int IN_REGION = 1, OUTSIDE = -1, UNDECIDED = 0;

Vec3 negated(const Vec3& v) { return {-v[0], -v[1], -v[2]}; }

// The face's unit normal on the side away from tetrahedron t (one of the face's own).
Vec3 away_from(const Mesh& mesh, const FacePlane& p, u64 t) {
  return ahead_of(mesh, p, p.unit, t) ? negated(p.unit) : p.unit;
}

}  // namespace

FarFieldSurface farfield_surface(const Mesh& mesh, std::span<const u64> surface_list,
                                 std::span<const u64> pec_list, i32 tag) {
  const std::vector<u64> surface = faces_once(mesh, surface_list);
  const std::vector<u64> pec_all = faces_once(mesh, pec_list);
  const std::size_t n_faces = mesh.faces.size(), n_tets = mesh.tets.size();
  constexpr std::uint8_t ON_SURFACE = 1, ON_CONDUCTOR = 2;
  std::vector<std::uint8_t> role(n_faces, 0);
  for (u64 f : surface) role[f] |= ON_SURFACE;
  for (u64 f : pec_all) role[f] |= ON_CONDUCTOR;
  std::vector<u64> conductor;  // conductor faces that are not surface faces, stored order
  for (u64 f : pec_all) {
    if (!(role[f] & ON_SURFACE)) conductor.push_back(f);
  }

  // Cells: the tetrahedra joined across every face that is neither a surface nor a conductor face.
  DisjointSets cells(n_tets);
  for (std::size_t f = 0; f < n_faces; ++f) {
    const auto& ft = mesh.face_tets[f];
    for (u64 t : ft) {
      if (t != NO_TET) check_index(t, n_tets);
    }
    if (role[f] == 0 && ft[0] != NO_TET && ft[1] != NO_TET) cells.unite(ft[0], ft[1]);
  }

  // A surface face between two cells (or on the mesh boundary) counts its area for the cell on
  // its inner side and against the cell beyond it, by the normals of integration_surface_normals.
  const std::vector<Vec3> n0 = integration_surface_normals(mesh, surface);
  std::vector<FacePlane> plane(surface.size());
  std::vector<double> vote(n_tets, 0.0);  // by cell root
  for (std::size_t k = 0; k < surface.size(); ++k) {
    plane[k] = face_plane(mesh, surface[k]);
    const auto& ft = mesh.face_tets[surface[k]];
    if (plane[k].area == 0.0 || ft[0] == NO_TET) continue;
    if (ft[1] != NO_TET && cells.find(ft[0]) == cells.find(ft[1])) continue;  // cuts nothing off
    for (u64 t : ft) {
      if (t == NO_TET) continue;
      vote[cells.find(t)] += ahead_of(mesh, plane[k], n0[k], t) ? -plane[k].area : plane[k].area;
    }
  }
  std::vector<int> state(n_tets, UNDECIDED);  // by cell root
  bool any_region = false;
  for (std::size_t c = 0; c < n_tets; ++c) {
    if (vote[c] > 0) state[c] = IN_REGION;
    if (vote[c] < 0) state[c] = OUTSIDE;
    any_region = any_region || vote[c] > 0;
  }

  FarFieldSurface out;
  if (!any_region) {
    // an open surface in the air: it radiates alone, oriented by its patches
    for (std::size_t k = 0; k < surface.size(); ++k) {
      const auto& ft = mesh.face_tets[surface[k]];
      if (ft[0] == NO_TET) continue;
      const bool second = ft[1] != NO_TET && ahead_of(mesh, plane[k], n0[k], ft[1]);
      out.faces.push_back({surface[k], second ? ft[1] : ft[0], n0[k], false});
    }
    out.n_surface = out.faces.size();
    return out;
  }

  // A cell that no surface face bounds (closed off by conductors) is outside when it meets an
  // outside cell across conductor faces, possibly through other such cells; else in the region
  // when it meets the region (a closed conducting shell inside it); else outside.
  std::vector<std::pair<u64, u64>> across;  // (such a cell, a cell it meets), sorted
  for (u64 f : conductor) {
    const auto& ft = mesh.face_tets[f];
    if (ft[0] == NO_TET || ft[1] == NO_TET) continue;
    const u64 a = cells.find(ft[0]), b = cells.find(ft[1]);
    if (a != b && state[a] == UNDECIDED) across.push_back({a, b});
    if (a != b && state[b] == UNDECIDED) across.push_back({b, a});
  }
  std::sort(across.begin(), across.end());
  for (int spread : {OUTSIDE, IN_REGION}) {
    std::vector<u64> front;
    for (const auto& [c, d] : across) {
      if (state[c] == UNDECIDED && state[d] == spread) front.push_back(c);
    }
    while (!front.empty()) {
      const u64 c = front.back();
      front.pop_back();
      if (state[c] != UNDECIDED) continue;
      state[c] = spread;
      for (const auto& [from, d] : links_of(across, c)) {
        if (state[d] == UNDECIDED) front.push_back(d);
      }
    }
  }
  const auto in_region = [&](u64 t) { return t != NO_TET && state[cells.find(t)] == IN_REGION; };
  out.outside.resize(n_tets);
  for (u64 t = 0; t < n_tets; ++t) out.outside[t] = !in_region(t);

  bool one_sided = false;  // a conductor face of the mesh boundary
  for (u64 f : pec_all) one_sided = one_sided || mesh.face_tets[f][1] == NO_TET;
  const std::vector<char> outer = one_sided ? outer_boundary_faces(mesh) : std::vector<char>(n_faces, 0);

  // The surface faces.
  std::vector<u64> bounding;  // surface faces with the region on one side
  std::size_t stray = 0;
  for (std::size_t k = 0; k < surface.size(); ++k) {
    const u64 f = surface[k];
    const auto& ft = mesh.face_tets[f];
    if (plane[k].area == 0.0 || ft[0] == NO_TET) continue;
    const bool in0 = in_region(ft[0]), in1 = in_region(ft[1]);
    if (in0 && in1) continue;  // a wall between two enclosed volumes (or a flap inside one)
    if (!in0 && !in1) {
      ++stray;
      continue;
    }
    bounding.push_back(f);
    const u64 inside = in0 ? ft[0] : ft[1], beyond = in0 ? ft[1] : ft[0];
    // on a conductor meshed as a hole: the current of its air side cancels the equivalent one
    if (beyond == NO_TET && (role[f] & ON_CONDUCTOR) && !outer[f]) continue;
    const Vec3 n = away_from(mesh, plane[k], inside);  // out of the region
    out.faces.push_back({f, beyond != NO_TET ? beyond : inside, n, false});
  }
  if (stray > 0) {
    throw Error("far-field surface (tag " + std::to_string(tag) + "): " + std::to_string(stray) +
                " of its " + std::to_string(surface.size()) +
                " triangles have the enclosed region on neither side; the surface, closed by "
                "the conductors its rim lies on, must enclose the sources");
  }
  out.n_surface = out.faces.size();

  // The conductor faces of the outer boundary with the region on one side that are reached from
  // the surface's rim close it. Growth crosses only edges where exactly two conductor faces meet;
  // it never crosses the rim, since a conductor face beyond the rim has no region on its side.
  std::vector<char> on_rim(mesh.edges.size(), 0);
  for (u64 e : rim_edges(mesh, bounding)) on_rim[e] = 1;
  std::vector<char> closing(n_faces, 0);  // 1 may close, 2 closes
  std::vector<u64> front;
  for (u64 f : conductor) {
    const auto& ft = mesh.face_tets[f];
    if (ft[1] != NO_TET || !outer[f] || !in_region(ft[0])) continue;
    const auto& fe = mesh.face_edges[f];
    closing[f] = on_rim[fe[0]] || on_rim[fe[1]] || on_rim[fe[2]] ? 2 : 1;
    if (closing[f] == 2) front.push_back(f);
  }
  if (!front.empty()) {
    std::vector<std::pair<u64, u64>> links;  // both ways, sorted
    const std::vector<EdgeUse> uses = edge_uses(mesh, pec_all);
    for_each_edge_run(uses, [&](std::size_t i, std::size_t j) {
      if (j - i != 2) return;
      const u64 a = pec_all[uses[i].face], b = pec_all[uses[i + 1].face];
      if (closing[a] == 0 || closing[b] == 0) return;
      links.push_back({a, b});
      links.push_back({b, a});
    });
    std::sort(links.begin(), links.end());
    while (!front.empty()) {
      const u64 f = front.back();
      front.pop_back();
      for (const auto& [from, g] : links_of(links, f)) {
        if (closing[g] == 1) {
          closing[g] = 2;
          front.push_back(g);
        }
      }
    }
  }

  // The conductor faces, in stored order.
  for (u64 f : conductor) {
    const auto& ft = mesh.face_tets[f];
    const FacePlane p = face_plane(mesh, f);
    if (p.area == 0.0 || ft[0] == NO_TET) continue;
    const bool in0 = in_region(ft[0]), in1 = in_region(ft[1]);
    const std::size_t before = out.faces.size();
    if (in0 != in1) {
      const u64 inside = in0 ? ft[0] : ft[1], beyond = in0 ? ft[1] : ft[0];
      const Vec3 n = away_from(mesh, p, inside);
      if (beyond != NO_TET) {
        out.faces.push_back({f, beyond, n, true});  // a sheet: the current of its outer side
      } else if (closing[f] == 2) {
        out.faces.push_back({f, inside, n, true});  // a closing face
      }
    } else if (!in0 && (ft[1] != NO_TET || !outer[f])) {
      // outside the region: the physical current of each side with air, n̂ into the air; the
      // side the face's own normal points to first (an order of the geometry, not the tetrahedra)
      std::array<u64, 2> sides = {ft[0], ft[1]};
      if (ft[1] != NO_TET && ahead_of(mesh, p, p.unit, ft[1])) std::swap(sides[0], sides[1]);
      for (u64 t : sides) {
        if (t == NO_TET) continue;
        out.faces.push_back({f, t, negated(away_from(mesh, p, t)), true});  // into t's side
      }
    }
    if (out.faces.size() > before) ++out.n_conductor;
  }
  return out;
}

}  // namespace vantrel
