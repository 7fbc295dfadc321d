#pragma once
// The PARDISO back end: Intel MKL PARDISO, opened at run time and never linked. The upper
// triangle of the complex symmetric matrix goes over in compressed-row form with zero-based
// 32-bit indices as matrix type 6 (complex symmetric). factorize runs analysis and numeric
// factorisation (phase 12), refactorize the numeric factorisation only (phase 22), solve one
// right-hand side (phase 33).
//
// Where the library is looked for (first that opens wins):
//   1. libmkl_rt.so, libmkl_rt.so.3, libmkl_rt.so.2 on the loader's own path (LD_LIBRARY_PATH,
//      the ld.so cache);
//   2. the lib/ folder of the Python environment we run in, found without asking Python:
//      $VIRTUAL_ENV and $CONDA_PREFIX when set; every ancestor folder of this shared object
//      (an installed module sits in <prefix>/lib/pythonX.Y/site-packages/vantrel/, so one
//      ancestor is <prefix>); the prefix of the running interpreter, the parent of the folder
//      of /proc/self/exe; and ~/.local (pip's --user scheme). The pip package `mkl` installs
//      libmkl_rt.so.N into <prefix>/lib, which is on none of the loader's paths.
// Without the library nothing is printed and the selection takes another back end.

#include <array>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "fd/solver/dynlib.hpp"
#include "fd/solver/sparse_solver.hpp"
#include "fd/solver/triplets.hpp"

namespace vantrel {

// MKL's documented entry point: pardiso(pt, maxfct, mnum, mtype, phase, n, a, ia, ja, perm,
// nrhs, iparm, msglvl, b, x, error), integers 32-bit, a/b/x complex double.
using PardisoEntry = void (*)(void* pt, const i32* maxfct, const i32* mnum, const i32* mtype,
                              const i32* phase, const i32* n, const void* a, const i32* ia,
                              const i32* ja, i32* perm, const i32* nrhs, i32* iparm,
                              const i32* msglvl, void* b, void* x, i32* error);
// MKL_Set_Num_Threads_Local(n) (the C entry; the lower-case name takes a pointer): threads of MKL calls made from this thread; returns the previous
// setting (0 = follow the global one).
using MklSetThreadsLocal = int (*)(int);

// The upper triangle (row <= col) of a triplet list in zero-based compressed-row form; repeated
// positions summed in input order, columns ascending within a row, explicit zeros kept.
struct UpperCsr {
  std::vector<i32> ia;  // n + 1 row starts
  std::vector<i32> ja;  // column of each stored entry
  std::vector<cplx> a;  // value of each stored entry
};
// Throws Error when an index is not below n or does not fit 32 bits.
UpperCsr upper_csr_from_triplets(u64 n, std::span<const u64> rows, std::span<const u64> cols,
                                 std::span<const cplx> vals);

// The file names and paths tried, in order (see the top of this file).
std::vector<std::string> pardiso_library_candidates();

class PardisoSolver final : public SparseSolver {
 public:
  PardisoSolver(LibraryHandle library, PardisoEntry entry, MklSetThreadsLocal set_threads);
  ~PardisoSolver() override;
  PardisoSolver(const PardisoSolver&) = delete;
  PardisoSolver& operator=(const PardisoSolver&) = delete;

  void factorize(u64 n, std::span<const u64> rows, std::span<const u64> cols,
                 std::span<const cplx> vals) override;
  void refactorize(u64 n, std::span<const u64> rows, std::span<const u64> cols,
                   std::span<const cplx> vals) override;
  std::vector<cplx> solve(std::span<const cplx> rhs) const override;
  std::string name() const override { return "PARDISO"; }

  // Pivots perturbed by the last factorisation (iparm[13]); for tests and benchmarks.
  i32 perturbed_pivots() const { return iparm_[13]; }

 private:
  i32 call(i32 phase, i32 n, const std::vector<cplx>& a, const std::vector<i32>& ia,
           const std::vector<i32>& ja, cplx* b, cplx* x) const;
  void numeric(i32 phase, u64 n, UpperCsr&& csr, CompressedPattern&& pattern);
  void release();  // phase -1 and back to the state of construction

  LibraryHandle library_;          // owned: closed by the destructor
  PardisoEntry entry_;             // inside library_
  MklSetThreadsLocal set_threads_; // inside library_, may be null
  // PARDISO's internal state between calls; only the library reads or writes it.
  mutable std::array<void*, 64> pt_{};
  mutable std::array<i32, 64> iparm_{};  // the library also writes its statistics here
  i32 mtype_ = 6;
  bool factorized_ = false;
  u64 n_ = 0;
  UpperCsr csr_;                 // the factorised matrix, kept for phases 22 and 33
  CompressedPattern pattern_;    // triplet -> stored entry map of csr_, reused by refactorize
};

// Opens the library and finds its entry point; null (and nothing printed) when either fails.
// On success prints "  PARDISO: MKL loaded successfully" (unless report is false).
std::unique_ptr<PardisoSolver> load_mkl_pardiso(bool report = true);

}  // namespace vantrel
