#include "python_testing/testing_parts.hpp"

#include <chrono>
#include <cstdint>
#include <vector>

#include <nanobind/ndarray.h>
#include <nanobind/stl/complex.h>
#include <nanobind/stl/tuple.h>

#include "core/mesh.hpp"
#include "fd/basis.hpp"
#include "fd/free_dofs.hpp"
#include "fd/interp.hpp"
#include "fd/tet_assembly.hpp"
#include "python/convert.hpp"

namespace vantrel::testing {

namespace nb = nanobind;

// ==== element matrices, assembly, free numbering, interpolation ==================================
namespace fd_elem {

using Nodes = nb::ndarray<const double, nb::shape<-1, 3>, nb::c_contig, nb::device::cpu>;
using Tets = nb::ndarray<const std::int64_t, nb::shape<-1, 4>, nb::c_contig, nb::device::cpu>;
using Points = Nodes;
using CVector = nb::ndarray<const cplx, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

Mesh mesh_from(const Nodes& nodes, const Tets& tets) {
  std::vector<Vec3> n(nodes.shape(0));
  for (std::size_t i = 0; i < n.size(); ++i) n[i] = {nodes(i, 0), nodes(i, 1), nodes(i, 2)};
  std::vector<std::array<u64, 4>> t(tets.shape(0));
  for (std::size_t i = 0; i < t.size(); ++i)
    for (int k = 0; k < 4; ++k) t[i][k] = static_cast<u64>(tets(i, k));
  return build_topology(std::move(n), std::move(t));
}

Tensor3 scalar_tensor(cplx x) { return {x, 0, 0, 0, x, 0, 0, 0, x}; }

std::vector<u64> boundary_faces(const Mesh& mesh) {
  std::vector<u64> out;
  for (u64 f = 0; f < mesh.faces.size(); ++f)
    if (mesh.face_tets[f][1] == NO_TET) out.push_back(f);
  return out;
}

template <class V>
nb::object index_array(const V& v) {
  return py::index_vector_result(std::vector<std::int64_t>(v.begin(), v.end()));
}

// Element triplets of a mesh with uniform relative ε and μ, plus the free unknowns left when
// every boundary face is a conducting wall.
nb::dict assemble(const Nodes& nodes, const Tets& tets, cplx eps_r, cplx mu_r) {
  const Mesh mesh = mesh_from(nodes, tets);
  const FemBasis basis = build_basis(mesh);
  const std::vector<Tensor3> eps(mesh.tets.size(), scalar_tensor(eps_r));
  const std::vector<Tensor3> mu(mesh.tets.size(), scalar_tensor(mu_r));
  ElementTriplets trip;
  {
    nb::gil_scoped_release release;
    trip = assemble_tet_elements(mesh, basis, eps, mu);
  }
  const ConstrainedSet walls = build_constrained_set(basis, boundary_faces(mesh));
  const FreeNumbering num = build_free_numbering(basis.n_dofs, walls);
  nb::dict d;
  d["rows"] = index_array(trip.rows);
  d["cols"] = index_array(trip.cols);
  d["e_vals"] = py::complex_vector_result(std::vector<cplx>(trip.e_vals.begin(), trip.e_vals.end()));
  d["b_vals"] = py::complex_vector_result(std::vector<cplx>(trip.b_vals.begin(), trip.b_vals.end()));
  d["n_dofs"] = basis.n_dofs;
  d["free"] = index_array(num.free);
  d["kept"] = index_array(free_entry_positions(walls, trip.rows, trip.cols));
  return d;
}

// Best wall-clock seconds of `repeats` assemblies (build of the topology and numbering not
// timed), a checksum of the last result, and the worker count.
std::tuple<double, double, std::size_t> assembly_seconds(const Nodes& nodes, const Tets& tets,
                                                         int repeats) {
  const Mesh mesh = mesh_from(nodes, tets);
  const FemBasis basis = build_basis(mesh);
  const std::vector<Tensor3> eps(mesh.tets.size(), scalar_tensor(cplx(2.2, -0.01)));
  const std::vector<Tensor3> mu(mesh.tets.size(), scalar_tensor(1.0));
  nb::gil_scoped_release release;
  double best = 1e300, checksum = 0.0;
  for (int r = 0; r < repeats; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    const ElementTriplets trip = assemble_tet_elements(mesh, basis, eps, mu);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    best = std::min(best, s);
    checksum = 0.0;
    for (std::size_t k = 0; k < trip.size(); k += 97)
      checksum += std::abs(trip.e_vals[k]) + std::abs(trip.b_vals[k]) + static_cast<double>(trip.rows[k]);
  }
  return {best, checksum, worker_count()};
}

// E at points (zero outside the mesh), located through a TetGrid.
nb::object field_at(const Nodes& nodes, const Tets& tets, const CVector& solution, const Points& pts) {
  const Mesh mesh = mesh_from(nodes, tets);
  const FemBasis basis = build_basis(mesh);
  const TetGrid grid = build_tet_grid(mesh);
  const FieldSampler sampler{grid, mesh, basis, std::span<const cplx>(solution.data(), solution.shape(0))};
  std::vector<cplx> out;
  out.reserve(3 * pts.shape(0));
  for (std::size_t i = 0; i < pts.shape(0); ++i) {
    const CVec3 e = sampler({pts(i, 0), pts(i, 1), pts(i, 2)});
    out.insert(out.end(), e.begin(), e.end());
  }
  return py::complex_grid_result(std::move(out), pts.shape(0), 3);
}

void bind(nb::module_& m) {
  m.def("fd_elem_assemble", &assemble, nb::arg("nodes"), nb::arg("tets"), nb::arg("eps_r") = cplx(1.0),
        nb::arg("mu_r") = cplx(1.0));
  m.def("fd_elem_assembly_seconds", &assembly_seconds, nb::arg("nodes"), nb::arg("tets"),
        nb::arg("repeats") = 3);
  m.def("fd_elem_field_at", &field_at, nb::arg("nodes"), nb::arg("tets"), nb::arg("solution"),
        nb::arg("points"));
}

}  // namespace fd_elem
// ==== end of element block =======================================================================

void bind_fd_elem_probes(nanobind::module_& m) { fd_elem::bind(m); }

}  // namespace vantrel::testing
