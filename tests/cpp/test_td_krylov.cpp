// Krylov exponential propagator and reduced-order model against dense references (Eigen's
// matrix exponential from unsupported/MatrixFunctions, closed-form exponentials).
#include "td/mor.hpp"
#include "td/propagator.hpp"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <unsupported/Eigen/MatrixFunctions>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <random>
#include <vector>

// Counting allocator for the allocation test below (the count is read only around the calls
// under test; everything else in the test binary just passes through).
static std::atomic<long> g_allocations{0};
void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
// The nothrow form is replaced too (std::stable_sort's buffer uses it): its memory is released
// through the replaced operator delete, so both must come from malloc.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(size ? size : 1);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }

using namespace vantrel;
using Mat = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
using Vec = Eigen::VectorXd;

namespace {

std::vector<double> expm_of(const Mat& a) {
  ExpmScratch sc;
  std::vector<double> in(a.data(), a.data() + a.size()), out(a.size());
  matrix_exponential(in, a.rows(), out, sc);
  return out;
}

double max_diff(const std::vector<double>& x, const Mat& ref) {
  double d = 0.0;
  for (Eigen::Index i = 0; i < ref.size(); ++i) d = std::max(d, std::fabs(x[i] - ref.data()[i]));
  return d;
}

// A dense stand-in for a DG operator: skew-symmetric (lossless) plus a small negative
// semidefinite part (upwind-like dissipation). Its spectrum lies in the closed left half-plane.
Mat test_operator(int n, double dissipation, unsigned seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<double> g;
  Mat b(n, n), c(n, n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      b(i, j) = g(gen);
      c(i, j) = g(gen);
    }
  Mat a = (b - b.transpose()) / std::sqrt(double(n));
  a -= dissipation * (c * c.transpose()) / double(n);
  return a;
}

Vec random_vec(int n, unsigned seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<double> g;
  Vec v(n);
  for (int i = 0; i < n; ++i) v[i] = g(gen);
  return v;
}

struct DenseApply {
  const Mat& a;
  int calls = 0;
  void operator()(std::span<const double> v, std::span<double> w) {
    ++calls;
    Eigen::Map<Vec>(w.data(), w.size()) = a * Eigen::Map<const Vec>(v.data(), v.size());
  }
};

std::vector<double> to_std(const Vec& v) { return {v.data(), v.data() + v.size()}; }

double rel_err(const std::vector<double>& x, const Vec& ref) {
  return (Eigen::Map<const Vec>(x.data(), x.size()) - ref).norm() / ref.norm();
}

}  // namespace

// ---- dense exponential ------------------------------------------------------------------------

TEST(MatrixExponential, ClosedForms) {
  // Rotation generator [[0, −θ], [θ, 0]] → [[cos θ, −sin θ], [sin θ, cos θ]], for norms that need
  // 0, 1 and many squarings.
  for (double theta : {0.3, 0.75, 2.0, 37.5}) {
    Mat a(2, 2);
    a << 0, -theta, theta, 0;
    Mat ref(2, 2);
    ref << std::cos(theta), -std::sin(theta), std::sin(theta), std::cos(theta);
    EXPECT_LT(max_diff(expm_of(a), ref), 1e-13 * std::max(1.0, theta)) << theta;
  }
  // Diagonal: exp(λ_i) on the diagonal, relative accuracy for growth and decay.
  Mat d = Mat::Zero(3, 3);
  d.diagonal() << -5.0, 0.25, 3.0;
  auto e = expm_of(d);
  for (int i = 0; i < 3; ++i)
    EXPECT_NEAR(e[i * 4] / std::exp(d(i, i)), 1.0, 1e-14) << i;
  // Nilpotent Jordan block: exp(N) = I + N + N²/2 exactly (third power zero).
  Mat nil = Mat::Zero(3, 3);
  nil(0, 1) = 2.0;
  nil(1, 2) = 3.0;
  Mat nref = Mat::Identity(3, 3) + nil + nil * nil / 2.0;
  EXPECT_LT(max_diff(expm_of(nil), nref), 1e-13);
}

