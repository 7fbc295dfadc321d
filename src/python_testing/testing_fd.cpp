#include <nanobind/ndarray.h>
#include <nanobind/stl/array.h>
#include <nanobind/stl/complex.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <tuple>
#include <vector>

#include "core/materials.hpp"
#include "core/mesh.hpp"
#include "fd/basis.hpp"
#include "fd/free_dofs.hpp"
#include "fd/interp.hpp"
#include "fd/ports.hpp"
#include "fd/tet_assembly.hpp"
#include "fd/tri_geometry.hpp"
#include "python/convert.hpp"
#include "python_testing/testing_parts.hpp"

namespace nb = nanobind;

namespace vantrel::testing {

namespace {

// A mesh from flat node coordinates and tetrahedra, and the face numbers of flat triangles
// (0-based node indices). A triangle that is no tetrahedron face stops the probe.
struct ProbeMesh {
  Mesh mesh;
  std::vector<u64> faces;
};

ProbeMesh probe_mesh(const std::vector<double>& xyz, const std::vector<u64>& tets,
                     const std::vector<u64>& tris) {
  std::vector<Vec3> nodes(xyz.size() / 3);
  for (std::size_t i = 0; i < nodes.size(); ++i) nodes[i] = {xyz[3 * i], xyz[3 * i + 1], xyz[3 * i + 2]};
  std::vector<std::array<u64, 4>> t(tets.size() / 4);
  for (std::size_t i = 0; i < t.size(); ++i) t[i] = {tets[4 * i], tets[4 * i + 1], tets[4 * i + 2], tets[4 * i + 3]};
  ProbeMesh pm{build_topology(std::move(nodes), std::move(t)), {}};
  for (std::size_t i = 0; i + 2 < tris.size(); i += 3) {
    FaceKey key{tris[i], tris[i + 1], tris[i + 2]};
    std::sort(key.begin(), key.end());
    const u64 f = pm.mesh.find_face(key);
    if (f == NONE_U64) panic("probe: triangle is not a tetrahedron face");
    pm.faces.push_back(f);
  }
  return pm;
}

// Integral over the faces of f(p) with the six-point rule.
template <class F>
double surface_integral(const Mesh& m, const std::vector<u64>& faces, F&& f) {
  const auto rule = triangle_quadrature_6pt();
  double sum = 0.0;
  for (u64 face : faces) {
    const Vec3& p0 = m.nodes[m.faces[face][0]];
    const Vec3& p1 = m.nodes[m.faces[face][1]];
    const Vec3& p2 = m.nodes[m.faces[face][2]];
    const Vec3 c = cross3(sub3(p1, p0), sub3(p2, p0));
    const double area = 0.5 * std::sqrt(dot3(c, c));
    for (const QuadraturePoint& q : rule) {
      Vec3 x{};
      for (int i = 0; i < 3; ++i) x[i] = q.bary[0] * p0[i] + q.bary[1] * p1[i] + q.bary[2] * p2[i];
      sum += area * q.weight * f(x);
    }
  }
  return sum;
}

double norm2(const Vec3& e) { return dot3(e, e); }

}  // namespace

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

// Wall-clock seconds of the first and the best of `repeats` assemblies (topology and numbering
// not timed), a checksum of the last result, and the worker count.
std::tuple<double, double, double, std::size_t> assembly_seconds(const Nodes& nodes, const Tets& tets,
                                                         int repeats) {
  const Mesh mesh = mesh_from(nodes, tets);
  const FemBasis basis = build_basis(mesh);
  const std::vector<Tensor3> eps(mesh.tets.size(), scalar_tensor(cplx(2.2, -0.01)));
  const std::vector<Tensor3> mu(mesh.tets.size(), scalar_tensor(1.0));
  nb::gil_scoped_release release;
  double first = 0.0, best = 1e300, checksum = 0.0;
  for (int r = 0; r < repeats; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    const ElementTriplets trip = assemble_tet_elements(mesh, basis, eps, mu);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (r == 0) first = s;
    best = std::min(best, s);
    checksum = 0.0;
    for (std::size_t k = 0; k < trip.size(); k += 97)
      checksum += std::abs(trip.e_vals[k]) + std::abs(trip.b_vals[k]) + static_cast<double>(trip.rows[k]);
  }
  return {first, best, checksum, worker_count()};
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

void bind_fd_probes(nb::module_& m) {
  fd_elem::bind(m);
  m.def("port_aperture",
        [](const std::vector<double>& xyz, const std::vector<u64>& tets, const std::vector<u64>& tris) {
          const ProbeMesh pm = probe_mesh(xyz, tets, tris);
          const PortAperture ap = build_port_frame(pm.mesh, pm.faces);
          return std::make_tuple(ap.frame.origin, ap.frame.u, ap.frame.v, ap.frame.w,
                                 ap.extent_major, ap.extent_minor);
        },
        "(xyz, tets, tris) -> (origin, u, v, w, extent_major, extent_minor) of build_port_frame");

  m.def("lumped_aperture",
        [](const std::vector<double>& xyz, const std::vector<u64>& tets, const std::vector<u64>& tris,
           const Vec3& direction) {
          const ProbeMesh pm = probe_mesh(xyz, tets, tris);
          const ApertureExtents e = aperture_extents(pm.mesh, pm.faces, direction);
          const auto lines = lumped_integration_lines(pm.mesh, pm.faces, direction, e.height);
          std::vector<std::vector<Vec3>> out(lines.begin(), lines.end());
          return std::make_tuple(e.width, e.height, out);
        },
        "(xyz, tets, tris, direction) -> (width, height, integration lines)");

  // Power through a measured rectangular aperture: 1/(2 Z_TE) * integral |E_t|^2 dS.
  m.def("rectangular_port_power",
        [](const std::vector<double>& xyz, const std::vector<u64>& tets, const std::vector<u64>& tris,
           u64 mode_m, u64 mode_n, double power, double er, double freq_hz) {
          const ProbeMesh pm = probe_mesh(xyz, tets, tris);
          const PortAperture ap = build_port_frame(pm.mesh, pm.faces);
          const RectangularPort port(mode_m, mode_n, ap.extent_major, ap.extent_minor, ap.frame, 1,
                                     power, er);
          const double k0 = 2.0 * PI * freq_hz / C0;
          check_port_frequency(port, k0);
          const double z = port.wave_impedance(k0);
          return surface_integral(pm.mesh, pm.faces, [&](const Vec3& x) {
                   return norm2(*port.mode_profile(x[0], x[1], x[2], k0));
                 }) /
                 (2.0 * z);
        },
        "(xyz, tets, tris, m, n, power, er, freq_hz) -> modal power through the aperture, W");

  // The rectangular mode field at points, on a measured aperture.
  m.def("rectangular_mode_field",
        [](const std::vector<double>& xyz, const std::vector<u64>& tets, const std::vector<u64>& tris,
           u64 mode_m, u64 mode_n, double freq_hz, const std::vector<Vec3>& points) {
          const ProbeMesh pm = probe_mesh(xyz, tets, tris);
          const PortAperture ap = build_port_frame(pm.mesh, pm.faces);
          const RectangularPort port(mode_m, mode_n, ap.extent_major, ap.extent_minor, ap.frame, 1,
                                     1.0, 1.0);
          const double k0 = 2.0 * PI * freq_hz / C0;
          std::vector<Vec3> out;
          for (const Vec3& p : points) out.push_back(*port.mode_profile(p[0], p[1], p[2], k0));
          return out;
        },
        "(xyz, tets, tris, m, n, freq_hz, points) -> mode field at the points (1 W)");

  // Power through a coaxial aperture: sqrt(er)/(2 eta0) * integral |E|^2 dS.
  m.def("coax_port_power",
        [](const std::vector<double>& xyz, const std::vector<u64>& tets, const std::vector<u64>& tris,
           double ri, double ro, double power, double er) {
          const ProbeMesh pm = probe_mesh(xyz, tets, tris);
          const PortAperture ap = build_port_frame(pm.mesh, pm.faces);
          const PortFrame frame = build_coax_frame(ap.frame, std::nullopt, std::nullopt, 1);
          const CoaxPort port(frame, 1, power, er, ri, ro);
          const double integral = surface_integral(pm.mesh, pm.faces, [&](const Vec3& x) {
            return norm2(*port.mode_profile(x[0], x[1], x[2], 1.0));
          });
          return std::make_tuple(integral * std::sqrt(er) / (2.0 * ETA0), port.wave_impedance(1.0));
        },
        "(xyz, tets, tris, ri, ro, power, er) -> (modal power through the aperture, Zc)");
  // Seconds spent in material_tensors_with_pml on a mesh: `n_regions` regions share the
  // tetrahedra in turn (Debye when `dispersive`), and the tetrahedra with z above `pml_from`
  // form a +z layer. Returns (seconds, number of tetrahedra).
  m.def("material_tensors_timing",
        [](const std::vector<double>& xyz, const std::vector<u64>& tets, u64 n_regions,
           bool dispersive, double pml_from, double freq_hz) {
          const ProbeMesh pm = probe_mesh(xyz, tets, {});
          const u64 nt = pm.mesh.tets.size();
          std::vector<MaterialRegion> regions(std::max<u64>(n_regions, 1));
          for (std::size_t r = 0; r < regions.size(); ++r) {
            regions[r].er = 2.0 + static_cast<double>(r);
            regions[r].tand = 1e-3;
            if (dispersive) regions[r].dispersion = Dispersion::debye(2.0, 4.0, 1e-10);
          }
          for (u64 t = 0; t < nt; ++t) regions[t % regions.size()].tets.push_back(t);
          PmlRegion layer;
          layer.direction = {0.0, 0.0, 1.0};
          layer.inner_face = pml_from;
          layer.thickness = 1.0;
          layer.delta_max = 1.0;
          for (u64 t = 0; t < nt; ++t) {
            double zc = 0.0;
            for (u64 n : pm.mesh.tets[t]) zc += 0.25 * pm.mesh.nodes[n][2];
            if (zc > pml_from) layer.tets.push_back(t);
          }
          const auto start = std::chrono::steady_clock::now();
          const MaterialTensors mt =
              material_tensors_with_pml(nt, regions, {layer}, pm.mesh, freq_hz);
          const std::chrono::duration<double> dt = std::chrono::steady_clock::now() - start;
          if (mt.eps.size() != nt) panic("material_tensors_timing: wrong size");
          return std::make_tuple(dt.count(), nt);
        },
        "(xyz, tets, n_regions, dispersive, pml_from, freq_hz) -> (seconds, n_tets)");
}

}  // namespace vantrel::testing
