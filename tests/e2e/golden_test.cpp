// A golden run of the whole program with every parameter fixed.
//
// The model is chosen so that every number the program prints is known exactly
// without running it:
//  - "total scaling" = 0, so every model value is 0 (result = t * (background + sum));
//  - every measured value equals its error bar, so each point adds
//    ((0 - y) / y)^2 / 2 = 1/2 to S, and with nothing free hi_sq.norm =
//    2S / (N - NPAR + NFIX) = 2 (N/2) / N = 1 exactly;
//  - with no free parameter LSQFIT makes one pass (iteration 0, converged) and
//    MONITO prints one block in which every parameter is "fixed" and no error
//    exists, so the D line has no error part;
//  - <Cos(gamma)> = 0.6 and <Sin^2(gamma)> = 0.28 give D = (1 - 0.28) - 0.36 = 0.36
//    and sqrt(D) = 0.6.
// The transcript and the results file below are written from the line layouts,
// descriptor by descriptor; the comments give the derivation of fields that are
// not plain copies of a literal.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/driver/scratch.hpp"
#include "tests/e2e/run_program.hpp"
#include "tests/e2e/text_compare.hpp"

namespace tessaline {
namespace {

using testing::lines;
using testing::Outcome;
using testing::run_program;
using testing::same_lines;
using testing::ScratchDir;
using testing::split_lines;
using Lines = std::vector<std::string>;

// One layer on a substrate, every value marked fixed (by "F", by a lower-case
// "f" and by a word beginning with f), a zero correction of -0.05 mrad.
Lines fixed_entry() {
  return {"0       Pi(x)",
          "F",
          "1       Pi(y)",
          "F",
          "0       Pi(z)",
          "F",
          "------- analyser",
          "0       Pf(x)",
          "F",
          "1       Pf(y)",
          "F",
          "0       Pf(z)",
          "F",
          "------- instrument",
          "4.5     wavelength [A]",
          "4       points per channel",
          "3       collimation points",
          "0.15    step [mrad]",
          "0.3     sigma [mrad]",
          "------- layers",
          "1       nlay",
          "------- layer 1",
          "50      thickness",
          "F",
          "4.5     Re{Nb}",
          "F",
          "0.01    Im{Nb}",
          "f",
          "2       N_p",
          "fixed",
          "1       <cos(delta_gamma)>",
          "F",
          "3       Debye-Waller",
          "F",
          "------- substrate",
          "2.07",
          "F",
          "0",
          "F",
          "0",
          "F",
          "1",
          "F",
          "2",
          "F",
          "------- gamma",
          "0.6     <cos gamma>",
          "F",
          "0.8     <sin gamma>",
          "F",
          "0.28    <sin^2 gamma>",
          "F",
          "------- scale, alpha_0, background",
          "0       total scaling",
          "F",
          "0.5     alpha_0 [mrad]",
          "F",
          "1e-5    background",
          "F",
          "------- zero",
          "-0.05"};
}

// Four points per channel, each measured value equal to its error bar.  The
// last angle read (DU, point 4) is 0.02 rad.
Lines unit_residual_points() {
  return {// UU
          "0.9     0.9     0.005", "0.5     0.5     0.010", "0.2     0.2     0.015",
          "0.1     0.1     0.020",
          // DD
          "0.8     0.8     0.005", "0.4     0.4     0.010", "0.1     0.1     0.015",
          "0.05    0.05    0.020",
          // UD
          "0.01    0.01    0.005", "0.005   0.005   0.010", "0.002   0.002   0.015",
          "0.001   0.001   0.020",
          // DU
          "0.02    0.02    0.005", "0.004   0.004   0.010", "0.003   0.003   0.015",
          "0.0005  0.0005  0.020"};
}

// Answers: entry file, data file; 4 first points (refused: no point of a channel
// with nn = 4 would remain), then 1; 3 last points (refused: nn is now 3), then 1;
// Enter for the final wait.
const char* const kAnswers = "fixed.ent\npoints.dat\n4\n1\n3\n1\n\n";

// What the console shows up to the prompt for the first exclusion.
Lines echo_lines() {
  return {
      // (A45): the first 45 characters of the banner text.
      "***************Tessaline Corvennastral ******",
      // "Entry file? " left open; the 50-dot line continues it (no echo of the answer).
      "Entry file? ..................................................",
      // 18-character label, F5.2 of 4.5.
      "Wavelength [A]  :  4.50",
      // 34-character label, I3 of nn = 4 (as read, before the exclusions).
      "Number of experimental points:      4",
      "Collimation function",
      "Number of points:   3",
      // E11.4 of the values as entered, in mrad.
      "Step [mrad]     :  0.1500E+00",
      "\"sigma\" [mrad]  :  0.3000E+00",
      "",
      "Number of layers:   1",
      "    Layer   1",
      // F7.2 + A15 suffix; E12.4 of the physical value (1e-6 A^-2 units) + A10;
      // F6.2 + A16; F7.2 + A15.
      "thickness [A]   :  50.00          fixed",
      "Re{Nb} [A^(-2)] :  0.4500E-05     fixed",
      "Im{Nb} [A^(-2)] :  0.1000E-07     fixed",
      "Np [A^(-2)]     :  0.2000E-05     fixed",
      "<cos(delta_gamma)>:  1.00           fixed",
      "Debye-Waller    :   3.00          fixed",
      // Free-form output of "   Substrate": one more leading blank.
      "    Substrate",
      // The substrate's Re{Nb} label has its colon before the blank.
      "Re{Nb} [A^(-2)]:   0.2070E-05     fixed",
      "Im{Nb} [A^(-2)] :  0.0000E+00     fixed",
      "Np [A^(-2)]     :  0.0000E+00     fixed",
      "<cos(delta_gamma)>:  1.00           fixed",
      "Debye-Waller    :   2.00          fixed",
      "",
      // F6.3 + A16.
      "<cos_gamma>     : 0.600           fixed",
      "<sin_gamma>     : 0.800           fixed",
      "<sin^2(gamma)>  : 0.280           fixed",
      "",
      // 30-character labels, E12.4 + A10; alpha_0 as entered, in mrad.
      "total scaling factor         :  0.0000E+00     fixed",
      "illumination parameter [mrad]:  0.5000E+00     fixed",
      "bgr                          :  0.1000E-04     fixed",
      "",
      "Correction of \"zero\"   [mrad]: -0.5000E-01",
      "",
      // 17-character labels, F6.3 + A10, echoed after the entry file is closed.
      "Pi(x)           : 0.000     fixed",
      "Pi(y)           : 1.000     fixed",
      "Pi(z)           : 0.000     fixed",
      "Pf(x)           : 0.000     fixed",
      "Pf(y)           : 1.000     fixed",
      "Pf(z)           : 0.000     fixed",
      "..................................................",
      "",
  };
}

// The one monitor block, as both the console and the results file get it.
Lines block_lines() {
  return {
      // Free form: one blank, then 73 asterisks.
      " *************************************************************************",
      // (I4, 1X, "iterate", 14X, "PARAMETERS", 7X, "ERRORS", 5X, "FACTORS"), ITER = 0.
      "   0 iterate              PARAMETERS       ERRORS     FACTORS",
      // (A, I4): heading before i = 1, since 0 is a multiple of 6 and 1 < 6 * nlay.
      "    Layer   1",
      // (I4, A20, E14.6, 6X, "fixed"): the 16-character name right-aligned in 20
      // columns (four blanks, then the name with its padding); the value in
      // physical units.
      "   1    thickness         0.500000E+02      fixed",
      "   2    Re{Nb}            0.450000E-05      fixed",
      "   3    Im{Nb}            0.100000E-07      fixed",
      "   4    N_p               0.200000E-05      fixed",
      "   5    <Cos(delta_gamma  0.100000E+01      fixed",
      "   6    Debye-Waller      0.300000E+01      fixed",
      // Before i = 6 nlay + 1 = 7.
      "    Substrate",
      "   7    Re{Nb}            0.207000E-05      fixed",
      "   8    Im{Nb}            0.000000E+00      fixed",
      "   9    N_p               0.000000E+00      fixed",
      "  10    <Cos(delta_gamma  0.100000E+01      fixed",
      "  11    Debye-Waller      0.200000E+01      fixed",
      // Before i = 6 nlay + 6 = 12.
      "",
      "  12    <Cos(gamma)>      0.600000E+00      fixed",
      "  13    <Sin(gamma)>      0.800000E+00      fixed",
      "  14    <Sin^2(gamma)>    0.280000E+00      fixed",
      "  15    total scaling     0.000000E+00      fixed",
      // alpha_0 = 0.5 mrad, printed in rad.
      "  16    alpha_0           0.500000E-03      fixed",
      "  17    background        0.100000E-04      fixed",
      // Before i = 6 nlay + 12 = 18.
      "",
      "  18    Pi(x)             0.000000E+00      fixed",
      "  19    Pi(y)             0.100000E+01      fixed",
      "  20    Pi(z)             0.000000E+00      fixed",
      "  21    Pf(x)             0.000000E+00      fixed",
      "  22    Pf(y)             0.100000E+01      fixed",
      "  23    Pf(z)             0.000000E+00      fixed",
      // (A31, E12.4): D = (1 - 0.28) - 0.6^2 = 0.36, no error part (both errors 0).
      "   D=<Cos(gam)^2>-<Cos(gam)>^2:  0.3600E+00",
      // (A31, E12.4): sqrt(0.36) = 0.6, "sqrt(D):" after 23 blanks.
      "                       sqrt(D):  0.6000E+00",
      // (A, E9.4): 2S / (N - NPAR + NFIX) = 1; E9.4 has no room for the leading zero.
      "   hi_sq.norm: .1000E+01",
  };
}

const std::string kClosing(73, '%');

std::string expected_transcript() {
  Lines l = echo_lines();
  // Every prompt is left open and the answers are not echoed, so a prompt runs on
  // into whatever the program writes next: the next prompt, " Not so many!" (free
  // form, its own leading blank) or the first line of the block.
  l.push_back("File with experimental points? Number of first points to exclude?  Not so many!");
  l.push_back(
      "Number of first points to exclude? Number of  last points to exclude?  Not so many!");
  const Lines block = block_lines();
  l.push_back("Number of  last points to exclude? " + block.front());
  l.insert(l.end(), block.begin() + 1, block.end());
  // Status 1 (converged): no end-status message.
  l.push_back(kClosing);
  // (2A): each name in its 16-character entry, blanks included.
  l.push_back("Fit results are in file   : VreloBag.dat    ");
  l.push_back("Fit functions are in files: VreloFunctUU.dat");
  l.push_back("                            VreloFunctDD.dat");
  l.push_back("                            VreloFunctUD.dat");
  l.push_back("                            VreloFunctDU.dat");
  return lines(l) + "Press <ENT> to exit ... ";
}

std::string expected_results_file() {
  Lines l = {
      // (A22): four blanks, then the 18-character title.
      "    Tessaline results:",
      // (A, I4, A, F5.2, A, F3.1, A): j0 = 3; sigma 0.3 mrad; region
      // (3 div 2) * 0.15 / 0.3 = 0.5 sigma.
      "Collimation function:   3 points, sigma = 0.30mrad, region = +/-0.5 sigma",
      // (A, I3, A), the counts accepted at the prompts.
      "The first  1 experimental points are excluded",
      "The  last  1 experimental points are excluded",
      // (A, E12.4, A): the zero correction back in mrad.
      "Correction of \"zero\" : -0.5000E-01 mrad",
  };
  const Lines block = block_lines();
  l.insert(l.end(), block.begin(), block.end());
  l.push_back(kClosing);
  return lines(l);
}

// A number in the exponent form of a free-form line, as the curve files use it
// for magnitudes below 0.1 and for zero: d.ddddddddddddddd, "E", the sign and
// three exponent digits.
std::string free_form_exponent(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15E", v);  // d.dddE+dd (at least two digits)
  std::string s = buf;
  const std::size_t e = s.find('E');
  std::string digits = s.substr(e + 2);
  while (digits.size() < 3) digits.insert(digits.begin(), '0');
  return s.substr(0, e + 2) + digits;
}

TEST(GoldenRun, FreeFormExponentHelperFollowsTheLayout) {
  EXPECT_EQ(free_form_exponent(0.0), "0.000000000000000E+000");
  EXPECT_EQ(free_form_exponent(2e-4), "2.000000000000000E-004");
  EXPECT_EQ(free_form_exponent(0.02), "2.000000000000000E-002");
}

TEST(GoldenRun, EveryParameterFixedGivesTheHandWrittenTranscriptAndResults) {
  ScratchDir dir;
  dir.write("fixed.ent", lines(fixed_entry()));
  dir.write("points.dat", lines(unit_residual_points()));
  const Outcome o = run_program(dir, kAnswers);
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.err, "");
  EXPECT_TRUE(same_lines("console transcript", expected_transcript(), o.out));
  ASSERT_TRUE(dir.exists("VreloBag.dat"));
  EXPECT_TRUE(same_lines("VreloBag.dat", expected_results_file(), dir.read("VreloBag.dat")));

