// The model-curve files and the closing console lines: the angle grid, the
// number layout of a curve line, the channel of each file, and the names on the
// console.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "report/report.hpp"
#include "report_fixture.hpp"

namespace tessaline {
namespace {

using testing::layout;
using testing::read_lines;

const char* const kCurveFiles[4] = {"VreloFunctUU.dat", "VreloFunctDD.dat", "VreloFunctUD.dat",
                                    "VreloFunctDU.dat"};

class CurvesTest : public testing::InTempDir {
 protected:
  void SetUp() override {
    InTempDir::SetUp();
    console.create("console.txt");
  }

  // A bare substrate of vacuum: no reflection at any angle, so the model value is
  // scale * background everywhere.  One-point kernel, no zero correction.
  void invisible_film(double scale, double background) {
    t = layout(0);
    t->wavelength = 4;
    t->j0 = 1;
    t->coll_offset(1) = 0;
    t->coll_weight(1) = 1;
    t->PARAM(9) = scale;
    t->PARAM(11) = background;
  }

  void write() {
    write_curve_files(*t, console);
    console.close();
  }

  // The two numbers of a curve line.
  static std::vector<double> numbers(const std::string& line) {
    std::vector<double> v;
    const char* p = line.c_str();
    for (char* end = nullptr;; p = end) {
      const double x = std::strtod(p, &end);
      if (end == p) break;
      v.push_back(x);
    }
    return v;
  }

