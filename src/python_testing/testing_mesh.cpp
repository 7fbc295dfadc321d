// Mesh probes: the imported mesh record as plain NumPy arrays.
#include <array>
#include <chrono>
#include <cstdint>
#include <vector>

#include "core/huge_pages.hpp"
#include "core/mesh_io.hpp"
#include "python/convert.hpp"
#include "python_testing/testing_parts.hpp"

namespace vantrel::testing {

namespace nb = nanobind;

namespace {

// Index lists as an int64 (rows, K) array; NO_TET and other all-ones values become -1.
template <std::size_t K>
nb::object index_grid(const std::vector<std::array<u64, K>>& rows) {
  std::vector<std::int64_t> flat;
  resize_huge(flat, rows.size() * K);
  for (std::size_t i = 0; i < rows.size(); ++i)
    for (std::size_t k = 0; k < K; ++k) flat[i * K + k] = static_cast<std::int64_t>(rows[i][k]);
  return py::index_vector_result(std::move(flat)).attr("reshape")(rows.size(), K);
}

nb::dict group_dict(const GroupMap& groups) {
  nb::dict d;
  for (const auto& [tag, members] : groups) {
    std::vector<std::int64_t> v(members.begin(), members.end());
    d[nb::int_(tag)] = py::index_vector_result(std::move(v));
  }
  return d;
}

nb::object load_mesh(nb::args args, nb::kwargs kwargs) {
  py::Call c("load_mesh()", {{"mesh_bytes"}}, args, kwargs);
  const std::span<const std::uint8_t> bytes = py::arg_bytes(c[0], "mesh_bytes");
  const Mesh m = load_msh_bytes(bytes);
  nb::dict out;
  std::vector<double> xyz(3 * m.nodes.size());
  for (std::size_t i = 0; i < m.nodes.size(); ++i)
    for (int k = 0; k < 3; ++k) xyz[3 * i + k] = m.nodes[i][k];
  out["nodes"] = py::grid_result(std::move(xyz), m.nodes.size(), 3);
  out["tets"] = index_grid(m.tets);
  out["edges"] = index_grid(m.edges);
  out["faces"] = index_grid(m.faces);
  out["tet_edges"] = index_grid(m.tet_edges);
  out["tet_faces"] = index_grid(m.tet_faces);
  out["face_edges"] = index_grid(m.face_edges);
  out["face_tets"] = index_grid(m.face_tets);
  out["edge_lengths"] = py::vector_result(std::vector<double>(m.edge_lengths));
  out["face_groups"] = group_dict(m.face_groups);
  out["volume_groups"] = group_dict(m.volume_groups);
  return out;
}

// Times load_msh_bytes alone (no NumPy conversion) for the import benchmark.
nb::object time_mesh_import(nb::args args, nb::kwargs kwargs) {
  py::Call c("time_mesh_import()", {{"mesh_bytes"}}, args, kwargs);
  const std::span<const std::uint8_t> bytes = py::arg_bytes(c[0], "mesh_bytes");
  const auto t0 = std::chrono::steady_clock::now();
  const Mesh m = load_msh_bytes(bytes);
  const auto t1 = std::chrono::steady_clock::now();
  nb::dict out;
  out["seconds"] = std::chrono::duration<double>(t1 - t0).count();
  out["nodes"] = m.nodes.size();
  out["edges"] = m.edges.size();
  out["faces"] = m.faces.size();
  out["tets"] = m.tets.size();
  return out;
}

}  // namespace

void bind_mesh_probes(nb::module_& m) {
  m.def("time_mesh_import", &time_mesh_import,
        "time_mesh_import(mesh_bytes)\n--\n\nImports Gmsh MSH 4.1 bytes and returns the seconds "
        "load_msh_bytes took and the mesh's counts (nodes, edges, faces, tets).");
  m.def("load_mesh", &load_mesh,
        "load_mesh(mesh_bytes)\n--\n\nImports Gmsh MSH 4.1 bytes and returns the mesh record as a "
        "dict of arrays (int64 indices, -1 for an empty tetrahedron slot) and the face and "
        "volume groups as dicts tag -> int64 array.");
}

}  // namespace vantrel::testing
