#include "fd/solver/pardiso.hpp"

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <new>

namespace vantrel {

namespace {

constexpr i32 MAXFCT = 1;  // one factorisation held in pt
constexpr i32 MNUM = 1;    // ... and it is the one used
constexpr i32 NRHS = 1;
constexpr i32 MSGLVL = 0;  // the library prints nothing
constexpr i32 ZERO_PIVOT = -4;  // the library's code for a zero pivot

constexpr std::array<const char*, 3> LIBRARY_NAMES = {"libmkl_rt.so", "libmkl_rt.so.3",
                                                       "libmkl_rt.so.2"};

std::array<i32, 64> default_iparm() {
  std::array<i32, 64> p{};
  p[0] = 1;    // the values below are given, not the library's defaults
  p[1] = 3;    // fill-reducing ordering: parallel nested dissection
  p[2] = 4;    // reserved position, as MKL's own examples set it
  p[9] = 13;   // pivot perturbation 1e-13
  p[12] = 2;   // weighted matching, improved accuracy for indefinite symmetric matrices
  p[34] = 1;   // zero-based ia and ja
  return p;
}

std::string phase_message(i32 phase, i32 error) {
  switch (phase) {
    case 12: return "PARDISO analyze+factorize (phase 12) error: " + std::to_string(error);
    case 22: return "PARDISO factorize (phase 22) error: " + std::to_string(error);
    default: return "PARDISO solve (phase 33) error: " + std::to_string(error);
  }
}

void add_unique(std::vector<std::string>& list, std::string s) {
  if (std::find(list.begin(), list.end(), s) == list.end()) list.push_back(std::move(s));
}

// Marker whose address locates this shared object on disk.
void locate_self() {}

}  // namespace

std::vector<std::string> pardiso_library_candidates() {
  namespace fs = std::filesystem;
  std::vector<std::string> names(LIBRARY_NAMES.begin(), LIBRARY_NAMES.end());

  std::vector<fs::path> prefixes;
  for (const char* var : {"VIRTUAL_ENV", "CONDA_PREFIX"}) {
    if (const char* v = std::getenv(var); v != nullptr && *v != '\0') prefixes.emplace_back(v);
  }
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&locate_self), &info) != 0 && info.dli_fname != nullptr) {
    std::error_code ec;
    fs::path p = fs::weakly_canonical(fs::path(info.dli_fname), ec);
    if (!ec) {
      for (p = p.parent_path(); !p.empty() && p != p.root_path(); p = p.parent_path())
        prefixes.push_back(p);
    }
  }
  {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (!ec && exe.has_parent_path()) prefixes.push_back(exe.parent_path().parent_path());
  }
  // `pip install --user mkl` puts the library under ~/.local/lib.
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0')
    prefixes.push_back(fs::path(home) / ".local");
  for (const fs::path& prefix : prefixes) {
    const fs::path lib = prefix / "lib";
    for (const char* name : LIBRARY_NAMES) {
      std::error_code ec;
      const fs::path file = lib / name;
      if (fs::exists(file, ec)) add_unique(names, file.string());
    }
  }
  return names;
}

namespace {

void build_upper(u64 n, std::span<const u64> rows, std::span<const u64> cols,
                 std::span<const cplx> vals, UpperCsr& csr, CompressedPattern& pattern) {
  const u64 m = std::min({rows.size(), cols.size(), vals.size()});
  rows = rows.first(m);
  cols = cols.first(m);
  vals = vals.first(m);
  if (n >= static_cast<u64>(std::numeric_limits<i32>::max()))
    throw Error("PARDISO: order " + std::to_string(n) + " exceeds the 32-bit index range");
  if (auto bad = find_bad_triplet(TripletLayout::CsrUpper, n, rows, cols, vals)) {
    if (bad->out_of_range)
      throw Error("PARDISO: entry (" + std::to_string(bad->row) + ", " + std::to_string(bad->col) +
                  ") out of bounds for n = " + std::to_string(n));
    throw Error("PARDISO: matrix entry (" + std::to_string(bad->row) + ", " +
                std::to_string(bad->col) + ") is not finite");
  }
  pattern = compress_triplets(TripletLayout::CsrUpper, n, rows, cols);
  if (pattern.stored() >= static_cast<std::size_t>(std::numeric_limits<i32>::max()))
    throw Error("PARDISO: " + std::to_string(pattern.stored()) +
                " stored entries exceed the 32-bit index range");
  csr.ia.assign(pattern.starts.begin(), pattern.starts.end());
  csr.ja.assign(pattern.indices.begin(), pattern.indices.end());
  fill_values(pattern, vals, csr.a);
}

}  // namespace

