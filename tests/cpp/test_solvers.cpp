// The sparse direct solver back ends, their selection and the run-time library access.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fd/solver/accelerate.hpp"
#include "fd/solver/accelerate_shim.h"
#include "fd/solver/dynlib.hpp"
#include "fd/solver/faer_lu.hpp"
#include "fd/solver/pardiso.hpp"
#include "fd/solver/select.hpp"

using namespace vantrel;

namespace {

using CV = std::vector<cplx>;

struct Triplets {
  u64 n = 0;
  std::vector<u64> rows, cols;
  std::vector<cplx> vals;
  void add(u64 r, u64 c, cplx v) {
    rows.push_back(r);
    cols.push_back(c);
    vals.push_back(v);
  }
};

// -Laplacian on an m^3 grid (7-point, h = 1) minus a complex shift s(i) that varies per node:
// complex symmetric and indefinite once Re s passes the lowest eigenvalues. Off-diagonal entries
// appear once per triangle, each diagonal split in two occurrences.
Triplets helmholtz(u64 m, cplx shift) {
  Triplets t;
  t.n = m * m * m;
  auto id = [m](u64 i, u64 j, u64 k) { return (i * m + j) * m + k; };
  for (u64 i = 0; i < m; ++i)
    for (u64 j = 0; j < m; ++j)
      for (u64 k = 0; k < m; ++k) {
        const u64 p = id(i, j, k);
        const cplx s = shift * (1.0 + 0.1 * static_cast<double>((p * 7) % 5));
        t.add(p, p, 3.0 - 0.5 * s);
        t.add(p, p, 3.0 - 0.5 * s);
        const u64 nb[3][3] = {{i + 1, j, k}, {i, j + 1, k}, {i, j, k + 1}};
        for (const auto& q : nb) {
          if (q[0] >= m || q[1] >= m || q[2] >= m) continue;
          const u64 o = id(q[0], q[1], q[2]);
          t.add(p, o, -1.0);
          t.add(o, p, -1.0);
        }
      }
  return t;
}

std::vector<cplx> matvec(const Triplets& t, const std::vector<cplx>& x) {
  std::vector<cplx> y(t.n);
  for (std::size_t k = 0; k < t.rows.size(); ++k) y[t.rows[k]] += t.vals[k] * x[t.cols[k]];
  return y;
}

std::vector<cplx> test_rhs(u64 n) {
  std::vector<cplx> b(n);
  for (u64 i = 0; i < n; ++i) b[i] = cplx(std::sin(0.3 * i + 1.0), std::cos(0.7 * i));
  return b;
}

double rel_diff(const std::vector<cplx>& a, const std::vector<cplx>& b) {
  double num = 0, den = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    num += std::norm(a[i] - b[i]);
    den += std::norm(b[i]);
  }
  return std::sqrt(num / den);
}

std::unique_ptr<PardisoSolver> pardiso_or_null() {
  auto p = load_mkl_pardiso();
  if (p) return p;
  // A test executable is not inside the Python environment that holds the pip package `mkl`:
  // point the search at the interpreter's prefix, as an activated virtual environment would.
  static bool tried = false;
  if (!tried) {
    tried = true;
    if (FILE* f = popen("python3 -c 'import sys; print(sys.prefix)' 2>/dev/null", "r")) {
      char buf[4096] = {0};
      if (fgets(buf, sizeof buf, f) != nullptr) {
        std::string prefix(buf);
        while (!prefix.empty() && (prefix.back() == '\n' || prefix.back() == '\r')) prefix.pop_back();
        if (!prefix.empty() && std::getenv("VIRTUAL_ENV") == nullptr) setenv("VIRTUAL_ENV", prefix.c_str(), 1);
      }
      pclose(f);
    }
  }
  return load_mkl_pardiso();
}

using Factory = std::function<std::unique_ptr<SparseSolver>()>;

struct Backend {
  std::string word;
  Factory make;
};

std::vector<Backend> backends() {
  std::vector<Backend> list = {{"faer", [] { return new_faer_lu_solver(); }},
                               {"accelerate", [] { return new_accelerate_solver(); }}};
  if (pardiso_or_null()) list.push_back({"pardiso", []() -> std::unique_ptr<SparseSolver> { return pardiso_or_null(); }});
  return list;
}