TEST(MatrixExponential, AgreesWithEigenOnGeneralMatrices) {
  for (int n : {1, 5, 17, 40}) {
    for (double scale : {0.1, 3.0, 60.0}) {
      Mat a = test_operator(n, 0.5, 7 + n) * scale;
      Mat ref = a.exp();
      EXPECT_LT(max_diff(expm_of(a), ref), 1e-11 * std::max(1.0, ref.cwiseAbs().maxCoeff()))
          << "n=" << n << " scale=" << scale;
    }
  }
}

TEST(MatrixExponential, ScalingCount) {
  struct Case { double nu; std::uint32_t s; };
  for (Case c : {Case{0.0, 0}, {0.5, 0}, {0.5000001, 1}, {0.75, 1}, {1.0, 1}, {1.5, 2}, {2.0, 2},
                 {4.0, 3}, {1e300, 998}, {std::nan(""), 0}})
    EXPECT_EQ(expm_scaling_count(c.nu), c.s) << c.nu;
}

TEST(MatrixExponential, NonFiniteNormGivesNaNWithoutLooping) {
  // An infinite row sum would saturate the squaring count at 2³²−1 (a hang): NaN comes back.
  Mat a(2, 2);
  a << 0, -INFINITY, 1, 0;
  for (double x : expm_of(a)) EXPECT_TRUE(std::isnan(x));
  // A huge finite norm (2^s overflows a double) still gives the bounded rotation exactly in form.
  Mat rot(2, 2);
  rot << 0, -1e308, 1e308, 0;
  for (double x : expm_of(rot)) EXPECT_TRUE(std::isfinite(x));
}

TEST(MatrixExponential, ScratchGrowsAndIsReused) {
  ExpmScratch sc;
  Mat big = test_operator(12, 0.2, 3), small = test_operator(4, 0.2, 4);
  std::vector<double> in_big(big.data(), big.data() + big.size()), out_big(big.size());
  std::vector<double> in_small(small.data(), small.data() + small.size()), out_small(16);
  matrix_exponential(in_big, 12, out_big, sc);
  EXPECT_EQ(sc.size, 144u);
  matrix_exponential(in_small, 4, out_small, sc);
  EXPECT_EQ(sc.size, 144u);  // grow-only
  EXPECT_LT(max_diff(out_small, small.exp()), 1e-13);
}

TEST(DenseMatmul, SkipsZerosButNotNaN) {
  const double a[4] = {-0.0, 1.0, NAN, 0.0};
  const double b[4] = {INFINITY, 2.0, 3.0, 4.0};
  double c[4];
  dense_matmul(a, b, 2, c);
  // Row 0: the −0.0 entry is skipped (no 0·∞ = NaN), 1·[3, 4].
  EXPECT_EQ(c[0], 3.0);
  EXPECT_EQ(c[1], 4.0);
  // Row 1: NaN is multiplied in.
  EXPECT_TRUE(std::isnan(c[2]));
  EXPECT_TRUE(std::isnan(c[3]));
}

// ---- Arnoldi step ---------------------------------------------------------------------------

TEST(KrylovStep, AgreesWithDenseExponential) {
  const int n = 300;
  Mat a = test_operator(n, 0.3, 11);
  Vec y = random_vec(n, 12);
  KrylovWorkspace ws = new_krylov_workspace();
  for (double h : {0.05, 0.5, -0.5, 2.0}) {
    DenseApply app{a};
    auto r = step_plain(ws, to_std(y), h, 40, n, app);
    Vec ref = (a * h).exp() * y;
    EXPECT_LT(rel_err(r, ref), 1e-9) << "h=" << h;
  }
}

