#pragma once
// Frequency sweep: per frequency the complex symmetric system
//   K = E - k0^2 B + S    on the free unknowns (conductor unknowns fixed to zero),
// E the curl-curl and B the mass matrix of the volume, S the port and boundary surface terms, and
// one right-hand side per driven port; k0 = 2 pi f / c0, time convention e^{+j w t}.
// The first frequency is factorised in full, the later ones numerically on the same pattern.

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

#include "core/materials.hpp"
#include "core/mesh.hpp"
#include "fd/basis.hpp"
#include "fd/port.hpp"
#include "fd/tet_assembly.hpp"

namespace vantrel {

struct FrequencySolution {
  std::vector<std::vector<cplx>> solutions;  // one per driven port, n_dofs entries, 0 at conductors
  u64 n_dofs = 0;
};

// Wall-clock split of one sweep in seconds, for the benchmark.
struct SweepTimings {
  double materials_s = 0.0;  // tensor evaluation, all frequencies
  double assembly_s = 0.0;   // element matrices, all frequencies
  double pattern_s = 0.0;    // conductor elimination and the merged matrix pattern, once
  std::vector<double> fill_s;      // per frequency: merged values and surface terms
  std::vector<double> rhs_s;       // per frequency: right-hand sides, gather and scatter
  std::vector<double> factor_s;    // per frequency: back end factorize / refactorize
  std::vector<double> solve_s;     // per frequency: back end solves
  double extract_s = 0.0;          // S-parameter extraction after the sweep (grid included)
  u64 n_free = 0;
  u64 nnz = 0;                     // merged pattern entries handed to the back end
};

// Wall-clock seconds since `start`: whole seconds plus the nanoseconds / 1e9.
double seconds_since(std::chrono::steady_clock::time_point start);

// Relative permittivity and permeability of every tetrahedron at freq_hz: the material regions
// (absent: vacuum) with the absorbing layers stretched in where given.
MaterialTensors tensors_at(const Mesh& mesh, const std::vector<MaterialRegion>* materials,
                           const std::vector<PmlRegion>* pml_regions, double freq_hz);

// The element matrices summed on the unknowns that the conductor faces leave free: one entry per
// distinct (row, column) pair of local numbers, column-major with rows ascending, E and B side
// by side. `free` maps local numbers to global unknowns, ascending.
struct FreeElementSystem {
  std::vector<u64> free;
  std::vector<u64> rows, cols;
  std::vector<cplx> e, b;
};
FreeElementSystem merge_free_elements(const Mesh& mesh, const FemBasis& basis,
                                      const std::vector<u64>& pec_faces, const ElementTriplets& el);

// Refuses a frequency list with a zero, negative or non-finite entry.
void check_frequencies(const std::vector<double>& frequencies);

// True when a region's tensors change with frequency: Debye, Drude, or a conductivity (whose
// term -j sigma / (w eps0) falls with w).
bool material_is_frequency_dependent(const MaterialRegion& region);

std::vector<FrequencySolution> solve_sweep(const Mesh& mesh, const FemBasis& basis,
                                           const std::vector<const Port*>& ports,
                                           const std::vector<std::vector<u64>>& port_faces,
                                           const std::vector<u64>& pec_faces,
                                           const std::vector<double>& frequencies,
                                           const std::vector<MaterialRegion>* materials,
                                           const std::vector<PmlRegion>* pml_regions,
                                           SweepTimings* timings = nullptr);

}  // namespace vantrel
