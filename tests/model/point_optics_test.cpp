// The cached evaluation of a point gives FUNCT's value bit for bit, at the
// evaluated parameters and with any single parameter displaced.
#include "model/point_optics.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

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
  t.j0 = j0;
  double sum = 0;
  for (int j = 1; j <= j0; ++j) {
    t.coll_offset(j) = (j - j0 / 2 - 1) * 0.0002;
    t.coll_weight(j) = std::exp(-0.5 * std::pow(t.coll_offset(j) / 0.0003, 2));
    sum += t.coll_weight(j);
  }
  for (int j = 1; j <= j0; ++j) t.coll_weight(j) /= sum;
}

// Every slot displaced in turn, for every channel and a few angles (the lowest
// ones with kernel points below the zero angle), against FUNCT.
void expect_all_slots_identical(ModelSetup& m, std::initializer_list<double> angles) {
  Tables& t = m.t();
  PointOptics po;
  po.prepare(t);
  auto P = std::make_unique<ParamVector>(t.PARAM);
  auto work = std::make_unique<ModelWork>();
  Table<double, 2> X;
  for (double theta : angles) {
    for (int code = 1; code <= 4; ++code) {
      X(1) = theta;
      X(2) = code;
      const double f0 = po.evaluate(t, *P, X);
      ASSERT_TRUE(same_bits(f0, FUNCT(t, *P, *work, X))) << "theta " << theta << " code " << code;
      for (int i = 1; i <= t.NPAR; ++i) {
        const double a0 = (*P)(i);
        (*P)(i) = a0 == 0.0 ? 1e-3 : a0 * (1.0 + 1e-4);
        const double fast = po.displaced(t, *P, i);
        const double ref = FUNCT(t, *P, *work, X);
        (*P)(i) = a0;
        ASSERT_TRUE(same_bits(fast, ref)) << "slot " << i << " theta " << theta << " code " << code
                                          << ": " << fast << " vs " << ref;
      }
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

TEST(PointOptics, BadChannelCodeStopsAsFunctDoes) {
  ModelSetup m(general_stack(2));
  PointOptics po;
  po.prepare(m.t());
  Table<double, 2> X;
  X(1) = 0.01;
  X(2) = 5.0;
  EXPECT_THROW(po.evaluate(m.t(), m.t().PARAM, X), RunStop);
}

}  // namespace
}  // namespace tessaline::test
