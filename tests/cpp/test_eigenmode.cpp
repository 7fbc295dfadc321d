// Support routines of the eigenmode search: the dense tridiagonal matrix and the ordering by
// distance to the shift.
#include "fd/eigenmode.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "test_helpers.hpp"

namespace vantrel {
namespace {

std::vector<std::vector<cplx>> dense(u64 n, const std::vector<cplx>& a, const std::vector<double>& b) {
  std::vector<std::vector<cplx>> cols(n, std::vector<cplx>(n, cplx(9.0, 9.0)));
  for (u64 j = 0; j < n; ++j) tridiagonal_to_dense(cols[j], n, a, b, j);
  return cols;
}

TEST(TridiagonalToDense, OneByOneIgnoresBeta) {
  const auto t = dense(1, {cplx(2.0, -1.0)}, {7.0});
  EXPECT_EQ(t[0][0], cplx(2.0, -1.0));
}

TEST(TridiagonalToDense, ThreeByThreeSymmetricLastBetaUnused) {
  const std::vector<cplx> a = {cplx(1, 1), cplx(2, 0), cplx(3, -1)};
  const auto t = dense(3, a, {0.5, 0.25, 99.0});
  const cplx z(0.0, 0.0);
  const cplx want[3][3] = {{a[0], 0.5, z}, {0.5, a[1], 0.25}, {z, 0.25, a[2]}};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_EQ(t[j][i], want[i][j]) << i << "," << j;  // column j, row i
}

TEST(TridiagonalToDense, MissingBetaReadsAsZero) {
  const auto t = dense(3, {1.0, 2.0, 3.0}, {0.5});
  EXPECT_EQ(t[1][0], cplx(0.5, 0.0));
  EXPECT_EQ(t[2][1], cplx(0.0, 0.0));
  EXPECT_EQ(t[1][2], cplx(0.0, 0.0));
}

TEST(CmpByDistanceToTarget, StableSortOrdersByModulusOfDifference) {
  // distances to 1: 4, sqrt(20), 0
  std::vector<cplx> c = {cplx(5, 0), cplx(3, 4), cplx(1, 0)};
  std::stable_sort(c.begin(), c.end(),
                   [](cplx a, cplx b) { return cmp_by_distance_to_target(cplx(1, 0), a, b); });
  EXPECT_EQ(c, (std::vector<cplx>{cplx(1, 0), cplx(5, 0), cplx(3, 4)}));
  // equal distances on both sides of the target keep their incoming order
  std::vector<cplx> d = {cplx(11, 0), cplx(9, 0)};
  std::stable_sort(d.begin(), d.end(),
                   [](cplx a, cplx b) { return cmp_by_distance_to_target(cplx(10, 0), a, b); });
  EXPECT_EQ(d, (std::vector<cplx>{cplx(11, 0), cplx(9, 0)}));
  EXPECT_FALSE(cmp_by_distance_to_target(cplx(10, 0), cplx(9, 0), cplx(11, 0)));
}

TEST(CmpByDistanceToTarget, NanStops) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (cplx bad : {cplx(1.0, nan), cplx(nan, 0.0)}) {
    EXPECT_EQ(testing::stop_message([&] { cmp_by_distance_to_target(cplx(1, 0), bad, cplx(2, 0)); }),
              "called `Option::unwrap()` on a `None` value");
    EXPECT_EQ(testing::stop_message([&] { cmp_by_distance_to_target(cplx(1, 0), cplx(2, 0), bad); }),
              "called `Option::unwrap()` on a `None` value");
  }
  // an infinite distance is not NaN: it orders last
  EXPECT_TRUE(cmp_by_distance_to_target(cplx(1, 0), cplx(2, 0), cplx(INFINITY, 0)));
}

}  // namespace
}  // namespace vantrel

namespace vantrel {
namespace {

TEST(RitzCandidates, FiltersThenOrdersByDistance) {
  const double sigma = 4.0e4;  // (2π·9.5 GHz / c0)² is about this size, rad²/m²
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  auto theta_of = [&](cplx lambda) { return cdiv(cplx(1.0, 0.0), lambda - cplx(sigma, 0.0)); };
  const std::vector<cplx> theta = {
      theta_of(cplx(5.0e4, 0.0)),            // 0: distance 1e4
      cplx(nan, 0.0),                        // 1: non-finite, dropped before the sort
      theta_of(cplx(3.5e4, 0.0)),            // 2: distance 5e3
      cplx(1e-31, 0.0),                      // 3: |θ| < 1e-30
      cplx(-1.0 / sigma * (1.0 + 1e-12), 0.0),  // 4: a gradient, λ = σ·1e-12 > 0 by rounding
      theta_of(cplx(-1.0e3, 0.0)),           // 5: Re λ ≤ 0
      cplx(0.0, nan),                        // 6: non-finite
      theta_of(cplx(4.5e4, 0.0)),            // 7: distance 5e3, after 2 (stable)
      cplx(inf, 0.0),                        // 8: textbook 1/θ = inf/inf: NaN, dropped
      theta_of(cplx(2.0e3, 100.0)),          // 9: a low lossy mode, 2000 > 1e-6·σ: kept
  };
  const std::vector<RitzValue> c = ritz_candidates(theta, sigma, sigma);
  std::vector<std::size_t> order;
  for (const RitzValue& r : c) order.push_back(r.index);
  EXPECT_EQ(order, (std::vector<std::size_t>{2, 7, 0, 9}));
  EXPECT_NEAR(c[0].lambda.real(), 3.5e4, 1e-9);
  EXPECT_NEAR(c[3].lambda.imag(), 100.0, 1e-9);
}

TEST(RitzCandidates, GradientThresholdIsRelativeToTheShift) {
  // λ = 1e-7·σ is dropped, 1e-5·σ kept, at two very different shifts
  for (double sigma : {1.0, 1.0e12}) {
    const std::vector<cplx> theta = {cdiv(cplx(1.0, 0.0), cplx(1e-7 * sigma - sigma, 0.0)),
                                     cdiv(cplx(1.0, 0.0), cplx(1e-5 * sigma - sigma, 0.0))};
    const std::vector<RitzValue> c = ritz_candidates(theta, sigma, sigma);
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].index, 1u);
  }
}

TEST(RitzCandidates, NegativeShiftOrdersByDistanceToTheTarget) {
  // shift s = −10 below a target of 0: λ = s + 1/θ, nearest to 0 first; the null-space test
  // takes |s|, so λ = 1e-6 is dropped and λ = 1e-4 kept
  const double shift = -10.0;
  auto theta_of = [&](double lambda) { return cdiv(cplx(1.0, 0.0), cplx(lambda - shift, 0.0)); };
  const std::vector<cplx> theta = {theta_of(300.0), theta_of(1e-6), theta_of(20.0), theta_of(1e-4)};
  const std::vector<RitzValue> c = ritz_candidates(theta, shift, 0.0);
  std::vector<std::size_t> order;
  for (const RitzValue& r : c) order.push_back(r.index);
  EXPECT_EQ(order, (std::vector<std::size_t>{3, 2, 0}));
  EXPECT_NEAR(c[1].lambda.real(), 20.0, 1e-12);
}

}  // namespace
}  // namespace vantrel
