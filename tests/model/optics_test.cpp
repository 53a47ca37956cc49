// Layer optics: the two reflection amplitudes R+ and R- against closed forms, the
// physical invariants of a layer stack, and an independent long-double Parratt
// recursion.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>

#include "model_setup.hpp"

namespace tessaline::test {
namespace {

using cld = std::complex<long double>;
constexpr long double kPiL = 3.141592653589793238462643383279503L;

// Parratt's recursion in its textbook form X_j = E_j (f_j + X_{j+1}) / (1 + f_j X_{j+1})
// with the rough Fresnel coefficient f_j = (kz_j - kz_{j+1}) / (kz_j + kz_{j+1})
// * exp(-2 sigma_{j+1}^2 kz_j kz_{j+1}), in long double and std::complex, straight
// from the physical values of the stack.  spin = +1 or -1.
cld reference_amplitude(const Stack& s, double theta, double lambda, int spin) {
  const std::size_t n = s.layers.size();
  std::vector<Medium> media(s.layers);
  media.push_back(s.substrate);
  const long double k0 = std::sin(static_cast<long double>(theta)) * 2 * kPiL / lambda;
  std::vector<cld> kz(n + 2);
  kz[0] = k0;
  for (std::size_t j = 1; j <= n + 1; ++j) {
    const Medium& m = media[j - 1];
    const long double rho =
        static_cast<long double>(m.re) + spin * static_cast<long double>(m.cosdg) * m.np;
    // The radicand's imaginary part is +4 pi Im{Nb} (+0 without absorption), which
    // puts the root of a negative real radicand on the positive imaginary axis.
    kz[j] = std::sqrt(cld(k0 * k0 - 4 * kPiL * rho, 4 * kPiL * m.im));
  }
  cld X = 0;
  for (std::size_t j = n + 1; j-- > 0;) {
    const long double sig = media[j].sigma;  // roughness of interface j
    const cld f =
        (kz[j] - kz[j + 1]) / (kz[j] + kz[j + 1]) * std::exp(-2 * sig * sig * kz[j] * kz[j + 1]);
    const long double d = j == 0 ? 0 : media[j - 1].d;
    const cld E = std::exp(cld(0, 2) * d * kz[j]);
    X = E * (f + X) / (cld(1) + f * X);
  }
  return X;
}

double dist(cplx a, cld b) { return static_cast<double>(std::abs(cld(a.real(), a.imag()) - b)); }

// A magnetic, absorbing, rough multilayer: a bilayer repeated four times under a
// capping layer, with one layer of zero thickness.
Stack multilayer() {
  Stack s;
  s.layers.push_back({30, 3.5e-6, 0.02e-6, 0, 1, 4});
  for (int rep = 0; rep < 4; ++rep) {
    s.layers.push_back({45, 8.0e-6, 0.01e-6, 4.2e-6, 0.9, 6});
    s.layers.push_back({25, 1.5e-6, 0.0, 0.0, 1, 3});
  }
  s.layers.push_back({0, 5.0e-6, 0.1e-6, 1.0e-6, 1, 2});
  s.substrate = {0, 2.07e-6, 0.0, 0, 1, 3};
  return s;
}

// The kernel and the long-double reference agree over angles below, at and above
// the critical edges, for both spin states.  Tolerance 1e-14 on |dR| (|R| <= 1):
// the double kernel rounds at ~1e-16 per operation and reads the rounded
// PARAM/SCALE values and the double pi; the largest phase in the stack is
// 2*d*kz ~ 15 rad, so the propagated error is a few 1e-16 (5e-16 seen), and the
// factor 20 is margin for the conditioning of the recursion near the edges.
TEST(LayerOptics, MultilayerMatchesLongDoubleParratt) {
  const Stack s = multilayer();
  ModelSetup m(s);
  for (double theta : {0.0005, 0.002, 0.0035, 0.004, 0.006, 0.01, 0.02, 0.05, 0.1}) {
    cplx Rp, Rm;
    m.amplitudes(theta, Rp, Rm);
    EXPECT_LT(dist(Rp, reference_amplitude(s, theta, 4.0, +1)), 1e-14) << "theta " << theta;
    EXPECT_LT(dist(Rm, reference_amplitude(s, theta, 4.0, -1)), 1e-14) << "theta " << theta;
  }
}

// Bare substrate: R = W_0 (k0 - kz) / (k0 + kz), kz = sqrt(k0^2 - 4 pi rho),
// W_0 = exp(-2 sigma^2 k0 kz), for each spin with its own potential, evaluated with
// std::complex operators.  Tolerance 1e-14: a handful of roundings in two
// different evaluation orders of an O(1) result.
TEST(LayerOptics, BareSubstrateIsRoughFresnel) {
  Stack s;
  s.substrate = {0, 6.2e-6, 0.05e-6, 1.3e-6, 0.8, 7};
  ModelSetup m(s);
  for (double theta : {0.001, 0.004, 0.0062, 0.009, 0.03}) {
    cplx Rp, Rm;
    m.amplitudes(theta, Rp, Rm);
    const double k0 = std::sin(theta) * 2 * kPi / 4.0;
    for (int spin : {+1, -1}) {
      const cplx rho(6.2e-6 + spin * 0.8 * 1.3e-6, -0.05e-6);
      const cplx kz = std::sqrt(k0 * k0 - 4 * kPi * rho);
      const cplx expected = std::exp(-2.0 * 7 * 7 * k0 * kz) * (k0 - kz) / (k0 + kz);
      const cplx got = spin > 0 ? Rp : Rm;
      EXPECT_NEAR(got.real(), expected.real(), 1e-14) << theta << " spin " << spin;
      EXPECT_NEAR(got.imag(), expected.imag(), 1e-14) << theta << " spin " << spin;
    }
  }
}

// Below the critical edge of a non-absorbing, sharp substrate the reflection is
// total for each spin state (|R| = 1 up to rounding, 1e-14), and only there: above
// the edge |R| < 1.  With N_p the two spin states have different edges.
TEST(LayerOptics, TotalReflectionBelowTheCriticalEdge) {
  Stack s;
  s.substrate = {0, 4.0e-6, 0, 2.0e-6, 1, 0};  // rho+ = 6e-6, rho- = 2e-6
  ModelSetup m(s);
  auto edge = [](double rho) { return std::asin(std::sqrt(4 * kPi * rho) * 4.0 / (2 * kPi)); };
  const double edge_plus = edge(6e-6), edge_minus = edge(2e-6);
  for (double f : {0.1, 0.5, 0.9, 0.999}) {
    cplx Rp, Rm;
    m.amplitudes(f * edge_minus, Rp, Rm);
    EXPECT_NEAR(std::abs(Rp), 1.0, 1e-14) << f;
    EXPECT_NEAR(std::abs(Rm), 1.0, 1e-14) << f;
    // Between the two edges only the plus state is totally reflected.
    const double between = edge_minus + f * (edge_plus - edge_minus);
    m.amplitudes(between, Rp, Rm);
    EXPECT_NEAR(std::abs(Rp), 1.0, 1e-14) << f;
    EXPECT_LT(std::abs(Rm), 0.999) << f;
  }
  cplx Rp, Rm;
  m.amplitudes(1.01 * edge_plus, Rp, Rm);
  EXPECT_LT(std::abs(Rp), 0.999);
  EXPECT_LT(std::abs(Rm), std::abs(Rp));
}

// Without a magnetic term the potentials of the two spin states are the same
// numbers, so R+ and R- are the same bits; either factor of the product c*N_p
// switches the magnetism off.
TEST(LayerOptics, NoMagnetismGivesEqualSpinStates) {
  Stack s = multilayer();
  for (Medium& l : s.layers) l.np = 0;  // "<Cos(delta_gamma" stays non-zero
  s.substrate.np = 0;
  s.substrate.cosdg = 0.7;
  ModelSetup no_np(s);
  Stack t = multilayer();
  for (Medium& l : t.layers) l.cosdg = 0;  // "N_p" stays non-zero
  t.substrate.np = 3e-6;
  t.substrate.cosdg = 0;
  ModelSetup no_cos(t);
  for (double theta : {0.002, 0.005, 0.02}) {
    cplx Rp, Rm;
    no_np.amplitudes(theta, Rp, Rm);
    EXPECT_EQ(Rp, Rm) << theta;
    no_cos.amplitudes(theta, Rp, Rm);
    EXPECT_EQ(Rp, Rm) << theta;
  }
  // And with magnetism they differ.
  ModelSetup magnetic(multilayer());
  cplx Rp, Rm;
  magnetic.amplitudes(0.005, Rp, Rm);
  EXPECT_GT(std::abs(Rp - Rm), 1e-3);
}

// A layer of zero thickness carries no phase.  Between sharp interfaces it has no
// effect at all: its two interface matrices multiply to that of the direct
// interface (tolerance 1e-14, rounding of an O(1) result).  With roughness on
// either of its interfaces it acts through the Nevot-Croce factors alone, which the
// long-double reference evaluates independently (tolerance 1e-14, as for the
// multilayer).
TEST(LayerOptics, ZeroThicknessLayerActsOnlyThroughItsInterfaces) {
  Stack direct;
  direct.layers.push_back({60, 7e-6, 0.02e-6, 2e-6, 1, 0});
  direct.substrate = {0, 2.07e-6, 0, 0, 1, 0};
  Stack inserted = direct;
  inserted.layers.push_back({0, -1.9e-6, 0.3e-6, 5e-6, 0.5, 0});
  ModelSetup a(direct), b(inserted);
  for (double theta : {0.002, 0.004, 0.008, 0.02}) {
    cplx Ra_p, Ra_m, Rb_p, Rb_m;
    a.amplitudes(theta, Ra_p, Ra_m);
    b.amplitudes(theta, Rb_p, Rb_m);
    EXPECT_NEAR(std::abs(Ra_p - Rb_p), 0.0, 1e-14) << theta;
    EXPECT_NEAR(std::abs(Ra_m - Rb_m), 0.0, 1e-14) << theta;
  }

  Stack rough = inserted;
  rough.layers[1].sigma = 8;  // roughens the interface above the thin layer
  rough.substrate.sigma = 4;  // and the one below it
  Stack rough_direct = direct;
  rough_direct.substrate.sigma = 4;
  ModelSetup c(rough), d(rough_direct);
  for (double theta : {0.004, 0.008, 0.02}) {
    cplx Rp, Rm, Rd_p, Rd_m;
    c.amplitudes(theta, Rp, Rm);
    d.amplitudes(theta, Rd_p, Rd_m);
    EXPECT_LT(dist(Rp, reference_amplitude(rough, theta, 4.0, +1)), 1e-14) << theta;
    EXPECT_LT(dist(Rm, reference_amplitude(rough, theta, 4.0, -1)), 1e-14) << theta;
    EXPECT_GT(std::abs(Rp - Rd_p), 1e-6) << theta;  // its interfaces do matter now
  }
}

// The sharp-interface limit: with every roughness parameter 0 the kernel is the
// plain Parratt recursion (reference with sigma = 0, tolerance as for the
// multilayer), and a small roughness changes the result only a little.
TEST(LayerOptics, SharpInterfaceLimit) {
  Stack s = multilayer();
  for (Medium& l : s.layers) l.sigma = 0;
  s.substrate.sigma = 0;
  ModelSetup sharp(s);
  Stack slightly = s;
  for (Medium& l : slightly.layers) l.sigma = 1e-3;
  slightly.substrate.sigma = 1e-3;
  ModelSetup nearly(slightly);
  for (double theta : {0.003, 0.01, 0.03}) {
    cplx Rp, Rm, Np, Nm;
    sharp.amplitudes(theta, Rp, Rm);
    nearly.amplitudes(theta, Np, Nm);
    EXPECT_LT(dist(Rp, reference_amplitude(s, theta, 4.0, +1)), 1e-14) << theta;
    EXPECT_LT(dist(Rm, reference_amplitude(s, theta, 4.0, -1)), 1e-14) << theta;
    // sigma^2 kz^2 ~ 1e-6 * 1e-3: the rough result is within 1e-8 of the sharp one.
    EXPECT_LT(std::abs(Rp - Np), 1e-8) << theta;
    EXPECT_LT(std::abs(Rm - Nm), 1e-8) << theta;
  }
}

// A non-absorbing layer inside the stack exactly at its critical angle (its normal
// wave number exactly 0) gives a finite result, equal to the limit from nearby
// angles and to the long-double reference there.
class CriticalLayer : public ::testing::Test {
 protected:
  // Layer 2 is the one brought to its critical angle.
  static Stack stack(double sigma) {
    Stack s;
    s.layers.push_back({40, 1.0e-6, 0.01e-6, 0, 1, sigma});
    s.layers.push_back({70, 3.0e-6, 0, 0, 1, sigma});
    s.layers.push_back({50, 6.0e-6, 0.02e-6, 0, 1, sigma});
    s.substrate = {0, 2.07e-6, 0, 0, 1, sigma};
    return s;
  }

