// Readers and computations of tessaline-plot: the files a fit leaves behind,
// spin asymmetry with its error, the Q scale, excluded points and the limits
// of the logarithmic axis.  Expected values are derived by hand in the comments
// or computed independently in the test.
#include "tools/plot/plot_data.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>

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

MeasuredData data_from(const std::string& text, int nn = 0) {
  std::istringstream in(text);
  return read_data(in, "pts.dat", nn);
}

// ---------------------------------------------------------------------------
// Measured data

TEST(PlotDataFile, FreeFormPointsSplitOverLinesAndExtraNumbersIgnored) {
  // Eight points, nn = 2: commas and tabs separate, point 2 spreads over three
  // lines, point 3 has a fourth number that must be ignored, point 5 uses the
  // Fortran exponent letter D.
  const std::string text =
      "0.9, 0.01, 0.001\n"
      "0.8\n"
      "  0.02\n"
      "\t0.002\n"
      "0.7 0.03 0.001 99.0\n"
      "0.6 0.04 0.002\n"
      "5.0D-1 0.05 0.001\n"
      "0.4 0.06 0.002\n"
      "0.3 0.07 0.001\n"
      "0.2 0.08 0.002\n";
  const MeasuredData d = data_from(text);
  ASSERT_EQ(d.nn, 2);
  EXPECT_DOUBLE_EQ(d.channel[0][0].R, 0.9);
  EXPECT_DOUBLE_EQ(d.channel[0][1].R, 0.8);
  EXPECT_DOUBLE_EQ(d.channel[0][1].sigma, 0.02);
  EXPECT_DOUBLE_EQ(d.channel[0][1].theta, 0.002);
  EXPECT_DOUBLE_EQ(d.channel[1][0].R, 0.7);  // 99.0 did not start a point
  EXPECT_DOUBLE_EQ(d.channel[1][0].theta, 0.001);
  EXPECT_DOUBLE_EQ(d.channel[1][1].R, 0.6);
  EXPECT_DOUBLE_EQ(d.channel[2][0].R, 0.5);
  EXPECT_DOUBLE_EQ(d.channel[3][1].R, 0.2);
  EXPECT_DOUBLE_EQ(d.channel[3][1].sigma, 0.08);
}

TEST(PlotDataFile, GivenPointCountLeavesTheRestUnread) {
  // nn = 1: four points, then a line that is not data at all.
  const MeasuredData d = data_from("1 .1 .01\n2 .2 .01\n3 .3 .01\n4 .4 .01\nend of data\n", 1);
  ASSERT_EQ(d.nn, 1);
  EXPECT_DOUBLE_EQ(d.channel[3][0].R, 4.0);
  // Without the count the whole file is read, and the text is an error.
  const std::string e =
      error_of([] { data_from("1 .1 .01\n2 .2 .01\n3 .3 .01\n4 .4 .01\nend of data\n"); });
  EXPECT_NE(e.find("pts.dat, line 5"), std::string::npos) << e;
  EXPECT_NE(e.find("'end'"), std::string::npos) << e;
}

TEST(PlotDataFile, RefusesFilesThatDoNotMakeFourChannels) {
  // 13 numbers: four points and one number of a fifth.
  std::string e = error_of([] { data_from("1 .1 .01\n2 .2 .01\n3 .3 .01\n4 .4 .01\n5\n"); });
  EXPECT_NE(e.find("pts.dat"), std::string::npos) << e;
  EXPECT_NE(e.find("not a multiple of 3"), std::string::npos) << e;
  EXPECT_NE(e.find("point 5"), std::string::npos) << e;
  // Six complete points do not divide into four channels.
  e = error_of([] { data_from("1 .1 .01\n2 .2 .01\n3 .3 .01\n4 .4 .01\n5 .5 .01\n6 .6 .01\n"); });
  EXPECT_NE(e.find("6 points"), std::string::npos) << e;
  EXPECT_NE(e.find("four channels"), std::string::npos) << e;
  // Too few points for the given count.
  e = error_of([] { data_from("1 .1 .01\n2 .2 .01\n3 .3 .01\n4 .4 .01\n", 2); });
  EXPECT_NE(e.find("holds 4 points"), std::string::npos) << e;
  EXPECT_NE(e.find("need 8"), std::string::npos) << e;
  // An empty file, and a number that is not finite.
  EXPECT_NE(error_of([] { data_from("\n\n"); }).find("no measured points"), std::string::npos);
  EXPECT_NE(error_of([] { data_from("1 nan .01\n"); }).find("not a number"), std::string::npos);
}

