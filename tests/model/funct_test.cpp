// The model function: the worked values of whole models, and the instrument
// layer (collimation sum, zero correction, illumination, background, scale,
// channel selection).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>

#include "model/optics.hpp"
#include "model_setup.hpp"

// Counts heap allocations while armed, to show that the model allocates nothing.
namespace {
bool g_counting = false;
long g_allocations = 0;
}  // namespace

void* operator new(std::size_t n) {
  if (g_counting) ++g_allocations;
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return ::operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace tessaline::test {
namespace {

// Bare substrate of "Re{Nb}" 2.07e-6 A^-2.
Stack substrate_only() {
  Stack s;
  s.substrate = {0, 2.07e-6, 0, 0, 1, 0};
  return s;
}

// One magnetic layer on that substrate.
Stack one_layer() {
  Stack s;
  s.layers.push_back({100, 8e-6, 0, 2e-6, 1, 5});
  s.substrate = {0, 2.07e-6, 0, 0, 1, 3};
  return s;
}

// The printed worked values are rounded to six significant digits; each is
// checked to half a unit of its last printed digit.
TEST(WorkedValues, BareSubstrate) {
  ModelSetup m(substrate_only());
  cplx Rp, Rm;
  m.amplitudes(0.005, Rp, Rm);
  EXPECT_NEAR(Rp.real(), 0.136067, 5e-7);
  EXPECT_NEAR(Rp.imag(), 0.0, 5e-7);
  EXPECT_EQ(Rp, Rm);
  EXPECT_NEAR(m.funct(0.005, 1), 0.0740565, 5e-8);
  EXPECT_NEAR(m.funct(0.005, 2), 0.0740565, 5e-8);
  EXPECT_EQ(m.funct(0.005, 3), 0.0);
  EXPECT_EQ(m.funct(0.005, 4), 0.0);
}

TEST(WorkedValues, MagneticLayerAlongPolarization) {
  ModelSetup m(one_layer());
  cplx Rp, Rm;
  m.amplitudes(0.01, Rp, Rm);
  EXPECT_NEAR(Rp.real(), 0.260515, 5e-7);
  EXPECT_NEAR(Rp.imag(), -0.112884, 5e-7);
  EXPECT_NEAR(Rm.real(), 0.143940, 5e-7);
  EXPECT_NEAR(Rm.imag(), -0.0309527, 5e-8);
  EXPECT_NEAR(m.funct(0.01, 1), 0.322443, 5e-7);
  EXPECT_NEAR(m.funct(0.01, 2), 0.0867077, 5e-8);
  EXPECT_EQ(m.funct(0.01, 3), 0.0);
  EXPECT_EQ(m.funct(0.01, 4), 0.0);
}

TEST(WorkedValues, MagneticLayerPerpendicularToPolarization) {
  ModelSetup m(one_layer());
  m.set_gamma(0, 1, 1);
  EXPECT_NEAR(m.funct(0.01, 1), 0.184273, 5e-7);
  EXPECT_NEAR(m.funct(0.01, 2), 0.184273, 5e-7);
  EXPECT_NEAR(m.funct(0.01, 3), 0.0203023, 5e-8);
  EXPECT_NEAR(m.funct(0.01, 4), 0.0203023, 5e-8);
}

// A model with every instrument term in play: non-ideal tilted polarization,
// domains, and a layer with absorption.
class Instrument : public ::testing::Test {
 protected:
  Instrument() : m_(film()) {
    m_.set_gamma(0.6, 0.5, 0.4);
    m_.set_polarization({0.2, 0.9, 0.3}, {0.1, 0.95, 0.2});
  }
  static Stack film() {
    Stack s = one_layer();
    s.layers[0].im = 0.05e-6;
    return s;
  }
  // Channel intensity at one angle without any instrument term.
  double I(double theta, int code) {
    double I4[2][2];
    m_.intensities(theta, I4);
    return of_channel(I4, code);
  }
  ModelSetup m_;
};

// One kernel point at offset 0, no zero correction, alpha_0 = 0: the result is
// t*(beta + I_ch).  The illumination factor is then theta/sqrt(theta^2), which is
// exactly 1, so only the two roundings of the last line remain (4 ulps).
TEST_F(Instrument, SinglePointIsScaledIntensityPlusBackground) {
  m_.set_instrument(1.7, 0.0, 0.012);
  for (int code = 1; code <= 4; ++code) {
    for (double theta : {0.003, 0.011, 0.04}) {
      EXPECT_DOUBLE_EQ(m_.funct(theta, code), 1.7 * (0.012 + I(theta, code)))
          << code << " " << theta;
    }
  }
}

// The background is added before the scale, the scale multiplies everything, and
// nothing is clipped.
TEST_F(Instrument, BackgroundAndScale) {
  const double theta = 0.007;
  m_.set_instrument(1.0, 0.0, 0.0);
  const double plain = m_.funct(theta, 1);
  EXPECT_DOUBLE_EQ(plain, I(theta, 1));
  m_.set_instrument(2.0, 0.0, 0.0);
  EXPECT_EQ(m_.funct(theta, 1), 2.0 * plain);  // doubling is exact
  m_.set_instrument(3.0, 0.0, 0.25);
  EXPECT_DOUBLE_EQ(m_.funct(theta, 1), 3.0 * (0.25 + plain));
  m_.set_instrument(0.0, 0.0, 0.25);
  for (int code = 1; code <= 4; ++code) EXPECT_EQ(m_.funct(theta, code), 0.0);
  m_.set_instrument(1.0, 0.0, -(plain + 1.0));
  EXPECT_DOUBLE_EQ(m_.funct(theta, 1), -1.0);
}

// At theta = alpha_0 the sample intercepts 1/sqrt(2) of the beam (4 ulps: the
// factor is formed as theta/sqrt(2 theta^2)); alpha_0 scales the low angles down.
TEST_F(Instrument, IlluminationFactor) {
  const double theta = 0.006;
  m_.set_instrument(1.0, theta, 0.0);
  EXPECT_DOUBLE_EQ(m_.funct(theta, 2), I(theta, 2) / std::sqrt(2.0));
  m_.set_instrument(1.0, 0.03, 0.0);
  const double f = 0.002 / std::sqrt(0.002 * 0.002 + 0.03 * 0.03);
  EXPECT_NEAR(m_.funct(0.002, 3), f * I(0.002, 3), 1e-15 * I(0.002, 3));
}

// The illumination weight where the squares underflow.  With alpha_0 = 0 and an
// angle below about 1.6e-162 the formula divides by zero; the fraction is then
// its limit, 1.  Where the formula is finite it stands bit for bit, even where
// a subnormal square makes it inexact.  With both squares underflowing and
// alpha_0 not 0 the fraction is theta/|(theta, alpha_0)|.
TEST(Illumination, WeightWhereTheSquaresUnderflow) {
  using optics::illuminated_weight;
  for (double theta : {1.5e-162, 1e-200, 4.9e-324})
    EXPECT_EQ(illuminated_weight(0.25, theta, 0.0), 0.25) << theta;
  const double theta = 1.2345e-160;  // theta^2 is subnormal
  const double formula = 0.25 * theta / std::sqrt(theta * theta);
  ASSERT_NE(formula, 0.25);
  EXPECT_EQ(illuminated_weight(0.25, theta, 0.0), formula);
  EXPECT_EQ(illuminated_weight(0.25, 0.002, 0.003),
            0.25 * 0.002 / std::sqrt(0.002 * 0.002 + 0.003 * 0.003));
  EXPECT_NEAR(illuminated_weight(0.25, 3e-170, 4e-170), 0.25 * 0.6, 1e-16);
}

// Below about 1e-155 rad the ratio kz_1/k0 of the vacuum interface overflows;
// the interface is then formed without that division, and the model goes on to
// its limit at grazing incidence (total reflection, R+ = R- = -1) instead of
// NaN.  There |R+|^2 = |R-|^2 = Re(R+ R-*) = 1 and Im(R+* R-) = 0, so
// I = T+ + T- + 2 Tx = 2 (1 + (q + (1 - q)) (Px P'x + Py P'y) + Pz P'z)
//   = 2 (1 + P.P'),
// whatever the domains: with P = Pi, P' = +-Pf, UU = DD = 2 (1 + Pi.Pf) and
// UD = DU = 2 (1 - Pi.Pf) at scale 1, no background, one kernel point and an
// illumination weight of 1 (the square of the angle underflows to 0).
TEST_F(Instrument, GrazingAnglesBelowTheRatioOverflowReachTheLimit) {
  m_.set_instrument(1.0, 0.0, 0.0);
  const double PiPf = 0.2 * 0.1 + 0.9 * 0.95 + 0.3 * 0.2;  // the fixture's vectors
  const double limit[4] = {2 * (1 + PiPf), 2 * (1 + PiPf), 2 * (1 - PiPf), 2 * (1 - PiPf)};
  for (double theta : {1e-170, 1e-300, 4.9e-324}) {
    for (int code = 1; code <= 4; ++code) {
      const double want = limit[code - 1];
      EXPECT_NEAR(m_.funct(theta, code), want, 1e-12 * want) << theta << " " << code;
    }
  }
}

// Kernel points at or below the zero angle contribute nothing and the weights of
// the others are not renormalized.  Offsets -d, 0, +d; at theta_m = d the third
// point and at theta_m = 0 the second lands exactly on the zero angle (evaluating
// the optics there would divide by a zero wave number).  Tolerance 1e-15 relative:
// the same products summed in the same order, with illumination factor 1.
TEST_F(Instrument, KernelPointsBelowZeroAngleAreSkipped) {
  Tables& t = m_.t();
  const double d = 0.004;
  t.j0 = 3;
  t.coll_offset(1) = -d, t.coll_offset(2) = 0, t.coll_offset(3) = d;
  t.coll_weight(1) = 0.25, t.coll_weight(2) = 0.5, t.coll_weight(3) = 0.25;
  m_.set_instrument(1.3, 0.0, 0.01);
  for (int code = 1; code <= 4; ++code) {
    const double two = 1.3 * (0.01 + (0.25 * I(2 * d, code) + 0.5 * I(d, code)));
    const double got = m_.funct(d, code);
    EXPECT_TRUE(std::isfinite(got));
    EXPECT_NEAR(got, two, 1e-15 * two) << code;
    // Only the first point left, with its weight 1/4 as it stands.
    const double one = 1.3 * (0.01 + 0.25 * I(d, code));
    EXPECT_NEAR(m_.funct(0.0, code), one, 1e-15 * one) << code;
    // No point above the zero angle: t * beta.
    EXPECT_EQ(m_.funct(-d, code), 1.3 * 0.01) << code;
    EXPECT_EQ(m_.funct(-3 * d, code), 1.3 * 0.01) << code;
  }
}

// A collimation sum with illumination: every surviving point with its weight
// w_i theta_i / sqrt(theta_i^2 + alpha_0^2), points in kernel order.  Tolerance
// 1e-14 relative: the expected sum is formed here with the same kind of terms but
// its own rounding of the weights.
TEST_F(Instrument, CollimationSumWithIllumination) {
  Tables& t = m_.t();
  t.j0 = 5;
  const double step = 0.0003, a0 = 0.002;
  double wsum = 0;
  for (int j = 1; j <= 5; ++j) {
    t.coll_offset(j) = (j - 3) * step;
    t.coll_weight(j) = std::exp(-0.5 * (j - 3) * (j - 3));
    wsum += t.coll_weight(j);
  }
  for (int j = 1; j <= 5; ++j) t.coll_weight(j) /= wsum;
  m_.set_instrument(0.9, a0, 0.003);
  for (double theta_m : {0.0005, 0.0042, 0.02}) {
    double sum = 0;
    for (int j = 1; j <= 5; ++j) {
      const double th = theta_m - t.coll_offset(j);
      if (th <= 0) continue;
      sum += t.coll_weight(j) * th / std::hypot(th, a0) * I(th, 4);
    }
    const double expected = 0.9 * (0.003 + sum);
    EXPECT_NEAR(m_.funct(theta_m, 4), expected, 1e-14 * expected) << theta_m;
  }
}

// A point with its own resolution sigma_i is smeared with the entry's kernel
// stretched to sigma_i: offsets delta_j * sigma_i / sigma, the same weights.
// Against the same sum formed here from the channel intensities; against the
// entry's kernel itself (sigma_i = sigma, bit for bit); against a kernel of twice
// the step and twice the sigma (sigma_i = 2 sigma: every offset and weight is the
// same double, so bit for bit too); and sigma_i = 0, no smearing.
TEST_F(Instrument, APointsOwnResolutionStretchesTheKernel) {
  Tables& t = m_.t();
  const double step = 0.0002, sigma = 0.0003, a0 = 0.002;
  const auto kernel = [&t](double step_, double sigma_) {
    t.j0 = 7;
    t.coll_sigma = sigma_;
    double wsum = 0;
    for (int j = 1; j <= 7; ++j) {
      t.coll_offset(j) = (j - 4) * step_;
      t.coll_weight(j) = std::exp(-0.5 * std::pow(t.coll_offset(j) / sigma_, 2));
      wsum += t.coll_weight(j);
    }
    for (int j = 1; j <= 7; ++j) t.coll_weight(j) /= wsum;
  };
  kernel(step, sigma);
  m_.set_instrument(0.9, a0, 0.003);
  const auto funct = [&](double theta, int code, double resolution) {
    t.nvalues = resolution < 0 ? 4 : 5;
    PointX X;
    X(1) = theta;
    X(2) = code;
    X(3) = resolution;
    return FUNCT(t, m_.w(), X);
  };
  for (double theta_m : {0.0011, 0.0042, 0.02}) {
    for (int code = 1; code <= 4; ++code) {
      SCOPED_TRACE(std::to_string(theta_m) + " " + std::to_string(code));
      const double own = 2.5 * sigma;  // offsets 2.5 times the entry's
      double sum = 0;
      for (int j = 1; j <= 7; ++j) {
        const double th = theta_m - 2.5 * t.coll_offset(j);
        if (th <= 0) continue;
        sum += t.coll_weight(j) * th / std::hypot(th, a0) * I(th, code);
      }
      const double expected = 0.9 * (0.003 + sum);
      EXPECT_NEAR(funct(theta_m, code, own), expected, 1e-14 * expected);

      const double entry = funct(theta_m, code, -1);
      EXPECT_EQ(funct(theta_m, code, sigma), entry);
      EXPECT_NE(funct(theta_m, code, 1.5 * sigma), entry);

      const double doubled = funct(theta_m, code, 2 * sigma);
      kernel(2 * step, 2 * sigma);
      EXPECT_EQ(funct(theta_m, code, -1), doubled);
      kernel(step, sigma);

      const double sharp = 0.9 * (0.003 + theta_m / std::hypot(theta_m, a0) * I(theta_m, code));
      EXPECT_NEAR(funct(theta_m, code, 0.0), sharp, 1e-14 * sharp);
    }
  }
}

// A positive zero correction shifts the curve towards larger measured angles by
// exactly that amount (dyadic angles keep the subtraction exact).
TEST_F(Instrument, ZeroCorrectionShiftsTheCurve) {
  const double theta = 0.0078125, shift = 0.0009765625;  // 2^-7, 2^-10
  m_.set_instrument(1.1, 0.001, 0.002);
  const double unshifted = m_.funct(theta, 3);
  m_.t().zero_correction = shift;
  EXPECT_EQ(m_.funct(theta + shift, 3), unshifted);
  EXPECT_NE(m_.funct(theta, 3), unshifted);
}

// The channel code is truncated toward zero; anything outside 1..4 stops the run.
TEST_F(Instrument, ChannelCodes) {
  const double theta = 0.009;
  EXPECT_EQ(channel_of(1.0), 1);
  EXPECT_EQ(channel_of(2.7), 2);
  EXPECT_EQ(channel_of(4.999), 4);
  EXPECT_EQ(channel_of(0.999), 0);
  EXPECT_EQ(channel_of(5.0), 0);
  EXPECT_EQ(channel_of(-1.5), 0);
  EXPECT_EQ(channel_of(1e300), 0);
  EXPECT_EQ(channel_of(std::numeric_limits<double>::quiet_NaN()), 0);

  EXPECT_EQ(m_.funct(theta, 2.7), m_.funct(theta, 2.0));
  EXPECT_EQ(m_.funct(theta, 3.5), m_.funct(theta, 3.0));
  // The four channels of this model differ, so the selection is visible.
  EXPECT_NE(m_.funct(theta, 1), m_.funct(theta, 2));
  EXPECT_NE(m_.funct(theta, 3), m_.funct(theta, 4));
  EXPECT_NE(m_.funct(theta, 1), m_.funct(theta, 3));
  for (double code : {0.0, 5.0, 0.5, -1.0, 4.0 + 1.0}) {
    try {
      m_.funct(theta, code);
      ADD_FAILURE() << "no stop for channel code " << code;
    } catch (const RunStop& e) {
      EXPECT_STREQ(e.what(), "X(2) wrong!");
      EXPECT_EQ(e.status(), kExitStop);
    }
  }
}

// The parameters are read on every call: a change of PARAM between calls shows up
// in the next value, as the numerical derivatives of the minimizer need.
TEST_F(Instrument, ReadsParametersAfresh) {
  const double before = m_.funct(0.01, 1);
  Tables& t = m_.t();
  const double saved = t.PARAM(2);
  t.PARAM(2) = saved + 0.001;  // "Re{Nb}" of layer 1, internal units
  EXPECT_NE(m_.funct(0.01, 1), before);
  t.PARAM(2) = saved;
  EXPECT_EQ(m_.funct(0.01, 1), before);
}

// A full evaluation with a 21-point kernel and 20 layers allocates nothing.
TEST(ModelMemory, FunctDoesNotAllocate) {
  Stack s;
  for (int k = 0; k < 20; ++k) s.layers.push_back({30.0 + k, 4e-6, 0.01e-6, 1e-6, 0.8, 4});
  s.substrate = {0, 2.07e-6, 0, 0, 1, 3};
  ModelSetup m(s);
  m.t().j0 = 21;
  for (int j = 1; j <= 21; ++j) {
    m.t().coll_offset(j) = (j - 11) * 1e-4;
    m.t().coll_weight(j) = 1.0 / 21;
  }
  PointX X;
  X(1) = 0.01;
  X(2) = 1;
  g_allocations = 0;
  g_counting = true;
  double v = 0;
  for (int k = 0; k < 10; ++k) v += FUNCT(m.t(), m.w(), X);
  g_counting = false;
  EXPECT_EQ(g_allocations, 0);
  EXPECT_GT(v, 0.0);
}

}  // namespace
}  // namespace tessaline::test
