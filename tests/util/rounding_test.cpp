// CVFloor and CVRound give what std::floor and std::round give, halves,
// signs, large values, NaN and infinities included.
#include "util/rounding.h"

#include <cmath>
#include <limits>
#include <random>

#include <gtest/gtest.h>

namespace {

void ExpectSame(double x) {
  SCOPED_TRACE(x);
  double floorWant = std::floor(x);
  double roundWant = std::round(x);
  if (std::isnan(x)) {
    EXPECT_TRUE(std::isnan(CVFloor(x)));
    EXPECT_TRUE(std::isnan(CVRound(x)));
    return;
  }
  EXPECT_EQ(CVFloor(x), floorWant);
  EXPECT_EQ(CVRound(x), roundWant);
  EXPECT_EQ(std::signbit(CVFloor(x)), std::signbit(floorWant));
}

TEST(Rounding, EdgeValuesAsTheMathLibraryGivesThem) {
  const double inf = std::numeric_limits<double>::infinity();
  const double values[] = {0.0, -0.0, 0.5, -0.5, 1.5, -1.5, 2.5, -2.5, 0.49999999999999994, -0.49999999999999994,
                           1e-300, -1e-300, 0.999999999999, 4503599627370495.5, -4503599627370495.5,
                           4503599627370496.0, 9007199254740993.0, 1e300, -1e300, 9.3e18, -9.3e18, inf, -inf,
                           std::numeric_limits<double>::quiet_NaN(), 1765000000.25, 1765000000.999999,
                           0.25 * 1000.0, 0.0004 * 1e9, std::numeric_limits<double>::denorm_min()};
  for (double x : values) ExpectSame(x);
}

TEST(Rounding, RandomValuesOfEveryScale) {
  std::mt19937_64 random(20261211);
  std::uniform_real_distribution<double> mantissa(-1.0, 1.0);
  std::uniform_int_distribution<int> exponent(-20, 70);
  for (int i = 0; i < 200000; ++i) ExpectSame(std::ldexp(mantissa(random), exponent(random)));
}

}  // namespace
