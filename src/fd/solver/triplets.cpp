#include "fd/solver/triplets.hpp"

#include <algorithm>
#include <cmath>

namespace vantrel {

namespace {

std::size_t triplet_count(std::span<const u64> rows, std::span<const u64> cols) {
  return std::min(rows.size(), cols.size());
}

bool takes(TripletLayout layout, u64 r, u64 c) {
  return layout == TripletLayout::CscAll || r <= c;
}

// Major index groups the entries (column for CSC, row for CSR), minor orders them inside a group.
u64 major_of(TripletLayout layout, u64 r, u64 c) { return layout == TripletLayout::CscAll ? c : r; }
u64 minor_of(TripletLayout layout, u64 r, u64 c) { return layout == TripletLayout::CscAll ? r : c; }

}  // namespace

std::optional<BadTriplet> find_bad_triplet(TripletLayout layout, u64 n, std::span<const u64> rows,
                                           std::span<const u64> cols, std::span<const cplx> vals) {
  const std::size_t m = std::min(triplet_count(rows, cols), vals.size());
  for (std::size_t k = 0; k < m; ++k) {
    const u64 r = rows[k], c = cols[k];
    if (!takes(layout, r, c)) continue;
    if (r >= n || c >= n) return BadTriplet{k, r, c, true};
    if (!std::isfinite(vals[k].real()) || !std::isfinite(vals[k].imag()))
      return BadTriplet{k, r, c, false};
  }
  return std::nullopt;
}

CompressedPattern compress_triplets(TripletLayout layout, u64 n, std::span<const u64> rows,
                                    std::span<const u64> cols) {
  const std::size_t m = triplet_count(rows, cols);
  CompressedPattern p;
  p.layout = layout;
  p.n = n;
  p.slot.assign(m, -1);

  // Stable counting sort by minor index, then by major index: the result is ordered by
  // (major, minor, input position).
  std::vector<std::int64_t> count(n + 1, 0);
  std::size_t kept = 0;
  for (std::size_t k = 0; k < m; ++k) {
    if (!takes(layout, rows[k], cols[k])) continue;
    ++count[minor_of(layout, rows[k], cols[k]) + 1];
    ++kept;
  }
  for (u64 i = 0; i < n; ++i) count[i + 1] += count[i];
  std::vector<std::int64_t> by_minor(kept);
  for (std::size_t k = 0; k < m; ++k) {
    if (!takes(layout, rows[k], cols[k])) continue;
    by_minor[count[minor_of(layout, rows[k], cols[k])]++] = static_cast<std::int64_t>(k);
  }

  std::fill(count.begin(), count.end(), 0);
  for (std::int64_t k : by_minor) ++count[major_of(layout, rows[k], cols[k]) + 1];
  for (u64 i = 0; i < n; ++i) count[i + 1] += count[i];
  std::vector<std::int64_t> sorted(kept);
  for (std::int64_t k : by_minor) sorted[count[major_of(layout, rows[k], cols[k])]++] = k;
  by_minor = {};

  // Merge runs of one position into one stored entry; the group starts follow.
  p.starts.assign(n + 1, 0);
  p.indices.reserve(kept);
  u64 prev_major = NONE_U64, prev_minor = NONE_U64;
  for (std::int64_t k : sorted) {
    const u64 maj = major_of(layout, rows[k], cols[k]);
    const u64 mnr = minor_of(layout, rows[k], cols[k]);
    if (maj != prev_major || mnr != prev_minor) {
      p.indices.push_back(static_cast<std::int64_t>(mnr));
      ++p.starts[maj + 1];
      prev_major = maj;
      prev_minor = mnr;
    }
    p.slot[k] = static_cast<std::int64_t>(p.indices.size()) - 1;
  }
  for (u64 i = 0; i < n; ++i) p.starts[i + 1] += p.starts[i];
  return p;
}

bool same_positions(const CompressedPattern& p, u64 n, std::span<const u64> rows,
                    std::span<const u64> cols) {
  const std::size_t m = triplet_count(rows, cols);
  if (n != p.n || m != p.slot.size()) return false;
  for (std::size_t k = 0; k < m; ++k) {
    const u64 r = rows[k], c = cols[k];
    const std::int64_t s = p.slot[k];
    if (!takes(p.layout, r, c)) {
      if (s >= 0) return false;
      continue;
    }
    if (s < 0 || r >= n || c >= n) return false;
    const u64 maj = major_of(p.layout, r, c);
    // Stored position s holds exactly (major, minor) when it lies in the major group and its
    // minor index matches: positions inside a group are distinct.
    if (s < p.starts[maj] || s >= p.starts[maj + 1]) return false;
    if (p.indices[static_cast<std::size_t>(s)] != static_cast<std::int64_t>(minor_of(p.layout, r, c)))
      return false;
  }
  return true;
}

void fill_values(const CompressedPattern& p, std::span<const cplx> vals, std::vector<cplx>& values) {
  // Starting from -0.0 makes the sum of a run bit-identical to "first value, then add the rest in
  // input order" (-0.0 + x == x for every x, signed zeros included).
  values.assign(p.stored(), cplx(-0.0, -0.0));
  const std::size_t m = std::min(p.slot.size(), vals.size());
  cplx* out = values.data();
  for (std::size_t k = 0; k < m; ++k) {
    const std::int64_t s = p.slot[k];
    if (s < 0) continue;
    cplx& v = out[s];
    v = cplx(v.real() + vals[k].real(), v.imag() + vals[k].imag());
  }
}

}  // namespace vantrel