UpperCsr upper_csr_from_triplets(u64 n, std::span<const u64> rows, std::span<const u64> cols,
                                 std::span<const cplx> vals) {
  UpperCsr csr;
  CompressedPattern pattern;
  build_upper(n, rows, cols, vals, csr, pattern);
  return csr;
}

PardisoSolver::PardisoSolver(LibraryHandle library, PardisoEntry entry,
                             MklSetThreadsLocal set_threads)
    : library_(library), entry_(entry), set_threads_(set_threads), iparm_(default_iparm()) {}

PardisoSolver::~PardisoSolver() {
  release();
  close_library(library_);
}

void PardisoSolver::release() {
  // Phase -1 frees all of the library's memory for this pt. It runs whenever pt holds any
  // state, which a failed first factorisation may also leave behind; its error is not read.
  if (std::any_of(pt_.begin(), pt_.end(), [](void* w) { return w != nullptr; })) {
    const i32 phase = -1, zero_n = 0, zero_rhs = 0;
    i32 one_int = 0, error = 0;
    entry_(pt_.data(), &MAXFCT, &MNUM, &mtype_, &phase, &zero_n, nullptr, &one_int, &one_int,
           nullptr, &zero_rhs, iparm_.data(), &MSGLVL, nullptr, nullptr, &error);
  }
  pt_.fill(nullptr);
  factorized_ = false;
  csr_ = {};
  pattern_ = {};
  n_ = 0;
}

i32 PardisoSolver::call(i32 phase, i32 n, const std::vector<cplx>& a, const std::vector<i32>& ia,
                        const std::vector<i32>& ja, cplx* b, cplx* x) const {
  std::vector<i32> perm(static_cast<std::size_t>(n), 0);
  i32 error = 0;
  // MKL runs as many threads as the worker pool has workers, so RAYON_NUM_THREADS bounds it
  // too; the setting is local to this thread and restored afterwards.
  const int previous = set_threads_ ? set_threads_(static_cast<int>(worker_count())) : 0;
  entry_(pt_.data(), &MAXFCT, &MNUM, &mtype_, &phase, &n, a.data(), ia.data(), ja.data(),
         perm.data(), &NRHS, iparm_.data(), &MSGLVL, b, x, &error);
  if (set_threads_) set_threads_(previous);
  return error;
}

void PardisoSolver::numeric(i32 phase, u64 n, UpperCsr&& csr, CompressedPattern&& pattern) {
  const i32 n32 = static_cast<i32>(n);
  std::vector<cplx> b(n), x(n);
  i32 error = call(phase, n32, csr.a, csr.ia, csr.ja, b.data(), x.data());
  // A perturbed pivot means a (numerically) singular matrix: its solutions would be meaningless
  // numbers of size 1/1e-13, so it is reported as the library's zero-pivot error.
  if (error == 0 && iparm_[13] > 0) error = ZERO_PIVOT;
  if (error != 0) {
    // The library's state no longer matches any stored matrix: drop it entirely, so a later
    // solve reports the missing factorisation and a later refactorize analyses afresh.
    release();
    throw Error(phase_message(phase, error));
  }
  factorized_ = true;
  n_ = n;
  csr_ = std::move(csr);
  pattern_ = std::move(pattern);
}

