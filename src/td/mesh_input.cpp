#include "td/mesh_input.hpp"

#include <cmath>
#include <limits>
#include <string>
#include <unordered_set>

#include "core/mesh_io.hpp"
#include "td/vec3_ops.hpp"

namespace vantrel {

namespace {

inline Vec3 unit_axis(u64 k, double sign = 1.0) {
  Vec3 e{0.0, 0.0, 0.0};
  e[k] = sign;
  return e;
}

[[noreturn]] void port_error(i32 face_tag) {
  throw Error("port face tag " + std::to_string(face_tag) +
              " has no triangles, or its direction is zero / parallel to the face");
}

const std::vector<u64>* group_of(const GroupMap& groups, i32 tag) {
  const auto it = groups.find(tag);
  return it == groups.end() ? nullptr : &it->second;
}

}  // namespace

void check_mesh_operator_inputs(const MeshOperatorInputs& in) {
  for (const AbsorberEntry& a : in.absorbers) {
    if (a.axis > 2)
      throw Error("absorber on volume tag " + std::to_string(a.volume_tag) + ": axis " +
                  std::to_string(a.axis) + " is not 0 (x), 1 (y) or 2 (z)");
  }
}

std::vector<ElementMaterial> element_materials(const Mesh& mesh,
                                               std::span<const TagMaterialEntry> tag_materials,
                                               std::span<const AbsorberEntry> absorbers) {
  std::vector<ElementMaterial> materials(mesh.tets.size(), VACUUM_MATERIAL);
  for (const TagMaterialEntry& entry : tag_materials) {
    const auto* group = group_of(mesh.volume_groups, entry.tag);
    if (!group) continue;
    for (u64 t : *group) materials[t] = {entry.eps, entry.mu, entry.sigma, 0.0};
  }
  for (const AbsorberEntry& ab : absorbers) {
    const auto* group = group_of(mesh.volume_groups, ab.volume_tag);
    if (!group) continue;
    check_index(ab.axis, 3);
    for (u64 t : *group) {
      double sum = 0.0;
      for (u64 node : mesh.tets[t]) sum += mesh.nodes[node][ab.axis];
      const double c = 0.25 * sum;  // centroid on the layer's axis
      const double depth = ab.is_low ? ab.inner_face - c : c - ab.inner_face;
      if (depth <= 0.0) continue;
      double x = depth / ab.thickness;
      if (x < 0.0) x = 0.0;
      if (x > 1.0) x = 1.0;
      const double nu = ab.nu_max * x * x;
      ElementMaterial& m = materials[t];
      m.sigma = nu * m.eps[0];
      m.sigma_m = nu * m.mu[0];
    }
  }
  return materials;
}

std::vector<DebyeInput> dispersive_inputs(const Mesh& mesh,
                                          std::span<const DispersiveEntry> dispersive,
                                          std::vector<ElementMaterial>& materials) {
  std::vector<DebyeInput> out;
  for (const DispersiveEntry& entry : dispersive) {
    const auto* group = group_of(mesh.volume_groups, entry.volume_tag);
    if (!group) continue;
    for (u64 t : *group) {
      materials[t].eps = {entry.eps_inf, entry.eps_inf, entry.eps_inf};
      out.push_back({t, entry.eps_inf, entry.eps_static, entry.tau});
    }
  }
  return out;
}

std::pair<double, double> axis_extent(std::span<const Vec3> points, u64 axis) {
  check_index(axis, 3);
  double lo = std::numeric_limits<double>::max();
  double hi = -std::numeric_limits<double>::max();
  for (const Vec3& p : points) {
    const double x = p[axis];
    if (x < lo) lo = x;  // NaN compares false and is skipped
    if (x > hi) hi = x;
  }
  return {lo, hi - lo};
}

PortFaceGeometry port_face_geometry(const Mesh& mesh, i32 face_tag) {
  const auto* group = group_of(mesh.face_groups, face_tag);
  if (!group || group->empty()) port_error(face_tag);
  PortFaceGeometry g;
  std::unordered_set<u64> seen;
  for (u64 f : *group)
    for (u64 node : mesh.faces[f])
      if (seen.insert(node).second) g.points.push_back(mesh.nodes[node]);

  const u64 first = group->front();
  const auto& key = mesh.faces[first];  // ascending node numbers a < b < c
  const Vec3& p0 = mesh.nodes[key[0]];
  const Vec3 n = cross(sub(mesh.nodes[key[1]], p0), sub(mesh.nodes[key[2]], p0));
  const double len = std::sqrt(dot(n, n));
  if (!(len > 0.0) || !std::isfinite(len))
    throw Error("port face tag " + std::to_string(face_tag) +
                ": its first triangle has zero area, so the port plane has no normal");
  g.normal = {n[0] / len, n[1] / len, n[2] / len};

  const auto& slots = mesh.face_tets[first];
  const u64 tet = slots[0] != NO_TET ? slots[0] : slots[1];
  if (tet == NO_TET) port_error(face_tag);
  Vec3 centroid{0.0, 0.0, 0.0};
  for (u64 node : mesh.tets[tet])
    for (int i = 0; i < 3; ++i) centroid[i] += 0.25 * mesh.nodes[node][i];
  // The normal points into the meshed domain.
  if (dot(sub(centroid, p0), g.normal) < 0.0)
    g.normal = {-g.normal[0], -g.normal[1], -g.normal[2]};
  return g;
}

WaveguideMode axis_aligned_port_frame(const PortFaceGeometry& geometry,
                                      const std::optional<Vec3>& direction) {
  const Vec3& N = geometry.normal;
  u64 k = 0;  // the axis nearest the normal; ties go to the later axis
  for (u64 i = 1; i < 3; ++i)
    if (!(std::fabs(N[k]) > std::fabs(N[i]))) k = i;
  const double s = N[k] < 0.0 ? -1.0 : 1.0;
  const u64 i0 = k == 0 ? 1 : 0;
  const u64 i1 = k == 2 ? 1 : 2;
  const auto [min0, ext0] = axis_extent(geometry.points, i0);
  const auto [min1, ext1] = axis_extent(geometry.points, i1);
  const bool wide0 = ext0 >= ext1;
  const u64 ua = wide0 ? i0 : i1;
  const u64 va = wide0 ? i1 : i0;
  const double min_u = wide0 ? min0 : min1;
  const double min_v = wide0 ? min1 : min0;

  WaveguideMode mode;
  mode.a = wide0 ? ext0 : ext1;
  mode.b = wide0 ? ext1 : ext0;
  mode.u = unit_axis(ua);
  mode.v = unit_axis(va);
  mode.w = unit_axis(k, s);
  mode.origin[k] = geometry.points.front()[k];
  mode.origin[ua] = min_u;
  mode.origin[va] = min_v;
  // Right-handed (u, v, w): facing ports therefore get opposite v.
  if (dot(cross(mode.u, mode.v), mode.w) < 0.0) {
    mode.v = unit_axis(va, -1.0);
    mode.origin[va] = min_v + mode.b;
  }
  if (direction) {
    const Vec3& d = *direction;
    const double wd = dot(mode.w, d);
    const Vec3 p{d[0] - mode.w[0] * wd, d[1] - mode.w[1] * wd, d[2] - mode.w[2] * wd};
    // Scaled first: |p|^2 of a direction such as (1e200, 1e200, 0) would overflow and leave a
    // zero field axis.
    const auto [len, unit] = length_and_direction(p);
    if (len > 1e-9) {
      mode.v = unit;
      mode.u = cross(mode.v, mode.w);
    }
  }
  return mode;
}

std::vector<TdPortInput> port_inputs(const Mesh& mesh, std::span<const PortEntry> ports) {
  std::vector<TdPortInput> out;
  out.reserve(ports.size());
  for (const PortEntry& entry : ports) {
    const PortFaceGeometry geometry = port_face_geometry(mesh, entry.face_tag);
    if (entry.direction) {
      const Vec3& d = *entry.direction;
      // A NaN or infinite component names no axis; it would fail every test below and leave the
      // port on its default axis.
      if (!finite3(d)) port_error(entry.face_tag);
      const auto [len, unit] = length_and_direction(d);
      if (len < 1e-12) port_error(entry.face_tag);
      const double c = dot(unit, geometry.normal);
      if (1.0 - c * c < 1e-9) port_error(entry.face_tag);
    }
    TdPortInput in;
    in.kind = 1;
    in.mode = axis_aligned_port_frame(geometry, entry.direction);
    in.mode.m = entry.m;
    in.mode.n = entry.n;
    in.faces = mesh.face_groups.at(entry.face_tag);
    out.push_back(std::move(in));
  }
  return out;
}

MaxwellOperator build_mesh_operator(std::span<const std::uint8_t> mesh_bytes, u64 order,
                                    double flux_alpha, const MeshOperatorInputs& inputs) {
  check_mesh_operator_inputs(inputs);
  const Mesh mesh = load_msh_bytes(mesh_bytes);
  std::vector<ElementMaterial> materials =
      element_materials(mesh, inputs.tag_materials, inputs.absorbers);
  const std::vector<DebyeInput> debye = dispersive_inputs(mesh, inputs.dispersive, materials);
  const std::vector<TdPortInput> ports = port_inputs(mesh, inputs.ports);
  return build_dg_operator(mesh, order, materials, ports, debye, flux_alpha);
}

}  // namespace vantrel
