#include "fd/solver/accelerate.hpp"

#include <algorithm>
#include <limits>
#include <new>

#include "fd/solver/accelerate_shim.h"
#include "fd/solver/blas_threads.hpp"
#include "fd/solver/triplets.hpp"

namespace vantrel {

RealEmbedding real_symmetric_embedding(u64 n, std::span<const u64> rows, std::span<const u64> cols,
                                       std::span<const cplx> vals) {
  const u64 m = std::min({rows.size(), cols.size(), vals.size()});
  rows = rows.first(m);
  cols = cols.first(m);
  vals = vals.first(m);
  if (auto bad = find_bad_triplet(TripletLayout::CsrUpper, n, rows, cols, vals)) {
    if (bad->out_of_range)
      throw Error("Accelerate: entry (" + std::to_string(bad->row) + ", " +
                  std::to_string(bad->col) + ") out of bounds for N = " + std::to_string(n));
    throw Error("Accelerate: matrix entry (" + std::to_string(bad->row) + ", " +
                std::to_string(bad->col) + ") is not finite");
  }
  if (n >= (u64{1} << 30)) {
    throw Error("Accelerate: real-block dim 2N=" + std::to_string(n * 2) + " exceeds i32");
  }

  // The merged upper triangle of A by rows (columns c >= r ascending within row r) ...
  const CompressedPattern up = compress_triplets(TripletLayout::CsrUpper, n, rows, cols);
  std::vector<cplx> a;
  fill_values(up, vals, a);
  // ... and the same entries by columns (rows r <= c ascending within column c).
  std::vector<std::int64_t> cstart(n + 1, 0);
  for (std::int64_t c : up.indices) ++cstart[static_cast<u64>(c) + 1];
  for (u64 j = 0; j < n; ++j) cstart[j + 1] += cstart[j];
  std::vector<std::int64_t> crow(up.stored()), cpos(up.stored());
  {
    std::vector<std::int64_t> next(cstart.begin(), cstart.end() - 1);
    for (u64 r = 0; r < n; ++r) {
      for (std::int64_t p = up.starts[r]; p < up.starts[r + 1]; ++p) {
        const std::int64_t q = next[static_cast<u64>(up.indices[p])]++;
        crow[q] = static_cast<std::int64_t>(r);
        cpos[q] = p;
      }
    }
  }

  // Columns of M's upper triangle, rows ascending. A stored entry (r, c, re + j im), r <= c,
  // gives (r, c, re) and (r+N, c+N, -re) when re != 0, and (r, c+N, -im) and, for r < c,
  // (c, r+N, -im) when im != 0. So column j < N holds Ar's upper column j; column N + j holds
  // -Ai's column j in full (upper part from the column layout, lower part from row j) followed
  // by -Ar's upper column j shifted by N. Zero parts add nothing.
  RealEmbedding e;
  const u64 n2 = 2 * n;
  e.col_starts.assign(n2 + 1, 0);
  std::size_t estimate = 0;
  for (const cplx& v : a) estimate += (v.real() != 0.0 ? 2 : 0) + (v.imag() != 0.0 ? 2 : 0);
  e.row_indices.reserve(estimate);
  e.values.reserve(estimate);
  auto push = [&](u64 row, double value) {
    e.row_indices.push_back(static_cast<std::int32_t>(row));
    e.values.push_back(value);
  };
  for (u64 j = 0; j < n; ++j) {
    for (std::int64_t q = cstart[j]; q < cstart[j + 1]; ++q) {
      const double re = a[cpos[q]].real();
      if (re != 0.0) push(static_cast<u64>(crow[q]), re);
    }
    e.col_starts[j + 1] = static_cast<std::int64_t>(e.values.size());
  }
  for (u64 j = 0; j < n; ++j) {
    for (std::int64_t q = cstart[j]; q < cstart[j + 1]; ++q) {
      const double im = a[cpos[q]].imag();
      if (im != 0.0) push(static_cast<u64>(crow[q]), -im);
    }
    for (std::int64_t p = up.starts[j]; p < up.starts[j + 1]; ++p) {
      const u64 c = static_cast<u64>(up.indices[p]);
      if (c == j) continue;  // the diagonal came with the column part
      const double im = a[p].imag();
      if (im != 0.0) push(c, -im);
    }
    for (std::int64_t q = cstart[j]; q < cstart[j + 1]; ++q) {
      const double re = a[cpos[q]].real();
      if (re != 0.0) push(static_cast<u64>(crow[q]) + n, -re);
    }
    e.col_starts[n + j + 1] = static_cast<std::int64_t>(e.values.size());
  }
  return e;
}

AccelerateSolver::~AccelerateSolver() { accel_free(handle_); }

void AccelerateSolver::factorize(u64 n, std::span<const u64> rows, std::span<const u64> cols,
                                 std::span<const cplx> vals) {
  // The old factorisation goes first: a failed factorize leaves none behind.
  accel_free(handle_);
  handle_ = nullptr;
  AccelerateHandle* h = nullptr;
  try {
    match_blas_threads_to_pool();
    const RealEmbedding e = real_symmetric_embedding(n, rows, cols, vals);
    h = accel_factor(static_cast<std::int32_t>(2 * n), e.col_starts.data(), e.row_indices.data(),
                     e.values.data());
  } catch (const std::bad_alloc&) {
    h = nullptr;
  }
  if (h == nullptr) throw Error("Accelerate: LDL\u1d40 factorisation failed");
  handle_ = h;
  n_ = n;
}

void AccelerateSolver::refactorize(u64 n, std::span<const u64> rows, std::span<const u64> cols,
                                   std::span<const cplx> vals) {
  factorize(n, rows, cols, vals);
}

std::vector<cplx> AccelerateSolver::solve(std::span<const cplx> rhs) const {
  if (handle_ == nullptr) throw Error("Accelerate: solve before factorize");
  if (rhs.size() != n_) {
    throw Error("Accelerate: RHS length " + std::to_string(rhs.size()) + " \u2260 N = " +
                std::to_string(n_));
  }
  const u64 n = n_;
  std::vector<double> b(2 * n), x(2 * n, 0.0);
  for (u64 k = 0; k < n; ++k) {
    b[k] = rhs[k].real();
    b[n + k] = -rhs[k].imag();
  }
  const std::int32_t code = accel_solve(handle_, b.data(), x.data());
  if (code != 0) throw Error("Accelerate: SparseSolve returned " + std::to_string(code));
  std::vector<cplx> out(n);
  for (u64 k = 0; k < n; ++k) out[k] = cplx(x[k], x[n + k]);
  return out;
}

std::unique_ptr<SparseSolver> new_accelerate_solver() { return std::make_unique<AccelerateSolver>(); }

}  // namespace vantrel