std::string error_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.what();
  }
  return "<no error>";
}

}  // namespace

// ---- agreement and matrix forms -----------------------------------------------------------

TEST(Solvers, BackEndsAgreeOnIndefiniteHelmholtz) {
  // Shifts past several Laplacian eigenvalues (max 12), with losses of both signs.
  for (cplx shift : {cplx(2.5, -0.3), cplx(5.0, -1e-3), cplx(7.9, 0.2)}) {
    const Triplets t = helmholtz(7, shift);
    const auto b = test_rhs(t.n);
    std::vector<cplx> reference;
    for (const auto& be : backends()) {
      auto s = be.make();
      s->factorize(t.n, t.rows, t.cols, t.vals);
      const auto x = s->solve(b);
      // Shifts close to an eigenvalue give condition numbers near 1e5; PARDISO refines only
      // after perturbed pivots, so its residual stays at about cond * eps.
      EXPECT_LT(rel_diff(matvec(t, x), b), 1e-9) << be.word;
      if (reference.empty()) reference = x;
      else EXPECT_LT(rel_diff(x, reference), 1e-8) << be.word;
    }
  }
}

TEST(Solvers, RepeatedAndSplitEntriesDescribeOneMatrix) {
  const Triplets split = helmholtz(5, cplx(3.0, -0.5));
  // The same matrix with every position listed once.
  Triplets merged;
  merged.n = split.n;
  std::vector<std::vector<cplx>> dense(split.n, std::vector<cplx>(split.n));
  for (std::size_t k = 0; k < split.rows.size(); ++k) dense[split.rows[k]][split.cols[k]] += split.vals[k];
  for (u64 i = 0; i < split.n; ++i)
    for (u64 j = 0; j < split.n; ++j)
      if (dense[i][j] != cplx(0, 0)) merged.add(i, j, dense[i][j]);
  const auto b = test_rhs(split.n);
  for (const auto& be : backends()) {
    auto s1 = be.make(), s2 = be.make();
    s1->factorize(split.n, split.rows, split.cols, split.vals);
    s2->factorize(merged.n, merged.rows, merged.cols, merged.vals);
    EXPECT_LT(rel_diff(s1->solve(b), s2->solve(b)), 1e-12) << be.word;
  }
}

TEST(Solvers, SolveTwiceGivesTheSameSolution) {
  const Triplets t = helmholtz(5, cplx(4.0, -0.2));
  const auto b = test_rhs(t.n);
  for (const auto& be : backends()) {
    auto s = be.make();
    s->factorize(t.n, t.rows, t.cols, t.vals);
    // the same factors: the same solution up to the rounding of a multithreaded substitution,
    // whose summation order a back end may change from call to call
    EXPECT_LT(rel_diff(s->solve(b), s->solve(b)), 1e-12) << be.word;
  }
}

TEST(Solvers, RefactorizeTakesNewValues) {
  const Triplets a1 = helmholtz(6, cplx(2.0, -0.1));
  const Triplets a2 = helmholtz(6, cplx(6.5, -0.4));  // same positions, new values
  const auto b = test_rhs(a1.n);
  for (const auto& be : backends()) {
    auto fresh = be.make();
    fresh->factorize(a2.n, a2.rows, a2.cols, a2.vals);
    const auto expected = fresh->solve(b);

    auto s = be.make();
    s->factorize(a1.n, a1.rows, a1.cols, a1.vals);
    const auto x1 = s->solve(b);
    s->refactorize(a2.n, a2.rows, a2.cols, a2.vals);
    EXPECT_LT(rel_diff(s->solve(b), expected), 1e-10) << be.word;
    EXPECT_GT(rel_diff(x1, expected), 1e-3) << be.word;  // the systems do differ

    // refactorize on a fresh back end is a factorize
    auto r = be.make();
    r->refactorize(a2.n, a2.rows, a2.cols, a2.vals);
    EXPECT_LT(rel_diff(r->solve(b), expected), 1e-10) << be.word;

    // a pattern other than the analysed one is analysed again, not mis-factorised
    const Triplets small = helmholtz(4, cplx(2.0, -0.1));
    const auto bs = test_rhs(small.n);
    s->refactorize(small.n, small.rows, small.cols, small.vals);
    EXPECT_LT(rel_diff(matvec(small, s->solve(bs)), bs), 1e-11) << be.word;
  }
}

