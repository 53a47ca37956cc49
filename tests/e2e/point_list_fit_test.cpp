// Fits over point lists, run by the program: partial channel sets, half-polarized
// and unpolarized measurements, channels of unequal length and a resolution for
// every point.  The data are the model itself (written with 17 digits, so read
// back to the last bit), so a fit started at the values the data were made with
// must report a normalized chi-square of zero at iteration 0; each case has a
// control that changes one thing the program must get right (the channel of a
// point, its resolution, the polarization) and must then not report zero.
//
// And the shipped example written as a point list, with and without a
// resolution equal to the entry file's sigma, gives the same bytes as the
// classic file.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "driver/driver.hpp"
#include "driver/writers.hpp"
#include "model/point_optics.hpp"
#include "report/readers.hpp"
#include "report/results_layout.hpp"
#include "tests/driver/scratch.hpp"
#include "tests/e2e/library_run.hpp"
#include "tests/e2e/run_program.hpp"
#include "tests/e2e/text_compare.hpp"

namespace tessaline {
namespace {

using testing::example_file;
using testing::load_model;
using testing::run_program;
using testing::same_lines;
using testing::ScratchDir;
using Channels = std::array<std::vector<DataPoint>, 4>;

// The example's true model with its own lines replaced: `replace` maps the start
// of a line (its value column) to the new line.
std::string true_entry(const std::vector<std::pair<std::string, std::string>>& replace) {
  ScratchDir d;
  std::string text = d.read(example_file("film_true.ent"));
  for (const auto& [label, line] : replace) {
    const std::size_t at = text.find(label);
    EXPECT_NE(at, std::string::npos) << label;
    if (at == std::string::npos) continue;
    const std::size_t start = text.rfind('\n', at) + 1, end = text.find('\n', at);
    text.replace(start, end - start, line);
  }
  return text;
}

// An even grid of n angles from a to b.
std::vector<double> grid(int n, double a, double b) {
  std::vector<double> v;
  for (int i = 0; i < n; ++i) v.push_back(a + (b - a) * i / (n - 1));
  return v;
}

// Noise-free data of `entry` at the given angles of each channel (resolutions
// `relative` times the angle when positive): the model values with error bars of
// 5 % (and a floor), written as a point list.
Channels model_data(const ScratchDir& dir, const std::string& entry,
                    const std::array<std::vector<double>, 4>& angles, double relative = -1) {
  Channels c;
  for (std::size_t k = 0; k < 4; ++k)
    for (double theta : angles[k])
      c[k].push_back({1.0, 1.0, theta, relative > 0 ? relative * theta : -1.0});
  write_point_list(dir.file("template.dat"), c);
  const auto t = load_model(dir.file(entry), dir.file("template.dat"));
  const std::vector<double> f = point_values(*t, t->PARAM);
  std::size_t q = 0;
  for (auto& channel : c)
    for (DataPoint& p : channel) {
      p.R = f[q++];
      p.dR = 0.05 * std::fabs(p.R) + 1e-9;
    }
  return c;
}

// The normalized chi-square of the first block (iteration 0) of the program's
// results file, after a run of `entry` against `data` in `dir`.
double first_chi_square(const ScratchDir& dir, const std::string& entry, const std::string& data) {
  const auto o = run_program(dir, entry + "\n" + data + "\n0\n0\n\n");
  EXPECT_EQ(o.status, 0) << o.err;
  const std::string results = dir.read("VreloBag.dat");
  const std::size_t at = results.find(results_layout::kChiLabel);
  EXPECT_NE(at, std::string::npos);
  if (at == std::string::npos) return -1;
  const std::size_t from = at + results_layout::kChiLabel.size();
  const auto v = parse_e_field(results.substr(from, results.find('\n', from) - from));
  EXPECT_TRUE(v.has_value());
  return v.value_or(-1);
}

// Channels with the labels of two of them exchanged.
Channels swapped(Channels c, int a, int b) {
  std::swap(c[static_cast<std::size_t>(a)], c[static_cast<std::size_t>(b)]);
  return c;
}

// Chi-square at the start values below this is zero to rounding: the
// residuals are those of 17-digit numbers read back, at most a few ulps.
constexpr double kZero = 1e-20;

TEST(PointListFit, NonSpinFlipChannelsOnly) {
  ScratchDir dir;
  dir.write("true.ent", true_entry({}));
  const Channels c =
      model_data(dir, "true.ent", {grid(60, 0.002, 0.03), grid(45, 0.0025, 0.028), {}, {}});
  write_point_list(dir.file("nsf.dat"), c);
  EXPECT_LT(first_chi_square(dir, "true.ent", "nsf.dat"), kZero);
  write_point_list(dir.file("swapped.dat"), swapped(c, 0, 1));
  EXPECT_GT(first_chi_square(dir, "true.ent", "swapped.dat"), 1.0);
}

// Without an analyser (Pf = 0) the instrument records UU = UD and DD = DU: data
// made as UU and DD fit the same model as UD and DU.
TEST(PointListFit, HalfPolarized) {
  ScratchDir dir;
  dir.write("half.ent", true_entry({{"Pf(y)", "0.0       Pf(y)"}}));
  const Channels c =
      model_data(dir, "half.ent", {grid(50, 0.002, 0.03), grid(50, 0.002, 0.03), {}, {}});
  write_point_list(dir.file("half.dat"), c);
  EXPECT_LT(first_chi_square(dir, "half.ent", "half.dat"), kZero);
  write_point_list(dir.file("as_spin_flip.dat"), swapped(swapped(c, 0, 2), 1, 3));
  EXPECT_LT(first_chi_square(dir, "half.ent", "as_spin_flip.dat"), kZero);
  write_point_list(dir.file("swapped.dat"), swapped(c, 0, 1));
  EXPECT_GT(first_chi_square(dir, "half.ent", "swapped.dat"), 1.0);
}

// Pi = Pf = 0: one unpolarized curve, given as UU; the polarized model of the
// same film does not fit it.
TEST(PointListFit, Unpolarized) {
  ScratchDir dir;
  dir.write("unpol.ent", true_entry({{"Pi(y)", "0.0       Pi(y)"}, {"Pf(y)", "0.0       Pf(y)"}}));
  dir.write("true.ent", true_entry({}));
  const Channels c = model_data(dir, "unpol.ent", {grid(79, 0.002, 0.03), {}, {}, {}});
  write_point_list(dir.file("unpol.dat"), c);
  EXPECT_LT(first_chi_square(dir, "unpol.ent", "unpol.dat"), kZero);
  EXPECT_GT(first_chi_square(dir, "true.ent", "unpol.dat"), 1.0);
}

TEST(PointListFit, FourChannelsOfUnequalLength) {
  ScratchDir dir;
  dir.write("true.ent", true_entry({}));
  const Channels c = model_data(dir, "true.ent",
                                {grid(40, 0.002, 0.03), grid(25, 0.0031, 0.024),
                                 grid(10, 0.006, 0.02), grid(17, 0.004, 0.029)});
  write_point_list(dir.file("unequal.dat"), c);
  EXPECT_LT(first_chi_square(dir, "true.ent", "unequal.dat"), kZero);
  write_point_list(dir.file("swapped.dat"), swapped(c, 2, 1));
  EXPECT_GT(first_chi_square(dir, "true.ent", "swapped.dat"), 1.0);
}

// A resolution that grows with the angle (sigma_theta / theta = 2 %, as on a
// time-of-flight instrument): read with the entry's one kernel instead, the
// same data do not fit.
TEST(PointListFit, AResolutionForEveryPoint) {
  ScratchDir dir;
  dir.write("true.ent", true_entry({}));
  const Channels c = model_data(
      dir, "true.ent",
      {grid(60, 0.002, 0.03), grid(60, 0.002, 0.03), grid(30, 0.004, 0.03), grid(30, 0.004, 0.03)},
      0.02);
  write_point_list(dir.file("own.dat"), c);
  EXPECT_LT(first_chi_square(dir, "true.ent", "own.dat"), kZero);
  Channels shared = c;
  for (auto& channel : shared)
    for (DataPoint& p : channel) p.resolution = -1;
  write_point_list(dir.file("shared.dat"), shared);
  EXPECT_GT(first_chi_square(dir, "true.ent", "shared.dat"), 1e-3);
}

// The example's classic data file as a point list, without resolutions and
// with every resolution equal to the entry's sigma: the console and every
// output file as with the classic file, byte for byte.
TEST(PointListFit, TheExampleAsAPointListGivesTheSameBytes) {
  const MeasuredData classic = read_measured_points(example_file("film.dat"), 150);
  const double sigma = load_model(example_file("film.ent"))->coll_sigma;
  Channels plain, own;
  for (std::size_t k = 0; k < 4; ++k) {
    plain[k] = classic.channel[k];
    own[k] = classic.channel[k];
    for (DataPoint& p : own[k]) p.resolution = sigma;
  }
  const auto run = [](const ScratchDir& dir, const Channels* list) {
    dir.write("film.ent", dir.read(example_file("film.ent")));
    if (list == nullptr) {
      dir.write("film.dat", dir.read(example_file("film.dat")));
    } else {
      write_point_list(dir.file("film.dat"), *list);
    }
    const auto o = run_program(dir, "film.ent\nfilm.dat\n0\n0\n\n");
    EXPECT_EQ(o.status, 0) << o.err;
    return o.out;
  };
  ScratchDir reference, as_plain, as_own;
  const std::string console = run(reference, nullptr);
  EXPECT_TRUE(same_lines("console, plain list", console, run(as_plain, &plain)));
  EXPECT_TRUE(same_lines("console, own resolutions", console, run(as_own, &own)));
  for (const char* f : {"VreloBag.dat", "VreloFunctUU.dat", "VreloFunctDD.dat", "VreloFunctUD.dat",
                        "VreloFunctDU.dat"}) {
    const std::string want = reference.read(f);
    EXPECT_FALSE(want.empty()) << f;
    EXPECT_TRUE(same_lines(std::string("plain list ") + f, want, as_plain.read(f)));
    EXPECT_TRUE(same_lines(std::string("own resolutions ") + f, want, as_own.read(f)));
  }
}

}  // namespace
}  // namespace tessaline
