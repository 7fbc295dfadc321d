// The symmetric-indefinite LDL^T shim over sequential MUMPS (double precision, SYM = 2).
//
// Ordering: METIS nested dissection of the matrix graph, computed here and handed to MUMPS
// (the Debian MUMPS has no METIS of its own). It is deterministic from run to run and gives
// less fill than MUMPS's PORD, and PORD ends the process (exit) on small dense graphs, such as
// the matrix of a single element. Where the graph does not fit METIS's 32-bit indices, MUMPS's
// own approximate minimum fill (AMF) orders it.
//
// MUMPS settings: sequential analysis, block low-rank off, exactly two steps of iterative
// refinement (they take the residual from about 1e-12 to 1e-16), all output streams closed.
//
// Every MUMPS call goes through one process-wide lock: the C interface and its sequential MPI
// stub keep per-process tables, and an instance must never see another's call half done. A
// factorisation already runs on all cores through the BLAS, so serialising two of them costs
// little throughput.

#include "fd/solver/accelerate_shim.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <mutex>
#include <vector>

#include <dmumps_c.h>
#include <metis.h>

namespace {

constexpr MUMPS_INT JOB_INIT = -1;
constexpr MUMPS_INT JOB_END = -2;
constexpr MUMPS_INT JOB_FACTORIZE = 2;
constexpr MUMPS_INT JOB_SOLVE = 3;
constexpr MUMPS_INT JOB_ANALYSE_FACTORIZE = 4;
constexpr MUMPS_INT USE_COMM_WORLD = -987654;
constexpr MUMPS_INT SYMMETRIC_GENERAL = 2;  // symmetric indefinite: LDL^T, 1x1 and 2x2 pivots
constexpr MUMPS_INT ORDERING_GIVEN = 1;  // PERM_IN
constexpr MUMPS_INT ORDERING_AMF = 2;

// Workspace-estimate failures that a larger relaxation (ICNTL(14)) cures.
bool workspace_too_small(MUMPS_INT status) { return status == -8 || status == -9; }

std::mutex& mumps_lock() {
  static std::mutex m;
  return m;
}

// ICNTL(k) in the one-based numbering of the MUMPS documentation.
MUMPS_INT& icntl(DMUMPS_STRUC_C& id, int k) { return id.icntl[k - 1]; }
MUMPS_INT infog(const DMUMPS_STRUC_C& id, int k) { return id.infog[k - 1]; }

// Nested-dissection order of the symmetric pattern (upper triangle by columns), as MUMPS's
// PERM_IN: perm_in[i] = one-based pivot position of variable i. Empty when METIS cannot take it.
std::vector<MUMPS_INT> metis_order(int32_t n, const int64_t* col_starts, const int32_t* rows) {
  std::vector<MUMPS_INT> perm_in;
  // Graph without self loops, each off-diagonal entry as two directed edges.
  std::vector<int64_t> degree(static_cast<std::size_t>(n) + 1, 0);
  for (int32_t j = 0; j < n; ++j) {
    for (int64_t p = col_starts[j]; p < col_starts[j + 1]; ++p) {
      if (rows[p] == j) continue;
      ++degree[static_cast<std::size_t>(rows[p]) + 1];
      ++degree[static_cast<std::size_t>(j) + 1];
    }
  }
  for (int32_t i = 0; i < n; ++i) degree[i + 1] += degree[i];
  if (degree[n] >= std::numeric_limits<idx_t>::max()) return perm_in;
  std::vector<idx_t> xadj(degree.begin(), degree.end());
  std::vector<idx_t> adjncy(static_cast<std::size_t>(degree[n]) + 1);
  std::vector<idx_t> next(xadj.begin(), xadj.end() - 1);
  for (int32_t j = 0; j < n; ++j) {
    for (int64_t p = col_starts[j]; p < col_starts[j + 1]; ++p) {
      const int32_t i = rows[p];
      if (i == j) continue;
      adjncy[next[i]++] = j;
      adjncy[next[j]++] = i;
    }
  }
  idx_t nv = n;
  idx_t options[METIS_NOPTIONS];
  METIS_SetDefaultOptions(options);
  options[METIS_OPTION_NUMBERING] = 0;
  std::vector<idx_t> perm(static_cast<std::size_t>(n)), iperm(static_cast<std::size_t>(n));
  if (METIS_NodeND(&nv, xadj.data(), adjncy.data(), nullptr, options, perm.data(), iperm.data()) !=
      METIS_OK)
    return perm_in;
  // iperm[i] is the new position of variable i.
  perm_in.resize(static_cast<std::size_t>(n));
  for (int32_t i = 0; i < n; ++i) perm_in[i] = static_cast<MUMPS_INT>(iperm[i]) + 1;
  return perm_in;
}

}  // namespace

struct AccelerateHandle {
  DMUMPS_STRUC_C* mumps;  // the analysis ("symbolic") and factors ("numeric") of the matrix
  bool mumps_live;        // JOB_INIT succeeded, so JOB_END is owed
  int32_t n;
  int64_t* col_starts;    // copy, n + 1 values
  MUMPS_INT* irn;         // one-based row of each stored entry (MUMPS's coordinate input)
  MUMPS_INT* jcn;         // one-based column of each stored entry
  double* values;         // copy; MUMPS reads it again for iterative refinement
};