TEST(PlotDataFile, MissingFileIsNamed) {
  const std::string e = error_of([] { read_data_file("/nonexistent/dir/pts.dat", 0); });
  EXPECT_NE(e.find("/nonexistent/dir/pts.dat"), std::string::npos) << e;
  EXPECT_NE(e.find("cannot open"), std::string::npos) << e;
}

// ---------------------------------------------------------------------------
// Model curves

std::string curve_text(int lines) {
  std::string s;
  for (int k = 1; k <= lines; ++k) {
    // Angle k * 1e-4 in exponent form, intensity in fixed-point form with five
    // blanks where the exponent would stand.
    s += "  " + std::to_string(k) + ".000000000000000E-004  0.500000000000000     \n";
  }
  return s;
}

TEST(PlotCurveFile, ReadsTwoHundredLinesInBothNumberForms) {
  std::istringstream in(curve_text(200) + "\n\n");  // trailing empty lines are no lines
  const Curve c = read_curve(in, "VreloFunctUU.dat");
  ASSERT_EQ(c.size(), 200u);
  EXPECT_DOUBLE_EQ(c[0].theta, 1e-4);
  EXPECT_DOUBLE_EQ(c[199].theta, 200e-4);
  EXPECT_DOUBLE_EQ(c[199].y, 0.5);
  std::string small;
  for (int k = 0; k < 200; ++k) small += " 2.000000000000000E-004 1.234500000000000E-007\n";
  std::istringstream exp_form(small);
  const Curve e = read_curve(exp_form, "c.dat");
  EXPECT_DOUBLE_EQ(e[7].theta, 2e-4);
  EXPECT_DOUBLE_EQ(e[7].y, 1.2345e-7);
}

TEST(PlotCurveFile, WrongLengthOrBrokenLineIsRefused) {
  for (const int n : {0, 199, 201}) {
    std::istringstream in(curve_text(n));
    const std::string e = error_of([&] { read_curve(in, "VreloFunctDD.dat"); });
    EXPECT_NE(e.find("VreloFunctDD.dat: holds " + std::to_string(n) + " lines, expected 200"),
              std::string::npos)
        << e;
  }
  std::istringstream one_number(curve_text(5) + " 0.1\n");
  std::string e = error_of([&] { read_curve(one_number, "VreloFunctUD.dat"); });
  EXPECT_NE(e.find("VreloFunctUD.dat, line 6"), std::string::npos) << e;
  std::istringstream word(" 0.1 abc\n");
  e = error_of([&] { read_curve(word, "VreloFunctDU.dat"); });
  EXPECT_NE(e.find("'abc' is not a number (model intensity)"), std::string::npos) << e;
}

// ---------------------------------------------------------------------------
// Results file

const std::string kStars = " " + std::string(73, '*') + "\n";
const std::string kPercents = std::string(73, '%') + "\n";

std::string block(const std::string& iter_i4, const std::string& chi) {
  return kStars + iter_i4 +
         " iterate              PARAMETERS       ERRORS     FACTORS\n"
         "    Substrate\n"
         "   1    Re{Nb}            0.200000E+01 +/- 0.10E-01    0.100E+01\n"
         "                            sqrt(D):  0.1000E+00\n"
         "   hi_sq.norm: " +
         chi + "\n";
}

const std::string kHead =
    "    Tessaline results:\n"
    "Collimation function:  41 points, sigma = 0.50mrad, region = +/-4.0 sigma\n";

TEST(PlotResultsFile, LastBlockGivesIterationAndChiSquare) {
  std::istringstream in(kHead + block("   0", ".5678E+02") + block("  12", ".1234E+01") +
                        kPercents);
  const FitSummary s = read_results(in, "VreloBag.dat");
  EXPECT_EQ(s.blocks, 2);
  EXPECT_EQ(s.last_iteration, 12);
  EXPECT_EQ(s.chi_sq_text, ".1234E+01");
  ASSERT_TRUE(s.chi_sq.has_value());
  EXPECT_DOUBLE_EQ(*s.chi_sq, 1.234);
  EXPECT_TRUE(s.closed);
}