TEST(Solvers, TwoThreadsSolveIndependently) {
  const Triplets a = helmholtz(8, cplx(3.0, -0.3));
  const Triplets c = helmholtz(8, cplx(5.5, 0.1));
  const auto b = test_rhs(a.n);
  for (const auto& be : backends()) {
    std::vector<cplx> xa, xc;
    auto work = [&](const Triplets& t, std::vector<cplx>& out) {
      for (int rep = 0; rep < 3; ++rep) {
        auto s = be.make();
        s->factorize(t.n, t.rows, t.cols, t.vals);
        s->refactorize(t.n, t.rows, t.cols, t.vals);
        out = s->solve(b);
      }
    };
    std::thread t1(work, std::cref(a), std::ref(xa));
    std::thread t2(work, std::cref(c), std::ref(xc));
    t1.join();
    t2.join();
    EXPECT_LT(rel_diff(matvec(a, xa), b), 1e-11) << be.word;
    EXPECT_LT(rel_diff(matvec(c, xc), b), 1e-11) << be.word;
  }
}

TEST(Solvers, EmptySystem) {
  FaerLuSolver f;
  f.factorize(0, {}, {}, {});
  EXPECT_TRUE(f.solve({}).empty());
  AccelerateSolver a;
  EXPECT_EQ(error_of([&] { a.factorize(0, {}, {}, {}); }), "Accelerate: LDL\u1d40 factorisation failed");
  EXPECT_EQ(error_of([&] { a.solve({}); }), "Accelerate: solve before factorize");
}

// ---- messages for bad calls ---------------------------------------------------------------

TEST(Solvers, MessagesForBadCalls) {
  struct Expect {
    std::string word, before, length, singular, after_failure;
  };
  const std::vector<Expect> table = {
      {"faer", "faer LU: solve before factorize", "faer LU: RHS length 4 \u2260 n = 3",
       "faer numeric LU: Singular", "kept"},
      {"accelerate", "Accelerate: solve before factorize", "Accelerate: RHS length 4 \u2260 N = 3",
       "Accelerate: LDL\u1d40 factorisation failed", "Accelerate: solve before factorize"},
      {"pardiso", "PARDISO: solve before factorize", "PARDISO: RHS length 4 \u2260 n = 3",
       "PARDISO analyze+factorize (phase 12) error: -4", "PARDISO: solve before factorize"},
  };
  // Nonsingular 3x3 and a singular one ([1 1; 1 1] block): same positions.
  const std::vector<u64> rows = {0, 0, 1, 1, 2}, cols = {0, 1, 0, 1, 2};
  const std::vector<cplx> good = {{2, 1}, {1, 0}, {1, 0}, {3, 0}, {1, -1}};
  const std::vector<cplx> singular = {{1, 0}, {1, 0}, {1, 0}, {1, 0}, {1, -1}};
  for (const auto& e : table) {
    std::unique_ptr<SparseSolver> s;
    for (const auto& be : backends())
      if (be.word == e.word) s = be.make();
    if (!s) continue;  // PARDISO absent
    SCOPED_TRACE(e.word);
    EXPECT_EQ(error_of([&] { s->solve(std::vector<cplx>(3)); }), e.before);
    s->factorize(3, rows, cols, good);
    EXPECT_EQ(error_of([&] { s->solve(std::vector<cplx>(4)); }), e.length);
    const auto x = s->solve(CV{{1, 0}, {0, 0}, {0, 1}});
    EXPECT_EQ(error_of([&] { s->factorize(3, rows, cols, singular); }), e.singular);
    if (e.after_failure == "kept") {
      EXPECT_LT(rel_diff(s->solve(CV{{1, 0}, {0, 0}, {0, 1}}), x), 1e-12);  // the old factors
    } else {
      EXPECT_EQ(error_of([&] { s->solve(std::vector<cplx>(3)); }), e.after_failure);
    }
    // singular through refactorize as well
    auto r = [&] {
      for (const auto& be : backends())
        if (be.word == e.word) return be.make();
      return std::unique_ptr<SparseSolver>();
    }();
    r->factorize(3, rows, cols, good);
    const std::string refail = error_of([&] { r->refactorize(3, rows, cols, singular); });
    EXPECT_NE(refail, "<no error>");
  }
}

