#include "fd/free_dofs.hpp"

#include <algorithm>

namespace vantrel {

bool ConstrainedSet::insert(u64 dof) {
  if (dof >= member_.size()) member_.resize(dof + 1, 0);
  if (member_[dof] != 0) return false;
  member_[dof] = 1;
  ++size_;
  return true;
}

ConstrainedSet build_constrained_set(const FemBasis& basis, std::span<const u64> pec_faces) {
  ConstrainedSet set(basis.n_dofs);
  for (u64 f : pec_faces) {
    check_index(f, basis.face_dofs.size());
    for (u64 dof : basis.face_dofs[f]) set.insert(dof);
  }
  return set;
}

std::optional<u64> next_free_dof(IndexRange& range, const ConstrainedSet& constrained) {
  while (range.next < range.end) {
    const u64 i = range.next++;
    if (!constrained.contains(i)) return i;
  }
  return std::nullopt;
}

std::optional<u64> next_free_entry(IndexRange& range, const ConstrainedSet& constrained,
                                   std::span<const u64> rows, std::span<const u64> cols) {
  while (range.next < range.end) {
    const u64 k = range.next++;
    check_index(k, rows.size());
    check_index(k, cols.size());
    if (!constrained.contains(rows[k]) && !constrained.contains(cols[k])) return k;
  }
  return std::nullopt;
}

std::optional<u64> next_free_slot(IndexRange& range, const ConstrainedSet& constrained,
                                  const FemBasis& basis) {
  return next_free_entry(range, constrained, basis.face_pair_rows, basis.face_pair_cols);
}

FreeNumbering build_free_numbering(u64 n_dofs, const ConstrainedSet& constrained) {
  FreeNumbering num;
  num.local_of.assign(n_dofs, NONE_U64);
  num.free.reserve(n_dofs - std::min<u64>(n_dofs, constrained.size()));
  IndexRange range{0, n_dofs};
  while (const auto i = next_free_dof(range, constrained)) {
    num.local_of[*i] = num.free.size();
    num.free.push_back(*i);
  }
  return num;
}

std::vector<u64> free_entry_positions(const ConstrainedSet& constrained, std::span<const u64> rows,
                                      std::span<const u64> cols) {
  std::vector<u64> kept;
  kept.reserve(rows.size());
  IndexRange range{0, static_cast<u64>(rows.size())};
  while (const auto k = next_free_entry(range, constrained, rows, cols)) kept.push_back(*k);
  return kept;
}

std::vector<u64> free_slot_positions(const ConstrainedSet& constrained, const FemBasis& basis) {
  std::vector<u64> kept;
  kept.reserve(basis.face_pair_rows.size());
  IndexRange range{0, static_cast<u64>(basis.face_pair_rows.size())};
  while (const auto j = next_free_slot(range, constrained, basis)) kept.push_back(*j);
  return kept;
}

std::vector<cplx> scatter_free_solution(const FreeNumbering& numbering, u64 n_dofs,
                                        std::span<const cplx> local) {
  std::vector<cplx> full(n_dofs, cplx(0.0, 0.0));
  for (u64 i = 0; i < numbering.free.size(); ++i) {
    check_index(i, local.size());
    check_index(numbering.free[i], n_dofs);
    full[numbering.free[i]] = local[i];
  }
  return full;
}

std::vector<cplx> gather_free(const FreeNumbering& numbering, std::span<const cplx> full) {
  std::vector<cplx> local(numbering.free.size());
  for (u64 i = 0; i < numbering.free.size(); ++i) {
    check_index(numbering.free[i], full.size());
    local[i] = full[numbering.free[i]];
  }
  return local;
}

std::optional<CVec3> incident_term_at_points(IncidentTermPoints& it) {
  while (it.next < it.points.size()) {
    const TriangleQuadPoint& q = it.points[it.next++];
    Vec3 x;
    for (int c = 0; c < 3; ++c)
      x[c] = q[1] * it.vertices[0][c] + q[2] * it.vertices[1][c] + q[3] * it.vertices[2][c];
    if (auto u = it.port.incident_term(x[0], x[1], x[2], it.k0)) return u;
  }
  return std::nullopt;
}

}  // namespace vantrel