  std::unique_ptr<Tables> t;
  textio::OutStream console;
};

// Free-form numbers: one blank opens the line, then two 24-character fields.
// 0.25 lies in [0.1, 1e15): fixed notation with 15 significant digits and five
// blanks where an exponent would stand; the angles lie below 0.1: one digit, 15
// decimals and a three-digit exponent.
const std::string kQuarter = "  0.250000000000000     ";

TEST_F(CurvesTest, GridRunsFromOneStepToTheLastAngleIn200Lines) {
  invisible_film(1, 0.25);
  t->theta_last = 0.04;
  write();
  for (const char* name : kCurveFiles) {
    const auto lines = read_lines(name);
    ASSERT_EQ(lines.size(), 200u) << name;
    EXPECT_EQ(lines[0], "   2.000000000000000E-004" + kQuarter) << name;
    EXPECT_EQ(lines[1], "   4.000000000000000E-004" + kQuarter) << name;
    EXPECT_EQ(lines[99], "   2.000000000000000E-002" + kQuarter) << name;
    EXPECT_EQ(lines[199], "   4.000000000000000E-002" + kQuarter) << name;
    for (int k = 1; k <= 200; ++k) {
      const std::string& line = lines[static_cast<std::size_t>(k - 1)];
      ASSERT_EQ(line.size(), 49u) << name << " line " << k;
      const auto v = numbers(line);
      ASSERT_EQ(v.size(), 2u) << line;
      // 16 significant digits are printed: the angle is k * 0.0002 to that accuracy.
      EXPECT_NEAR(v[0], k * 0.0002, 1e-15 * k * 0.0002) << name << " line " << k;
      EXPECT_EQ(line.substr(25), kQuarter) << name << " line " << k;
    }
  }
}

TEST_F(CurvesTest, ZeroModelValueIsWrittenInExponentForm) {
  invisible_film(0, 0.25);  // scale 0 multiplies the background too
  t->theta_last = 0.04;
  write();
  const auto lines = read_lines("VreloFunctDU.dat");
  ASSERT_EQ(lines.size(), 200u);
  EXPECT_EQ(lines[0], "   2.000000000000000E-004  0.000000000000000E+000");
}

TEST_F(CurvesTest, OldCurveFilesAreReplaced) {
  for (const char* name : kCurveFiles) testing::write_lines(name, 300, "old curve line");
  invisible_film(1, 0.25);
  t->theta_last = 0.04;
  write();
  for (const char* name : kCurveFiles) {
    const auto lines = read_lines(name);
    ASSERT_EQ(lines.size(), 200u) << name;
    EXPECT_EQ(lines[0].substr(25), kQuarter) << name;
  }
}

TEST_F(CurvesTest, EachFileHoldsTheModelOfItsChannel) {
  // One magnetic layer on a substrate, polarizer and analyser along y (the
  // worked example of the model): at 0.01 rad UU = 0.322443, DD = 0.0867077,
  // UD = DU = 0.  With theta_last = 2 the first grid angle is 0.01 rad.
  t = layout(1);
  t->wavelength = 4;
  t->j0 = 1;
  t->coll_offset(1) = 0;
  t->coll_weight(1) = 1;
  t->theta_last = 2;
  t->PARAM(1) = 100;   // thickness, A
  t->PARAM(2) = 8;     // Re{Nb}, 1e-6 A^-2
  t->PARAM(4) = 2;     // N_p
  t->PARAM(5) = 1;     // <Cos(delta_gamma
  t->PARAM(6) = 5;     // Debye-Waller
  t->PARAM(7) = 2.07;  // substrate Re{Nb}
  t->PARAM(11) = 3;    // substrate Debye-Waller
  t->PARAM(12) = 1;    // <Cos(gamma)>
  t->PARAM(15) = 1;    // total scaling
  t->PARAM(19) = 1;    // Pi(y)
  t->PARAM(22) = 1;    // Pf(y)
  write();
  // The worked values are given to six significant digits.
  const double want[4] = {0.322443, 0.0867077, 0, 0};
  const double tol[4] = {1e-6, 1e-7, 1e-9, 1e-9};
  for (int j = 0; j < 4; ++j) {
    const auto lines = read_lines(kCurveFiles[j]);
    ASSERT_EQ(lines.size(), 200u) << kCurveFiles[j];
    const auto v = numbers(lines[0]);
    ASSERT_EQ(v.size(), 2u);
    EXPECT_NEAR(v[0], 0.01, 1e-17);
    EXPECT_NEAR(v[1], want[j], tol[j]) << kCurveFiles[j];
  }
}

TEST_F(CurvesTest, EveryLineHoldsTheModelValueOfItsChannelAtItsAngle) {
  // A magnetic layer magnetized along y, polarizer along y and analyser along z:
  // the polarizer term enters UD and DU with opposite signs, so the two differ and
  // a file written for the wrong channel shows.
  t = layout(1);
  t->wavelength = 4;
  t->j0 = 1;
  t->coll_offset(1) = 0;
  t->coll_weight(1) = 1;
  t->theta_last = 0.04;
  t->PARAM(1) = 100;
  t->PARAM(2) = 8;
  t->PARAM(4) = 2;
  t->PARAM(5) = 1;
  t->PARAM(7) = 2.07;
  t->PARAM(12) = 1;  // <Cos(gamma)>
  t->PARAM(15) = 1;  // total scaling
  t->PARAM(19) = 1;  // Pi(y)
  t->PARAM(23) = 1;  // Pf(z)
  write();
  auto reference = std::make_unique<ModelWork>();
  PointX X;
  double ud_minus_du = 0;
  std::vector<std::vector<double>> y(4);
  for (int j = 1; j <= 4; ++j) {
    const auto lines = read_lines(kCurveFiles[j - 1]);
    ASSERT_EQ(lines.size(), 200u);
    for (int k = 1; k <= 200; ++k) {
      X(1) = k * (0.04 / 200);
      X(2) = j;
      const double want = FUNCT(*t, *reference, X);
      const auto v = numbers(lines[static_cast<std::size_t>(k - 1)]);
      ASSERT_EQ(v.size(), 2u);
      // At least 15 significant digits are printed (16 in exponent form).
      EXPECT_NEAR(v[1], want, 5e-15 * std::fabs(want)) << kCurveFiles[j - 1] << " line " << k;
      y[static_cast<std::size_t>(j - 1)].push_back(v[1]);
    }
  }
  for (std::size_t k = 0; k < 200; ++k)
    ud_minus_du = std::max(ud_minus_du, std::fabs(y[2][k] - y[3][k]));
  EXPECT_GT(ud_minus_du, 1e-3);  // the set-up does tell UD from DU
}

TEST_F(CurvesTest, ConsoleNamesTheResultsFileAndTheFourCurveFiles) {
  invisible_film(1, 0.25);
  t->theta_last = 0.04;
  write();
  const std::vector<std::string> want = {"Fit results are in file   : VreloBag.dat    ",
                                         "Fit functions are in files: VreloFunctUU.dat",
                                         "                            VreloFunctDD.dat",
                                         "                            VreloFunctUD.dat",
                                         "                            VreloFunctDU.dat"};
  EXPECT_EQ(read_lines("console.txt"), want);
}

// A tool that writes the files of several fits puts a prefix in front of every
// name (and may name a directory): the same lines under the prefixed names,
// which the console names without the program's padding.
TEST_F(CurvesTest, APrefixGoesInFrontOfEveryName) {
  invisible_film(1, 0.25);
  t->theta_last = 0.04;
  std::filesystem::create_directory("sub");
  write_curve_files(*t, console, "sub/set_a_");
  write();
  for (const char* f : kCurveFiles) {
    EXPECT_EQ(read_lines(std::string("sub/set_a_") + f), read_lines(f)) << f;
  }
  textio::OutStream results;
  write_results_head(results, *t, "sub/set_a_");
  results.close();
  EXPECT_FALSE(read_lines("sub/set_a_VreloBag.dat").empty());
  const std::vector<std::string> lines = read_lines("console.txt");
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_EQ(lines[0], "Fit results are in file   : sub/set_a_VreloBag.dat");
  EXPECT_EQ(lines[4], "                            sub/set_a_VreloFunctDU.dat");
}

}  // namespace
}  // namespace tessaline
