// The collimation kernel: offsets from j0 and the step, Gaussian weights
// normalized to one, the single point when sigma is not positive.
#include <gtest/gtest.h>

#include <cmath>

#include "driver/driver.hpp"

namespace tessaline {
namespace {

std::unique_ptr<Tables> kernel(int j0, double step, double sigma) {
  auto t = make_tables();
  t->j0 = j0;
  t->coll_step = step;
  t->coll_sigma = sigma;
  build_collimation(*t);
  return t;
}

TEST(Collimation, OnePointWithPositiveSigmaSitsAtTheNominalAngle) {
  auto t = kernel(1, 7.0e-3, 1.0e-4);
  EXPECT_EQ(t->j0, 1);
  EXPECT_EQ(t->coll_offset(1), 0.0);
  EXPECT_EQ(t->coll_weight(1), 1.0);
}

// j0 = 3, step and sigma 0.1 mrad: offsets -1e-4, 0, 1e-4 rad; outer weights
// e^(-1/2) / (1 + 2 e^(-1/2)).  The offsets are products of small integers with
// the step (exact up to its own rounding); the weights within a few ulp.
TEST(Collimation, ThreePointsOfOneSigmaEach) {
  auto t = kernel(3, 1.0e-4, 1.0e-4);
  EXPECT_EQ(t->j0, 3);
  EXPECT_DOUBLE_EQ(t->coll_offset(1), -1.0e-4);
  EXPECT_EQ(t->coll_offset(2), 0.0);
  EXPECT_DOUBLE_EQ(t->coll_offset(3), 1.0e-4);
  const double e = std::exp(-0.5);
  EXPECT_NEAR(t->coll_weight(1), e / (1 + 2 * e), 1e-15);
  EXPECT_NEAR(t->coll_weight(2), 1 / (1 + 2 * e), 1e-15);
  EXPECT_NEAR(t->coll_weight(3), e / (1 + 2 * e), 1e-15);
}

TEST(Collimation, EvenCountHasOneMorePointBelow) {
  const double step = 2.5e-4;
  auto t = kernel(4, step, 1.0e-4);
  const int expected[4] = {-2, -1, 0, 1};
  for (int j = 1; j <= 4; ++j) EXPECT_EQ(t->coll_offset(j), expected[j - 1] * step) << j;
  // Weights follow the Gaussian of each offset: w(-1) = w(+1).
  EXPECT_DOUBLE_EQ(t->coll_weight(2), t->coll_weight(4));
  EXPECT_LT(t->coll_weight(1), t->coll_weight(2));
}

TEST(Collimation, WeightsSumToOneOverTheWholeKernel) {
  auto t = kernel(101, 1.0e-5, 5.0e-4);
  double sum = 0;
  for (int j = 1; j <= 101; ++j) sum += t->coll_weight(j);
  EXPECT_NEAR(sum, 1.0, 1e-14);  // 101 rounded additions
  EXPECT_DOUBLE_EQ(t->coll_offset(1), -50 * 1.0e-5);
  EXPECT_EQ(t->coll_offset(51), 0.0);
  // The centre point carries the largest weight, exp(0) / sum.
  for (int j = 1; j <= 101; ++j) EXPECT_LE(t->coll_weight(j), t->coll_weight(51));
}

TEST(Collimation, ZeroOrNegativeSigmaLeavesOnePoint) {
  for (double sigma : {0.0, -1.0e-4}) {
    auto t = kernel(11, 1.0e-4, sigma);
    EXPECT_EQ(t->j0, 1) << sigma;
    EXPECT_EQ(t->coll_offset(1), 0.0);
    EXPECT_EQ(t->coll_weight(1), 1.0);
  }
}

}  // namespace
}  // namespace tessaline
