// Computations of tessaline-plot: spin asymmetry with its error, the Q scale,
// excluded points, the limits of the logarithmic axis and the normalized
// residuals.  Expected values are derived by hand in the comments or computed
// independently in the test.
#include "tools/plot/plot_data.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>

#include "model/model.hpp"

namespace tessaline::plot {
namespace {

// Runs `f` and returns the PlotError message, or "" when nothing was thrown.
template <class F>
std::string error_of(F f) {
  try {
    f();
  } catch (const PlotError& e) {
    return e.what();
  }
  return "";
}

// ---------------------------------------------------------------------------
// Q scale

TEST(PlotQScale, MomentumTransferAgainstSeriesAndInverse) {
  // sin(theta) by its Taylor series, exact to 1e-18 at theta = 0.01.
  const double pi = 3.141592653589793;
  const double theta = 0.01;
  const double sin_series = theta - std::pow(theta, 3) / 6 + std::pow(theta, 5) / 120;
  EXPECT_NEAR(q_from_angle(theta, 4.5), 4 * pi * sin_series / 4.5, 1e-16);
  // Hand value: 12.5663706 * 0.0099998333 / 4.5 = 0.12566161 / 4.5 = 0.0279248.
  EXPECT_NEAR(q_from_angle(theta, 4.5), 0.0279248, 1e-7);
  // At 90 degrees Q = 4 pi / lambda, the largest transfer.
  EXPECT_NEAR(q_from_angle(pi / 2, 2 * pi), 2.0, 1e-15);
  for (const double q : {0.0, 0.01, 0.05, 0.2}) {
    EXPECT_NEAR(q_from_angle(angle_from_q(q, 5.0), 5.0), q, 1e-15);
  }
}

TEST(PlotQScale, RoundTicks) {
  const auto near_list = [](const std::vector<double>& got, const std::vector<double>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) EXPECT_NEAR(got[i], want[i], 1e-15) << i;
  };
  near_list(nice_ticks(0.0, 0.1, 5), {0.0, 0.02, 0.04, 0.06, 0.08, 0.1});
  // Raw step 0.073/6 = 0.0122: the next round step is 0.02.
  near_list(nice_ticks(0.0, 0.073, 6), {0.0, 0.02, 0.04, 0.06});
  // Raw step 0.3: round step 0.5, ticks from 0.5 to 2.5 inside [0.3, 2.8].
  near_list(nice_ticks(0.3, 2.8, 8), {0.5, 1.0, 1.5, 2.0, 2.5});
  EXPECT_TRUE(nice_ticks(1.0, 1.0, 5).empty());
}

// ---------------------------------------------------------------------------
// Excluded points

TEST(PlotExclusion, FirstAndLastPointsOfAChannel) {
  EXPECT_EQ(excluded_mask(6, 2, 1), (std::vector<bool>{true, true, false, false, false, true}));
  EXPECT_EQ(excluded_mask(3, 0, 0), (std::vector<bool>{false, false, false}));
  // Counts <= 0 exclude nothing, as at the program's prompts.
  EXPECT_EQ(excluded_mask(3, -2, -1), (std::vector<bool>{false, false, false}));
  EXPECT_EQ(excluded_mask(4, 0, 3), (std::vector<bool>{false, true, true, true}));
  const std::string e = error_of([] { excluded_mask(4, 2, 2); });
  EXPECT_NE(e.find("leaves none of the 4 points"), std::string::npos) << e;
}

// ---------------------------------------------------------------------------
// Spin asymmetry

TEST(PlotAsymmetry, ValueAndErrorByHandAndByDifferences) {
  // UU = 3 +/- 0.3, DD = 1 +/- 0.2: A = 2/4 = 0.5,
  // sA = 2 sqrt(1 * 0.09 + 9 * 0.04) / 16 = sqrt(0.45) / 8 = 0.0838525...
  const Asymmetry a = spin_asymmetry(3, 0.3, 1, 0.2);
  EXPECT_DOUBLE_EQ(a.A, 0.5);
  EXPECT_NEAR(a.sA, std::sqrt(0.45) / 8, 1e-15);
  EXPECT_NEAR(a.sA, 0.0838525, 1e-7);

  // Independent route: linear error propagation with central differences.
  const auto A = [](double u, double d) { return (u - d) / (u + d); };
  for (const auto& [uu, su, dd, sd] : {std::array<double, 4>{1e-3, 2e-4, 4e-4, 5e-5},
                                       std::array<double, 4>{0.2, 0.01, 0.9, 0.05}}) {
    const double h = 1e-6 * (uu + dd);
    const double dA_du = (A(uu + h, dd) - A(uu - h, dd)) / (2 * h);
    const double dA_dd = (A(uu, dd + h) - A(uu, dd - h)) / (2 * h);
    const double expected = std::hypot(dA_du * su, dA_dd * sd);
    const Asymmetry r = spin_asymmetry(uu, su, dd, sd);
    EXPECT_NEAR(r.A, A(uu, dd), 1e-15);
    EXPECT_NEAR(r.sA, expected, 1e-8 * expected);  // differences good to ~1e-10
  }
  // Equal channels: A = 0, sA = 2 UU sqrt(sUU^2 + sDD^2) / (2 UU)^2.
  const Asymmetry eq = spin_asymmetry(2, 0.3, 2, 0.4);
  EXPECT_EQ(eq.A, 0.0);
  EXPECT_NEAR(eq.sA, 2 * 2 * 0.5 / 16, 1e-15);
  // No intensity at all: undefined.
  EXPECT_TRUE(std::isnan(spin_asymmetry(0, 1, 0, 1).A));
  EXPECT_TRUE(std::isnan(spin_asymmetry(1, 1, -1, 1).sA));
}

TEST(PlotAsymmetry, AnglesMatchWithinOnePartInAMillionMillion) {
  EXPECT_TRUE(angles_match({0.001, 0.002}, {0.001, 0.002 * (1 + 5e-10)}));
  EXPECT_FALSE(angles_match({0.001, 0.002}, {0.001, 0.002 * (1 + 2e-9)}));
  EXPECT_FALSE(angles_match({0.001, 0.002}, {0.001}));
  EXPECT_TRUE(angles_match({0.0}, {0.0}));
}

TEST(PlotAsymmetry, DataPairedByIndexWhenAnglesAgree) {
  const std::vector<DataPoint> uu = {{3, 0.3, 0.001}, {0.5, 0.1, 0.002}, {1, 0.1, 0.003}};
  const std::vector<DataPoint> dd = {{1, 0.2, 0.001}, {0.5, 0.1, 0.002}, {-1, 0.1, 0.003}};
  const auto a = data_asymmetry(uu, dd, {true, false, false}, {false, false, false});
  // The third pair sums to zero and is left out.
  ASSERT_EQ(a.size(), 2u);
  EXPECT_DOUBLE_EQ(a[0].A, 0.5);
  EXPECT_NEAR(a[0].sA, std::sqrt(0.45) / 8, 1e-15);
  EXPECT_TRUE(a[0].excluded);
  EXPECT_DOUBLE_EQ(a[1].theta, 0.002);
  EXPECT_EQ(a[1].A, 0.0);
  EXPECT_FALSE(a[1].excluded);
}

TEST(PlotAsymmetry, DataInterpolatesDDToTheUUAngles) {
  // DD at 0.5, 1.5, 2.5 mrad with values 1, 2, 3 and errors 0.1, 0.3, 0.5:
  // at 1 mrad DD = 1.5 +/- 0.2, at 2 mrad DD = 2.5 +/- 0.4; 3 mrad lies beyond.
  const std::vector<DataPoint> uu = {{4.5, 0.2, 1e-3}, {2.5, 0.1, 2e-3}, {1, 0.1, 3e-3}};
  const std::vector<DataPoint> dd = {{1, 0.1, 0.5e-3}, {2, 0.3, 1.5e-3}, {3, 0.5, 2.5e-3}};
  const auto a = data_asymmetry(uu, dd, {false, false, false}, {false, false, true});
  ASSERT_EQ(a.size(), 2u);
  // (4.5 - 1.5)/6 = 0.5, sA = 2 sqrt(1.5^2 0.2^2 + 4.5^2 0.2^2)/36 = 0.4 sqrt(22.5)/36.
  EXPECT_NEAR(a[0].A, 0.5, 1e-15);
  EXPECT_NEAR(a[0].sA, 0.4 * std::sqrt(22.5) / 36, 1e-15);
  EXPECT_FALSE(a[0].excluded);  // UU 1 and DD 1, 2 all kept
  // (2.5 - 2.5)/5 = 0; it leans on DD point 3, which is excluded.
  EXPECT_NEAR(a[1].A, 0.0, 1e-15);
  EXPECT_TRUE(a[1].excluded);
}

TEST(PlotAsymmetry, ModelCurvesOnTheSameOrOnADifferentGrid) {
  const Curve uu = {{1e-3, 3}, {2e-3, 1}, {3e-3, 2}};
  const Curve dd = {{1e-3, 1}, {2e-3, 1}, {3e-3, 0}};
  Curve a = model_asymmetry(uu, dd);
  ASSERT_EQ(a.size(), 3u);
  EXPECT_DOUBLE_EQ(a[0].y, 0.5);
  EXPECT_DOUBLE_EQ(a[1].y, 0.0);
  EXPECT_DOUBLE_EQ(a[2].y, 1.0);
  // DD on a shifted grid: at 2 mrad, DD = (1 + 3)/2 = 2 and A = (1 - 2)/3.
  const Curve dd_shifted = {{0.5e-3, 1}, {1.5e-3, 1}, {2.5e-3, 3}};
  a = model_asymmetry(uu, dd_shifted);
  ASSERT_EQ(a.size(), 2u);
  EXPECT_NEAR(a[1].y, -1.0 / 3.0, 1e-15);
}

// ---------------------------------------------------------------------------
// Logarithmic axis

TEST(PlotLogRange, WholeDecadesAroundPositiveValues) {
  // Smallest positive value 3e-4 (R - sigma < 0 is not taken, nor the upper
  // bar end -1e-5 + 1e-5 = 0 of the negative point), largest upper
  // bar end 0.8 + 0.05 and model 0.95: the axis spans 1e-4 .. 1.
  const std::vector<DataPoint> pts = {{0.8, 0.05, 1e-3}, {3e-4, 5e-4, 2e-3}, {-1e-5, 1e-5, 3e-3}};
  const Curve model = {{1e-3, 0.95}, {2e-3, 0.0}};
  LogRange r = log_range(pts, model);
  EXPECT_NEAR(r.lo, 1e-4, 1e-19);
  EXPECT_NEAR(r.hi, 1.0, 1e-15);
  // An upper bar end above 1 opens the next decade.
  r = log_range({{0.9, 0.2, 1e-3}}, {});
  EXPECT_NEAR(r.lo, 0.1, 1e-16);
  EXPECT_NEAR(r.hi, 10.0, 1e-14);
  // Nothing positive: a fixed default instead of an empty axis.
  r = log_range({{-1, 0.5, 1e-3}}, {{1e-3, 0.0}});
  EXPECT_GT(r.hi, r.lo);
  EXPECT_GT(r.lo, 0.0);
}

// ---------------------------------------------------------------------------
// Residuals

TEST(PlotResiduals, ZeroForTheModelsOwnDataAndTwoForAPointMovedByTwoErrors) {
  // The example's points with reflectivities replaced by the true model's
  // values, each computed on its own by the model function of the program.
  auto t = make_tables();
  t->pi = kPi;
  textio::OutStream quiet;
  read_entry_file(*t, std::string(TESSALINE_EXAMPLES_DIR) + "/film_true.ent", quiet);
  build_collimation(*t);
  MeasuredData d = read_data_file(std::string(TESSALINE_EXAMPLES_DIR) + "/film.dat", t->nn);
  auto work = std::make_unique<ModelWork>();
  PointX X;
  for (int c = 0; c < kChannels; ++c) {
    X(2) = c + 1;
    for (DataPoint& p : d.channel[static_cast<std::size_t>(c)]) {
      X(1) = p.theta;
      p.R = FUNCT(*t, *work, X);
    }
  }
  const ChannelMasks excluded = excluded_masks(d, 2, 1);

  ChannelResiduals r = residuals(*t, d, excluded);
  for (int c = 0; c < kChannels; ++c) {
    const auto& ch = r[static_cast<std::size_t>(c)];
    ASSERT_EQ(ch.size(), 150u);
    for (std::size_t i = 0; i < ch.size(); ++i) {
      EXPECT_EQ(ch[i].r, 0.0) << kChannelNames[static_cast<std::size_t>(c)] << i;
      EXPECT_EQ(ch[i].excluded, i < 2 || i == 149);
      EXPECT_EQ(ch[i].theta, d.channel[static_cast<std::size_t>(c)][i].theta);
    }
  }
  // Point 17 of UD moved up by two of its error bars.
  DataPoint& p = d.channel[2][16];
  p.R += 2 * p.dR;
  r = residuals(*t, d, excluded);
  EXPECT_NEAR(r[2][16].r, 2.0, 1e-9);
  EXPECT_EQ(r[2][15].r, 0.0);
}

// A point list: channels of their own lengths (one empty), each with its own
// mask, and every point's own resolution in its residual.  The data are the
// model smeared with each point's resolution, so the residuals are zero; the
// same points with the entry's one kernel are not.
TEST(PlotResiduals, APointListWithResolutionsOfItsOwn) {
  auto t = make_tables();
  t->pi = kPi;
  textio::OutStream quiet;
  read_entry_file(*t, std::string(TESSALINE_EXAMPLES_DIR) + "/film_true.ent", quiet);
  build_collimation(*t);
  t->nvalues = 5;
  MeasuredData d;
  d.point_list = d.has_resolution = true;
  const int counts[4] = {12, 7, 0, 5};
  auto work = std::make_unique<ModelWork>();
  PointX X;
  for (int c = 0; c < kChannels; ++c) {
    for (int i = 0; i < counts[c]; ++i) {
      X(1) = 0.003 + 0.002 * i + 0.0001 * c;
      X(2) = c + 1;
      X(3) = 0.03 * X(1);
      d.channel[static_cast<std::size_t>(c)].push_back(
          {FUNCT(*t, *work, X), 0.01 * FUNCT(*t, *work, X), X(1), X(3)});
    }
  }
  const ChannelMasks masks = excluded_masks(d, 1, 2);
  EXPECT_EQ(masks[0].size(), 12u);
  EXPECT_EQ(masks[2].size(), 0u);
  EXPECT_EQ(masks[3], (std::vector<bool>{true, false, false, true, true}));
  t->nvalues = 4;  // the model tables of the picture hold no points
  ChannelResiduals r = residuals(*t, d, masks);
  for (int c = 0; c < kChannels; ++c) {
    ASSERT_EQ(r[static_cast<std::size_t>(c)].size(), static_cast<std::size_t>(counts[c]));
    for (const Residual& x : r[static_cast<std::size_t>(c)]) EXPECT_EQ(x.r, 0.0) << c;
  }
  EXPECT_TRUE(r[1][0].excluded);
  EXPECT_FALSE(r[1][4].excluded);
  EXPECT_TRUE(r[1][5].excluded);
  d.has_resolution = false;
  r = residuals(*t, d, masks);
  EXPECT_GT(std::fabs(r[0][6].r), 1e-3);
  // Dropping as many points as the shortest channel holds is refused.
  EXPECT_THROW(excluded_masks(d, 3, 2), PlotError);
}

}  // namespace
}  // namespace tessaline::plot
