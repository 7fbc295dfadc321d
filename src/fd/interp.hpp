#pragma once
// Point location over the tetrahedra and evaluation of a frequency-domain solution (one complex
// coefficient per unknown, in V/m: the basis functions carry a length factor and are
// dimensionless) as E and ∇×E at arbitrary points, plus the voltage along a lumped port's
// integration line. Coordinates in metres.

#include <array>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "core/mesh.hpp"
#include "core/support.hpp"
#include "fd/basis.hpp"

namespace vantrel {

using CellKey = std::array<i32, 3>;

struct CellKeyHash {
  std::size_t operator()(const CellKey& k) const noexcept {
    u64 h = static_cast<u64>(static_cast<std::uint32_t>(k[0])) * 0x9E3779B97F4A7C15ull;
    h ^= (static_cast<u64>(static_cast<std::uint32_t>(k[1])) + 0x632BE59BD9B4E019ull) *
         0xC2B2AE3D27D4EB4Full;
    h ^= (static_cast<u64>(static_cast<std::uint32_t>(k[2])) + 0x165667B19E3779F9ull) *
         0x85EBCA77C2B2AE63ull;
    return static_cast<std::size_t>(h ^ (h >> 31));
  }
};

// Uniform hash grid over the tetrahedra: each tetrahedron is filed under the cell of its
// centroid; cell keys (⌊x/h⌋, ⌊y/h⌋, ⌊z/h⌋) count from the coordinate origin.
struct TetGrid {
  std::unordered_map<CellKey, std::vector<u64>, CellKeyHash> cells;  // ascending tet lists
  double cell_size = 0.0;                                             // h, metres
};

// h = (bounding-box diagonal) / max(∛n_tets, 2).
TetGrid build_tet_grid(const Mesh& mesh);

// The cell of p, each coordinate floored and saturated to i32 (NaN gives 0).
CellKey cell_key(const TetGrid& grid, const Vec3& p);

// First tetrahedron holding p among the 27 cells around p's cell (dx slowest, dz fastest),
// else the first in a scan of all tetrahedra, else none.
std::optional<u64> locate_tet(const TetGrid& grid, const Mesh& mesh, const Vec3& p);

// Barycentric test with a 1e-8 tolerance; a degenerate tetrahedron (|det| < 1e-30) holds nothing.
bool point_in_tet(const Mesh& mesh, u64 t, const Vec3& p);

// E(p) = Σ u_i N_i(p) over the 20 functions of tetrahedron t (order of tet_dofs).
CVec3 eval_field_at_point(const FemBasis& basis, const Mesh& mesh, std::span<const cplx> solution,
                          u64 t, const Vec3& p);
// ∇×E(p) of the same expansion (units of E per metre).
CVec3 eval_curl_at_point(const FemBasis& basis, const Mesh& mesh, std::span<const cplx> solution,
                         u64 t, const Vec3& p);

// E at any point: the field in the tetrahedron that holds p, zero outside the mesh.
// Holds references only (not owned): grid, mesh, basis and solution must outlive it.
struct FieldSampler {
  const TetGrid& grid;
  const Mesh& mesh;
  const FemBasis& basis;
  std::span<const cplx> solution;
  CVec3 operator()(const Vec3& p) const;
};
inline CVec3 sample_field_at_point(const FieldSampler& sampler, const Vec3& p) { return sampler(p); }

// ---- lumped-port voltage ----------------------------------------------------------------------
// V = Σ over the segments of a voltage integration line (lumped_integration_lines, fd/ports.hpp)
// of E(midpoint)·(p_{k+1} − p_k), unconjugated; zero field outside the mesh.
cplx integrate_line_voltage(const FieldSampler& sampler, std::span<const Vec3> line);

}  // namespace vantrel