void PardisoSolver::factorize(u64 n, std::span<const u64> rows, std::span<const u64> cols,
                              std::span<const cplx> vals) {
  UpperCsr csr;
  CompressedPattern pattern;
  try {
    build_upper(n, rows, cols, vals, csr, pattern);
  } catch (const std::bad_alloc&) {
    throw Error("PARDISO: out of memory building the matrix");
  }
  // A new analysis starts from a clean state rather than on top of the previous matrix's.
  release();
  numeric(12, n, std::move(csr), std::move(pattern));
}

void PardisoSolver::refactorize(u64 n, std::span<const u64> rows, std::span<const u64> cols,
                                std::span<const cplx> vals) {
  const u64 m = std::min({rows.size(), cols.size(), vals.size()});
  rows = rows.first(m);
  cols = cols.first(m);
  vals = vals.first(m);
  // Phase 22 reuses the analysis of phase 12, which only fits the same upper-triangle
  // positions; anything else gets a fresh analysis.
  if (!factorized_ || !same_positions(pattern_, n, rows, cols)) {
    factorize(n, rows, cols, vals);
    return;
  }
  if (auto bad = find_bad_triplet(TripletLayout::CsrUpper, n, rows, cols, vals)) {
    throw Error("PARDISO: matrix entry (" + std::to_string(bad->row) + ", " +
                std::to_string(bad->col) + ") is not finite");
  }
  UpperCsr csr;
  try {
    csr.ia = csr_.ia;
    csr.ja = csr_.ja;
    fill_values(pattern_, vals, csr.a);
  } catch (const std::bad_alloc&) {
    throw Error("PARDISO: out of memory building the matrix");
  }
  CompressedPattern pattern = std::move(pattern_);
  numeric(22, n, std::move(csr), std::move(pattern));
}

std::vector<cplx> PardisoSolver::solve(std::span<const cplx> rhs) const {
  // The library itself would read an unfactorised state or past the end of a short rhs.
  if (!factorized_) throw Error("PARDISO: solve before factorize");
  if (rhs.size() != n_) {
    throw Error("PARDISO: RHS length " + std::to_string(rhs.size()) + " \u2260 n = " +
                std::to_string(n_));
  }
  std::vector<cplx> b(rhs.begin(), rhs.end());
  std::vector<cplx> x(n_);
  if (n_ == 0) return x;
  const i32 error = call(33, static_cast<i32>(n_), csr_.a, csr_.ia, csr_.ja, b.data(), x.data());
  if (error != 0) throw Error(phase_message(33, error));
  return x;
}

std::unique_ptr<PardisoSolver> load_mkl_pardiso(bool report) {
  LibraryHandle library = nullptr;
  for (const std::string& name : pardiso_library_candidates()) {
    auto opened = load_library(name);
    if (auto* h = std::get_if<LibraryHandle>(&opened)) {
      library = *h;
      break;
    }
  }
  if (library == nullptr) return nullptr;
  void* entry = nullptr;
  for (const char* symbol : {"pardiso", "pardiso_"}) {
    auto found = lookup_symbol(library, symbol);
    if (auto* p = std::get_if<void*>(&found)) {
      entry = *p;
      break;
    }
  }
  if (entry == nullptr) {
    close_library(library);
    return nullptr;
  }
  void* set_threads = nullptr;
  if (auto found = lookup_symbol(library, "MKL_Set_Num_Threads_Local");
      std::holds_alternative<void*>(found))
    set_threads = std::get<void*>(found);
  if (report) eprint("  PARDISO: MKL loaded successfully\n");
  return std::make_unique<PardisoSolver>(library, reinterpret_cast<PardisoEntry>(entry),
                                         reinterpret_cast<MklSetThreadsLocal>(set_threads));
}

}  // namespace vantrel
