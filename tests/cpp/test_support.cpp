#include "core/support.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>

using namespace vantrel;

TEST(Format, FixedDecimalsAndNonFinite) {
  EXPECT_EQ(fmt_fixed(1.005, 2), "1.00");  // 1.005 is 1.00499999... in binary
  EXPECT_EQ(fmt_fixed(0.125, 2), "0.12");  // exact tie rounds to even
  EXPECT_EQ(fmt_fixed(-0.0, 2), "-0.00");
  EXPECT_EQ(fmt_fixed(std::nan(""), 1), "NaN");
  EXPECT_EQ(fmt_fixed(INFINITY, 1), "inf");
  EXPECT_EQ(fmt_fixed(-INFINITY, 1), "-inf");
  EXPECT_EQ(fmt_fixed(2.5, 0), "2");
}

TEST(Format, ExponentForm) {
  EXPECT_EQ(fmt_exp(1e10, 4), "1.0000e10");
  EXPECT_EQ(fmt_exp(1.234e-31, 3), "1.234e-31");
  EXPECT_EQ(fmt_exp(0.0, 3), "0.000e0");
  EXPECT_EQ(fmt_exp(-5.5, 1), "-5.5e0");
  EXPECT_EQ(pad_left(fmt_exp(1.0, 4), 8), "1.0000e0");
  EXPECT_EQ(pad_left(fmt_exp(1.0, 1), 8), "   1.0e0");
}

TEST(Format, ShortestForms) {
  EXPECT_EQ(fmt_float(1e10), "10000000000.0");
  EXPECT_EQ(fmt_float(0.1), "0.1");
  EXPECT_EQ(fmt_float(-3.0), "-3.0");
  EXPECT_EQ(fmt_debug_opt(std::nullopt), "None");
  EXPECT_EQ(fmt_debug_opt(0.001), "Some(0.001)");
  EXPECT_EQ(fmt_debug_opt(1e-12), "Some(1e-12)");
  EXPECT_EQ(fmt_debug_opt(2.0), "Some(2.0)");
  EXPECT_EQ(fmt_debug(1e16), "1e16");
}

TEST(Numeric, SaturatingCastAndSignum) {
  EXPECT_EQ(saturating_cast<std::int32_t>(1e20), std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(saturating_cast<std::int32_t>(-1e20), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(saturating_cast<std::uint64_t>(-3.0), 0u);
  EXPECT_EQ(saturating_cast<std::uint32_t>(std::nan("")), 0u);
  EXPECT_EQ(saturating_cast<std::int32_t>(-2.7), -2);
  EXPECT_EQ(signum(0.0), 1.0);
  EXPECT_EQ(signum(-0.0), -1.0);
  EXPECT_TRUE(std::isnan(signum(std::nan(""))));
}

TEST(Numeric, ComplexDivisionAndRoot) {
  const cplx q = cdiv({1.0, 2.0}, {3.0, -4.0});  // (1+2j)/(3-4j) = (-5+10j)/25
  EXPECT_DOUBLE_EQ(q.real(), -0.2);
  EXPECT_DOUBLE_EQ(q.imag(), 0.4);
  const cplx z = cdiv({1.0, 0.0}, {0.0, 0.0});
  EXPECT_TRUE(std::isnan(z.real()) || std::isinf(z.real()));
  const cplx r = csqrt_principal({-4.0, 0.0});
  EXPECT_NEAR(r.real(), 0.0, 1e-15);
  EXPECT_NEAR(r.imag(), 2.0, 1e-15);
}

TEST(Pool, ParallelForCoversEveryIndexAndPropagatesExceptions) {
  std::vector<int> hit(10000, 0);
  parallel_for(hit.size(), [&](std::size_t i) { hit[i] += 1; });
  for (int h : hit) EXPECT_EQ(h, 1);
  EXPECT_THROW(parallel_for(100, [](std::size_t i) {
                 if (i == 57) throw Panic("boom");
               }),
               Panic);
  EXPECT_THROW(check_index(5, 5), Panic);
}
