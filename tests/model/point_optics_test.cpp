// The cached evaluation of one angle gives FUNCT's value in every channel bit for
// bit, at the evaluated parameters and with any single parameter displaced.
#include "model/point_optics.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "model/angle_groups.hpp"
#include "model_setup.hpp"

namespace tessaline::test {
namespace {

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// A rough, absorbing, magnetic stack with non-ideal, tilted polarization, a
// domain-averaged magnetization axis, illumination, background and zero shift.
Stack general_stack(int nlay) {
  Stack s;
  for (int k = 1; k <= nlay; ++k) {
    const double f = 1.0 + 0.1 * k;
    s.layers.push_back({20.0 * f + (k % 3) * 7, (k % 2 ? 8.0 : 3.0) * 1e-6 * f, 0.02e-6 * k,
                        k % 2 ? 4.5e-6 : 0.0, 0.9, 3.0 + k % 4});
  }
  s.substrate = {0, 2.07e-6, 0.001e-6, 0.3e-6, 0.7, 4.0};
  return s;
}

void set_instrument(ModelSetup& m, int j0) {
  Tables& t = m.t();
  m.set_gamma(0.6, 0.7, 0.45);
  m.set_instrument(1.3, 0.004, 2e-6);
  const double Pi[3] = {0.1, 0.95, -0.2};
  const double Pf[3] = {-0.15, 0.9, 0.25};
  m.set_polarization(Pi, Pf);
  t.zero_correction = 0.00015;
  set_gaussian_kernel(t, j0, 0.0002, 0.0003);
}

// Every slot displaced in turn, at a few angles (the lowest ones with kernel
// points below the zero angle), against FUNCT in every channel.
// With `resolution` >= 0 the points carry that resolution of their own.
void expect_all_slots_identical(ModelSetup& m, std::initializer_list<double> angles,
                                double resolution = kEntryKernel) {
  Tables& t = m.t();
  PointOptics po;
  po.prepare(t);
  auto P = std::make_unique<ParamVector>(t.PARAM);
  auto work = std::make_unique<ModelWork>();
  PointX X;
  t.nvalues = resolution < 0 ? 4 : 5;
  X(3) = resolution;
  auto expect_funct = [&](const double f[4], const char* what, int slot) {
    for (int code = 1; code <= 4; ++code) {
      X(2) = code;
      const double ref = FUNCT(t, *P, *work, X);
      ASSERT_TRUE(same_bits(f[code - 1], ref))
          << what << " slot " << slot << " theta " << X(1) << " code " << code << ": "
          << f[code - 1] << " vs " << ref;
    }
  };
  for (double theta : angles) {
    X(1) = theta;
    double f[4];
    po.evaluate(t, *P, theta, resolution, f);
    expect_funct(f, "undisplaced", 0);
    for (int i = 1; i <= t.NPAR; ++i) {
      const double a0 = (*P)(i);
      (*P)(i) = a0 == 0.0 ? 1e-3 : a0 * (1.0 + 1e-4);
      po.displaced(t, *P, i, f);
      expect_funct(f, "displaced", i);
      (*P)(i) = a0;
    }
  }
}

TEST(PointOptics, SameBitsAsFunctForEverySlot) {
  for (int nlay : {0, 1, 5}) {
    ModelSetup m(general_stack(nlay));
    set_instrument(m, 7);
    SCOPED_TRACE(nlay);
    expect_all_slots_identical(m, {0.0001, 0.0009, 0.004, 0.012, 0.04});
  }
}

// Points with their own resolution: none (0), narrower and wider than the
// entry's kernel, whose sigma is 0.3 mrad.
TEST(PointOptics, SameBitsWithAResolutionOfThePointsOwn) {
  for (double resolution : {0.0, 0.0001, 0.0003, 0.00071}) {
    ModelSetup m(general_stack(4));
    set_instrument(m, 9);
    m.t().coll_sigma = 0.0003;
    SCOPED_TRACE(resolution);
    expect_all_slots_identical(m, {0.0004, 0.0021, 0.011}, resolution);
  }
}

TEST(PointOptics, SameBitsWithOneKernelPointAndWithTheLargestKernel) {
  for (int j0 : {1, 101}) {
    ModelSetup m(general_stack(3));
    set_instrument(m, j0);
    SCOPED_TRACE(j0);
    expect_all_slots_identical(m, {0.0003, 0.007, 0.03});
  }
}

TEST(PointOptics, SameBitsWithALayerExactlyAtItsCriticalAngle) {
  Stack s;
  s.layers.push_back({40, 1.0e-6, 0.01e-6, 0, 1, 3});
  s.layers.push_back({70, 3.0e-6, 0, 0, 1, 4});
  s.layers.push_back({50, 6.0e-6, 0.02e-6, 0, 1, 2});
  s.substrate = {0, 2.07e-6, 0, 0, 1, 5};
  ModelSetup m(s);
  double theta = 0;
  ASSERT_TRUE(
      find_critical_angle(m, 2, std::asin(std::sqrt(4 * kPi * 3.0e-6) * 4.0 / (2 * kPi)), theta));
  expect_all_slots_identical(m, {theta});
}

// The model value of every point of a point table through one evaluation per
// distinct angle: angles shared by all four channels, by some, by none, and
// repeated inside a channel; channel codes that are not whole numbers.
TEST(PointValues, EveryPointAsFunctWhateverAnglesItShares) {
  ModelSetup m(general_stack(3));
  set_instrument(m, 7);
  Tables& t = m.t();
  const double angles[4][5] = {{0.004, 0.009, 0.009, 0.02, 0.031},
                               {0.004, 0.0095, 0.02, 0.02, 0.0305},
                               {0.004, 0.009, 0.0201, 0.031, 0.031},
                               {0.0041, 0.009, 0.02, 0.0302, 0.031}};
  t.npoint = 0;
  for (int ch = 1; ch <= 4; ++ch) {
    for (double theta : angles[ch - 1]) {
      const int k = 1 + 4 * t.npoint++;
      t.POINTS(k + 2) = theta;
      t.POINTS(k + 3) = ch + 0.5;
    }
  }
  const std::vector<double> f = point_values(t, t.PARAM);
  ASSERT_EQ(f.size(), 20u);
  for (int p = 1; p <= 20; ++p) {
    const double want = m.funct(t.POINTS(4 * p - 1), t.POINTS(4 * p));
    EXPECT_TRUE(same_bits(f[static_cast<std::size_t>(p - 1)], want)) << "point " << p;
  }
  t.POINTS(4 * 7) = 5.0;
  EXPECT_THROW(point_values(t, t.PARAM), RunStop);
}

// Angles one ulp apart are different angles: no grouping key coarser than the
// double's bits may join them (a key in single precision would), and each point
// gets FUNCT's value at its own angle.
TEST(PointValues, AnglesOneUlpApartAreNotShared) {
  ModelSetup m(general_stack(2));
  set_instrument(m, 5);
  Tables& t = m.t();
  const double a = 0.0123456789, b = std::nextafter(a, 1.0), c = std::nextafter(b, 1.0);
  const double points[][2] = {{a, 1}, {b, 2}, {c, 3}, {a, 4}};
  t.npoint = 4;
  for (int p = 1; p <= 4; ++p) {
    t.POINTS(4 * p - 1) = points[p - 1][0];
    t.POINTS(4 * p) = points[p - 1][1];
  }
  AngleGroups groups;
  groups.build(t);
  EXPECT_EQ(groups.previous(2), 0);
  EXPECT_EQ(groups.previous(3), 0);
  EXPECT_EQ(groups.next(2), 0);
  EXPECT_EQ(groups.next(1), 4);  // the same angle in UU and DU
  const std::vector<double> f = point_values(t, t.PARAM);
  for (int p = 1; p <= 4; ++p) {
    EXPECT_TRUE(same_bits(f[static_cast<std::size_t>(p - 1)],
                          m.funct(points[p - 1][0], points[p - 1][1])))
        << p;
  }
}

// A kernel point that lands exactly on the zero angle sees no reflection and is
// left out, as FUNCT leaves it out; its optics (a vacuum wave number of 0) would
// not be finite.  Dyadic angles make the difference exactly 0.
TEST(PointOptics, AKernelPointExactlyAtTheZeroAngleIsLeftOut) {
  ModelSetup m(general_stack(3));
  Tables& t = m.t();
  m.set_instrument(1.0, 0.0, 0.0);
  t.zero_correction = 0.0;
  t.j0 = 3;
  const double d = 0x1p-10;
  t.coll_offset(1) = -d, t.coll_offset(2) = 0, t.coll_offset(3) = d;
  t.coll_weight(1) = 0.25, t.coll_weight(2) = 0.5, t.coll_weight(3) = 0.25;
  PointOptics po;
  po.prepare(t);
  double f[4];
  po.evaluate(t, t.PARAM, d, f);  // the third kernel point at exactly 0
  for (int code = 1; code <= 4; ++code) {
    EXPECT_TRUE(std::isfinite(f[code - 1])) << code;
    EXPECT_TRUE(same_bits(f[code - 1], m.funct(d, code))) << code;
  }
  for (int i = 1; i <= t.NPAR; ++i) {
    const double a0 = t.PARAM(i);
    t.PARAM(i) = a0 == 0.0 ? 1e-3 : a0 * (1.0 + 1e-4);
    po.displaced(t, t.PARAM, i, f);
    for (int code = 1; code <= 4; ++code) ASSERT_TRUE(std::isfinite(f[code - 1])) << i;
    t.PARAM(i) = a0;
  }
}

// With resolutions of their own, points share an evaluation only when angle
// and resolution are both equal: the same angle at another resolution gives
// another value, and every value is FUNCT's for its own resolution.
TEST(PointValues, AngleAndResolutionTogetherMakeTheKey) {
  ModelSetup m(general_stack(3));
  set_instrument(m, 7);
  Tables& t = m.t();
  t.coll_sigma = 0.0003;
  t.nvalues = 5;
  const double points[][3] = {{0.009, 1, 0.0002}, {0.009, 2, 0.0002}, {0.009, 3, 0.0004},
                              {0.009, 1, 0.0004}, {0.02, 4, 0.0},     {0.02, 4, 0.0003},
                              {0.009, 4, 0.0002}, {0.02, 1, 0.0}};
  t.npoint = 8;
  for (int p = 1; p <= 8; ++p)
    for (int v = 0; v < 3; ++v) t.POINTS(5 * (p - 1) + 3 + v) = points[p - 1][v];
  const std::vector<double> f = point_values(t, t.PARAM);
  auto work = std::make_unique<ModelWork>();
  for (int p = 1; p <= 8; ++p) {
    PointX X;
    for (int v = 1; v <= 3; ++v) X(v) = points[p - 1][v - 1];
    EXPECT_TRUE(same_bits(f[static_cast<std::size_t>(p - 1)], FUNCT(t, t.PARAM, *work, X)))
        << "point " << p;
  }
  EXPECT_NE(f[0], f[3]);  // UU at 0.009 with two resolutions
  EXPECT_NE(f[4], f[5]);  // DU at 0.02 sharp and smeared
}

}  // namespace
}  // namespace tessaline::test