TEST(PlotResultsFile, AsterisksIterationLimitAndMissingClosingLine) {
  std::istringstream in(kHead + block(" 200", "*********"));
  const FitSummary s = read_results(in, "VreloBag.dat");
  EXPECT_EQ(s.last_iteration, 200);
  EXPECT_EQ(s.chi_sq_text, "*********");
  EXPECT_FALSE(s.chi_sq.has_value());
  EXPECT_FALSE(s.closed);
}

TEST(PlotResultsFile, FilesWithoutAUsableBlockAreRefused) {
  std::istringstream head_only(kHead + kPercents);
  std::string e = error_of([&] { read_results(head_only, "VreloBag.dat"); });
  EXPECT_NE(e.find("VreloBag.dat: no iteration block"), std::string::npos) << e;

  std::istringstream no_title(kHead + kStars + "something else\n" + kPercents);
  e = error_of([&] { read_results(no_title, "VreloBag.dat"); });
  EXPECT_NE(e.find("line 4"), std::string::npos) << e;
  EXPECT_NE(e.find("title line"), std::string::npos) << e;

  std::istringstream no_chi(kHead + kStars + "   3 iterate\n" + kPercents);
  e = error_of([&] { read_results(no_chi, "VreloBag.dat"); });
  EXPECT_NE(e.find("iteration 3) has no hi_sq.norm"), std::string::npos) << e;
}

// ---------------------------------------------------------------------------
// Entry file

TEST(PlotEntryFile, WavelengthIsTheFifteenthItem) {
  // Pi(x..z) with marks, separator, Pf(x..z) with marks, separator, wavelength.
  const std::string head =
      "0.0\n\n0.0\n\n1.0\nf\n----\n0.0\nF\n0.0\n\n-1.0\nfixed\n-- wavelength --\n";
  std::istringstream plain(head + "4.50  lambda in A\n150\n");
  EXPECT_DOUBLE_EQ(read_wavelength(plain, "e.ent"), 4.5);
  // Blank lines in front of value lines are skipped; mark lines are taken as
  // they come, even when empty (the empty marks above are such lines).
  std::istringstream blanks("\n\n" + head + "\n   \n5.25\n");
  EXPECT_DOUBLE_EQ(read_wavelength(blanks, "e.ent"), 5.25);
}

TEST(PlotEntryFile, ShortFileOrBadWavelengthIsRefused) {
  std::istringstream short_file("0.0\n\n0.0\n\n1.0\n");
  std::string e = error_of([&] { read_wavelength(short_file, "e.ent"); });
  EXPECT_NE(e.find("e.ent: the file ends before the wavelength"), std::string::npos) << e;
  const std::string head = "0\n\n0\n\n1\n\n-\n0\n\n0\n\n1\n\n-\n";
  std::istringstream zero(head + "0.0\n");
  e = error_of([&] { read_wavelength(zero, "e.ent"); });
  EXPECT_NE(e.find("e.ent, line 15"), std::string::npos) << e;
  EXPECT_NE(e.find("positive"), std::string::npos) << e;
  std::istringstream word(head + "lambda\n");
  e = error_of([&] { read_wavelength(word, "e.ent"); });
  EXPECT_NE(e.find("(wavelength)"), std::string::npos) << e;
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
  const std::vector<Point> uu = {{3, 0.3, 0.001}, {0.5, 0.1, 0.002}, {1, 0.1, 0.003}};
  const std::vector<Point> dd = {{1, 0.2, 0.001}, {0.5, 0.1, 0.002}, {-1, 0.1, 0.003}};
  const auto a = data_asymmetry(uu, dd, {true, false, false});
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
  const std::vector<Point> uu = {{4.5, 0.2, 1e-3}, {2.5, 0.1, 2e-3}, {1, 0.1, 3e-3}};
  const std::vector<Point> dd = {{1, 0.1, 0.5e-3}, {2, 0.3, 1.5e-3}, {3, 0.5, 2.5e-3}};
  const auto a = data_asymmetry(uu, dd, {false, false, true});
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
  const std::vector<Point> pts = {{0.8, 0.05, 1e-3}, {3e-4, 5e-4, 2e-3}, {-1e-5, 1e-5, 3e-3}};
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

}  // namespace
}  // namespace tessaline::plot
