#include "fd/solver/cholmod.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include <cholmod.h>

#include "fd/solver/blas_threads.hpp"

namespace vantrel {

static_assert(sizeof(SuiteSparse_long) == sizeof(std::int64_t));

namespace {

class CholmodSolver final : public SparseSolver {
 public:
  CholmodSolver() {
    cholmod_l_start(&common_);
    common_.print = 0;  // failures come back as Error values, never as printed text
    common_.supernodal = CHOLMOD_SIMPLICIAL;
  }
  ~CholmodSolver() override {
    if (factor_ != nullptr) cholmod_l_free_factor(&factor_, &common_);
    cholmod_l_finish(&common_);
  }
  CholmodSolver(const CholmodSolver&) = delete;
  CholmodSolver& operator=(const CholmodSolver&) = delete;

  void factorize(u64 n, std::span<const u64> rows, std::span<const u64> cols,
                 std::span<const cplx> vals) override {
    const std::size_t m = std::min({rows.size(), cols.size(), vals.size()});
    std::size_t upper = 0;
    for (std::size_t k = 0; k < m; ++k) {
      if (rows[k] >= n || cols[k] >= n)
        throw Error("CHOLMOD: entry (" + std::to_string(rows[k]) + ", " + std::to_string(cols[k]) +
                    ") outside the " + std::to_string(n) + "x" + std::to_string(n) + " matrix");
      if (!std::isfinite(vals[k].real()) || vals[k].imag() != 0.0)
        throw Error("CHOLMOD: entry (" + std::to_string(rows[k]) + ", " + std::to_string(cols[k]) +
                    ") is not a finite real number");
      if (rows[k] <= cols[k]) ++upper;
    }
    if (factor_ != nullptr) cholmod_l_free_factor(&factor_, &common_);
    n_ = n;
    if (n == 0) return;
    match_blas_threads_to_pool();
    // The upper triangle (stype 1); repeated positions are summed by the conversion.
    cholmod_triplet* t = cholmod_l_allocate_triplet(n, n, upper, 1, CHOLMOD_REAL, &common_);
    if (t == nullptr) throw Error("CHOLMOD: out of memory");
    auto* ti = static_cast<SuiteSparse_long*>(t->i);
    auto* tj = static_cast<SuiteSparse_long*>(t->j);
    auto* tx = static_cast<double*>(t->x);
    std::size_t p = 0;
    for (std::size_t k = 0; k < m; ++k) {
      if (rows[k] > cols[k]) continue;
      ti[p] = static_cast<SuiteSparse_long>(rows[k]);
      tj[p] = static_cast<SuiteSparse_long>(cols[k]);
      tx[p] = vals[k].real();
      ++p;
    }
    t->nnz = upper;
    cholmod_sparse* a = cholmod_l_triplet_to_sparse(t, upper, &common_);
    cholmod_l_free_triplet(&t, &common_);
    if (a == nullptr) throw Error("CHOLMOD: out of memory");
    factor_ = cholmod_l_analyze(a, &common_);
    if (factor_ != nullptr) cholmod_l_factorize(a, factor_, &common_);
    cholmod_l_free_sparse(&a, &common_);
    if (factor_ == nullptr || common_.status != CHOLMOD_OK) {
      const bool not_pd = common_.status == CHOLMOD_NOT_POSDEF;
      const int status = common_.status;
      if (factor_ != nullptr) cholmod_l_free_factor(&factor_, &common_);
      throw Error(not_pd ? std::string("CHOLMOD: matrix is not positive definite")
                         : "CHOLMOD: factorisation failed (status " + std::to_string(status) + ")");
    }
  }

  void refactorize(u64 n, std::span<const u64> rows, std::span<const u64> cols,
                   std::span<const cplx> vals) override {
    factorize(n, rows, cols, vals);
  }

  std::vector<cplx> solve(std::span<const cplx> rhs) const override {
    if (rhs.size() != n_)
      throw Error("CHOLMOD: right-hand side of " + std::to_string(rhs.size()) + " values for " +
                  std::to_string(n_) + " unknowns");
    std::vector<cplx> x(n_);
    if (n_ == 0) return x;
    if (factor_ == nullptr) throw Error("CHOLMOD: solve before factorize");
    bool complex_rhs = false;
    for (const cplx& v : rhs) complex_rhs = complex_rhs || v.imag() != 0.0;
    const std::size_t ncol = complex_rhs ? 2 : 1;
    cholmod_dense* b = cholmod_l_allocate_dense(n_, ncol, n_, CHOLMOD_REAL, &common_);
    if (b == nullptr) throw Error("CHOLMOD: out of memory");
    auto* bx = static_cast<double*>(b->x);
    for (u64 i = 0; i < n_; ++i) {
      bx[i] = rhs[i].real();
      if (complex_rhs) bx[n_ + i] = rhs[i].imag();
    }
    cholmod_dense* s = cholmod_l_solve(CHOLMOD_A, factor_, b, &common_);
    cholmod_l_free_dense(&b, &common_);
    if (s == nullptr) throw Error("CHOLMOD: solve failed (status " + std::to_string(common_.status) + ")");
    const auto* sx = static_cast<const double*>(s->x);
    for (u64 i = 0; i < n_; ++i) x[i] = cplx(sx[i], complex_rhs ? sx[n_ + i] : 0.0);
    cholmod_l_free_dense(&s, &common_);
    return x;
  }

  std::string name() const override { return "CHOLMOD"; }

 private:
  mutable cholmod_common common_;  // CHOLMOD's workspace; solve writes its status
  cholmod_factor* factor_ = nullptr;  // owned
  u64 n_ = 0;
};

}  // namespace

std::unique_ptr<SparseSolver> new_cholmod_solver() { return std::make_unique<CholmodSolver>(); }

}  // namespace vantrel