extern "C" void accel_free(AccelerateHandle* handle) {
  if (handle == nullptr) return;
  if (handle->mumps != nullptr) {
    if (handle->mumps_live) {
      std::lock_guard<std::mutex> guard(mumps_lock());
      handle->mumps->job = JOB_END;
      dmumps_c(handle->mumps);
    }
    std::free(handle->mumps);
  }
  std::free(handle->col_starts);
  std::free(handle->irn);
  std::free(handle->jcn);
  std::free(handle->values);
  std::free(handle);
}

extern "C" AccelerateHandle* accel_factor(int32_t n, const int64_t* col_starts,
                                          const int32_t* row_indices, const double* values) {
  if (n < 1 || col_starts == nullptr) return nullptr;
  const int64_t nnz = col_starts[n];
  if (nnz < 0) return nullptr;
  auto* h = static_cast<AccelerateHandle*>(std::calloc(1, sizeof(AccelerateHandle)));
  if (h == nullptr) return nullptr;
  h->n = n;
  const std::size_t count = static_cast<std::size_t>(nnz);
  h->col_starts = static_cast<int64_t*>(std::malloc(sizeof(int64_t) * (static_cast<std::size_t>(n) + 1)));
  h->irn = static_cast<MUMPS_INT*>(std::malloc(sizeof(MUMPS_INT) * (count ? count : 1)));
  h->jcn = static_cast<MUMPS_INT*>(std::malloc(sizeof(MUMPS_INT) * (count ? count : 1)));
  h->values = static_cast<double*>(std::malloc(sizeof(double) * (count ? count : 1)));
  h->mumps = static_cast<DMUMPS_STRUC_C*>(std::calloc(1, sizeof(DMUMPS_STRUC_C)));
  if (!h->col_starts || !h->irn || !h->jcn || !h->values || !h->mumps) {
    accel_free(h);
    return nullptr;
  }
  std::memcpy(h->col_starts, col_starts, sizeof(int64_t) * (static_cast<std::size_t>(n) + 1));
  if (count > 0) std::memcpy(h->values, values, sizeof(double) * count);
  for (int32_t j = 0; j < n; ++j) {
    for (int64_t p = col_starts[j]; p < col_starts[j + 1]; ++p) {
      h->irn[p] = row_indices[p] + 1;
      h->jcn[p] = j + 1;
    }
  }

  std::vector<MUMPS_INT> perm_in;
  try {
    perm_in = metis_order(n, col_starts, row_indices);
  } catch (const std::bad_alloc&) {
    perm_in.clear();
  }

  DMUMPS_STRUC_C& id = *h->mumps;
  bool ok = false;
  {
    std::lock_guard<std::mutex> guard(mumps_lock());
    id.comm_fortran = USE_COMM_WORLD;
    id.par = 1;
    id.sym = SYMMETRIC_GENERAL;
    id.job = JOB_INIT;
    dmumps_c(&id);
    if (infog(id, 1) >= 0) {
      h->mumps_live = true;
      icntl(id, 1) = -1;  // error messages
      icntl(id, 2) = -1;  // diagnostics and warnings
      icntl(id, 3) = -1;  // global information
      icntl(id, 4) = 0;   // print level
      if (!perm_in.empty()) {
        icntl(id, 7) = ORDERING_GIVEN;
        id.perm_in = perm_in.data();
      } else {
        icntl(id, 7) = ORDERING_AMF;
      }
      icntl(id, 10) = -2;  // exactly two steps of iterative refinement
      icntl(id, 12) = 1;   // the ordering above as it is, not one of a compressed graph
      icntl(id, 28) = 1;   // sequential analysis
      icntl(id, 35) = 0;   // no block low-rank compression
      id.n = n;
      id.nnz = nnz;
      id.irn = h->irn;
      id.jcn = h->jcn;
      id.a = h->values;
      id.job = JOB_ANALYSE_FACTORIZE;
      dmumps_c(&id);
      // Two-by-two pivoting can outgrow the workspace estimated by the analysis: grow the
      // relaxation and factorise again on the same analysis.
      for (int attempt = 0; attempt < 4 && workspace_too_small(infog(id, 1)); ++attempt) {
        icntl(id, 14) = icntl(id, 14) * 2 + 20;
        id.job = JOB_FACTORIZE;
        dmumps_c(&id);
      }
      // Any negative status, -10 (numerically singular) included, is a failed factorisation.
      ok = infog(id, 1) >= 0;
      id.perm_in = nullptr;  // read by the analysis only
    }
  }
  if (!ok) {
    accel_free(h);
    return nullptr;
  }
  return h;
}

extern "C" int32_t accel_solve(AccelerateHandle* handle, const double* rhs, double* x) {
  if (handle == nullptr) return -1;
  DMUMPS_STRUC_C& id = *handle->mumps;
  // MUMPS overwrites the right-hand side with the solution: solve in x.
  if (x != rhs) std::memmove(x, rhs, sizeof(double) * static_cast<std::size_t>(handle->n));
  std::lock_guard<std::mutex> guard(mumps_lock());
  icntl(id, 20) = 0;  // dense right-hand side
  icntl(id, 21) = 0;  // centralised solution
  id.nrhs = 1;
  id.lrhs = handle->n;
  id.rhs = x;
  id.job = JOB_SOLVE;
  dmumps_c(&id);
  id.rhs = nullptr;
  const MUMPS_INT status = infog(id, 1);
  return status < 0 ? status : 0;
}