TEST(Solvers, OutOfRangeAndNonFiniteEntriesAreRefused) {
  const std::vector<u64> rows = {0, 1, 2, 3}, cols = {0, 1, 2, 0};
  const std::vector<cplx> vals = {{1, 0}, {1, 0}, {1, 0}, {1, 0}};
  FaerLuSolver f;
  f.factorize(2, std::vector<u64>{0, 1}, std::vector<u64>{0, 1}, std::vector<cplx>{{2, 0}, {4, 0}});
  EXPECT_EQ(error_of([&] { f.factorize(3, rows, cols, vals); }),
            "faer matrix build: OutOfBounds { row: 3, col: 0 }");
  EXPECT_EQ(f.solve(CV{{2, 0}, {4, 0}}), (std::vector<cplx>{{1, 0}, {1, 0}}));  // state kept
  const std::vector<cplx> nan_vals = {{1, 0}, {std::nan(""), 0}, {1, 0}};
  EXPECT_EQ(error_of([&] { f.factorize(3, std::vector<u64>{0, 1, 2}, std::vector<u64>{0, 1, 2}, nan_vals); }),
            "faer matrix build: NonFinite { row: 1, col: 1 }");

  // The symmetric back ends read the upper triangle only: (3, 0) is ignored, (0, 3) is not.
  const std::vector<u64> urows = {0, 1, 2, 0}, ucols = {0, 1, 2, 3};
  const std::vector<cplx> uvals = {{1, 0}, {1, 0}, {1, 0}, {1, 0}};
  AccelerateSolver a;
  a.factorize(3, rows, cols, vals);  // the lower (3, 0) entry is dropped
  EXPECT_EQ(a.solve(CV{{1, 0}, {2, 0}, {0, 0}}), (CV{{1, 0}, {2, 0}, {0, 0}}));
  EXPECT_EQ(error_of([&] { a.factorize(3, urows, ucols, uvals); }),
            "Accelerate: entry (0, 3) out of bounds for N = 3");
  EXPECT_EQ(error_of([&] { (void)upper_csr_from_triplets(3, urows, ucols, uvals); }),
            "PARDISO: entry (0, 3) out of bounds for n = 3");
  EXPECT_EQ(error_of([&] { (void)upper_csr_from_triplets(u64{1} << 31, {}, {}, {}); }),
            "PARDISO: order 2147483648 exceeds the 32-bit index range");
  EXPECT_EQ(error_of([&] { (void)real_symmetric_embedding(u64{1} << 30, {}, {}, {}); }),
            "Accelerate: real-block dim 2N=2147483648 exceeds i32");
}

TEST(FaerLu, RepeatedDiagonalEntriesAddUp) {
  FaerLuSolver s;
  s.factorize(1, std::vector<u64>{0, 0}, std::vector<u64>{0, 0}, std::vector<cplx>{{1, 0}, {2, 0}});
  EXPECT_EQ(s.solve(CV{{3, 0}}), (std::vector<cplx>{{1, 0}}));
  const CscMatrix m = faer_matrix_from_triplets(1, std::vector<u64>{0, 0}, std::vector<u64>{0, 0},
                                                std::vector<cplx>{{1, 0}, {2, 0}});
  EXPECT_EQ(m.values, (std::vector<cplx>{{3, 0}}));
}

// ---- layouts ----------------------------------------------------------------------------------

TEST(Pardiso, UpperCsrFromTriplets) {
  const cplx alpha(1, 1), beta(2, 0), gamma(3, -1), delta(0.5, 4), eps(-7, 0);
  const UpperCsr csr = upper_csr_from_triplets(3, std::vector<u64>{2, 0, 1, 0, 0}, std::vector<u64>{0, 2, 1, 2, 0},
                                               std::vector<cplx>{alpha, beta, gamma, delta, eps});
  EXPECT_EQ(csr.ia, (std::vector<i32>{0, 2, 3, 3}));
  EXPECT_EQ(csr.ja, (std::vector<i32>{0, 2, 1}));
  EXPECT_EQ(csr.a, (std::vector<cplx>{eps, beta + delta, gamma}));
  const UpperCsr empty = upper_csr_from_triplets(2, {}, {}, {});
  EXPECT_EQ(empty.ia, (std::vector<i32>{0, 0, 0}));
  EXPECT_TRUE(empty.ja.empty());
  EXPECT_TRUE(empty.a.empty());
}