TEST(KrylovStep, BasisIsOrthonormalAndHessenbergIsProjection) {
  const int n = 500, m = 25;
  Mat a = test_operator(n, 0.2, 21);
  Vec y = random_vec(n, 22);
  KrylovWorkspace ws = new_krylov_workspace();
  DenseApply app{a};
  std::vector<double> out(n);
  // A step long enough that the a-posteriori test does not stop early (all m vectors are built)
  // and short enough for one filled Krylov space (‖h·H‖∞ ≤ m/2, no substeps).
  krylov_exp_step(ws, to_std(y), 3.0, m, app, out);
  EXPECT_EQ(app.calls, m);
  Eigen::Map<const Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic>> v(ws.basis.data(), n, m);
  EXPECT_LT((v.transpose() * v - Mat::Identity(m, m)).cwiseAbs().maxCoeff(), 1e-13);
  Eigen::Map<const Mat> hess(ws.hess.data(), m, m);
  EXPECT_LT((v.transpose() * a * v - hess).cwiseAbs().maxCoeff(), 1e-12);
  for (int i = 2; i < m; ++i)
    for (int j = 0; j < i - 1; ++j) EXPECT_EQ(hess(i, j), 0.0);
}

TEST(KrylovStep, EdgeCases) {
  const int n = 60;
  Mat a = test_operator(n, 0.1, 31);
  Vec y = random_vec(n, 32);
  KrylovWorkspace ws = new_krylov_workspace();
  std::vector<double> out(n);

  {  // zero state: zeros, no operator application
    DenseApply app{a};
    krylov_exp_step(ws, std::vector<double>(n, 0.0), 1.0, 40, app, out);
    EXPECT_EQ(app.calls, 0);
    for (double x : out) EXPECT_EQ(x, 0.0);
  }
  {  // m = 0: zeros
    DenseApply app{a};
    krylov_exp_step(ws, to_std(y), 1.0, 0, app, out);
    for (double x : out) EXPECT_EQ(x, 0.0);
  }
  {  // m = 1: exp(h·ρ)·y with ρ the Rayleigh quotient
    DenseApply app{a};
    const double h = 0.7;
    krylov_exp_step(ws, to_std(y), h, 1, app, out);
    const double rho = y.dot(a * y) / y.squaredNorm();
    EXPECT_LT(rel_err(out, std::exp(h * rho) * y), 1e-14);
  }
  {  // h = 0: y back, stopping by the estimate at k = 2 at the latest
    DenseApply app{a};
    krylov_exp_step(ws, to_std(y), 0.0, 40, app, out);
    EXPECT_LE(app.calls, 2);
    EXPECT_LT(rel_err(out, y), 1e-15);
  }
  {  // A·y = 0: breakdown at k = 1, y back
    Mat z = Mat::Zero(n, n);
    DenseApply app{z};
    krylov_exp_step(ws, to_std(y), 3.0, 40, app, out);
    EXPECT_EQ(app.calls, 1);
    EXPECT_LT(rel_err(out, y), 1e-15);
  }
  {  // y in a 3-dimensional invariant subspace: exact after 3 applications
    Mat d = Mat::Zero(n, n);
    for (int i = 0; i < n; ++i) d(i, i) = -0.1 * i;
    Vec y3 = Vec::Zero(n);
    y3[3] = 1.0;
    y3[10] = -2.0;
    y3[40] = 0.5;
    DenseApply app{d};
    krylov_exp_step(ws, to_std(y3), 2.0, 40, app, out);
    EXPECT_EQ(app.calls, 3);
    EXPECT_LT(rel_err(out, (d * 2.0).exp() * y3), 1e-13);
  }
}

