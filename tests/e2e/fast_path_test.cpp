// The fast evaluations must leave every printed digit of a run unchanged.  The
// whole output side of a run (results-file head, iteration monitor, fit, closing
// line, curve files) runs twice in a scratch directory: once straightforwardly,
// with SGZ calling FUNCT point by point and the curve values taken from FUNCT
// channel by channel, and once with the parallel cached evaluation on two
// threads and the curve files of the program; the files are compared byte for
// byte.  A file stands in for the console, so the entry-file echo, the monitor
// blocks, the end-status message and the closing console lines are compared too.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "driver/driver.hpp"
#include "fit/fit.hpp"
#include "fit/parallel_sgz.hpp"
#include "model/angle_groups.hpp"
#include "model/model.hpp"
#include "report/report.hpp"
#include "tests/driver/scratch.hpp"
#include "tests/e2e/library_run.hpp"
#include "tests/e2e/run_program.hpp"
#include "tests/e2e/text_compare.hpp"

namespace tessaline {
namespace {

using testing::example_file;
using testing::lines;
using testing::load_model;
using testing::run_program;
using testing::same_lines;
using testing::ScratchDir;
using testing::WorkingDirectory;
using Lines = std::vector<std::string>;

const char* const kOutputs[] = {"console.txt",      "VreloBag.dat",     "VreloFunctUU.dat",
                                "VreloFunctDD.dat", "VreloFunctUD.dat", "VreloFunctDU.dat"};

struct RunFiles {
  std::vector<std::string> text;  // in the order of kOutputs
  const std::string& operator[](std::size_t i) const { return text.at(i); }
};

// The resolution of the curves at `theta` when the points carry their own:
// linear between the two fitted points nearest in angle on either side (the
// mean of the points at one angle), constant beyond the outermost.
double curve_resolution(const Tables& t, double theta) {
  double lo = -1, hi = -1, lo_sum = 0, hi_sum = 0;
  int lo_n = 0, hi_n = 0;
  double first = 1e300, last = -1e300, first_sum = 0, last_sum = 0;
  int first_n = 0, last_n = 0;
  for (int p = 1; p <= t.npoint; ++p) {
    const double a = t.POINTS(5 * p - 2), r = t.POINTS(5 * p);
    const auto take = [&](double& at, double& sum, int& n, bool better) {
      if (better) at = a, sum = 0, n = 0;
      if (a == at) sum += r, ++n;
    };
    take(first, first_sum, first_n, a < first);
    take(last, last_sum, last_n, a > last);
    if (a <= theta) take(lo, lo_sum, lo_n, a > lo);
    if (a > theta) take(hi, hi_sum, hi_n, hi < 0 || a < hi);
  }
  if (theta <= first) return first_sum / first_n;
  if (theta >= last) return last_sum / last_n;
  const double rlo = lo_sum / lo_n, rhi = hi_sum / hi_n;
  return rlo + (theta - lo) / (hi - lo) * (rhi - rlo);
}

// The curve values as FUNCT gives them: 200 calls per channel at the angles
// k * theta_last / 200.
CurveValues curves_by_funct(const Tables& t) {
  auto w = std::make_unique<ModelWork>();
  CurveValues c;
  PointX X;
  for (int j = 1; j <= 4; ++j) {
    for (int k = 1; k <= CurveValues::kPoints; ++k) {
      X(1) = c.angle(k) = k * (t.theta_last / CurveValues::kPoints);
      X(2) = j;
      if (t.nvalues > 4) X(3) = curve_resolution(t, X(1));
      c.value[j - 1](k) = FUNCT(t, *w, X);
    }
  }
  return c;
}

// One run from the files to the outputs, as the program makes it, with the
// exclusion answers `exclusions` and `threads` threads of the fast evaluation
// (0: the straightforward evaluation, and curve files from FUNCT).
RunFiles run_pipeline(const std::string& entry, const std::string& data,
                      const std::string& exclusions, int threads) {
  ScratchDir dir;
  dir.write("answers.txt", exclusions);
  {
    WorkingDirectory here(dir.path());
    auto t = make_tables();
    t->pi = kPi;
    textio::OutStream console;
    console.create("console.txt");
    read_entry_file(*t, entry, console);
    read_data_file(*t, data, console);
    textio::InStream keys;
    keys.open("answers.txt", "answers");
    exclude_points(*t, keys, console);
    build_collimation(*t);

    auto fs = make_fit_state();
    std::unique_ptr<ParallelSGZ> fast;
    if (threads > 0) {
      fast = std::make_unique<ParallelSGZ>(*t, threads);
      EXPECT_EQ(fast->threads(), threads);
      fs->fast = fast.get();
    }
    textio::OutStream results;
    write_results_head(results, *t);
    IterationMonitor monitor(*t, *fs, console, results);
    double S = 0, STEPERR = 0, STEPSCALE = 0;
    int IEXIT = 0;
    LSQFIT(*t, *fs, monitor, S, t->NPAR, /*MAXRED=*/1, /*NCALM=*/2, /*MAXITER=*/200,
           /*TOL=*/0.1, STEPERR, STEPSCALE, /*PRTFREQ=*/1, IEXIT);
    write_closing_line(console, results);
    if (threads == 0)
      write_curve_files(curves_by_funct(*t), console);
    else
      write_curve_files(*t, console);
    console.close();
  }
  RunFiles r;
  for (const char* name : kOutputs) r.text.push_back(dir.read(name));
  return r;
}

int block_count(const std::string& results) {
  int n = 0;
  for (std::size_t at = results.find(" iterate "); at != std::string::npos;
       at = results.find(" iterate ", at + 1))
    ++n;
  return n;
}

void expect_identical(const RunFiles& reference, const RunFiles& fast) {
  for (std::size_t i = 0; i < std::size(kOutputs); ++i) {
    EXPECT_FALSE(reference[i].empty()) << kOutputs[i];
    EXPECT_TRUE(same_lines(kOutputs[i], reference[i], fast[i]));
  }
}

TEST(FastEvaluation, TheExampleFitPrintsTheSameDigits) {
  const std::string entry = example_file("film.ent"), data = example_file("film.dat");
  const RunFiles reference = run_pipeline(entry, data, "0\n0\n", 0);
  const RunFiles fast = run_pipeline(entry, data, "0\n0\n", 2);
  EXPECT_GE(block_count(reference[1]), 3);  // a fit that moved, not one pass
  expect_identical(reference, fast);

  // The program, which always uses the fast evaluation with every hardware
  // thread, writes the same results and curve files as the straightforward
  // pipeline above.
  ScratchDir dir;
  const auto o = run_program(dir, "'" + entry + "'\n'" + data + "'\n0\n0\n\n");
  ASSERT_EQ(o.status, 0) << o.err;
  for (std::size_t i = 1; i < std::size(kOutputs); ++i)
    EXPECT_TRUE(
        same_lines(std::string("program's ") + kOutputs[i], reference[i], dir.read(kOutputs[i])));
}

// ---------------------------------------------------------------- a multilayer

// [Fe/Cr]2 under a gold cap on MgO, with polarization vectors that have z
// components (so that the chiral term enters), illumination, a zero correction
// and 11 free parameters.  `truth` selects the values the data are made with;
// otherwise the free parameters start elsewhere.
Lines multilayer_entry(bool truth) {
  auto v = [truth](const char* true_value, const char* start_value) {
    return std::string(truth ? true_value : start_value);
  };
  return {"0.0     Pi(x)",
          "F",
          "0.97    Pi(y)",
          "F",
          "0.1     Pi(z)",
          "F",
          "--- analyser",
          "0.05    Pf(x)",
          "F",
          "0.95    Pf(y)",
          "F",
          "0.0     Pf(z)",
          "F",
          "--- instrument",
          "4.5     wavelength [A]",
          "60      nn",
          "5       j0",
          "0.08    collimation step [mrad]",
          "0.12    collimation sigma [mrad]",
          "--- layers",
          "5       nlay",
          "--- layer 1: Au",
          v("20", "22"),
          "-",
          "4.5",
          "F",
          "0.015",
          "F",
          "0",
          "F",
          "1",
          "F",
          "5",
          "F",
          "--- layer 2: Fe",
          v("35", "33"),
          "-",
          "8.0",
          "F",
          "0",
          "F",
          v("5.0", "4.6"),
          "-",
          "1",
          "F",
          v("4", "5"),
          "-",
          "--- layer 3: Cr",
          v("11", "12"),
          "-",
          "3.0",
          "F",
          "0",
          "F",
          "0",
          "F",
          "1",
          "F",
          v("3", "4"),
          "-",
          "--- layer 4: Fe",
          v("35", "36"),
          "-",
          "8.0",
          "F",
          "0",
          "F",
          "5.0",
          "F",
          v("0.6", "0.8"),
          "-",
          "4",
          "F",
          "--- layer 5: Cr buffer",
          "25",
          "F",
          "3.0",
          "F",
          "0",
          "F",
          "0",
          "F",
          "1",
          "F",
          "3",
          "F",
          "--- substrate: MgO",
          "5.98",
          "F",
          "0",
          "F",
          "0",
          "F",
          "1",
          "F",
          "3",
          "F",
          "--- gamma",
          v("0.7", "0.8"),
          "-",
          "0.5",
          "F",
          "0.3",
          "F",
          "--- scale, alpha_0, background",
          v("1.0", "1.1"),
          "-",
          "0.3",
          "F",
          v("1e-6", "2e-6"),
          "-",
          "--- zero",
          "0.01"};
}

// Data of the true multilayer: 60 angles per channel from 0.003 to 0.04 rad,
// each channel's grid moved by `shift` from the one before, error bars of 5 %
// plus 1e-7, Gaussian noise of the error bars (Box-Muller from a fixed 64-bit
// Mersenne twister).
std::string multilayer_data(const std::string& true_entry, double shift) {
  const auto t = load_model(true_entry);
  auto w = std::make_unique<ModelWork>();
  std::mt19937_64 rng(424242);
  auto gauss = [&rng] {
    const double u1 = (static_cast<double>(rng() >> 11) + 0.5) * 0x1.0p-53;
    const double u2 = static_cast<double>(rng() >> 11) * 0x1.0p-53;
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * kPi * u2);
  };
  std::string text;
  PointX X;
  for (int c = 1; c <= 4; ++c) {
    for (int p = 1; p <= t->nn; ++p) {
      X(1) = 0.003 + 0.037 * (p - 1) / (t->nn - 1) + shift * (c - 1);
      X(2) = c;
      const double f = FUNCT(*t, *w, X);
      const double error = 0.05 * f + 1e-7;
      char line[100];
      std::snprintf(line, sizeof line, "%.17g %.17g %.17g\n", f + error * gauss(), error, X(1));
      text += line;
    }
  }
  return text;
}

// The channels on one common grid and on four different grids (moved by a
// fifth of the grid step from channel to channel).
TEST(FastEvaluation, AMultilayerFitWithExclusionsPrintsTheSameDigits) {
  for (double shift : {0.0, 0.037 / 59 / 5}) {
    SCOPED_TRACE(shift);
    ScratchDir files;
    files.write("true.ent", lines(multilayer_entry(true)));
    files.write("start.ent", lines(multilayer_entry(false)));
    files.write("points.dat", multilayer_data(files.file("true.ent"), shift));
    const std::string entry = files.file("start.ent"), data = files.file("points.dat");
    const auto t = load_model(entry, data);
    AngleGroups groups;
    groups.build(*t);
    int shared = 0;
    for (int p = 1; p <= t->npoint; ++p) shared += groups.previous(p) != 0;
    EXPECT_EQ(shared, shift == 0.0 ? 180 : 0);  // 3 x 60 points repeat UU's angles
    // Two points dropped at the start and three at the end of every channel.
    const RunFiles reference = run_pipeline(entry, data, "2\n3\n", 0);
    const RunFiles fast = run_pipeline(entry, data, "2\n3\n", 2);
    EXPECT_NE(reference[1].find("The first  2 experimental points are excluded\n"),
              std::string::npos);
    EXPECT_GE(block_count(reference[1]), 3);
    expect_identical(reference, fast);
  }
}

// A point list of the multilayer: channels of 60, 41, 23 and 35 points on
// grids of their own (UD's angles shared with UU's), every point with its own
// resolution (2 to 5 % of its angle, the same on shared angles), noise as above.
std::string multilayer_point_list(const std::string& true_entry) {
  const auto t = load_model(true_entry);
  t->nvalues = 5;
  auto w = std::make_unique<ModelWork>();
  std::mt19937_64 rng(777);
  std::normal_distribution<double> noise(0.0, 1.0);
  const int counts[4] = {60, 41, 23, 35};
  std::string text = "# tessaline points\n";
  PointX X;
  for (int c = 1; c <= 4; ++c) {
    const int n = counts[c - 1];
    for (int p = 1; p <= n; ++p) {
      X(1) = c == 3 ? 0.003 + 0.037 * (2 * p - 2) / 59.0 : 0.003 + 0.037 * (p - 1) / (n - 1);
      X(2) = c;
      X(3) = X(1) * (0.02 + 0.03 * X(1) / 0.04);
      const double f = FUNCT(*t, *w, X);
      const double error = 0.05 * f + 1e-7;
      char line[160];
      std::snprintf(line, sizeof line, "%s %.17g %.17g %.17g %.17g\n",
                    std::string(kChannelNames[static_cast<std::size_t>(c - 1)]).c_str(),
                    f + error * noise(rng), error, X(1), X(3));
      text += line;
    }
  }
  return text;
}

TEST(FastEvaluation, APointListWithResolutionsOfItsOwnPrintsTheSameDigits) {
  ScratchDir files;
  files.write("true.ent", lines(multilayer_entry(true)));
  files.write("start.ent", lines(multilayer_entry(false)));
  files.write("points.dat", multilayer_point_list(files.file("true.ent")));
  const std::string entry = files.file("start.ent"), data = files.file("points.dat");
  const auto t = load_model(entry, data);
  ASSERT_EQ(t->npoint, 159);
  ASSERT_EQ(t->nvalues, 5);
  AngleGroups groups;
  groups.build(*t);
  int shared = 0;
  for (int p = 1; p <= t->npoint; ++p) shared += groups.previous(p) != 0;
  // UD's 22 points after its first on UU's angles; all four channels at 0.003
  // (3), all but UD at 0.04 (2), DD and DU at 0.0215 (1).
  EXPECT_EQ(shared, 28);
  const RunFiles reference = run_pipeline(entry, data, "2\n3\n", 0);
  const RunFiles fast = run_pipeline(entry, data, "2\n3\n", 2);
  EXPECT_GE(block_count(reference[1]), 3);
  expect_identical(reference, fast);
}

}  // namespace
}  // namespace tessaline
