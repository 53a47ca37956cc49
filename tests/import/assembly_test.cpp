// The assembly of data sets into the four channels: which points are left out
// and under which reason, the wavelength given against the files', the
// angular resolution from the Qz resolution, the resolution of merged points,
// and what the default mode says when it keeps few points.
//
// Expected values by hand: theta = asin(Qz lambda / 4 pi), sigma_theta =
// sigma_Qz lambda / (4 pi cos theta), inverse-variance weights 1/dR^2.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

#include "import/import.hpp"
#include "tests/import/import_support.hpp"

namespace tessaline::importer {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

using testing::has;
using testing::message_of;

// Four channels of the same points, at a wavelength of 5 A.
std::vector<DataSet> four(const std::vector<ReducedPoint>& points, double wavelength = 5.0) {
  std::vector<DataSet> sets;
  for (int c = 0; c < kChannels; ++c) {
    DataSet s;
    s.file = "f" + std::to_string(c);
    s.channel = c;
    s.wavelength = wavelength;
    s.points = points;
    sets.push_back(s);
  }
  return sets;
}

TEST(Cleaning, EveryUnusablePointIsCountedUnderItsOwnReason) {
  // 4 pi / lambda = 2.513 1/A at 5 A: a Qz above it has no angle.
  const std::vector<ReducedPoint> points = {
      {0.01, 0.5, 0.02, kNaN},   // kept
      {kNaN, 0.5, 0.02, kNaN},   // Qz not finite
      {kInf, 0.5, 0.02, kNaN},   // Qz not finite
      {0.02, kNaN, 0.02, kNaN},  // R not finite
      {0.03, 0.5, -kInf, kNaN},  // dR not finite
      {0.0, 0.5, 0.02, kNaN},    // Qz <= 0
      {-0.01, 0.5, 0.02, kNaN},  // Qz <= 0
      {2.6, 0.5, 0.02, kNaN},    // beyond 4 pi / lambda
      {0.04, 0.5, 1e-31, kNaN},  // error bar below 1e-30
      {0.05, 0.5, 0.0, kNaN},    // error bar 0
      {0.06, 0.5, 1e-30, kNaN},  // error bar exactly 1e-30: kept
      {0.07, -0.3, 0.02, kNaN},  // negative R: kept
  };
  const Imported r = assemble(four(points), {});
  for (int c = 0; c < kChannels; ++c) {
    const ChannelSummary& s = r.summary[c];
    EXPECT_EQ(s.read, 12);
    EXPECT_EQ(s.dropped_nonfinite, 4);
    EXPECT_EQ(s.dropped_qz, 3);
    EXPECT_EQ(s.dropped_error, 2);
    EXPECT_EQ(s.kept, 3);
  }
  ASSERT_EQ(r.nn(), 3);
  EXPECT_EQ(r.channels[0][1].dR, 1e-30);
  EXPECT_EQ(r.channels[0][2].R, -0.3);
  EXPECT_EQ(r.channels[0][0].theta, std::asin(0.01 * 5.0 / (4 * std::numbers::pi)));
}

TEST(Wavelength, GivenOnTheCommandLineMustAgreeWithTheFiles) {
  const std::vector<ReducedPoint> points = {{0.01, 0.5, 0.02, kNaN}};
  Options o;
  o.wavelength = 5.1;
  std::string m = message_of(four(points, 5.0), o);
  EXPECT_TRUE(has(m, "f0 declares the wavelength 5 A, but --wavelength gives 5.1 A")) << m;
  // Within the relative tolerance of 1e-6 the two agree, and the given value
  // converts the angles.
  o.wavelength = 5.0 * (1 + 5e-7);
  const Imported r = assemble(four(points, 5.0), o);
  EXPECT_TRUE(r.wavelength_given);
  EXPECT_EQ(r.wavelength, *o.wavelength);
  EXPECT_EQ(r.channels[0][0].theta, std::asin(0.01 * *o.wavelength / (4 * std::numbers::pi)));
  // The program's own rule applies to a given wavelength.
  o.wavelength = 1e-320;
  std::vector<DataSet> none = four(points);
  for (DataSet& s : none) s.wavelength.reset();
  m = message_of(none, o);
  EXPECT_TRUE(has(m, "--wavelength: the program refuses the wavelength 1e-320 A")) << m;
}

TEST(Wavelength, ADataSetWithoutOneIsNamedWithItsFile) {
  // A file of blocks whose second block gives no wavelength of its own.
  std::vector<DataSet> sets = four({{0.01, 0.5, 0.02, kNaN}});
  for (DataSet& s : sets) s.file = "all.refl";
  sets[0].name = "++";
  sets[1].name = "--";
  sets[1].wavelength.reset();
  const std::string m = message_of(sets);
  EXPECT_TRUE(has(m,
                  "all.refl, data set -- declares no wavelength (all.refl, data set ++ gives "
                  "5 A"))
      << m;
}

TEST(Resolution, IsTheAngularWidthWithItsCosine) {
  // At 5 A, Qz = 4 pi sin(30 deg) / 5 puts the point at 30 degrees, where
  // cos theta = 0.866 matters.
  const double lambda = 5.0;
  const double Qz = 4 * std::numbers::pi * 0.5 / lambda;
  const Imported r = assemble(four({{0.01, 0.5, 0.02, 0.0002}, {Qz, 0.5, 0.02, 0.01}}), {});
  ASSERT_TRUE(r.resolution.has_value());
  const double theta = std::numbers::pi / 6;
  EXPECT_NEAR(r.channels[0][1].theta, theta, 1e-15);
  const double wide = 0.01 * lambda / (4 * std::numbers::pi * std::cos(theta));
  const double narrow =
      0.0002 * lambda /
      (4 * std::numbers::pi * std::cos(std::asin(0.01 * lambda / 4 / std::numbers::pi)));
  EXPECT_NEAR(r.resolution->max, wide, 1e-15 * wide);
  EXPECT_NEAR(r.resolution->min, narrow, 1e-15 * narrow);
  EXPECT_EQ(r.resolution->points, 8);
  EXPECT_NEAR(r.resolution->median, (wide + narrow) / 2, 1e-15 * wide);
}

TEST(Merge, TheResolutionOfAMergedPointIsTheWeightedMean) {
  // UU has four points, merged pairwise; the others two each.  Weights 1/dR^2:
  // 1 and 1/4 for the first pair.
  std::vector<DataSet> sets = four({{0.01, 0.5, 1.0, kNaN}, {0.03, 0.5, 1.0, kNaN}});
  sets[0].points = {{0.01, 1.0, 1.0, 0.001},
                    {0.02, 2.0, 2.0, 0.003},
                    {0.03, 3.0, 1.0, kNaN},
                    {0.04, 4.0, 1.0, kNaN}};
  Options o;
  o.equalize = Equalize::kMerge;
  const Imported r = assemble(sets, o);
  ASSERT_EQ(r.nn(), 2);
  const double Qz = (0.01 + 0.02 / 4) / 1.25;
  const double dQz = (0.001 + 0.003 / 4) / 1.25;  // 0.0014, not the first point's 0.001
  EXPECT_DOUBLE_EQ(r.channels[0][0].R, (1.0 + 2.0 / 4) / 1.25);
  EXPECT_DOUBLE_EQ(r.channels[0][0].dR, 1 / std::sqrt(1.25));
  ASSERT_TRUE(r.resolution.has_value());
  EXPECT_EQ(r.resolution->points, 1);  // the second pair has no resolution
  const double theta = std::asin(Qz * 5.0 / (4 * std::numbers::pi));
  EXPECT_DOUBLE_EQ(r.resolution->median, dQz * 5.0 / (4 * std::numbers::pi * std::cos(theta)));
}

TEST(CommonQz, KeepingFewPointsPointsToTheMerge) {
  // 50, 50, 30 and 20 points on grids that share only two Qz values.
  std::vector<DataSet> sets = four({});
  const int counts[kChannels] = {50, 50, 30, 20};
  for (int c = 0; c < kChannels; ++c) {
    for (int i = 0; i < counts[c]; ++i) {
      // Every channel has 0.1 and 0.2; otherwise its own grid.
      const double Qz = i == 0 ? 0.1 : i == 1 ? 0.2 : 0.3 + 0.001 * i + 0.0001 * c;
      sets[c].points.push_back({Qz, 0.5, 0.02, kNaN});
    }
  }
  const Imported r = assemble(sets, {});
  ASSERT_EQ(r.nn(), 2);
  EXPECT_EQ(r.summary[0].dropped_unmatched, 48);
  EXPECT_EQ(r.summary[3].dropped_unmatched, 18);
  bool pointed = false;
  for (const std::string& note : r.notes) {
    if (!has(note, "--merge")) continue;
    pointed = true;
    EXPECT_TRUE(has(note, "50, 50, 30, 20 usable points")) << note;
    EXPECT_TRUE(has(note, "2 points per channel are kept")) << note;
    EXPECT_TRUE(has(note, "--merge would keep 20 per channel")) << note;
  }
  EXPECT_TRUE(pointed);
  // Channels of equal length need no choice and get no such note.
  const Imported equal = assemble(four({{0.01, 0.5, 0.02, kNaN}}), {});
  for (const std::string& note : equal.notes) EXPECT_FALSE(has(note, "--merge")) << note;
}

}  // namespace
}  // namespace tessaline::importer