TEST(KrylovStep, LongStepKeepsTheUndampedPart) {
  // A null space beside strongly damped modes: exp(hA)·y → the null-space part of y. In one
  // Krylov space exp(h·H_1) = exp(h·ρ) underflows, the estimate passes at k = 1 and the step
  // would return ≈ 0; the step is split into substeps instead.
  const int n = 80;
  Mat a = Mat::Zero(n, n);
  for (int i = 20; i < n; ++i) a(i, i) = -10.0 * i;
  for (int i = 0; i + 1 < 20; i += 2) {  // undamped rotations in the first block
    a(i, i + 1) = -1.0 - i;
    a(i + 1, i) = 1.0 + i;
  }
  Vec y = random_vec(n, 35);
  KrylovWorkspace ws = new_krylov_workspace();
  for (double h : {0.5, 2.0, 10.0}) {
    DenseApply app{a};
    auto r = step_plain(ws, to_std(y), h, 40, n, app);
    EXPECT_LT(rel_err(r, (a * h).exp() * y), 1e-9) << h;
  }
  // A step no substep budget can cover is refused, not answered with zeros.
  DenseApply app{a};
  try {
    step_plain(ws, to_std(y), 1e12, 40, n, app);
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Krylov step did not converge", 0), 0u) << e.what();
  }
}

TEST(KrylovStep, WorkspaceReuseGivesFreshResults) {
  const int n = 200;
  Mat a = test_operator(n, 0.3, 41);
  Vec y = random_vec(n, 42);
  KrylovWorkspace used = new_krylov_workspace();
  DenseApply app{a};
  std::vector<double> b(n, 0.0);
  b[7] = 1.0;
  (void)step_plain(used, to_std(y), 1.0, 40, n, app);
  (void)step_with_source(used, to_std(y), b, 1.0, 40, n, app);
  for (int m : {10, 40}) {
    KrylovWorkspace fresh = new_krylov_workspace();
    auto x = step_plain(used, to_std(y), 0.8, m, n, app);
    auto z = step_plain(fresh, to_std(y), 0.8, m, n, app);
    EXPECT_EQ(x, z) << m;
    auto xs = step_with_source(used, to_std(y), b, 0.8, m, n, app);
    KrylovWorkspace fresh2 = new_krylov_workspace();
    auto zs = step_with_source(fresh2, to_std(y), b, 0.8, m, n, app);
    EXPECT_EQ(xs, zs) << m;
  }
  const std::size_t cap = used.basis.capacity();
  (void)step_plain(used, to_std(y), 0.8, 40, n, app);
  EXPECT_EQ(used.basis.capacity(), cap);
}

TEST(KrylovStep, AStepAllocatesOnlyItsResult) {
  const int n = 300;
  Mat a = test_operator(n, 0.3, 45);
  Vec yv = random_vec(n, 46);
  std::vector<double> y = to_std(yv), b(n, 0.0), source;
  // Plain loop: Eigen's product would allocate a temporary of its own.
  auto app = [&](std::span<const double> v, std::span<double> w) {
    for (int i = 0; i < n; ++i) {
      double s = 0.0;
      for (int j = 0; j < n; ++j) s += a(i, j) * v[j];
      w[i] = s;
    }
  };
  KrylovWorkspace ws = new_krylov_workspace();
  (void)step_plain(ws, y, 0.5, 40, n, app);  // the workspace grows once
  (void)step_driven(ws, source, y, 3, 1.0, 0.5, 40, n, app);
  const long before = g_allocations.load();
  for (int s = 0; s < 5; ++s) y = step_plain(ws, y, 0.1, 40, n, app);
  EXPECT_EQ(g_allocations.load() - before, 5);
  const long mid = g_allocations.load();
  for (int s = 0; s < 5; ++s) {
    y = step_driven(ws, source, y, 3, 1.0, 0.1, 40, n, app);
    y = step_with_source(ws, y, b, 0.1, 30, n, app);
  }
  EXPECT_EQ(g_allocations.load() - mid, 10);
}