TEST(Accelerate, RealEmbedding) {
  // A = [2 + 1j]: M = [2 -1; -1 -2]
  RealEmbedding e = real_symmetric_embedding(1, std::vector<u64>{0}, std::vector<u64>{0}, std::vector<cplx>{{2, 1}});
  EXPECT_EQ(e.col_starts, (std::vector<std::int64_t>{0, 1, 3}));
  EXPECT_EQ(e.row_indices, (std::vector<std::int32_t>{0, 0, 1}));
  EXPECT_EQ(e.values, (std::vector<double>{2, -1, -2}));
  AccelerateSolver s;
  s.factorize(1, std::vector<u64>{0}, std::vector<u64>{0}, std::vector<cplx>{{2, 1}});
  const auto x = s.solve(CV{{1, 0}});
  EXPECT_NEAR(x[0].real(), 0.4, 1e-15);
  EXPECT_NEAR(x[0].imag(), -0.2, 1e-15);

  // Real A: no entry couples the two blocks. A 2x2 [[1, 2], [2, 3]] in both triangles.
  e = real_symmetric_embedding(2, std::vector<u64>{0, 0, 1, 1}, std::vector<u64>{0, 1, 0, 1},
                               std::vector<cplx>{{1, 0}, {2, 0}, {2, 0}, {3, 0}});
  EXPECT_EQ(e.col_starts, (std::vector<std::int64_t>{0, 1, 3, 4, 6}));
  EXPECT_EQ(e.row_indices, (std::vector<std::int32_t>{0, 0, 1, 2, 2, 3}));
  EXPECT_EQ(e.values, (std::vector<double>{1, 2, 3, -1, -2, -3}));

  // Purely imaginary diagonal: one entry (r, r + N, -im); off-diagonal imaginary: two.
  e = real_symmetric_embedding(2, std::vector<u64>{0, 0, 1}, std::vector<u64>{0, 1, 1},
                               std::vector<cplx>{{0, 5}, {0, 2}, {0, 0}});
  EXPECT_EQ(e.col_starts, (std::vector<std::int64_t>{0, 0, 0, 2, 3}));
  EXPECT_EQ(e.row_indices, (std::vector<std::int32_t>{0, 1, 0}));
  EXPECT_EQ(e.values, (std::vector<double>{-5, -2, -2}));
}

TEST(Accelerate, ShimNullHandles) {
  double rhs = 1, x = 0;
  EXPECT_EQ(accel_solve(nullptr, &rhs, &x), -1);
  accel_free(nullptr);
  const std::int64_t starts[1] = {0};
  EXPECT_EQ(accel_factor(0, starts, nullptr, nullptr), nullptr);
}

// ---- run-time library access ------------------------------------------------------------------

TEST(DynLib, CheckLibraryPath) {
  using namespace std::string_view_literals;
  EXPECT_EQ(std::get<bool>(check_library_path("pardiso"sv)), false);
  EXPECT_EQ(std::get<bool>(check_library_path("pardiso\0"sv)), true);
  EXPECT_EQ(std::get<bool>(check_library_path("\0"sv)), true);
  EXPECT_EQ(std::get<LibraryError>(check_library_path("par\0diso"sv)).kind, LibraryErrorKind::InnerNul);
  EXPECT_EQ(std::get<LibraryError>(check_library_path(""sv)).kind, LibraryErrorKind::EmptyName);
}

