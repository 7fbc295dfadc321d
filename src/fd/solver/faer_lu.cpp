#include "fd/solver/faer_lu.hpp"

#include <algorithm>
#include <limits>
#include <new>

#include <umfpack.h>

#include "fd/solver/blas_threads.hpp"

namespace vantrel {

static_assert(sizeof(double[UMFPACK_CONTROL]) == sizeof(double[20]));
static_assert(sizeof(SuiteSparse_long) == sizeof(std::int64_t));
static_assert(sizeof(cplx) == 2 * sizeof(double));  // UMFPACK's packed complex layout

namespace {

const char* umfpack_error_text(SuiteSparse_long status) {
  switch (status) {
    case UMFPACK_ERROR_out_of_memory: return "OutOfMemory";
    case UMFPACK_ERROR_invalid_matrix: return "InvalidMatrix";
    case UMFPACK_ERROR_ordering_failed: return "OrderingFailed";
    case UMFPACK_ERROR_internal_error: return "InternalError";
    default: return "Unknown";
  }
}

// Triplets beyond the shortest of the three arrays are not taken.
u64 taken_count(std::span<const u64> rows, std::span<const u64> cols, std::span<const cplx> vals) {
  return std::min({rows.size(), cols.size(), vals.size()});
}

const double* packed(const std::vector<cplx>& v) { return reinterpret_cast<const double*>(v.data()); }

}  // namespace

CscMatrix faer_matrix_from_triplets(u64 n, std::span<const u64> rows, std::span<const u64> cols,
                                    std::span<const cplx> vals) {
  const u64 m = taken_count(rows, cols, vals);
  rows = rows.first(m);
  cols = cols.first(m);
  vals = vals.first(m);
  if (n > static_cast<u64>(std::numeric_limits<std::int64_t>::max()) - 1)
    throw Error("faer matrix build: Generic(IndexOverflow)");
  if (auto bad = find_bad_triplet(TripletLayout::CscAll, n, rows, cols, vals)) {
    if (bad->out_of_range)
      throw Error("faer matrix build: OutOfBounds { row: " + std::to_string(bad->row) +
                  ", col: " + std::to_string(bad->col) + " }");
    throw Error("faer matrix build: NonFinite { row: " + std::to_string(bad->row) +
                ", col: " + std::to_string(bad->col) + " }");
  }
  try {
    CscMatrix a;
    a.pattern = compress_triplets(TripletLayout::CscAll, n, rows, cols);
    fill_values(a.pattern, vals, a.values);
    return a;
  } catch (const std::bad_alloc&) {
    throw Error("faer matrix build: Generic(OutOfMemory)");
  }
}

FaerLuSolver::FaerLuSolver() {
  umfpack_zl_defaults(control_);
  // Nested dissection on A + A^T: the matrix is structurally symmetric, and on 3-D finite-element
  // systems METIS gives far less fill than AMD/COLAMD.
  control_[UMFPACK_ORDERING] = UMFPACK_ORDERING_METIS;
  control_[UMFPACK_PRL] = 0;
}

FaerLuSolver::~FaerLuSolver() {
  release_numeric();
  release_symbolic();
}

void FaerLuSolver::release_numeric() {
  if (numeric_ != nullptr) umfpack_zl_free_numeric(&numeric_);
  numeric_ = nullptr;
}

void FaerLuSolver::release_symbolic() {
  if (symbolic_ != nullptr) umfpack_zl_free_symbolic(&symbolic_);
  symbolic_ = nullptr;
}

void FaerLuSolver::factorize(u64 n, std::span<const u64> rows, std::span<const u64> cols,
                             std::span<const cplx> vals) {
  match_blas_threads_to_pool();
  CscMatrix a = faer_matrix_from_triplets(n, rows, cols, vals);
  void* symbolic = nullptr;
  void* numeric = nullptr;
  if (n > 0) {
    const auto nn = static_cast<SuiteSparse_long>(n);
    const SuiteSparse_long* ap = a.pattern.starts.data();
    const SuiteSparse_long* ai = a.pattern.indices.data();
    double info[UMFPACK_INFO];
    SuiteSparse_long status =
        umfpack_zl_symbolic(nn, nn, ap, ai, packed(a.values), nullptr, &symbolic, control_, info);
    if (status != UMFPACK_OK) {
      if (symbolic != nullptr) umfpack_zl_free_symbolic(&symbolic);
      throw Error(std::string("faer symbolic LU: ") + umfpack_error_text(status));
    }
    status = umfpack_zl_numeric(ap, ai, packed(a.values), nullptr, symbolic, &numeric, control_, info);
    if (status != UMFPACK_OK) {
      if (numeric != nullptr) umfpack_zl_free_numeric(&numeric);
      umfpack_zl_free_symbolic(&symbolic);
      // A zero pivot would give inf/NaN solutions: refuse instead of factorising silently.
      if (status == UMFPACK_WARNING_singular_matrix) throw Error("faer numeric LU: Singular");
      throw Error(std::string("faer numeric LU: Generic(") + umfpack_error_text(status) + ")");
    }
  }
  release_numeric();
  release_symbolic();
  symbolic_ = symbolic;
  numeric_ = numeric;
  matrix_ = std::move(a);
  n_ = n;
  factorized_ = true;
}

void FaerLuSolver::refactorize(u64 n, std::span<const u64> rows, std::span<const u64> cols,
                               std::span<const cplx> vals) {
  const u64 m = taken_count(rows, cols, vals);
  rows = rows.first(m);
  cols = cols.first(m);
  vals = vals.first(m);
  // The stored analysis only fits a matrix with the same positions. A different pattern gets a
  // fresh analysis rather than factors of a wrong matrix.
  if (!factorized_ || n == 0 || !same_positions(matrix_.pattern, n, rows, cols)) {
    factorize(n, rows, cols, vals);
    return;
  }
  if (auto bad = find_bad_triplet(TripletLayout::CscAll, n, rows, cols, vals)) {
    throw Error("faer matrix build: NonFinite { row: " + std::to_string(bad->row) +
                ", col: " + std::to_string(bad->col) + " }");
  }
  match_blas_threads_to_pool();
  try {
    fill_values(matrix_.pattern, vals, spare_);
  } catch (const std::bad_alloc&) {
    throw Error("faer matrix build: Generic(OutOfMemory)");
  }
  void* numeric = nullptr;
  double info[UMFPACK_INFO];
  const SuiteSparse_long status =
      umfpack_zl_numeric(matrix_.pattern.starts.data(), matrix_.pattern.indices.data(),
                         packed(spare_), nullptr, symbolic_, &numeric, control_, info);
  if (status != UMFPACK_OK) {
    if (numeric != nullptr) umfpack_zl_free_numeric(&numeric);
    if (status == UMFPACK_WARNING_singular_matrix) throw Error("faer numeric LU: Singular");
    throw Error(std::string("faer numeric LU: Generic(") + umfpack_error_text(status) + ")");
  }
  release_numeric();
  numeric_ = numeric;
  std::swap(matrix_.values, spare_);
  n_ = n;
}

std::vector<cplx> FaerLuSolver::solve(std::span<const cplx> rhs) const {
  if (!factorized_) throw Error("faer LU: solve before factorize");
  if (rhs.size() != n_) {
    throw Error("faer LU: RHS length " + std::to_string(rhs.size()) + " \u2260 n = " +
                std::to_string(n_));
  }
  std::vector<cplx> x(n_);
  if (n_ == 0) return x;
  std::vector<cplx> b(rhs.begin(), rhs.end());
  double info[UMFPACK_INFO];
  // UMFPACK_A: solve A x = b (no transpose), with the default iterative refinement against the
  // stored matrix.
  const SuiteSparse_long status = umfpack_zl_solve(
      UMFPACK_A, matrix_.pattern.starts.data(), matrix_.pattern.indices.data(), packed(matrix_.values),
      nullptr, reinterpret_cast<double*>(x.data()), nullptr, packed(b), nullptr, numeric_,
      const_cast<double*>(control_), info);
  if (status != UMFPACK_OK)
    throw Error(std::string("faer LU: solve failed: ") + umfpack_error_text(status));
  return x;
}

std::unique_ptr<SparseSolver> new_faer_lu_solver() { return std::make_unique<FaerLuSolver>(); }

}  // namespace vantrel