TEST(KrylovStep, DrivenStepMatchesAugmentedExponential) {
  // exp(h·[[A, b], [0, 0]])·[y; 1] = [exp(hA)·y + ∫₀ʰ exp((h−s)A)·b ds; 1].
  const int n = 120;
  const double h = 0.6;
  Mat a = test_operator(n, 0.3, 51);
  Vec y = random_vec(n, 52), b = random_vec(n, 53);
  Mat aug = Mat::Zero(n + 1, n + 1);
  aug.topLeftCorner(n, n) = a;
  aug.topRightCorner(n, 1) = b;
  Vec ys(n + 1);
  ys << y, 1.0;
  Vec ref = ((aug * h).exp() * ys).head(n);
  KrylovWorkspace ws = new_krylov_workspace();
  DenseApply app{a};
  EXPECT_LT(rel_err(step_with_source(ws, to_std(y), to_std(b), h, 40, n, app), ref), 1e-9);

  // Single-unknown source: b = value·e_dof, and the source array is all zero afterwards.
  std::vector<double> source;
  Vec e = Vec::Zero(n);
  e[17] = 2.5;
  aug.topRightCorner(n, 1) = e;
  Vec ref1 = ((aug * h).exp() * ys).head(n);
  auto r1 = step_driven(ws, source, to_std(y), 17, 2.5, h, 40, n, app);
  EXPECT_LT(rel_err(r1, ref1), 1e-9);
  ASSERT_EQ(source.size(), std::size_t(n));
  for (double x : source) EXPECT_EQ(x, 0.0);
  // Zero source value: the plain step (of the augmented Krylov space).
  auto r0 = step_driven(ws, source, to_std(y), 3, 0.0, h, 40, n, app);
  EXPECT_LT(rel_err(r0, (a * h).exp() * y), 1e-9);
}

TEST(KrylovStep, DrivenStepClearsSourceWhenTheStepFails) {
  const int n = 30;
  std::vector<double> source(n, 0.0);
  KrylovWorkspace ws = new_krylov_workspace();
  auto failing = [](std::span<const double>, std::span<double>) { throw Panic("boom"); };
  EXPECT_THROW(step_driven(ws, source, std::vector<double>(n, 1.0), 5, 9.0, 0.1, 10, n, failing),
               Panic);
  for (double x : source) EXPECT_EQ(x, 0.0);
}