  static bool bring_to_critical(ModelSetup& m, double& theta) {
    const double theta0 = std::asin(std::sqrt(4 * kPi * 3.0e-6) * 4.0 / (2 * kPi));
    return find_critical_angle(m, 2, theta0, theta);
  }
};

// Without roughness R depends on layer 2's kz only through kz^2, so it is smooth
// through the critical angle: at h = 1e-7 relative the one-sided values differ
// from the value at the critical angle by O(h theta dR/dtheta) ~ 1e-6 (bound 1e-5)
// and their mean by O(h^2), far below 1e-9.  The long-double reference is the
// third route: for that layer its own kz is ~1e-10 A^-1, not 0 (its inputs are
// unrounded), so its recursion divides two quantities of that order and keeps
// only about 11 of its 19 digits; hence the tolerance 1e-11.
TEST_F(CriticalLayer, SharpStackIsFiniteAndContinuous) {
  const Stack s = stack(0);
  ModelSetup m(s);
  double theta = 0;
  ASSERT_TRUE(bring_to_critical(m, theta));
  cplx Rp, Rm, lo_p, lo_m, hi_p, hi_m;
  m.amplitudes(theta, Rp, Rm);
  ASSERT_TRUE(std::isfinite(Rp.real()) && std::isfinite(Rp.imag()));
  ASSERT_TRUE(std::isfinite(Rm.real()) && std::isfinite(Rm.imag()));
  EXPECT_EQ(Rp, Rm);
  const double h = 1e-7 * theta;
  m.amplitudes(theta - h, lo_p, lo_m);
  m.amplitudes(theta + h, hi_p, hi_m);
  EXPECT_LT(std::abs(Rp - lo_p), 1e-5);
  EXPECT_LT(std::abs(Rp - hi_p), 1e-5);
  EXPECT_LT(std::abs(Rp - 0.5 * (lo_p + hi_p)), 1e-9);
  Stack exact = s;
  exact.layers[1].re = m.t().PARAM(8) / 1e6;
  EXPECT_LT(dist(Rp, reference_amplitude(exact, theta, 4.0, +1)), 1e-11);
}

// With rough interfaces the factor exp(-2 sigma^2 kz_j kz_{j+1}) makes R depend on
// kz itself, so the approach may be as slow as sqrt(h): at h = 1e-10 relative, kz of the
// layer is ~ 1e-7 A^-1 and the one-sided values lie within 1e-6.  The reference
// at the same angle agrees to 1e-11 as above.
TEST_F(CriticalLayer, RoughStackIsFiniteAndContinuous) {
  const Stack s = stack(5);
  ModelSetup m(s);
  double theta = 0;
  ASSERT_TRUE(bring_to_critical(m, theta));
  cplx Rp, Rm, lo_p, lo_m, hi_p, hi_m;
  m.amplitudes(theta, Rp, Rm);
  ASSERT_TRUE(std::isfinite(Rp.real()) && std::isfinite(Rp.imag()));
  const double h = 1e-10 * theta;
  m.amplitudes(theta - h, lo_p, lo_m);
  m.amplitudes(theta + h, hi_p, hi_m);
  EXPECT_LT(std::abs(Rp - lo_p), 1e-6);
  EXPECT_LT(std::abs(Rp - hi_p), 1e-6);
  Stack exact = s;
  exact.layers[1].re = m.t().PARAM(8) / 1e6;
  EXPECT_LT(dist(Rp, reference_amplitude(exact, theta, 4.0, +1)), 1e-11);
  EXPECT_LT(dist(Rm, reference_amplitude(exact, theta, 4.0, -1)), 1e-11);
}

}  // namespace
}  // namespace tessaline::test
