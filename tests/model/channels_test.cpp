// Channel intensities: closed-form domain averages against an independent 2x2 spin
// density-matrix computation, and the identities of ideal and non-magnetic cases.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <complex>

#include "model_setup.hpp"

namespace tessaline::test {
namespace {

using C = std::complex<double>;
using Mat = std::array<std::array<C, 2>, 2>;

Mat operator*(const Mat& a, const Mat& b) {
  Mat r{};
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 2; ++j)
      for (int k = 0; k < 2; ++k) r[i][j] += a[i][k] * b[k][j];
  return r;
}
Mat operator+(const Mat& a, const Mat& b) {
  Mat r{};
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 2; ++j) r[i][j] = a[i][j] + b[i][j];
  return r;
}
Mat operator*(C s, const Mat& a) {
  Mat r{};
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 2; ++j) r[i][j] = s * a[i][j];
  return r;
}
Mat dagger(const Mat& a) {
  Mat r{};
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 2; ++j) r[i][j] = std::conj(a[j][i]);
  return r;
}
// (1 + sign * v.sigma) / 2 with the Pauli matrices.
Mat projector(std::array<double, 3> v, double sign) {
  const C i(0, 1);
  const Mat one{{{1, 0}, {0, 1}}};
  const Mat vs{{{v[2], v[0] - i * v[1]}, {v[0] + i * v[1], -v[2]}}};
  return C(0.5) * (one + C(sign) * vs);
}

// I = 4 Tr[A R rho R^dagger] for a single domain with axis m = (sin g, cos g, 0):
// R = R+ Pi+ + R- Pi-, rho = (1 + P.sigma)/2, A = (1 + P'.sigma)/2.
double density_matrix_intensity(C Rp, C Rm, double g, std::array<double, 3> P,
                                std::array<double, 3> Pp) {
  const std::array<double, 3> m{std::sin(g), std::cos(g), 0.0};
  const Mat R = Rp * projector(m, +1) + Rm * projector(m, -1);
  const Mat T = projector(Pp, +1) * R * projector(P, +1) * dagger(R);
  const C tr = T[0][0] + T[1][1];
  EXPECT_LT(std::abs(tr.imag()), 1e-15);  // a probability: the trace is real
  return 4.0 * tr.real();
}

struct Pol {
  std::array<double, 3> Pi, Pf;
};

// A model whose optics are never run: channel_intensities reads only gamma and
// the polarization from the parameter vector.
class Channels : public ::testing::Test {
 protected:
  Channels() : m_(Stack{}) {}
  void set(double cg, double sg, double qg, const Pol& p) {
    m_.set_gamma(cg, sg, qg);
    double Pi[3], Pf[3];
    for (int j = 0; j < 3; ++j) Pi[j] = p.Pi[j], Pf[j] = p.Pf[j];
    m_.set_polarization(Pi, Pf);
  }
  void intensities(cplx Rp, cplx Rm, double I[2][2]) {
    channel_intensities(m_.t(), m_.t().PARAM, Rp, Rm, I);
  }
  ModelSetup m_;
};

const cplx kRp(0.260515, -0.112884), kRm(0.143940, -0.0309527);

// For a single domain (cos gamma, sin gamma, sin^2 gamma of one angle g) the
// closed form equals the density-matrix trace in all four channels, with
// polarization vectors that have x, y and z components.  Tolerance 1e-14: both
// routes add about a dozen rounded terms of magnitude <= 4.
TEST_F(Channels, SingleDomainMatchesSpinDensityMatrix) {
  const Pol pols[] = {
      {{0.3, 0.8, 0.4}, {0.5, 0.6, 0.55}},
      {{0.0, 0.0, 0.97}, {0.9, 0.1, 0.0}},
      {{0.6, 0.0, 0.7}, {0.0, 0.4, 0.85}},
      {{0.0, 0.99, 0.0}, {0.0, 0.0, 0.98}},
  };
  const cplx amps[][2] = {{kRp, kRm}, {{-0.7, 0.5}, {0.2, 0.9}}, {{1.0, 0.0}, {0.0, -1.0}}};
  for (double g : {0.0, 0.4, 1.0, 1.5707963267948966, 2.3, -0.8, 3.5}) {
    for (const Pol& p : pols) {
      set(std::cos(g), std::sin(g), std::sin(g) * std::sin(g), p);
      for (const auto& R : amps) {
        double I[2][2];
        intensities(R[0], R[1], I);
        for (int a = 1; a <= 2; ++a) {
          for (int b = 1; b <= 2; ++b) {
            const double ea = a == 1 ? 1 : -1, eb = b == 1 ? 1 : -1;
            const std::array<double, 3> P{ea * p.Pi[0], ea * p.Pi[1], ea * p.Pi[2]};
            const std::array<double, 3> Pp{eb * p.Pf[0], eb * p.Pf[1], eb * p.Pf[2]};
            EXPECT_NEAR(I[a - 1][b - 1], density_matrix_intensity(R[0], R[1], g, P, Pp), 1e-14)
                << "g " << g << " channel (" << a << "," << b << ") Pi " << p.Pi[0] << ","
                << p.Pi[1] << "," << p.Pi[2];
          }
        }
      }
    }
  }
}

