#include "td/mesh_gen.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

namespace vantrel {

u64 hex_corner_node(u64 nx, u64 ny, u64 i, u64 j, u64 k, int corner) {
  const u64 b0 = corner & 1, b1 = (corner >> 1) & 1, b2 = (corner >> 2) & 1;
  return (i + b0) + (nx + 1) * ((j + b1) + (ny + 1) * (k + b2));
}

Mesh box_mesh(u64 nx, u64 ny, u64 nz, double lx, double ly, double lz) {
  if (!(nx >= 1 && ny >= 1 && nz >= 1)) panic("assertion failed: nx >= 1 && ny >= 1 && nz >= 1");
  // A zero, negative or non-finite side gives flat or inverted elements, whose operator has no
  // finite entries: the first step would fail far from the cause.
  const std::array<std::pair<const char*, double>, 3> sides{{{"lx", lx}, {"ly", ly}, {"lz", lz}}};
  for (const auto& [name, length] : sides) {
    if (!(std::isfinite(length) && length > 0.0))
      throw Error(std::string(name) + " must be a positive finite length, got " + fmt_float(length));
  }
  std::vector<Vec3> nodes;
  nodes.reserve((nx + 1) * (ny + 1) * (nz + 1));
  for (u64 k = 0; k <= nz; ++k)
    for (u64 j = 0; j <= ny; ++j)
      for (u64 i = 0; i <= nx; ++i)
        nodes.push_back({(lx * static_cast<double>(i)) / static_cast<double>(nx),
                         (ly * static_cast<double>(j)) / static_cast<double>(ny),
                         (lz * static_cast<double>(k)) / static_cast<double>(nz)});
  std::vector<std::array<u64, 4>> tets;
  tets.reserve(6 * nx * ny * nz);
  for (u64 k = 0; k < nz; ++k)
    for (u64 j = 0; j < ny; ++j)
      for (u64 i = 0; i < nx; ++i)
        for (const auto& row : BOX_CELL_TETS) {
          std::array<u64, 4> t;
          for (int q = 0; q < 4; ++q) t[q] = hex_corner_node(nx, ny, i, j, k, row[q]);
          std::sort(t.begin(), t.end());
          tets.push_back(t);
        }
  return build_topology(std::move(nodes), std::move(tets));
}

MaxwellOperator build_box_operator(u64 nx, u64 ny, u64 nz, double lx, double ly, double lz,
                                   u64 order, double flux_alpha) {
  const Mesh mesh = box_mesh(nx, ny, nz, lx, ly, lz);
  const std::vector<ElementMaterial> materials(mesh.tets.size(), VACUUM_MATERIAL);
  return build_dg_operator(mesh, order, materials, {}, {}, flux_alpha);
}

}  // namespace vantrel
