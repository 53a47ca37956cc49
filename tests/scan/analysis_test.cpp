// Minima and intervals read from a table: on profiles and maps given by
// formulas whose minimum and interval are known by hand (a parabola, a
// correlated quadratic form), and the cases where an interval is limited (the
// edge of the grid, another valley, points without a chi-square).
#include <gtest/gtest.h>

#include <cmath>

#include "tests/scan/table_fixture.hpp"
#include "tools/scan/analysis.hpp"

namespace tessaline::scan {
namespace {

using testing::table_of;

// An axis of the zero correction.
Axis axis(double first, double last, int n) {
  return testing::axis(AxisKind::kZero, first, last, n);
}

TEST(ScanAnalysis, AParabolaGivesItsMinimumAndItsWidth) {
  // 2S = 500 + ((x - 0.0513) / 0.0071)^2, the minimum between grid points.
  const double x0 = 0.0513, sigma = 0.0071;
  const auto f = [&](const std::vector<double>& x) {
    return 500 + std::pow((x[0] - x0) / sigma, 2);
  };
  const ScanTable t = table_of({axis(-0.1, 0.2, 16)}, f);
  const Analysis a = analyse(t, /*scaled=*/true);
  ASSERT_EQ(a.axes.size(), 1u);
  const AxisResult& r = a.axes[0];
  EXPECT_EQ(a.best, 8);  // 0.06 lies nearest 0.0513
  ASSERT_TRUE(r.vertex.found);
  EXPECT_NEAR(r.vertex.x, x0, 1e-12);
  EXPECT_NEAR(r.vertex.chi2, 500, 1e-9);
  EXPECT_NEAR(r.vertex.curvature, 1 / (sigma * sigma), 1e-6 / (sigma * sigma));
  EXPECT_NEAR(r.interval.low, x0 - sigma, 1e-10);
  EXPECT_NEAR(r.interval.high, x0 + sigma, 1e-10);
  EXPECT_FALSE(r.interval.low_open || r.interval.high_open);
  EXPECT_TRUE(std::isnan(r.interval.below_again));
  // Scaled: the level is hi_sq.norm of the best point, 2S/99 there.
  const double level = f({0.06}) / 99;
  EXPECT_EQ(r.scaled.level, level);
  EXPECT_NEAR(r.scaled.high - x0, sigma * std::sqrt(level), 1e-10);
  EXPECT_NEAR(x0 - r.scaled.low, sigma * std::sqrt(level), 1e-10);
  EXPECT_EQ(best_setting(t, a), std::vector<double>{r.vertex.x});
}

TEST(ScanAnalysis, AWideIntervalIsInterpolatedBetweenGridPoints) {
  // |x - 1|^1.5: no parabola, but the crossings of 1 are at 0 and 2; with grid
  // points 0.1 apart the interpolation comes within a hundredth.
  const ScanTable t = table_of({axis(-2, 4, 61)}, [](const std::vector<double>& x) {
    return 40 + std::pow(std::fabs(x[0] - 1), 1.5);
  });
  const Analysis a = analyse(t, false);
  EXPECT_NEAR(a.axes[0].interval.low, 0, 0.01);
  EXPECT_NEAR(a.axes[0].interval.high, 2, 0.01);
}

TEST(ScanAnalysis, WhatLimitsAnInterval) {
  // The minimum near the lower edge: chi-square stays within 1 down to it.
  {
    const Analysis a = analyse(table_of({axis(0, 1, 11)},
                                        [](const std::vector<double>& x) {
                                          return 10 + std::pow((x[0] - 0.1) / 0.3, 2);
                                        }),
                               false);
    const AxisResult& r = a.axes[0];
    EXPECT_TRUE(r.interval.low_open);
    EXPECT_EQ(r.interval.low, 0);
    EXPECT_FALSE(r.interval.high_open);
    // Without chi-square at the lowest two points, the interval ends at the
    // last point that has one.
    ScanTable cut = table_of({axis(0, 1, 11)}, [](const std::vector<double>& x) {
      return 10 + std::pow((x[0] - 0.1) / 0.3, 2);
    });
    cut.rows.erase(cut.rows.begin(), cut.rows.begin() + 2);
    const Analysis c = analyse(cut, false);
    EXPECT_EQ(c.missing, 2);
    EXPECT_TRUE(c.axes[0].interval.low_open);
    EXPECT_EQ(c.axes[0].interval.low, 0.2);
    EXPECT_NEAR(r.interval.high, 0.4, 1e-9);
  }
  // The best point on the edge: no parabola, the best grid point stands.
  {
    const ScanTable t = table_of({axis(0, 1, 11)}, [](const std::vector<double>& x) {
      return 10 + std::pow((x[0] + 0.2) / 0.3, 2);
    });
    const Analysis a = analyse(t, false);
    EXPECT_EQ(a.best, 0);
    EXPECT_FALSE(a.axes[0].vertex.found);
    EXPECT_TRUE(a.axes[0].interval.low_open);
    EXPECT_EQ(best_setting(t, a), std::vector<double>{0.0});
  }
  // Another valley beyond the upper bound.
  {
    const Analysis a = analyse(table_of({axis(0, 10, 101)},
                                        [](const std::vector<double>& x) {
                                          const double d1 = (x[0] - 2) / 0.5, d2 = (x[0] - 7) / 0.5;
                                          return 20 + std::min(d1 * d1, 0.5 + d2 * d2);
                                        }),
                               false);
    const AxisResult& r = a.axes[0];
    EXPECT_NEAR(r.vertex.x, 2, 1e-9);
    EXPECT_NEAR(r.interval.high, 2.5, 1e-9);
    EXPECT_GT(r.interval.below_again, 6);
    EXPECT_LT(r.interval.below_again, 7);
  }
  // Points without a chi-square: a missing neighbour leaves no parabola, and
  // the interval is found across the gap; the counts are reported.
  {
    ScanTable t = table_of({axis(0, 2, 21)}, [](const std::vector<double>& x) {
      return 30 + std::pow((x[0] - 1) / 0.35, 2);
    });
    t.rows[11].S = std::numeric_limits<double>::quiet_NaN();
    t.rows[13].S = std::numeric_limits<double>::infinity();
    t.rows[5].status = -3;
    const Analysis a = analyse(t, false);
    EXPECT_EQ(a.failed, 2);
    EXPECT_EQ(a.not_converged, 1);
    EXPECT_EQ(a.best, 10);
    EXPECT_FALSE(a.axes[0].vertex.found);
    EXPECT_NEAR(a.axes[0].interval.high, 1.35, 0.01);
    EXPECT_NEAR(a.axes[0].interval.low, 0.65, 1e-9);
  }
  // A table without any chi-square.
  {
    const Analysis a = analyse(table_of({axis(0, 1, 3)},
                                        [](const std::vector<double>&) {
                                          return std::numeric_limits<double>::quiet_NaN();
                                        }),
                               false);
    EXPECT_EQ(a.best, -1);
    EXPECT_EQ(a.failed, 3);
  }
}

TEST(ScanAnalysis, AMapOfACorrelatedQuadraticForm) {
  // 2S = 800 + (u^2 - 2 rho u v + v^2) / (1 - rho^2), u = (x - x0)/sx,
  // v = (y - y0)/sy: minimum at (x0, y0); the profile of x (v refitted) is
  // 800 + u^2, so its interval is x0 -/+ sx whatever rho; likewise y.
  const double x0 = 0.052, y0 = 0.247, sx = 0.01, sy = 0.02, rho = -0.6;
  const auto f = [&](const std::vector<double>& p) {
    const double u = (p[0] - x0) / sx, v = (p[1] - y0) / sy;
    return 800 + (u * u - 2 * rho * u * v + v * v) / (1 - rho * rho);
  };
  // Grid steps of a twentieth of the widths, so that the other setting's best
  // grid value lies within 0.025 widths of its continuous one.
  const ScanTable t = table_of({axis(0, 0.1, 201), axis(0.15, 0.35, 201)}, f);
  const Analysis a = analyse(t, false);
  ASSERT_TRUE(a.map_vertex.found);
  EXPECT_NEAR(a.map_vertex.x, x0, 1e-9);
  EXPECT_NEAR(a.map_vertex.y, y0, 1e-9);
  EXPECT_NEAR(a.map_vertex.chi2, 800, 1e-6);
  EXPECT_NEAR(a.chi2_min, 800, 1e-6);
  ASSERT_EQ(a.axes.size(), 2u);
  EXPECT_NEAR(a.axes[0].interval.low, x0 - sx, 0.002 * sx);
  EXPECT_NEAR(a.axes[0].interval.high, x0 + sx, 0.002 * sx);
  EXPECT_NEAR(a.axes[1].interval.low, y0 - sy, 0.002 * sy);
  EXPECT_NEAR(a.axes[1].interval.high, y0 + sy, 0.002 * sy);
  EXPECT_EQ(map_levels(a), (std::vector<double>{2.30, 6.18}));
  EXPECT_EQ(best_setting(t, a), (std::vector<double>{a.map_vertex.x, a.map_vertex.y}));

  // The same map scaled by the quality of the fit: hi_sq.norm = 2S/99 at the
  // best point.
  const Analysis s = analyse(t, true);
  EXPECT_NEAR(map_levels(s)[0], 2.30 * s.best_chi, 1e-12);
  EXPECT_NEAR(s.best_chi, 800.0 / 99, 0.001);
  EXPECT_NEAR(s.axes[0].scaled.high - x0, sx * std::sqrt(s.best_chi), 0.002 * sx);
}

}  // namespace
}  // namespace tessaline::scan
