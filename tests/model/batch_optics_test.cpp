// The whole point table in one pass (BatchOptics) against FUNCT, point by
// point: within 1e-12 relative on the vector lanes (whose exponentials, sines
// and cosines are SLEEF's, so not bit for bit), and bit for bit on the
// reference path and wherever the lanes hand an angle back to it (a layer
// exactly at its critical angle).  And values() allocates nothing.
#include "model/batch_optics.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "model_setup.hpp"

namespace {
std::atomic<long> g_allocations{0};
}  // namespace

// Every allocation of this test binary is counted.
void* operator new(std::size_t n) {
  ++g_allocations;
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace tessaline::test {
namespace {

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Agreement of the lanes with FUNCT: SLEEF's functions are within 1 ulp, and
// the recursion over a few media carries that to some 1e-15 relative.
constexpr double kRelative = 1e-12;

// An absorbing, magnetic stack with rough interfaces, one layer without a
// magnetic term between magnetic ones.
Stack magnetic_stack() {
  Stack s;
  s.layers.push_back({45, 4.5e-6, 0.015e-6, 0, 1, 6});
  s.layers.push_back({140, 8.0e-6, 0.02e-6, 4.8e-6, 0.9, 5});
  s.layers.push_back({30, 3.0e-6, 0, 0, 1, 4});
  s.layers.push_back({22, 6.5e-6, 0.01e-6, 1.1e-6, -1, 3});
  s.substrate = {0, 2.07e-6, 0.001e-6, 0.2e-6, 0.7, 3};
  return s;
}

// Tilted, imperfect polarization, domains, illumination, background, a zero
// shift and a kernel of j0 points 0.1 mrad apart.
void set_instrument(ModelSetup& m, int j0) {
  Tables& t = m.t();
  m.set_gamma(0.6, 0.7, 0.45);
  m.set_instrument(0.9, 0.004, 2e-6);
  m.set_polarization({0.1, 0.95, -0.2}, {-0.15, 0.9, 0.25});
  t.zero_correction = 0.00015;
  t.coll_sigma = 0.00015;
  set_gaussian_kernel(t, j0, 0.0001, t.coll_sigma);
}

// A point table of n angles from 0.0002 (kernel points below the zero angle)
// to 0.04 rad, the channels in turn and some angles shared by two channels;
// with `resolution`, every point carries its own, growing with the angle.
void fill_points(Tables& t, int n, bool resolution) {
  t.nvalues = resolution ? 5 : 4;
  t.npoint = n;
  for (int p = 1; p <= n; ++p) {
    const int k = 1 + (p - 1) * t.nvalues;
    t.POINTS(k) = 1.0;
    t.POINTS(k + 1) = 0.1;
    t.POINTS(k + 2) = 0.0002 + 0.04 * ((p - 1) / 2) / (n / 2);
    t.POINTS(k + 3) = 1 + (p - 1) % 4;
    if (resolution) t.POINTS(k + 4) = (p % 3) * 0.00004 * (1 + t.POINTS(k + 2) * 100);
  }
}

double funct_of_point(ModelSetup& m, int p) {
  const Tables& t = m.t();
  const int k = 1 + (p - 1) * t.nvalues;
  PointX X;
  for (int v = 1; v <= t.nvalues - 2; ++v) X(v) = t.POINTS(k + 1 + v);
  return FUNCT(t, t.PARAM, m.w(), X);
}

// Largest relative difference from FUNCT over the point table; `exact` counts
// the points equal to the bit.
double worst_relative(ModelSetup& m, BatchOptics& b, int& exact) {
  const Tables& t = m.t();
  const std::vector<double>& f = b.values(t, t.PARAM);
  double worst = 0;
  exact = 0;
  for (int p = 1; p <= t.npoint; ++p) {
    const double want = funct_of_point(m, p), got = f[static_cast<std::size_t>(p - 1)];
    exact += same_bits(want, got) ? 1 : 0;
    worst = std::max(worst, std::fabs(got - want) / std::fabs(want));
  }
  return worst;
}

TEST(BatchOptics, LanesAgreeWithFunctAndTheReferenceIsFunctToTheBit) {
  for (bool resolution : {false, true}) {
    SCOPED_TRACE(resolution ? "points with their own resolution" : "the entry's kernel");
    ModelSetup m(magnetic_stack());
    set_instrument(m, 9);
    fill_points(m.t(), 240, resolution);
    BatchOptics lanes(m.t()), reference(m.t(), BatchOptics::Path::kReference);
    EXPECT_FALSE(reference.lanes());
    int exact = 0;
    EXPECT_LT(worst_relative(m, lanes, exact), kRelative);
    EXPECT_EQ(worst_relative(m, reference, exact), 0.0);
    EXPECT_EQ(exact, m.t().npoint);
    // Other parameters in the same objects: thicker, rougher, other domains.
    for (int i : {1, 8, 12, 6 * 4 + 6, 6 * 4 + 8}) m.t().PARAM(i) *= 1.3;
    EXPECT_LT(worst_relative(m, lanes, exact), kRelative);
    EXPECT_EQ(worst_relative(m, reference, exact), 0.0);
  }
}

// Without any magnetic term the second spin state is the first one copied;
// with a single magnetic layer the media around it are shared.
TEST(BatchOptics, SharedSpinStatesAgreeWithFunct) {
  for (double np : {0.0, 3.3e-6}) {
    SCOPED_TRACE(np);
    Stack s = magnetic_stack();
    for (Medium& l : s.layers) l.np = 0;
    s.substrate.np = 0;
    s.layers[2].np = np;
    ModelSetup m(s);
    set_instrument(m, 5);
    fill_points(m.t(), 120, false);
    BatchOptics lanes(m.t());
    int exact = 0;
    EXPECT_LT(worst_relative(m, lanes, exact), kRelative);
  }
}

// A layer exactly at its critical angle: the lanes hand that angle to the
// straightforward path, which gives FUNCT's value to the bit.
TEST(BatchOptics, ALayerAtItsCriticalAngleIsFunctToTheBit) {
  Stack s;
  s.layers.push_back({40, 1.0e-6, 0.01e-6, 0, 1, 3});
  s.layers.push_back({70, 3.0e-6, 0, 0, 1, 4});
  s.layers.push_back({50, 6.0e-6, 0.02e-6, 0, 1, 2});
  s.substrate = {0, 2.07e-6, 0, 0, 1, 5};
  ModelSetup m(s);
  double theta = 0;
  ASSERT_TRUE(
      find_critical_angle(m, 2, std::asin(std::sqrt(4 * kPi * 3.0e-6) * 4.0 / (2 * kPi)), theta));
  Tables& t = m.t();
  t.npoint = 8;
  for (int p = 1; p <= 8; ++p) {
    const int k = 1 + 4 * (p - 1);
    t.POINTS(k + 2) = p <= 4 ? theta : 2 * theta;
    t.POINTS(k + 3) = 1 + (p - 1) % 4;
  }
  BatchOptics lanes(t);
  const std::vector<double>& f = lanes.values(t, t.PARAM);
  for (int p = 1; p <= 4; ++p)
    EXPECT_TRUE(same_bits(f[static_cast<std::size_t>(p - 1)], funct_of_point(m, p))) << p;
  for (int p = 5; p <= 8; ++p)
    EXPECT_NEAR(f[static_cast<std::size_t>(p - 1)], funct_of_point(m, p),
                kRelative * std::fabs(funct_of_point(m, p)));
}

TEST(BatchOptics, AChannelCodeOutsideOneToFourStopsAsFunctDoes) {
  ModelSetup m(magnetic_stack());
  set_instrument(m, 3);
  fill_points(m.t(), 16, false);
  m.t().POINTS(4 * 7) = 5.0;
  BatchOptics b(m.t());
  EXPECT_THROW(b.values(m.t(), m.t().PARAM), RunStop);
}

TEST(BatchOptics, ValuesAllocateNothing) {
  ModelSetup m(magnetic_stack());
  set_instrument(m, 9);
  fill_points(m.t(), 200, false);
  for (auto path : {BatchOptics::Path::kFastest, BatchOptics::Path::kReference}) {
    BatchOptics b(m.t(), path);
    b.values(m.t(), m.t().PARAM);
    const long before = g_allocations;
    m.t().PARAM(1) *= 1.1;
    b.values(m.t(), m.t().PARAM);
    EXPECT_EQ(g_allocations - before, 0);
  }
}

}  // namespace
}  // namespace tessaline::test
