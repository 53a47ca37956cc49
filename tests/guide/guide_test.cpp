// The formulas and conventions of docs/guide.md, each checked against the model,
// the collimation kernel, the parameter layout and the minimizer, so that the
// guide cannot drift from the program.  Every formula, conversion factor and
// table value quoted in the guide appears here with the computation behind it.
//
// Expected values come from closed forms written out here (vector products of
// the polarization and magnetization, Parratt's recursion with std::complex, the
// least-squares algebra of a two-parameter fit, physical constants), never from
// a run of the program.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <string>
#include <vector>

#include "driver/driver.hpp"
#include "fit/fit.hpp"
#include "model/profile.hpp"
#include "report/readers.hpp"
#include "report/report.hpp"
#include "tests/driver/scratch.hpp"
#include "tests/model/model_setup.hpp"
#include "tools/scan/analysis.hpp"

namespace tessaline::test {
namespace {

using Vec = std::array<double, 3>;

double dot(const Vec& a, const Vec& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
Vec cross(const Vec& a, const Vec& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

// Intensity of one channel for one domain with axis m and signed polarization
// vectors P (polarizer) and Q (analyser), as the guide writes it:
// |R+|^2 (1+P.m)(1+Q.m) + |R-|^2 (1-P.m)(1-Q.m) + 2 Re(R+ R-*) (P.Q - (P.m)(Q.m))
// + 2 Im(R+* R-) m.(P x Q).
double single_domain(cplx Rp, cplx Rm, const Vec& m, const Vec& P, const Vec& Q) {
  const double pm = dot(P, m), qm = dot(Q, m);
  return std::norm(Rp) * (1 + pm) * (1 + qm) + std::norm(Rm) * (1 - pm) * (1 - qm) +
         2 * (Rp * std::conj(Rm)).real() * (dot(P, Q) - pm * qm) +
         2 * (std::conj(Rp) * Rm).imag() * dot(m, cross(P, Q));
}

// Channel codes 1..4 (UU, DD, UD, DU) and the signs the channel gives the
// polarizer and the analyser vector.
constexpr int kUU = 1, kDD = 2, kUD = 3, kDU = 4;
constexpr double kPolSign[5] = {0, +1, -1, +1, -1};
constexpr double kAnaSign[5] = {0, +1, -1, -1, +1};

Vec scaled(double s, const Vec& v) { return {s * v[0], s * v[1], s * v[2]}; }

// A 145 A magnetic layer (Re{Nb} 8, N_p 5.1) on Si, no absorption.
Stack magnetic_film() {
  Stack s;
  s.layers.push_back({145, 8e-6, 0, 5.1e-6, 1, 6});
  s.substrate = {0, 2.07e-6, 0, 0, 1, 3};
  return s;
}

// FUNCT of the four channels at one angle, for the parameters set in m.
struct Channels4 {
  double uu, dd, ud, du;
};
Channels4 channels(ModelSetup& m, double theta) {
  return {m.funct(theta, kUU), m.funct(theta, kDD), m.funct(theta, kUD), m.funct(theta, kDU)};
}

// ------------------------------------------------------------------ frame

// With P along +y: magnetization along +y gives UU = 4t|R+|^2, DD = 4t|R-|^2 and
// no spin flip; along -y the non-spin-flip channels swap; along +x or -x both
// give UU = DD = t|R+ + R-|^2 and UD = DU = t|R+ - R-|^2, the sign of <sin gamma>
// not entering at all.  Without an analyser UD equals UU: the first letter is
// the polarizer.  gamma turns from +y towards +x: with P along +x, gamma = +90
// deg gives UU = 4t|R+|^2.  Tolerance 1e-13: a dozen roundings of values up to
// 4t = 1.
TEST(GuideFrame, WhichChannelsAMagnetizationAlongXOrYGives) {
  ModelSetup m(magnetic_film());
  m.t().wavelength = 4.5;
  const double t = 0.25;
  m.set_instrument(t, 0, 0);
  const double tol = 1e-13;
  for (double theta : {0.0065, 0.012, 0.02}) {
    cplx Rp, Rm;
    m.amplitudes(theta, Rp, Rm);
    const double up = 4 * t * std::norm(Rp), down = 4 * t * std::norm(Rm);
    const double sum = t * std::norm(Rp + Rm), diff = t * std::norm(Rp - Rm);
    ASSERT_GT(std::abs(up - down), 0.01 * up) << "the film must split the spin states";

    m.set_gamma(1, 0, 0);  // +y
    Channels4 c = channels(m, theta);
    EXPECT_NEAR(c.uu, up, tol);
    EXPECT_NEAR(c.dd, down, tol);
    EXPECT_NEAR(c.ud, 0, tol);
    EXPECT_NEAR(c.du, 0, tol);

    m.set_gamma(-1, 0, 0);  // -y
    c = channels(m, theta);
    EXPECT_NEAR(c.uu, down, tol);
    EXPECT_NEAR(c.dd, up, tol);
    EXPECT_NEAR(c.ud, 0, tol);

    for (double s : {+1.0, -1.0}) {  // +x, -x
      m.set_gamma(0, s, 1);
      c = channels(m, theta);
      EXPECT_NEAR(c.uu, sum, tol) << s;
      EXPECT_NEAR(c.dd, sum, tol) << s;
      EXPECT_NEAR(c.ud, diff, tol) << s;
      EXPECT_NEAR(c.du, diff, tol) << s;
    }

    // Averages that no single domain gives (spread D = 1 - q - c^2 = 0.06):
    // UU = t[(1 + 2c + c2)|R+|^2 + (1 - 2c + c2)|R-|^2 + 2q Re(R+ R-*)], c2 = 1 - q,
    // DD the same with -c, UD = DU = t q |R+ - R-|^2.
    {
      const double cg = 0.8, q = 0.3, c2 = 1 - q, re = (Rp * std::conj(Rm)).real();
      m.set_gamma(cg, 0.6, q);
      c = channels(m, theta);
      EXPECT_NEAR(
          c.uu,
          t * ((1 + 2 * cg + c2) * std::norm(Rp) + (1 - 2 * cg + c2) * std::norm(Rm) + 2 * q * re),
          tol);
      EXPECT_NEAR(
          c.dd,
          t * ((1 - 2 * cg + c2) * std::norm(Rp) + (1 + 2 * cg + c2) * std::norm(Rm) + 2 * q * re),
          tol);
      EXPECT_NEAR(c.ud, t * q * std::norm(Rp - Rm), tol);
      EXPECT_NEAR(c.du, t * q * std::norm(Rp - Rm), tol);
    }

    // P along y: <sin gamma> drops out of every channel.
    m.set_gamma(0.8, 0.6, 0.36);
    const Channels4 a = channels(m, theta);
    m.set_gamma(0.8, -0.6, 0.36);
    const Channels4 b = channels(m, theta);
    EXPECT_EQ(a.uu, b.uu);
    EXPECT_EQ(a.ud, b.ud);
    EXPECT_EQ(a.du, b.du);
    EXPECT_EQ(a.dd, b.dd);

    // The first letter is the polarizer: without an analyser (Pf = 0) only it
    // selects a spin state.
    m.set_gamma(1, 0, 0);
    m.set_polarization({0, 1, 0}, {0, 0, 0});
    c = channels(m, theta);
    EXPECT_NEAR(c.uu, up / 2, tol);
    EXPECT_NEAR(c.ud, up / 2, tol);
    EXPECT_NEAR(c.dd, down / 2, tol);
    EXPECT_NEAR(c.du, down / 2, tol);

    // Direction of gamma: P along x, gamma = +90 deg is the axis +x.
    m.set_polarization({1, 0, 0}, {1, 0, 0});
    m.set_gamma(0, 1, 1);
    EXPECT_NEAR(m.funct(theta, kUU), up, tol);
    EXPECT_NEAR(m.funct(theta, kDD), down, tol);
    m.set_gamma(0, -1, 1);
    EXPECT_NEAR(m.funct(theta, kUU), down, tol);
    m.set_polarization({0, 1, 0}, {0, 1, 0});
  }
}

// U sees Re{Nb} + N_p: for a bare magnetic substrate along +P, UU is totally
// reflected (4t) up to sin(theta_c) = lambda sqrt((Nb + N_p)/pi) and DD up to
// lambda sqrt((Nb - N_p)/pi); just above each edge the channel falls.
TEST(GuideFrame, CriticalEdgesOfTheTwoSpinStates) {
  Stack s;
  s.substrate = {0, 8e-6, 0, 2e-6, 1, 0};
  ModelSetup m(s);
  const double lambda = 4.5, t = 0.25;
  m.t().wavelength = lambda;
  m.set_instrument(t, 0, 0);
  const double edge_u = std::asin(lambda * std::sqrt(10e-6 / kPi));
  const double edge_d = std::asin(lambda * std::sqrt(6e-6 / kPi));
  EXPECT_NEAR(m.funct(edge_u * (1 - 1e-6), kUU), 4 * t, 1e-12);
  EXPECT_LT(m.funct(edge_u * (1 + 1e-3), kUU), 0.9 * 4 * t);
  EXPECT_NEAR(m.funct(edge_d * (1 - 1e-6), kDD), 4 * t, 1e-12);
  EXPECT_LT(m.funct(edge_d * (1 + 1e-3), kDD), 0.9 * 4 * t);
  EXPECT_LT(m.funct(edge_d * (1 + 1e-3), kDD), m.funct(edge_d * (1 + 1e-3), kUU));
}

// The closed form of the program equals the single-domain vector formula with
// the channel's signed vectors (positive components), and a polarizer and
// analyser along (-x, +y) are described by their magnitudes and the opposite
// sign of <sin gamma> (mirror x -> -x), exact when there is no z component.
// Tolerance 1e-14: both routes add about a dozen rounded terms of size <= 4.
TEST(GuideFrame, SingleDomainFormulaAndMirroredPolarizer) {
  ModelSetup m{Stack{}};
  const cplx Rp(0.62, -0.35), Rm(-0.18, 0.44);
  const Vec Pi{0.3, 0.8, 0.4}, Pf{0.5, 0.6, 0.55};
  const Vec Pi_mirror{-0.6, 0.7, 0}, Pf_mirror{-0.25, 0.9, 0};  // along (-x, +y)
  for (double g : {0.0, 0.5, 1.2, 2.5, -0.7}) {
    const Vec axis{std::sin(g), std::cos(g), 0};
    double I[2][2];
    m.set_gamma(std::cos(g), std::sin(g), std::sin(g) * std::sin(g));
    m.set_polarization({Pi[0], Pi[1], Pi[2]}, {Pf[0], Pf[1], Pf[2]});
    channel_intensities(m.t(), m.t().PARAM, Rp, Rm, I);
    for (int code = 1; code <= 4; ++code) {
      const double want =
          single_domain(Rp, Rm, axis, scaled(kPolSign[code], Pi), scaled(kAnaSign[code], Pf));
      EXPECT_NEAR(of_channel(I, code), want, 1e-14) << g << " " << code;
    }

    m.set_gamma(std::cos(g), -std::sin(g), std::sin(g) * std::sin(g));
    m.set_polarization({0.6, 0.7, 0}, {0.25, 0.9, 0});
    channel_intensities(m.t(), m.t().PARAM, Rp, Rm, I);
    for (int code = 1; code <= 4; ++code) {
      const double want = single_domain(Rp, Rm, axis, scaled(kPolSign[code], Pi_mirror),
                                        scaled(kAnaSign[code], Pf_mirror));
      EXPECT_NEAR(of_channel(I, code), want, 1e-14) << g << " " << code;
    }
  }
}

// ------------------------------------------------------ scale and polarization

// Below the substrate's edge, with no absorption, both spin states are totally
// reflected whatever the film above:
//  - UU + UD = DD + DU = t (4 + 2 bgr) for any magnetization and polarization;
//  - magnetization along the polarization axis y (or no magnetic film), P along
//    y: UU = DD = t (2 (1 + Pi.Pf) + bgr), UD = DU = t (2 (1 - Pi.Pf) + bgr);
//    the same for any Pi, Pf and gamma when the film is not magnetic;
//  - with Pi.Pf > 1 (over-corrected data) the spin-flip plateau is negative.
// Tolerance 1e-12 relative: |R| = 1 only to rounding.
TEST(GuidePolarization, ChannelsBelowTheEdge) {
  ModelSetup m(magnetic_film());
  m.t().wavelength = 4.5;  // Si edge at 3.65 mrad
  const double t = 0.3, bgr = 1e-3;
  m.set_instrument(t, 0, bgr);
  for (double theta : {0.0015, 0.0025, 0.0035}) {
    m.set_gamma(0.8, 0.6, 0.3);
    m.set_polarization({0.2, 0.9, 0.3}, {0.1, 0.95, 0.15});
    Channels4 c = channels(m, theta);
    EXPECT_NEAR(c.uu + c.ud, t * (4 + 2 * bgr), 1e-12) << theta;
    EXPECT_NEAR(c.dd + c.du, t * (4 + 2 * bgr), 1e-12) << theta;

    const double PP = 0.98 * 0.97;
    m.set_gamma(1, 0, 0);
    m.set_polarization({0, 0.98, 0}, {0, 0.97, 0});
    c = channels(m, theta);
    EXPECT_NEAR(c.uu, t * (2 * (1 + PP) + bgr), 1e-12) << theta;
    EXPECT_NEAR(c.dd, t * (2 * (1 + PP) + bgr), 1e-12) << theta;
    EXPECT_NEAR(c.ud, t * (2 * (1 - PP) + bgr), 1e-12) << theta;
    EXPECT_NEAR(c.du, t * (2 * (1 - PP) + bgr), 1e-12) << theta;
    // The flipping ratio gives the product of the two polarizations.
    const double ratio = (c.uu - t * bgr) / (c.ud - t * bgr);
    EXPECT_NEAR((ratio - 1) / (ratio + 1), PP, 1e-10);
  }
  m.set(4, 0.0);  // N_p of the layer: no magnetic film
  m.set_gamma(0.3, 0.5, 0.6);
  m.set_polarization({0.2, 0.9, 0.3}, {0.1, 0.95, 0.15});
  const double PP = 0.2 * 0.1 + 0.9 * 0.95 + 0.3 * 0.15;
  const Channels4 c = channels(m, 0.0025);
  EXPECT_NEAR(c.uu, t * (2 * (1 + PP) + bgr), 1e-12);
  EXPECT_NEAR(c.ud, t * (2 * (1 - PP) + bgr), 1e-12);

  // Over-corrected data: only polarizations whose product exceeds 1 give a
  // spin-flip plateau below the background, and the flipping ratio of such a
  // plateau gives Pi.Pf > 1.  Up to 1 (here both along y) it stays at t bgr.
  m.set_gamma(1, 0, 0);
  m.set_polarization({0, 1, 0}, {0, 1, 0});
  EXPECT_NEAR(channels(m, 0.0025).ud, t * bgr, 1e-12);
  m.set_polarization({0.6, 0.9, 0}, {0.5, 0.95, 0});
  const double over = 0.6 * 0.5 + 0.9 * 0.95;  // 1.155
  const Channels4 o = channels(m, 0.0025);
  EXPECT_LT(o.ud, 0.0);
  EXPECT_NEAR(o.ud, t * (2 * (1 - over) + bgr), 1e-12);
  const double F = (o.uu - t * bgr) / (o.ud - t * bgr);
  EXPECT_LT(F, -1.0);
  EXPECT_NEAR((F - 1) / (F + 1), over, 1e-10);
}

// The magnitudes are polarizations P = 2 eps - 1 of a polarizer and an analyser
// that pass the wanted spin state with probability eps: each channel is the
// mixture eps_p eps_a UU + ... of the ideal channels.  Swapping Pi and Pf
// leaves UU and DD alone and exchanges UD and DU; with the magnetization along y,
// UD - DU = 2t (Pi - Pf)(|R+|^2 - |R-|^2).  Tolerance 1e-13.
TEST(GuidePolarization, EfficienciesAndWhichVectorIsWhich) {
  ModelSetup m(magnetic_film());
  m.t().wavelength = 4.5;
  const double t = 0.25, eps_p = 0.99, eps_a = 0.97;
  m.set_instrument(t, 0, 0);
  for (double theta : {0.006, 0.013}) {
    m.set_gamma(0.8, 0.6, 0.3);
    m.set_polarization({0, 1, 0}, {0, 1, 0});
    const Channels4 ideal = channels(m, theta);
    m.set_polarization({0, 2 * eps_p - 1, 0}, {0, 2 * eps_a - 1, 0});
    const Channels4 real = channels(m, theta);
    EXPECT_NEAR(real.uu,
                eps_p * eps_a * ideal.uu + eps_p * (1 - eps_a) * ideal.ud +
                    (1 - eps_p) * eps_a * ideal.du + (1 - eps_p) * (1 - eps_a) * ideal.dd,
                1e-13);
    EXPECT_NEAR(real.ud,
                eps_p * eps_a * ideal.ud + eps_p * (1 - eps_a) * ideal.uu +
                    (1 - eps_p) * eps_a * ideal.dd + (1 - eps_p) * (1 - eps_a) * ideal.du,
                1e-13);

    m.set_gamma(1, 0, 0);
    m.set_polarization({0, 0.98, 0}, {0, 0.9, 0});
    const Channels4 a = channels(m, theta);
    m.set_polarization({0, 0.9, 0}, {0, 0.98, 0});
    const Channels4 b = channels(m, theta);
    EXPECT_NEAR(a.uu, b.uu, 1e-13);
    EXPECT_NEAR(a.dd, b.dd, 1e-13);
    EXPECT_NEAR(a.ud, b.du, 1e-13);
    cplx Rp, Rm;
    m.amplitudes(theta, Rp, Rm);
    EXPECT_NEAR(a.ud - a.du, 2 * t * (0.98 - 0.9) * (std::norm(Rp) - std::norm(Rm)), 1e-13);
  }
}

// ------------------------------------------------------------- instrument

// Background times scale, untouched by the resolution and the footprint; the
// footprint factor and alpha_0 = w/L; the sign of the zero correction; and the
// optics depending on sin(theta)/lambda only, so that data converted from Q at a
// nominal wavelength are exact for the optics.
TEST(GuideInstrument, BackgroundFootprintZeroAndWavelength) {
  ModelSetup m(magnetic_film());
  Tables& t = m.t();
  t.wavelength = 4.5;
  m.set_gamma(0.8, 0.6, 0.3);
  t.j0 = 3;
  t.coll_offset(1) = -2e-4, t.coll_offset(2) = 0, t.coll_offset(3) = 2e-4;
  t.coll_weight(1) = 0.25, t.coll_weight(2) = 0.5, t.coll_weight(3) = 0.25;
  const double scale = 0.3, alpha0 = 0.01, bgr = 4e-4;
  for (double theta : {0.003, 0.0151}) {
    for (int code = 1; code <= 4; ++code) {
      m.set_instrument(scale, alpha0, 0);
      const double without = m.funct(theta, code);
      m.set_instrument(scale, alpha0, bgr);
      EXPECT_NEAR(m.funct(theta, code) - without, scale * bgr, 1e-15) << theta << " " << code;
    }
  }
  m.set_instrument(scale, alpha0, bgr);
  EXPECT_EQ(m.funct(-1e-3, kUU), scale * bgr);  // no kernel point above zero

  // Footprint: one kernel point, no background.
  t.j0 = 1;
  t.coll_offset(1) = 0;
  t.coll_weight(1) = 1;
  m.set_instrument(scale, 0, 0);
  const double theta = 0.004, full = m.funct(theta, kUU);
  m.set_instrument(scale, alpha0, 0);
  EXPECT_NEAR(m.funct(theta, kUU) / full, theta / std::sqrt(theta * theta + alpha0 * alpha0),
              1e-14);
  // A beam of width w = 0.2 mm on a sample of length L = 20 mm: alpha_0 = w/L is
  // the angle below which the sample intercepts the fraction L theta / w.
  const double w = 0.2, L = 20.0;
  m.set_instrument(scale, w / L, 0);
  for (double th : {1e-6, 1e-5}) {
    m.set_instrument(scale, 0, 0);
    const double all = m.funct(th, kUU);
    m.set_instrument(scale, w / L, 0);
    EXPECT_NEAR(m.funct(th, kUU) / all, L * th / w, 1e-6 * L * th / w) << th;
  }

  // Zero correction: the model at a recorded angle is the reflectivity at the
  // recorded angle minus the correction.  A positive correction moves the edge
  // of bare Si to larger recorded angles.
  m.set_instrument(scale, 0, 0);
  const double zero = 0.4e-3;
  const double no_shift = m.funct(0.0072 - zero, kDD);
  t.zero_correction = zero;
  EXPECT_EQ(m.funct(0.0072, kDD), no_shift);
  t.zero_correction = 0;
  Stack si;
  si.substrate = {0, 2.07e-6, 0, 0, 1, 0};
  ModelSetup bare(si);
  bare.t().wavelength = 4.5;
  bare.t().zero_correction = zero;
  bare.set_instrument(scale, 0, 0);
  const double si_edge = std::asin(4.5 * std::sqrt(2.07e-6 / kPi));
  EXPECT_NEAR(bare.funct(si_edge + zero - 1e-6, kUU), 4 * scale, 1e-12);
  EXPECT_LT(bare.funct(si_edge + zero + 2e-5, kUU), 0.9 * 4 * scale);

  // The same Q at twice the wavelength: the same optics.
  const double theta1 = 0.011;
  const double theta2 = std::asin(2 * std::sin(theta1));
  const double at_45 = m.funct(theta1, kUD);
  t.wavelength = 9.0;
  EXPECT_NEAR(m.funct(theta2, kUD), at_45, 1e-12 * at_45);
}

// ------------------------------------------------------------- resolution

// Weighted mean and rms width of the kernel's offsets, in units of sigma.
struct KernelWidth {
  double mean, rms, lowest, highest;
};
KernelWidth kernel(int j0, double step_in_sigma) {
  auto tp = make_tables();
  Tables& t = *tp;
  const double sigma = 1.5e-4;
  t.j0 = j0;
  t.coll_sigma = sigma;
  t.coll_step = step_in_sigma * sigma;
  build_collimation(t);
  double mean = 0, var = 0;
  for (int j = 1; j <= t.j0; ++j) mean += t.coll_weight(j) * t.coll_offset(j);
  for (int j = 1; j <= t.j0; ++j) var += t.coll_weight(j) * std::pow(t.coll_offset(j) - mean, 2);
  return {mean / sigma, std::sqrt(var) / sigma, t.coll_offset(1) / t.coll_step,
          t.coll_offset(t.j0) / t.coll_step};
}

// The same in units of sigma, computed here as the guide describes the kernel:
// offsets u_j = (j - floor(j0/2) - 1) * step and weights exp(-u_j^2 / 2).
KernelWidth sampled_gaussian(int j0, double step) {
  double sum = 0, mean = 0, var = 0;
  for (int j = 1; j <= j0; ++j) {
    const double u = (j - j0 / 2 - 1) * step;
    sum += std::exp(-u * u / 2);
    mean += std::exp(-u * u / 2) * u;
  }
  mean /= sum;
  for (int j = 1; j <= j0; ++j) {
    const double u = (j - j0 / 2 - 1) * step;
    var += std::exp(-u * u / 2) * (u - mean) * (u - mean);
  }
  return {mean, std::sqrt(var / sum), -(j0 / 2) * 1.0, (j0 - 1 - j0 / 2) * 1.0};
}

// "sigma" is the standard deviation of the Gaussian (a fine, wide kernel has rms
// width sigma), odd j0 spans +-(j0-1)/2 steps, even j0 one more step below, and
// the widths quoted in the guide for coarser kernels.  The program's kernel
// agrees with the sampled Gaussian to rounding; the guide's figures are that
// Gaussian's widths rounded to two decimals.
TEST(GuideResolution, KernelIsAGaussianOfStandardDeviationSigma) {
  const KernelWidth fine = kernel(101, 0.1);
  EXPECT_NEAR(fine.rms, 1.0, 2e-5);  // cut at 5 sigma
  EXPECT_NEAR(fine.mean, 0.0, 1e-12);
  struct Row {
    int j0;
    double step, guide_rms;
  };
  // The last row is the shipped example's kernel.
  for (const Row& r : {Row{13, 0.5, 0.99}, Row{9, 0.5, 0.93}, Row{7, 2.0 / 3, 0.94}}) {
    SCOPED_TRACE(r.j0);
    const KernelWidth got = kernel(r.j0, r.step), want = sampled_gaussian(r.j0, r.step);
    EXPECT_NEAR(got.rms, want.rms, 1e-12);
    EXPECT_NEAR(got.mean, 0.0, 1e-12);
    EXPECT_DOUBLE_EQ(got.lowest, want.lowest);
    EXPECT_DOUBLE_EQ(got.highest, want.highest);
    EXPECT_NEAR(r.guide_rms, want.rms, 0.005);
  }
  const KernelWidth even = kernel(6, 2.0 / 3), even_want = sampled_gaussian(6, 2.0 / 3);
  EXPECT_DOUBLE_EQ(even.lowest, -3.0);
  EXPECT_DOUBLE_EQ(even.highest, 2.0);
  EXPECT_NEAR(even.mean, even_want.mean, 1e-12);
  // Offsets are subtracted from the recorded angle: the extra point below
  // shifts the kernel's centre up by 0.08 sigma.
  EXPECT_NEAR(-0.08, even_want.mean, 0.005);
}

// ------------------------------------------------------- layers and domains

// R by Parratt's recursion with std::complex: media 0 (vacuum) .. N+1
// (substrate) with scattering-length densities rho (absorption as -i Im{Nb}),
// thicknesses d and roughnesses sigma; interface j (between media j and j+1)
// carries the Nevot-Croce factor exp(-2 sigma_{j+1}^2 kz_j kz_{j+1}).
std::complex<double> parratt(double k0, const std::vector<std::complex<double>>& rho,
                             const std::vector<double>& d, const std::vector<double>& sigma) {
  const int last = static_cast<int>(rho.size()) - 1;
  std::vector<std::complex<double>> kz(rho.size());
  for (int j = 0; j <= last; ++j) kz[j] = std::sqrt(k0 * k0 - 4 * kPi * rho[j]);
  std::complex<double> X = 0;
  for (int j = last - 1; j >= 0; --j) {
    const auto r = (kz[j] - kz[j + 1]) / (kz[j] + kz[j + 1]) *
                   std::exp(-2 * sigma[j + 1] * sigma[j + 1] * kz[j] * kz[j + 1]);
    X = std::exp(std::complex<double>(0, 2) * kz[j] * d[j]) * (r + X) / (1.0 + r * X);
  }
  return X;
}

// The Debye-Waller value of a medium roughens the interface above it; the spin
// state + sees Re{Nb} + N_p <cos(delta_gamma)> - i Im{Nb}.  Every medium
// absorbs a little, so that the principal root is the physical one here too.
// Tolerance 1e-12: two evaluations of the same recursion in double.
TEST(GuideLayers, RoughnessIsNevotCroceOfTheInterfaceAbove) {
  Stack s;
  s.layers.push_back({52, 4.5e-6, 0.02e-6, 0, 1, 6});
  s.layers.push_back({143, 8.0e-6, 0.01e-6, 5.1e-6, 0.8, 4});
  s.substrate = {0, 2.07e-6, 0.005e-6, 0, 1, 9};
  ModelSetup m(s);
  m.t().wavelength = 4.5;
  for (double theta : {0.004, 0.009, 0.02, 0.035}) {
    const double k0 = std::sin(theta) * 2 * kPi / 4.5;
    cplx Rp, Rm;
    m.amplitudes(theta, Rp, Rm);
    const auto want_p =
        parratt(k0, {0, {4.5e-6, -0.02e-6}, {8e-6 + 0.8 * 5.1e-6, -0.01e-6}, {2.07e-6, -0.005e-6}},
                {0, 52, 143, 0}, {0, 6, 4, 9});
    const auto want_m =
        parratt(k0, {0, {4.5e-6, -0.02e-6}, {8e-6 - 0.8 * 5.1e-6, -0.01e-6}, {2.07e-6, -0.005e-6}},
                {0, 52, 143, 0}, {0, 6, 4, 9});
    EXPECT_NEAR(std::abs(Rp - want_p), 0, 1e-12) << theta;
    EXPECT_NEAR(std::abs(Rm - want_m), 0, 1e-12) << theta;
  }
}

// Fringes of a layer of thickness d far above the edges are spaced by
// lambda/(2d) in angle (2 pi/d in Q); only N_p <cos(delta_gamma)> enters, and
// <cos(delta_gamma)> = -1 in the magnetic layer turns UU into DD.
TEST(GuideLayers, FringeSpacingAndTheMagneticProduct) {
  Stack s;
  s.layers.push_back({300, 6e-6, 0, 0, 1, 0});
  s.substrate = {0, 2.07e-6, 0, 0, 1, 0};
  ModelSetup m(s);
  m.t().wavelength = 4.5;
  std::vector<double> minima;
  double prev2 = 0, prev = 0;
  const double step = 1e-5;
  for (int k = 0; k <= 4000; ++k) {
    const double theta = 0.04 + k * step;
    const double r = m.funct(theta, kUU);
    if (k >= 2 && prev < prev2 && prev < r) minima.push_back(theta - step);
    prev2 = prev;
    prev = r;
  }
  ASSERT_GE(minima.size(), 4u);
  const double spacing = (minima.back() - minima.front()) / (minima.size() - 1);
  EXPECT_NEAR(spacing, 4.5 / (2 * 300), 0.01 * 4.5 / (2 * 300));

  ModelSetup a(magnetic_film()), b(magnetic_film()), c(magnetic_film());
  b.set(4, 2 * 5.1e-6);  // N_p doubled, <cos(delta_gamma)> halved
  b.set(5, 0.5);
  c.set(5, -1);
  for (double theta : {0.005, 0.012}) {
    EXPECT_NEAR(b.funct(theta, kUU), a.funct(theta, kUU), 1e-14);
    EXPECT_NEAR(c.funct(theta, kUU), a.funct(theta, kDD), 1e-14);
    EXPECT_NEAR(c.funct(theta, kDD), a.funct(theta, kUU), 1e-14);
  }
}

// Domains: the three gamma averages are averages of intensities over domains.
// With P in the y-z plane the program's value for two equal domains is the mean
// of the two single-domain values; with x components it differs by the product
// <sin><cos> taken for <sin cos>: (sbar cbar - <s c>)(Px Qy + Py Qx)|R+ - R-|^2.
// Tolerance 1e-14 (values <= 4, a dozen roundings).
TEST(GuideLayers, DomainAverages) {
  ModelSetup m{Stack{}};
  const cplx Rp(0.62, -0.35), Rm(-0.18, 0.44);
  const double g1 = 0.3, g2 = -1.1;
  const double c = (std::cos(g1) + std::cos(g2)) / 2, s = (std::sin(g1) + std::sin(g2)) / 2;
  const double q = (std::pow(std::sin(g1), 2) + std::pow(std::sin(g2), 2)) / 2;
  const double sc = (std::sin(g1) * std::cos(g1) + std::sin(g2) * std::cos(g2)) / 2;
  auto channel_values = [&](double cg, double sg, double qg, double out[2][2]) {
    m.set_gamma(cg, sg, qg);
    channel_intensities(m.t(), m.t().PARAM, Rp, Rm, out);
  };
  for (const Vec& px : {Vec{0, 0.97, 0.2}, Vec{0.5, 0.8, 0.1}}) {
    const Vec qx{px[0] * 0.9, px[1], px[2] * 0.5};
    m.set_polarization({px[0], px[1], px[2]}, {qx[0], qx[1], qx[2]});
    double avg[2][2], one[2][2], two[2][2];
    channel_values(c, s, q, avg);
    channel_values(std::cos(g1), std::sin(g1), std::pow(std::sin(g1), 2), one);
    channel_values(std::cos(g2), std::sin(g2), std::pow(std::sin(g2), 2), two);
    for (int code = 1; code <= 4; ++code) {
      const double P_x = kPolSign[code] * px[0], P_y = kPolSign[code] * px[1];
      const double Q_x = kAnaSign[code] * qx[0], Q_y = kAnaSign[code] * qx[1];
      const double extra = (s * c - sc) * (P_x * Q_y + P_y * Q_x) * std::norm(Rp - Rm);
      const double mean = (of_channel(one, code) + of_channel(two, code)) / 2;
      EXPECT_NEAR(of_channel(avg, code), mean + extra, 1e-14) << px[0] << " " << code;
      if (px[0] == 0) {
        EXPECT_EQ(extra, 0.0);
      }
    }
  }
}

// Two pitfalls of the Nevot-Croce factor (section 5).  The largest relative
// change of UU and DD over the angles of the shipped example (2 to 30 mrad at
// 4.5 A), model against model.
double largest_change(ModelSetup& a, ModelSetup& b, double first, double last, double floor) {
  double worst = 0;
  for (double theta = first; theta <= last; theta += 1e-4) {
    for (int code : {kUU, kDD}) {
      const double ra = a.funct(theta, code), rb = b.funct(theta, code);
      if (ra > floor) worst = std::max(worst, std::abs(rb / ra - 1));
    }
  }
  return worst;
}

// A layer of thickness 0 between Fe and Cr: with the roughness of the medium
// below it (Cr), its two interfaces are one; the model gives the same
// amplitudes as without it (to rounding, 1e-12).  With a roughness of its own,
// the interface above it takes that roughness, and R changes by far more than
// any error bar.
TEST(GuideLayers, AZeroThicknessLayerActsThroughItsRoughness) {
  const Medium fe{145, 8e-6, 0, 5.1e-6, 1, 6.5}, cr{30, 3e-6, 0, 0, 1, 4},
      si{0, 2.07e-6, 0, 0, 1, 3};
  Stack plain;
  plain.layers = {fe, cr};
  plain.substrate = si;
  Stack same = plain, own = plain;
  same.layers = {fe, {0, 3e-6, 0, 0, 1, 4}, cr};
  own.layers = {fe, {0, 3e-6, 0, 0, 1, 15}, cr};
  ModelSetup a(plain), b(same), c(own);
  for (ModelSetup* m : {&a, &b, &c}) m->t().wavelength = 4.5;
  for (double theta : {0.004, 0.011, 0.027}) {
    cplx Rp, Rm, Sp, Sm;
    a.amplitudes(theta, Rp, Rm);
    b.amplitudes(theta, Sp, Sm);
    EXPECT_NEAR(std::abs(Sp - Rp), 0, 1e-12 * std::abs(Rp)) << theta;
    EXPECT_NEAR(std::abs(Sm - Rm), 0, 1e-12 * std::abs(Rm)) << theta;
  }
  // With the same roughness but a density between its neighbours' it is
  // neutral to within 1e-6 of R.
  Stack between = plain;
  between.layers = {fe, {0, 5.5e-6, 0, 0, 1, 4}, cr};
  ModelSetup d(between);
  d.t().wavelength = 4.5;
  EXPECT_LT(largest_change(a, d, 0.002, 0.03, 0), 1e-6);
  // The guide: "by up to 277 %" over 2 to 30 mrad, near the fringe minima.
  EXPECT_NEAR(largest_change(a, c, 0.002, 0.03, 0), 2.77, 0.005);
}

// The drawn profile (error functions of the Debye-Waller widths) sliced into
// thin layers without roughness, against the model of Nevot-Croce factors,
// over 2 to 80 mrad at 4.5 A where R > 4e-7.  For interfaces far apart
// compared with their widths the two agree to within the slicing's own error;
// with a width as large as the layer is thick they part.
TEST(GuideLayers, TheDrawnProfileIsTheModelOnlyForNarrowInterfaces) {
  const auto compare = [](double d, double sigma, double step) {
    Stack s;
    s.layers = {{d, 9e-6, 0, 0, 1, sigma}};
    s.substrate = {0, 2.07e-6, 0, 0, 1, sigma};
    ModelSetup model(s);
    const DepthProfile p = depth_profile({{d, 9.0, 0, sigma}, {0, 2.07, 0, sigma}}, step);
    Stack sliced;
    for (std::size_t k = 0; k + 1 < p.points.size(); ++k) {
      const double rho = (p.points[k].nuclear + p.points[k + 1].nuclear) / 2;
      sliced.layers.push_back({p.points[k + 1].depth - p.points[k].depth, rho * 1e-6, 0, 0, 1, 0});
    }
    sliced.substrate = {0, 2.07e-6, 0, 0, 1, 0};
    ModelSetup drawn(sliced);
    model.t().wavelength = drawn.t().wavelength = 4.5;
    return largest_change(model, drawn, 0.002, 0.08, 4e-7);
  };
  // Narrow: the slicing converges (0.42 %, 0.21 % and 0.16 % at steps of
  // 0.5, 0.3 and 0.2 A); wide: it stays near the guide's 2.6 %.
  EXPECT_LT(compare(40, 3, 0.2), 0.002);
  EXPECT_NEAR(compare(10, 15, 0.3), 0.026, 0.0005);
}

// ------------------------------------------------------------ magnetization

// N_p from the magnetization: the spin state parallel to the field sees the
// potential |mu_n| B higher, with B = mu_0 M, so rho_M = m_n |mu_n| mu_0 M /
// (2 pi hbar^2).  Constants: CODATA 2018 recommended values (E. Tiesinga,
// P. J. Mohr, D. B. Newell, B. N. Taylor, Rev. Mod. Phys. 93, 025010 (2021)).
TEST(GuideMagnetization, ConversionFromPhysicalConstants) {
  const double m_n = 1.67492749804e-27;  // neutron mass, kg
  const double mu_n = 0.96623651e-26;    // magnitude of the neutron magnetic moment, J/T
  const double mu_B = 9.2740100783e-24;  // Bohr magneton, J/T
  const double hbar = 1.054571817e-34;   // reduced Planck constant, J s (exact)
  const double mu_0 = 1.25663706212e-6;  // vacuum magnetic permeability, N/A^2
  const double C = m_n * mu_n * mu_0 / (2 * kPi * hbar * hbar);  // m^-2 per A/m
  const double unit = 1e-6 * 1e20;                               // 1e-6 A^-2 in m^-2

  // Second route: per Bohr magneton C mu_B = gamma_n (m_n/m_p) r_e / 2, with
  // gamma_n = |mu_n|/mu_N, the classical electron radius r_e and the
  // neutron-proton mass ratio (same CODATA set).
  const double gamma_n = 1.91304273, r_e = 2.8179403262e-15, mn_mp = 1.00137841931;
  EXPECT_NEAR(C * mu_B / (gamma_n * mn_mp * r_e / 2), 1.0, 1e-8);

  // The factors quoted in the guide, to their printed digits.
  const double per_kA_m = C * 1e3 / unit;  // per kA/m = per emu/cm^3
  EXPECT_NEAR(per_kA_m, 2.910e-3, 0.0005e-3);
  EXPECT_NEAR(1 / per_kA_m, 343.6, 0.05);                // kA/m per unit of N_p
  EXPECT_NEAR(C / mu_0 / unit, 2.316, 0.0005);           // per tesla of mu_0 M
  EXPECT_NEAR(mu_0 * unit / C, 0.4318, 0.00005);         // tesla per unit of N_p
  EXPECT_NEAR(C * mu_B * 1e30 / unit, 26.99, 0.005);     // per mu_B/atom at 1 atom/A^3
  EXPECT_NEAR(C * mu_B * 1e15, 2.699, 0.0005);           // fm per mu_B
  EXPECT_NEAR(gamma_n * r_e / 2 * 1e15, 2.695, 0.0005);  // the textbook gamma r_e / 2
  // bcc Fe: a = 2.8665 A, two atoms per cell, 2.2 mu_B per atom.
  const double n_fe = 2 / std::pow(2.8665, 3);
  EXPECT_NEAR(n_fe, 0.08491, 0.000005);
  EXPECT_NEAR(C * mu_B * 1e30 * n_fe * 2.2 / unit, 5.04, 0.005);
  EXPECT_NEAR(n_fe * 1e30 * 2.2 * mu_B / 1e3, 1732, 1);  // kA/m
}

// -------------------------------------------------------- is my fit good?

// Half a unit of the last digit of x printed with `digits` significant digits.
double half_unit(double x, int digits) {
  return 0.5 * std::pow(10.0, std::floor(std::log10(std::abs(x))) + 1 - digits);
}

// Records what the minimizer reports and passes it on to the printer.
class Recorder : public Monitor {
 public:
  Recorder(Monitor& printer, const FitState& fs) : printer_(printer), fs_(fs) {}
  void MONITO(double S, int NPAR, int ITER, int PRTFREQ, double SPRED, double STEPERR,
              double STEPSCALE, double LIMTREND) override {
    passes.push_back({S, STEPERR, fs_.FITSTAT});
    printer_.MONITO(S, NPAR, ITER, PRTFREQ, SPRED, STEPERR, STEPSCALE, LIMTREND);
  }
  struct Pass {
    double S, STEPERR, FITSTAT;
  };
  std::vector<Pass> passes;

 private:
  Monitor& printer_;
  const FitState& fs_;
};

// A fit of "total scaling" t and "background" b to twenty points below the Si
// edge, where the model is exactly t (b + 2 (1 +- Pi.Pf)).  The data lie
// 1.5-3 error bars off the true curve, so hi_sq.norm is far above 1.  At the
// final point, with the derivatives (b + I_p) and t:
//  - S = sum ((d - m)/sigma)^2 / 2 and hi_sq.norm = 2S / (N - free);
//  - errors sqrt(diag Z^-1) with Z = J^T J of the weighted derivatives: not
//    rescaled by hi_sq.norm;
//  - factor Z_ii (Z^-1)_ii = 1/(1 - r^2), and error = sqrt(factor) times the
//    error the parameter would have with the other one fixed;
//  - convergence: the last step below 0.1 error bars in every parameter.
TEST(GuideFit, ObjectiveChiSquareErrorsFactorsAndConvergence) {
  auto tp = make_tables();
  Tables& t = *tp;
  t.pi = kPi;
  t.wavelength = 4.5;
  t.nlay = 0;
  const double Pi[3] = {0, 0.98, 0}, Pf[3] = {0, 0.97, 0};
  set_up_parameters(t, Pi, Pf);
  t.PARAM(1) = 2.07;   // Re{Nb} of Si, in units of 1e-6 A^-2
  t.PARAM(4) = 1;      // <cos(delta_gamma)>
  t.PARAM(6) = 1;      // <cos gamma>
  t.PARAM(9) = 0.3;    // total scaling, start
  t.PARAM(11) = 5e-3;  // background, start
  for (int i = 1; i <= t.NPAR; ++i) {
    if (i == 9 || i == 11) continue;
    t.STEPLIM(i) = 0;
    ++t.NFIX;
  }
  t.j0 = 1;
  t.coll_offset(1) = 0;
  t.coll_weight(1) = 1;
  t.nn = 5;
  t.npoint = 20;
  t.nvalues = 4;
  const double PP = 0.98 * 0.97, t_true = 0.25, b_true = 0.02;
  const double off[20] = {2.5, -3,   1.5, -2,  3,  -2.5, 2,  -1.5, 3,    -3,
                          2,   -2.5, 1.5, 2.5, -3, 2,    -2, 3,    -1.5, 2.5};
  std::vector<double> d, sig, I;
  for (int c = 1; c <= 4; ++c) {
    for (int p = 1; p <= 5; ++p) {
      const int q = (c - 1) * 5 + p;
      const double Ip = 2 * (c <= 2 ? 1 + PP : 1 - PP);
      const double m = t_true * (b_true + Ip);
      const double sigma = 0.02 * m;
      I.push_back(Ip);
      sig.push_back(sigma);
      d.push_back(m + off[q - 1] * sigma);
      t.POINTS(4 * q - 3) = d.back();
      t.POINTS(4 * q - 2) = sigma;
      t.POINTS(4 * q - 1) = 2.0e-3 + 0.3e-3 * (p - 1);  // below the edge at 3.65 mrad
      t.POINTS(4 * q) = c;
    }
  }

  testing::ScratchDir dir;
  auto fs = make_fit_state();
  textio::OutStream console, results;
  console.create(dir.file("console.txt"));
  results.create(dir.file("results.txt"));
  IterationMonitor printer(t, *fs, console, results);
  Recorder rec(printer, *fs);
  double S = 0, STEPERR = 0, STEPSCALE = 0;
  int IEXIT = 0;
  LSQFIT(t, *fs, rec, S, t.NPAR, 1, 2, 200, 0.1, STEPERR, STEPSCALE, 1, IEXIT);
  console.close();
  results.close();
  ASSERT_EQ(IEXIT, 1);

  // Hand evaluation at the final point (the last pass applies no step).
  const double tf = t.PARAM(9), bf = t.PARAM(11);
  double S_hand = 0, Z11 = 0, Z12 = 0, Z22 = 0;
  for (std::size_t p = 0; p < d.size(); ++p) {
    const double r = (d[p] - tf * (bf + I[p])) / sig[p];
    S_hand += r * r / 2;
    const double a = (bf + I[p]) / sig[p], b = tf / sig[p];
    Z11 += a * a;
    Z12 += a * b;
    Z22 += b * b;
  }
  const double det = Z11 * Z22 - Z12 * Z12;
  const double err_t = std::sqrt(Z22 / det), err_b = std::sqrt(Z11 / det);
  const double factor = Z11 * Z22 / det;
  const double chi_norm = 2 * S_hand / (20 - 2);
  ASSERT_GT(chi_norm, 4.0) << "the data must be far from their error bars";

  EXPECT_NEAR(rec.passes.back().S, S_hand, 1e-12 * S_hand);
  EXPECT_NEAR(fs->PARERR(9), err_t, 1e-8 * err_t);
  EXPECT_NEAR(fs->PARERR(11), err_b, 1e-8 * err_b);
  EXPECT_NEAR(fs->FACTOR(9), factor, 1e-8 * factor);
  EXPECT_NEAR(fs->FACTOR(11), factor, 1e-8 * factor);
  EXPECT_NEAR(factor, 1 / (1 - Z12 * Z12 / (Z11 * Z22)), 1e-10 * factor);
  EXPECT_NEAR(fs->PARERR(9), std::sqrt(factor) / std::sqrt(Z11), 1e-8 * err_t);
  EXPECT_GT(factor, 2.0) << "scale and background must be correlated here";

  // Convergence: only the last pass has every step below 0.1 of its error.
  ASSERT_GE(rec.passes.size(), 2u);
  EXPECT_LT(rec.passes.back().STEPERR, 0.1);
  EXPECT_EQ(rec.passes.back().FITSTAT, 1.0);
  for (std::size_t k = 0; k + 1 < rec.passes.size(); ++k) EXPECT_GE(rec.passes[k].STEPERR, 0.1);

  // What the results file shows in its last block.
  const ResultsBlock last = read_results_file(dir.file("results.txt")).last;
  ASSERT_TRUE(last.chi_sq.has_value());
  EXPECT_NEAR(*last.chi_sq, chi_norm, half_unit(chi_norm, 4));
  ASSERT_GE(last.parameters.size(), 9u);
  const ResultsParameter& scaling = last.parameters[8];
  EXPECT_EQ(scaling.name, "total scaling");
  EXPECT_EQ(scaling.state, ParameterState::kFree);
  ASSERT_TRUE(scaling.error.has_value() && scaling.factor.has_value());
  EXPECT_NEAR(*scaling.error, err_t, half_unit(err_t, 2));
  EXPECT_NEAR(*scaling.factor, factor, half_unit(factor, 3));
}

// ------------------------------------------------------------- parameters

// The default step limits and bounds of every slot, in entry-file units, as the
// guide's table lists them.
TEST(GuideParameters, StepLimitsAndBoundsOfEverySlot) {
  struct Row {
    double lower, upper, step, unit;  // unit: entry-file value to physical value
  };
  const Row sld{-100, 100, 1, 1e-6}, np{0, 100, 1, 1e-6};
  const std::vector<Row> want = {{0, 1e6, 10, 1},
                                 sld,
                                 sld,
                                 np,
                                 {-1, 1, 0.1, 1},
                                 {0, 1e4, 10, 1},  // layer
                                 sld,
                                 sld,
                                 np,
                                 {-1, 1, 0.5, 1},
                                 {0, 1e4, 10, 1},  // substrate
                                 {-1, 1, 0.1, 1},
                                 {-1, 1, 0.1, 1},
                                 {0, 1, 0.1, 1},  // gamma averages
                                 {0, 1e20, 100, 1},
                                 {0, 1000, 10, 1e-3},
                                 {0, 1, 0.01, 1},  // scale, alpha_0, bgr
                                 {-1, 1, 0.1, 1},
                                 {-1, 1, 0.1, 1},
                                 {-1, 1, 0.1, 1},  // Pi
                                 {-1, 1, 0.1, 1},
                                 {-1, 1, 0.1, 1},
                                 {-1, 1, 0.1, 1}};  // Pf
  auto tp = make_tables();
  Tables& t = *tp;
  t.nlay = 1;
  const double P[3] = {0, 1, 0};
  set_up_parameters(t, P, P);
  ASSERT_EQ(t.NPAR, static_cast<int>(want.size()));
  for (int i = 1; i <= t.NPAR; ++i) {
    const Row& r = want[static_cast<std::size_t>(i - 1)];
    auto near = [](double got, double expected) {
      return std::abs(got - expected) <= 1e-12 * std::abs(expected);
    };
    EXPECT_TRUE(near(t.PARMIN(i) / t.SCALE(i), r.lower * r.unit)) << "slot " << i;
    EXPECT_TRUE(near(t.PARMAX(i) / t.SCALE(i), r.upper * r.unit)) << "slot " << i;
    EXPECT_TRUE(near(t.STEPLIM(i) / t.SCALE(i), r.step * r.unit)) << "slot " << i;
  }
}

// Section 12: the levels of a scan's interval and of a map's contours are the
// chi-square quantiles of one and two settings: a rise of 1 holds 68.27 % of a
// Gaussian (erf(1/sqrt 2)); for two, the probability within a rise d is
// 1 - exp(-d/2), 68.3 % at 2.30 and 95.4 % at 6.18.  A scaled interval rises
// by hi_sq.norm instead.
TEST(GuideScan, IntervalAndContourLevels) {
  EXPECT_NEAR(std::erf(1 / std::sqrt(2.0)), 0.6827, 5e-5);
  scan::Analysis a;
  const std::vector<double> levels = scan::map_levels(a);
  ASSERT_EQ(levels.size(), 2u);
  EXPECT_NEAR(1 - std::exp(-levels[0] / 2), 0.683, 5e-4);
  EXPECT_NEAR(1 - std::exp(-levels[1] / 2), 0.9545, 5e-4);
  a.scaled = true;
  a.best_chi = 2.5;
  EXPECT_DOUBLE_EQ(scan::map_levels(a)[0], 2.30 * 2.5);
  // One setting: a profile 2S = c + ((x - x0)/s)^2 has its interval at x0 -/+ s.
  scan::ScanTable t;
  scan::Axis x;
  x.first = -1;
  x.last = 1;
  x.n = 41;
  t.head.axes = {x};
  t.head.points = 10;
  for (int g = 0; g < x.n; ++g) {
    scan::TableRow r;
    r.grid = g;
    r.setting = {x.value(g)};
    r.S = (7 + std::pow((x.value(g) - 0.13) / 0.2, 2)) / 2;
    r.chi = 2 * r.S / 10;
    r.status = 1;
    t.rows.push_back(r);
  }
  const scan::AxisResult r = scan::analyse(t, false).axes[0];
  EXPECT_NEAR(r.interval.low, 0.13 - 0.2, 1e-12);
  EXPECT_NEAR(r.interval.high, 0.13 + 0.2, 1e-12);
}

}  // namespace
}  // namespace tessaline::test