TEST(DynLib, OpenAndLookUp) {
  auto missing = open_library("libvantrel_no_such_library.so.9");
  ASSERT_TRUE(std::holds_alternative<LibraryError>(missing));
  const LibraryError& err = std::get<LibraryError>(missing);
  EXPECT_EQ(err.kind, LibraryErrorKind::NotOpened);
  EXPECT_NE(err.text.find("libvantrel_no_such_library.so.9"), std::string::npos);
  EXPECT_EQ(std::get<LibraryError>(load_library(std::string_view("lib\0m.so.6", 10))).kind, LibraryErrorKind::InnerNul);

  auto libm = load_library("libm.so.6");
  ASSERT_TRUE(std::holds_alternative<LibraryHandle>(libm));
  const LibraryHandle h = std::get<LibraryHandle>(libm);
  auto cos_fn = lookup_symbol(h, "cos");
  ASSERT_TRUE(std::holds_alternative<void*>(cos_fn));
  EXPECT_EQ(reinterpret_cast<double (*)(double)>(std::get<void*>(cos_fn))(0.0), 1.0);
  auto none = lookup_symbol(h, "vantrel_no_such_symbol");
  ASSERT_TRUE(std::holds_alternative<LibraryError>(none));
  EXPECT_EQ(std::get<LibraryError>(none).kind, LibraryErrorKind::SymbolNotFound);
  EXPECT_FALSE(std::get<LibraryError>(none).text.empty());
  close_library(h);
}

// ---- selection ------------------------------------------------------------------------------

TEST(Selection, PreferenceWords) {
  struct Case {
    std::optional<std::string> value;
    SolverPreference want;
  };
  const std::vector<Case> cases = {
      {std::nullopt, SolverPreference::Auto},   {"", SolverPreference::Auto},
      {"faer", SolverPreference::Faer},         {"FAER", SolverPreference::Faer},
      {"FaEr", SolverPreference::Faer},         {" faer", SolverPreference::Auto},
      {"faer ", SolverPreference::Auto},        {"fa er", SolverPreference::Auto},
      {"pardiso", SolverPreference::Pardiso},   {"PARDISO", SolverPreference::Pardiso},
      {"Accelerate", SolverPreference::Accelerate}, {"accelerate\n", SolverPreference::Auto},
      {"umfpack", SolverPreference::Auto},      {"f\xC3\x86R", SolverPreference::Auto},
      {"\xff\xfe", SolverPreference::Auto},
  };
  for (const auto& c : cases) {
    std::optional<std::string_view> v;
    if (c.value) v = *c.value;
    EXPECT_EQ(solver_preference_from_text(v), c.want) << (c.value ? *c.value : "<unset>");
  }
}

TEST(Selection, EnvironmentAndConsoleLines) {
  const bool have_mkl = static_cast<bool>(pardiso_or_null());
  const std::string loaded = "  PARDISO: MKL loaded successfully\n";
  struct Case {
    const char* value;
    std::string lines;
    std::string name;
  };
  const std::string accel = "Apple Accelerate (Bunch-Kaufman)";
  const std::vector<Case> cases = {
      {nullptr, have_mkl ? loaded + "  solver: using PARDISO\n" : "  solver: using " + accel + "\n",
       have_mkl ? "PARDISO" : accel},
      {"FAER", "  solver: using faer LU\n", "faer LU"},
      {"accelerate", "  solver: using " + accel + "\n", accel},
      {"Pardiso",
       have_mkl ? loaded + "  solver: using PARDISO\n"
                : "  solver: PARDISO requested but unavailable, falling back to faer LU\n  solver: using faer LU\n",
       have_mkl ? "PARDISO" : "faer LU"},
      {" faer", have_mkl ? loaded + "  solver: using PARDISO\n" : "  solver: using " + accel + "\n",
       have_mkl ? "PARDISO" : accel},
  };
  const char* saved = std::getenv("VANTREL_SOLVER");
  const std::string saved_value = saved ? saved : "";
  for (const auto& c : cases) {
    if (c.value) setenv("VANTREL_SOLVER", c.value, 1);
    else unsetenv("VANTREL_SOLVER");
    testing::internal::CaptureStderr();
    auto s = select_solver_backend(solver_preference_from_env());
    const std::string out = testing::internal::GetCapturedStderr();
    EXPECT_EQ(s->name(), c.name) << (c.value ? c.value : "<unset>");
    EXPECT_EQ(out, c.lines) << (c.value ? c.value : "<unset>");
  }
  if (saved) setenv("VANTREL_SOLVER", saved_value.c_str(), 1);
  else unsetenv("VANTREL_SOLVER");
}
