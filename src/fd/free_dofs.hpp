#pragma once
// Removal of the unknowns fixed at zero on perfectly conducting faces: the constrained set, the
// compact numbering of the free unknowns, the filters over element triplets and surface slots,
// the driven order of the ports, and the incident term at a triangle's quadrature points.
//
// Every next_* function is one step of a lazy sequence over a half-open index range: it advances
// the range past the index it returns, and gives none once the range is exhausted.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/mesh.hpp"
#include "core/support.hpp"
#include "fd/basis.hpp"
#include "fd/port.hpp"

namespace vantrel {

// A set of unknown numbers with a set's interface (insert / contains / count / size), stored as
// a dense membership table: the element filters test it 400 times per tetrahedron.
class ConstrainedSet {
 public:
  ConstrainedSet() = default;
  explicit ConstrainedSet(u64 n_dofs) : member_(n_dofs, 0) {}
  bool insert(u64 dof);  // true when the unknown was not yet in the set
  bool contains(u64 dof) const { return dof < member_.size() && member_[dof] != 0; }
  std::size_t count(u64 dof) const { return contains(dof) ? 1 : 0; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

 private:
  std::vector<std::uint8_t> member_;
  std::size_t size_ = 0;
};

// The eight unknowns (face_dofs row) of every listed face. Face numbers are checked.
ConstrainedSet build_constrained_set(const FemBasis& basis, std::span<const u64> pec_faces);

struct IndexRange {
  u64 next = 0;
  u64 end = 0;
};

// Next i of the range not in the set.
std::optional<u64> next_free_dof(IndexRange& range, const ConstrainedSet& constrained);
// Next triplet position k with neither rows[k] nor cols[k] in the set.
std::optional<u64> next_free_entry(IndexRange& range, const ConstrainedSet& constrained,
                                   std::span<const u64> rows, std::span<const u64> cols);
// Next surface slot j (64 per face) with neither face_pair_rows[j] nor face_pair_cols[j] in the set.
std::optional<u64> next_free_slot(IndexRange& range, const ConstrainedSet& constrained,
                                  const FemBasis& basis);

// The free unknowns in ascending global order numbered 0, 1, 2, ...
struct FreeNumbering {
  std::vector<u64> free;      // local number -> global unknown
  std::vector<u64> local_of;  // global unknown -> local number, NONE_U64 when constrained
  u64 n_free() const { return free.size(); }
};
FreeNumbering build_free_numbering(u64 n_dofs, const ConstrainedSet& constrained);

// All positions the filters keep, ascending (the sweep keeps these once and renumbers them).
std::vector<u64> free_entry_positions(const ConstrainedSet& constrained, std::span<const u64> rows,
                                      std::span<const u64> cols);
std::vector<u64> free_slot_positions(const ConstrainedSet& constrained, const FemBasis& basis);

// Scatters a solution over the free unknowns back to all n_dofs unknowns (constrained stay 0).
std::vector<cplx> scatter_free_solution(const FreeNumbering& numbering, u64 n_dofs,
                                        std::span<const cplx> local);
// The entries of a full-length vector at the free unknowns, in free order.
std::vector<cplx> gather_free(const FreeNumbering& numbering, std::span<const cplx> full);

// Next port index whose port answers is_driven() with true. Works on any list of pointer-like
// port handles (unique_ptr, shared_ptr, raw pointers).
template <class Ports>
std::optional<u64> next_driven_port(IndexRange& range, const Ports& ports) {
  while (range.next < range.end) {
    const u64 i = range.next++;
    check_index(i, ports.size());
    if (ports[i]->is_driven()) return i;
  }
  return std::nullopt;
}

// The driven order: the indices of the driven ports, ascending. Right-hand sides, S-parameter
// rows/columns and n_driven follow it.
template <class Ports>
std::vector<u64> driven_order(const Ports& ports) {
  std::vector<u64> order;
  IndexRange range{0, static_cast<u64>(ports.size())};
  while (const auto i = next_driven_port(range, ports)) order.push_back(*i);
  return order;
}

// One record of a triangle rule: (weight, λ1, λ2, λ3) relative to the triangle's stored vertices.
using TriangleQuadPoint = std::array<double, 4>;

// Iteration over the quadrature points of one triangle: each point x = λ1·V0 + λ2·V1 + λ3·V2 is
// handed to the port's incident_term; points without an answer are passed over.
// Holds references (not owned): the port and the rule must outlive it.
struct IncidentTermPoints {
  const Port& port;
  std::span<const TriangleQuadPoint> points;
  std::array<Vec3, 3> vertices;
  double k0;
  std::size_t next = 0;
};
std::optional<CVec3> incident_term_at_points(IncidentTermPoints& it);

}  // namespace vantrel
