// tessaline-sim against the model itself: the values it writes are checked
// against FUNCT evaluated here, through the libraries, on the same entry file,
// measured angles and collimation kernel.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "model/model.hpp"
#include "tests/driver/scratch.hpp"
#include "tests/e2e/library_run.hpp"
#include "tests/e2e/run_program.hpp"
#include "tests/e2e/text_compare.hpp"

namespace tessaline {
namespace {

using testing::example_file;
using testing::load_model;
using testing::Outcome;
using testing::run_in;
using testing::ScratchDir;
using testing::split_lines;

struct Point {
  double y = 0, error = 0, angle = 0;
};

// The points of a written data file, one per line, three numbers each, parsed
// with strtod.
std::vector<Point> parse_points(const std::string& text) {
  std::vector<Point> points;
  for (const auto& line : split_lines(text)) {
    const char* s = line.c_str();
    char* end = nullptr;
    Point p;
    p.y = std::strtod(s, &end);
    EXPECT_NE(end, s) << line;
    s = end;
    p.error = std::strtod(s, &end);
    EXPECT_NE(end, s) << line;
    s = end;
    p.angle = std::strtod(s, &end);
    EXPECT_NE(end, s) << line;
    while (*end == ' ') ++end;
    EXPECT_EQ(*end, '\0') << "more than three numbers: " << line;
    points.push_back(p);
  }
  return points;
}

bool same_bits(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

Outcome sim(const ScratchDir& dir, const std::vector<std::string>& args) {
  return run_in(dir, TESSALINE_SIM_EXE, args, "");
}

// The model of the true parameters of the example at every measured point of
// examples/film.dat, in table order (channels UU, DD, UD, DU).
struct ExampleModel {
  std::unique_ptr<Tables> t = load_model(example_file("film_true.ent"), example_file("film.dat"));
  std::vector<double> value;
  ExampleModel() {
    auto w = std::make_unique<ModelWork>();
    PointX X;
    for (int p = 1; p <= t->npoint; ++p) {
      X(1) = t->POINTS(4 * p - 1);
      X(2) = t->POINTS(4 * p);
      value.push_back(FUNCT(*t, *w, X));
    }
  }
  double error(int p) const { return t->POINTS(4 * p - 2); }
  double angle(int p) const { return t->POINTS(4 * p - 1); }
};

TEST(Sim, WithoutNoiseTheNumbersAreTheModelValuesToTheLastBit) {
  const ExampleModel model;
  ASSERT_EQ(model.t->npoint, 600);
  ScratchDir dir;
  const Outcome o =
      sim(dir, {example_file("film_true.ent"), example_file("film.dat"), dir.file("out.dat")});
  ASSERT_EQ(o.status, 0) << o.err;
  const std::vector<Point> points = parse_points(dir.read("out.dat"));
  ASSERT_EQ(points.size(), 600u);
  int differing = 0;
  for (int p = 1; p <= 600; ++p) {
    const Point& q = points[static_cast<std::size_t>(p - 1)];
    // Error bars and angles are those of the data file, unchanged.
    EXPECT_TRUE(same_bits(q.error, model.error(p))) << "point " << p;
    EXPECT_TRUE(same_bits(q.angle, model.angle(p))) << "point " << p;
    if (!same_bits(q.y, model.value[static_cast<std::size_t>(p - 1)]) && ++differing <= 5)
      ADD_FAILURE() << "point " << p << ": written " << q.y << ", model "
                    << model.value[static_cast<std::size_t>(p - 1)];
  }
  EXPECT_EQ(differing, 0);
}

TEST(Sim, NoiseIsReproducibleFromItsSeedAndHasTheSizeOfTheErrorBars) {
  const ExampleModel model;
  ScratchDir dir;
  const std::string entry = example_file("film_true.ent"), data = example_file("film.dat");
  const Outcome a = sim(dir, {entry, data, dir.file("a.dat"), "--noise", "20261208"});
  const Outcome b = sim(dir, {entry, data, dir.file("b.dat"), "--noise", "20261208"});
  const Outcome c = sim(dir, {entry, data, dir.file("c.dat"), "--noise", "20261209"});
  ASSERT_EQ(a.status, 0) << a.err;
  ASSERT_EQ(b.status, 0) << b.err;
  ASSERT_EQ(c.status, 0) << c.err;
  EXPECT_NE(a.out.find("20261208"), std::string::npos) << "the seed is printed: " << a.out;

  const std::string fa = dir.read("a.dat");
  EXPECT_EQ(fa, dir.read("b.dat"));
  EXPECT_NE(fa, dir.read("c.dat"));

  // Residuals in units of the error bar: for Gaussian noise of the error bars
  // their mean is 0 +/- 0.04 and the mean of their squares 1 +/- 0.06 over 600
  // points; the bounds allow five times that.
  for (const char* name : {"a.dat", "c.dat"}) {
    SCOPED_TRACE(name);
    const std::vector<Point> points = parse_points(dir.read(name));
    ASSERT_EQ(points.size(), 600u);
    double sum = 0, sum2 = 0;
    for (int p = 1; p <= 600; ++p) {
      const Point& q = points[static_cast<std::size_t>(p - 1)];
      EXPECT_TRUE(same_bits(q.error, model.error(p))) << "point " << p;
      EXPECT_TRUE(same_bits(q.angle, model.angle(p))) << "point " << p;
      const double z = (q.y - model.value[static_cast<std::size_t>(p - 1)]) / q.error;
      sum += z;
      sum2 += z * z;
    }
    EXPECT_LT(std::fabs(sum / 600), 0.2);
    EXPECT_GT(sum2 / 600, 0.7);
    EXPECT_LT(sum2 / 600, 1.3);
  }
}

TEST(Sim, GridModeWritesNnEvenlySpacedAnglesPerChannel) {
  const std::string entry = example_file("film_true.ent");
  const auto t = load_model(entry);
  const int nn = t->nn;
  ASSERT_EQ(nn, 150);
  ScratchDir dir;
  const Outcome o =
      sim(dir, {entry, "--grid", "0.002", "0.03", dir.file("grid.dat"), "--error", "0.02"});
  ASSERT_EQ(o.status, 0) << o.err;
  const std::vector<Point> points = parse_points(dir.read("grid.dat"));
  ASSERT_EQ(points.size(), static_cast<std::size_t>(4 * nn));

  auto w = std::make_unique<ModelWork>();
  PointX X;
  for (int c = 1; c <= 4; ++c) {
    for (int p = 1; p <= nn; ++p) {
      SCOPED_TRACE("channel " + std::to_string(c) + ", point " + std::to_string(p));
      const Point& q = points[static_cast<std::size_t>((c - 1) * nn + p - 1)];
      // The grid from 0.002 to 0.03 rad in nn - 1 equal steps, the same for every
      // channel; the tolerance is a few units in the last place (the spacing of
      // the grid is 1.9e-4).
      const double expected = 0.002 + (p - 1) * (0.028 / (nn - 1));
      EXPECT_NEAR(q.angle, expected, 1e-17 + 4e-16 * expected);
      if (c > 1) {
        EXPECT_TRUE(same_bits(q.angle, points[static_cast<std::size_t>(p - 1)].angle));
      }
      // The value is the model at that angle and channel, to the last bit; the
      // error bar 0.02 * (|model| + 1e-7).
      X(1) = q.angle;
      X(2) = c;
      const double f = FUNCT(*t, *w, X);
      EXPECT_TRUE(same_bits(q.y, f)) << q.y << " against " << f;
      const double error = 0.02 * (std::fabs(f) + 1e-7);
      EXPECT_NEAR(q.error, error, 1e-15 * error);
    }
  }
  EXPECT_EQ(points.front().angle, 0.002);
}

TEST(Sim, BadArgumentsGiveUsageAndANonZeroStatus) {
  const std::string entry = example_file("film_true.ent"), data = example_file("film.dat");
  const std::vector<std::vector<std::string>> cases = {
      {},
      {entry},
      {entry, data},
      {entry, "--grid", "0.002", "0.03"},
      {entry, "--grid", "small", "0.03", "out.dat"},
      {entry, "--grid", "0.03", "0.002", "out.dat"},
      {entry, "--grid", "0", "0.03", "out.dat"},
      {entry, "--grid", "0.002", "0.03", "out.dat", "--error", "-1"},
      {entry, data, "out.dat", "--noise"},
      {entry, data, "out.dat", "--noise", "12x"},
      {entry, data, "out.dat", "--error", "0.1"},  // the error bars come from DATA
      {entry, data, "out.dat", "--bogus"},
  };
  for (const auto& args : cases) {
    std::string trace;
    for (const auto& a : args) trace += " " + a;
    SCOPED_TRACE(trace);
    ScratchDir dir;
    const Outcome o = sim(dir, args);
    EXPECT_NE(o.status, 0);
    EXPECT_NE(o.err.find("usage: tessaline-sim ENTRY DATA OUT"), std::string::npos) << o.err;
    EXPECT_FALSE(dir.exists("out.dat"));
  }
}

TEST(Sim, AMissingEntryFileIsNamed) {
  ScratchDir dir;
  const Outcome o = sim(dir, {"absent.ent", example_file("film.dat"), "out.dat"});
  EXPECT_NE(o.status, 0);
  EXPECT_NE(o.err.find("absent.ent"), std::string::npos) << o.err;
  EXPECT_FALSE(dir.exists("out.dat"));
}

}  // namespace
}  // namespace tessaline