  // Curve files: 200 lines of the angle k * 0.02 / 200 and the model value 0, both
  // in the exponent form (every angle lies below 0.1), after one leading blank.
  const double delta = 0.02 / 200;
  for (const char* name :
       {"VreloFunctUU.dat", "VreloFunctDD.dat", "VreloFunctUD.dat", "VreloFunctDU.dat"}) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(dir.exists(name));
    const std::string text = dir.read(name);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    const Lines got = split_lines(text);
    ASSERT_EQ(got.size(), 200u);
    for (int k = 1; k <= 200; ++k) {
      const std::string& line = got[static_cast<std::size_t>(k - 1)];
      char angle[64] = {}, value[64] = {}, extra[64] = {};
      const int fields = std::sscanf(line.c_str(), "%63s %63s %63s", angle, value, extra);
      EXPECT_EQ(fields, 2) << "line " << k << ": [" << line << "]";
      EXPECT_EQ(line.front(), ' ') << "line " << k;
      EXPECT_EQ(angle, free_form_exponent(k * delta)) << "line " << k;
      EXPECT_EQ(value, std::string("0.000000000000000E+000")) << "line " << k;
    }
  }
}

// A second run in the same directory replaces every output file: the results
// file and the curve files hold only the new run.
TEST(GoldenRun, ASecondRunReplacesTheOutputFiles) {
  ScratchDir dir;
  dir.write("fixed.ent", lines(fixed_entry()));
  dir.write("points.dat", lines(unit_residual_points()));
  const std::string stale(100000, 'x');
  for (const char* name : {"VreloBag.dat", "VreloFunctUU.dat", "VreloFunctDD.dat",
                           "VreloFunctUD.dat", "VreloFunctDU.dat"})
    dir.write(name, stale);
  const Outcome o = run_program(dir, kAnswers);
  EXPECT_EQ(o.status, 0);
  EXPECT_TRUE(same_lines("VreloBag.dat", expected_results_file(), dir.read("VreloBag.dat")));
  for (const char* name :
       {"VreloFunctUU.dat", "VreloFunctDD.dat", "VreloFunctUD.dat", "VreloFunctDU.dat"}) {
    const std::string text = dir.read(name);
    EXPECT_EQ(text.find('x'), std::string::npos) << name;
    EXPECT_EQ(split_lines(text).size(), 200u) << name;
  }
}

}  // namespace
}  // namespace tessaline
