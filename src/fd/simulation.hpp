#pragma once
// The set-up frequency-domain problem: configuration, mesh, unknown numbering, the port and
// boundary objects with their triangles, conductor faces, material and absorbing-layer regions and
// the voltage integration lines of lumped ports. Built once, then only read.

#include <map>
#include <memory>
#include <vector>

#include "core/materials.hpp"
#include "core/mesh.hpp"
#include "fd/basis.hpp"
#include "fd/config.hpp"
#include "fd/port.hpp"

namespace vantrel {

using IntegrationLine = std::vector<Vec3>;  // 21 points, metres

struct Simulation {
  Config config;
  Mesh mesh;
  FemBasis basis;
  std::vector<std::unique_ptr<Port>> ports;   // one per entry with triangles, configuration order
  std::vector<std::vector<u64>> port_faces;   // parallel to ports: the faces of the entry's tag
  std::vector<u64> pec_faces;                 // faces of the [pec] tags, joined in tag order
  std::vector<MaterialRegion> materials;
  std::vector<PmlRegion> pml_regions;
  std::map<u64, std::vector<IntegrationLine>> lumped_lines;  // key: index into ports
  u64 mesh_fingerprint = 0;  // mesh_fingerprint(mesh): what a solution vector's unknowns mean

  // The ports as plain pointers, in list order (what the sweep takes).
  std::vector<const Port*> port_list() const;
  // Indices into `ports` of the driven ports, ascending: the order of right-hand sides and of
  // the rows and columns of every S-parameter matrix.
  std::vector<u64> driven_order() const;
};

// A hash of the node coordinates and the tetrahedra (their order included), never 0. The unknown
// numbering follows from exactly these, so two meshes with the same fingerprint number their
// unknowns alike; a sweep result records it to be refused by a simulation of another mesh.
u64 mesh_fingerprint(const Mesh& mesh);

// Numbers the unknowns, builds every port and boundary object, the conductor faces, the material
// and absorbing-layer regions and the lumped-port lines, and reports each on standard error.
// Port entries whose values have no physical meaning (zero or negative sizes, powers, radii...)
// are refused with an Error that names the port.
Simulation build_simulation(Mesh mesh, Config config);

// Refuses (Error naming the port) a port that has no propagating mode at one of the frequencies,
// such as a rectangular port at or below its cut-off.
void check_ports_at_frequencies(const Simulation& sim, const std::vector<double>& frequencies);

}  // namespace vantrel