TEST(KrylovStep, RefusesBadArguments) {
  const int n = 10;
  Mat a = test_operator(n, 0.1, 61);
  DenseApply app{a};
  KrylovWorkspace ws = new_krylov_workspace();
  std::vector<double> y(n, 1.0), src;
  auto msg = [&](auto&& f) {
    try {
      f();
    } catch (const Error& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(msg([&] { step_plain(ws, y, INFINITY, 40, n, app); }), "step size h must be finite");
  EXPECT_EQ(msg([&] { step_plain(ws, y, NAN, 40, n, app); }), "step size h must be finite");
  EXPECT_EQ(msg([&] { step_plain(ws, y, 1.0, 0, n, app); }), "krylov_dim must be at least 1");
  EXPECT_EQ(msg([&] { step_plain(ws, y, 1.0, 40, n + 1, app); }), "state length must equal n_dof");
  auto bad = y;
  bad[3] = NAN;
  EXPECT_EQ(msg([&] { step_plain(ws, bad, 1.0, 40, n, app); }), "state vector must be finite");
  EXPECT_EQ(msg([&] { step_driven(ws, src, y, n, 1.0, 1.0, 40, n, app); }),
            "source_dof out of range");
  EXPECT_TRUE(src.empty());
  EXPECT_EQ(msg([&] { step_with_source(ws, y, std::vector<double>(n - 1), 1.0, 40, n, app); }),
            "source length must equal n_dof");
  // A growing mode over a huge finite step overflows the small exponential: an error, not an
  // inf/NaN result.
  Mat grow = Mat::Identity(n, n);
  DenseApply app_grow{grow};
  EXPECT_EQ(msg([&] { step_plain(ws, y, 1e3, 40, n, app_grow); }).rfind("Krylov step overflowed", 0),
            0u);
  EXPECT_EQ(msg([&] { step_plain(ws, y, 1e300, 40, n, app_grow); }).rfind("Krylov step overflowed", 0),
            0u);
}

// ---- reduced-order model --------------------------------------------------------------------

TEST(ReducedModel, BasisOrthonormalAndAHatIsProjection) {
  const int n = 150, r = 20;
  Mat a = test_operator(n, 0.2, 71);
  Vec s = random_vec(n, 72);
  DenseApply app{a};
  PyReducedModel m = reduced_model(to_std(s), r, n, app);
  ASSERT_EQ(m.r, u64(r));
  ASSERT_EQ(m.basis.size(), std::size_t(r));
  Mat v(n, r);
  for (int k = 0; k < r; ++k) v.col(k) = Eigen::Map<const Vec>(m.basis[k].data(), n);
  EXPECT_LT((v.transpose() * v - Mat::Identity(r, r)).cwiseAbs().maxCoeff(), 1e-12);
  Eigen::Map<const Mat> ah(m.a_hat.data(), r, r);
  EXPECT_LT((v.transpose() * a * v - ah).cwiseAbs().maxCoeff(), 1e-12);
  // propagate(y, 0) is the orthogonal projection V·Vᵀ·y.
  Vec y = random_vec(n, 73);
  EXPECT_LT(rel_err(propagate(m, to_std(y), 0.0), v * (v.transpose() * y)), 1e-13);
  // lift(project(V_k)) = V_k.
  auto back = lift_reduced_state(m, project_reduced_state(m, m.basis[5]));
  EXPECT_LT(rel_err(back, v.col(5)), 1e-13);
}

TEST(ReducedModel, PropagationConvergesWithR) {
  const int n = 200;
  const double t = 1.5;
  Mat a = test_operator(n, 0.2, 81);
  Vec s = random_vec(n, 82);
  Vec ref = (a * t).exp() * s;
  double prev = INFINITY;
  for (int r : {4, 8, 16, 32}) {
    DenseApply app{a};
    PyReducedModel m = reduced_model(to_std(s), r, n, app);
    const double err = rel_err(propagate(m, to_std(s), t), ref);
    EXPECT_LT(err, prev) << r;
    prev = err;
  }
  EXPECT_LT(prev, 1e-10);
}

TEST(ReducedModel, EigenvectorStartAndEdgeCases) {
  const int n = 40;
  Mat d = Mat::Zero(n, n);
  for (int i = 0; i < n; ++i) d(i, i) = -0.05 * i;
  Vec e = Vec::Zero(n);
  e[9] = -3.0;
  DenseApply app{d};
  PyReducedModel m = reduced_model(to_std(e), 10, n, app);
  EXPECT_EQ(m.r, 1u);
  EXPECT_NEAR(m.a_hat[0], -0.45, 1e-15);
  EXPECT_LT(rel_err(propagate(m, to_std(e), 2.0), std::exp(-0.9) * e), 1e-14);
  // r larger than n: capped at the whole space.
  Mat a = test_operator(8, 0.1, 91);
  DenseApply app8{a};
  PyReducedModel full = reduced_model(to_std(random_vec(8, 92)), u64(1) << 40, 8, app8);
  EXPECT_LE(full.r, 8u);

  auto msg = [&](auto&& f) {
    try {
      f();
    } catch (const Error& x) {
      return std::string(x.what());
    } catch (const Panic& x) {
      return "panic: " + std::string(x.what());
    }
    return std::string("no error");
  };
  std::vector<double> zeros(n, -0.0);
  EXPECT_EQ(msg([&] { reduced_model(zeros, 5, n, app); }),
            "reduced_model: start vector must be nonzero");
  EXPECT_EQ(msg([&] { reduced_model({}, 5, n, app); }),
            "reduced_model: start vector must be nonzero");
  EXPECT_EQ(msg([&] { reduced_model(to_std(e), 0, n, app); }),
            "reduced_model: r must be at least 1");
  EXPECT_EQ(msg([&] { reduced_model(std::vector<double>(n + 1, 1.0), 5, n, app); }),
            "reduced_model: start length must equal n_dof");
  EXPECT_EQ(msg([&] { reduced_model(std::vector<double>(n, 1e-200), 5, n, app); }),
            "panic: start vector must be nonzero");
  EXPECT_EQ(msg([&] { propagate(m, to_std(e), INFINITY); }), "propagate: t must be finite");
}