// Ideal polarizer and analyser along y.  Magnetization along y: the spin states
// are the channel states, I(1,1) = 4|R+|^2, I(2,2) = 4|R-|^2, no spin flip.
// Magnetization along x: the channels see the sum and the difference of the
// amplitudes.  Tolerance 1e-15: a few roundings of results below 4.
TEST_F(Channels, IdealPolarizationIdentities) {
  const Pol y{{0, 1, 0}, {0, 1, 0}};
  const cplx Rp(-0.31, 0.72), Rm(0.55, 0.18);
  double I[2][2];
  set(1, 0, 0, y);
  intensities(Rp, Rm, I);
  EXPECT_NEAR(I[0][0], 4 * std::norm(Rp), 1e-15);
  EXPECT_NEAR(I[1][1], 4 * std::norm(Rm), 1e-15);
  EXPECT_EQ(I[0][1], 0.0);
  EXPECT_EQ(I[1][0], 0.0);

  set(0, 1, 1, y);
  intensities(Rp, Rm, I);
  EXPECT_NEAR(I[0][0], std::norm(Rp + Rm), 1e-15);
  EXPECT_NEAR(I[1][1], std::norm(Rp + Rm), 1e-15);
  EXPECT_NEAR(I[0][1], std::norm(Rp - Rm), 1e-15);
  EXPECT_NEAR(I[1][0], std::norm(Rp - Rm), 1e-15);
}

// Only the magnitudes of the stored polarization components enter: flipping the
// sign of any of them leaves every intensity bit for bit unchanged.
TEST_F(Channels, StoredPolarizationSignsAreIgnored) {
  const Pol p{{0.3, 0.8, 0.4}, {0.5, 0.6, 0.55}};
  set(0.6, 0.7, 0.45, p);
  double ref[2][2];
  intensities(kRp, kRm, ref);
  for (int mask = 1; mask < 64; ++mask) {
    Pol q = p;
    for (int j = 0; j < 3; ++j) {
      if (mask & (1 << j)) q.Pi[j] = -q.Pi[j];
      if (mask & (8 << j)) q.Pf[j] = -q.Pf[j];
    }
    set(0.6, 0.7, 0.45, q);
    double I[2][2];
    intensities(kRp, kRm, I);
    for (int a = 0; a < 2; ++a)
      for (int b = 0; b < 2; ++b) EXPECT_EQ(I[a][b], ref[a][b]) << "mask " << mask;
  }
}

// With R+ = R- = R there is no magnetic contrast: I(a,b) = 2|R|^2 (1 + P.P') with
// the channel's signed vectors, whatever the three gamma averages are (even values
// that no distribution of domains could give).  Tolerance 1e-14 relative to 2|R|^2:
// the closed form reaches the result through about a dozen rounded terms.
TEST_F(Channels, NoContrastGivesPolarizationProduct) {
  const Pol p{{0.3, 0.8, 0.4}, {0.5, 0.6, 0.55}};
  const cplx R(0.41, -0.27);
  const double dot = 0.3 * 0.5 + 0.8 * 0.6 + 0.4 * 0.55;
  for (const auto& gam : {std::array<double, 3>{1, 0, 0}, {0.2, -0.9, 0.7}, {-0.5, 0.5, 0.1}}) {
    set(gam[0], gam[1], gam[2], p);
    double I[2][2];
    intensities(R, R, I);
    const double base = 2 * std::norm(R);
    EXPECT_NEAR(I[0][0], base * (1 + dot), 1e-14 * base);
    EXPECT_NEAR(I[1][1], base * (1 + dot), 1e-14 * base);
    EXPECT_NEAR(I[0][1], base * (1 - dot), 1e-14 * base);
    EXPECT_NEAR(I[1][0], base * (1 - dot), 1e-14 * base);
  }
}

}  // namespace
}  // namespace tessaline::test
