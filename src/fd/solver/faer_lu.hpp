#pragma once
// The general sparse LU back end ("faer LU"): the complex symmetric matrix is factorised as a
// general square matrix, every triplet of both triangles taken, with UMFPACK (complex, 64-bit
// indices) and a nested-dissection fill-reducing ordering (METIS). The symbolic analysis of the
// first factorize is kept, so refactorize repeats only the numeric factorisation.

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "fd/solver/sparse_solver.hpp"
#include "fd/solver/triplets.hpp"

namespace vantrel {

// The n x n compressed-column matrix of a triplet list, repeated positions summed, with the
// stored position of every triplet. Throws Error "faer matrix build: {}".
struct CscMatrix {
  CompressedPattern pattern;
  std::vector<cplx> values;
};
CscMatrix faer_matrix_from_triplets(u64 n, std::span<const u64> rows, std::span<const u64> cols,
                                    std::span<const cplx> vals);

class FaerLuSolver final : public SparseSolver {
 public:
  FaerLuSolver();
  ~FaerLuSolver() override;
  FaerLuSolver(const FaerLuSolver&) = delete;
  FaerLuSolver& operator=(const FaerLuSolver&) = delete;

  void factorize(u64 n, std::span<const u64> rows, std::span<const u64> cols,
                 std::span<const cplx> vals) override;
  void refactorize(u64 n, std::span<const u64> rows, std::span<const u64> cols,
                   std::span<const cplx> vals) override;
  std::vector<cplx> solve(std::span<const cplx> rhs) const override;
  std::string name() const override { return "faer LU"; }

 private:
  void release_numeric();
  void release_symbolic();

  double control_[20];           // UMFPACK_CONTROL entries
  CscMatrix matrix_;             // the matrix of the current factorisation (used by refinement)
  std::vector<cplx> spare_;      // values buffer reused by refactorize
  void* symbolic_ = nullptr;     // owned UMFPACK symbolic analysis of matrix_.pattern
  void* numeric_ = nullptr;      // owned UMFPACK numeric factors of matrix_
  bool factorized_ = false;      // also true for an empty (n = 0) factorisation
  u64 n_ = 0;
};

std::unique_ptr<SparseSolver> new_faer_lu_solver();

}  // namespace vantrel
