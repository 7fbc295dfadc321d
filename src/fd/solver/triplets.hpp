#pragma once
// Triplet lists to compressed sparse layouts, shared by the back ends. A layout is built once per
// pattern together with the stored position of every triplet, so that a later matrix with the
// same positions (the next frequency of a sweep) is filled by one scatter-add pass.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/support.hpp"

namespace vantrel {

// Which entries a layout stores and how it groups them.
enum class TripletLayout {
  CscAll,    // compressed columns, every triplet (general LU)
  CsrUpper,  // compressed rows, only triplets with row <= col (symmetric solvers)
};

// A compressed pattern: `starts` (n + 1 entries) and `indices` (one per stored entry, ascending
// within each row or column). `slot[k]` is the stored position of triplet k, or -1 for a
// triplet the layout drops.
struct CompressedPattern {
  TripletLayout layout = TripletLayout::CscAll;
  u64 n = 0;
  std::vector<std::int64_t> starts;
  std::vector<std::int64_t> indices;
  std::vector<std::int64_t> slot;

  std::size_t stored() const { return indices.size(); }
  std::size_t triplets() const { return slot.size(); }
};

// The first triplet the layout takes whose row or column is not below n, or whose value is not
// finite; entries are visited in input order. Only the first min(len) triplets count.
struct BadTriplet {
  u64 k;
  u64 row;
  u64 col;
  bool out_of_range;  // else: a non-finite value
};
std::optional<BadTriplet> find_bad_triplet(TripletLayout layout, u64 n, std::span<const u64> rows,
                                           std::span<const u64> cols, std::span<const cplx> vals);

// Builds the pattern of the triplets (rows and cols of equal length). Indices must have been
// checked (< n) for the entries the layout takes.
// Repeated positions share one stored entry. Linear time: two stable counting sorts.
CompressedPattern compress_triplets(TripletLayout layout, u64 n, std::span<const u64> rows,
                                    std::span<const u64> cols);

// True when the triplets have exactly the positions the pattern was built from (same n, same
// count, same position for every triplet), so fill_values may be used with them.
bool same_positions(const CompressedPattern& p, u64 n, std::span<const u64> rows,
                    std::span<const u64> cols);

// values[s] = sum of the triplet values stored at s, added in input order.
void fill_values(const CompressedPattern& p, std::span<const cplx> vals, std::vector<cplx>& values);

}  // namespace vantrel
