// The model function FUNCT and its optics: spin potentials, the two Parratt
// recursions with Nevot-Croce interface factors, the four channel intensities and
// the instrument corrections (collimation, zero shift, illumination, background,
// scale).
//
// Every complex product, quotient, root and exponential goes through cmul, cdiv,
// csqrt and cexp of model/cplx.hpp, in the order the formulas are written below, so
// that a faster evaluation path can reproduce these results bit for bit.  A real
// factor times a complex value is written component-wise.  No I/O, no allocation:
// all work storage is the caller's ModelWork.
#include "model/model.hpp"

#include <cmath>

#include "model/optics.hpp"

namespace tessaline {

namespace {

// The Parratt recursion of one spin state s (0: plus, 1: minus) at vacuum wave
// number k0; fills kz, phi, g, F, G and Xr of that state and returns X(0).
cplx recursion(const Tables& t, const ParamVector& PARAM, ModelWork& w, int s, double k0) {
  const int N = t.nlay;
  const cplx k0sq{k0 * k0, 0.0};
  cplx* kz = w.kz[s];
  cplx* phi = w.phi[s];
  cplx* F = w.F[s];
  cplx* G = w.G[s];
  cplx* X = w.Xr[s];
  const Table<cplx, kMaxMedia>& U = w.U[s];

  // Normal wave numbers, phases and roughness exponents of every medium.
  kz[0] = {k0, 0.0};
  for (int j = 1; j <= N + 1; ++j) {
    kz[j] = optics::normal_wave_number(k0, U(j));
    if (j <= N) phi[j] = optics::scale(phys(t, PARAM, 6 * j - 5), kz[j]);
    const double sigma = phys(t, PARAM, density_slot(N, j) + 4);
    w.g[j] = -2.0 * sigma * sigma;
  }
  phi[0] = {0.0, 0.0};

  // Interface j lies between media j and j+1; the layers' interfaces come first,
  // the vacuum interface last.
  for (int j = 1; j <= N; ++j) optics::interface_terms(w.g[j + 1], kz[j], kz[j + 1], F[j], G[j]);
  optics::interface_terms(w.g[1], kz[0], kz[1], F[0], G[0]);

  // From the substrate up, with the phase factor exp(2i phi_j) of layer j.
  X[N + 1] = {0.0, 0.0};
  for (int j = N; j >= 0; --j) {
    const cplx E = optics::phase_factor(phi[j]);
    if (j + 1 <= N && optics::is_zero(kz[j + 1])) {
      X[j] = cmul(E, optics::across_critical_layer(kz[j], kz[j + 2], w.g[j + 1], w.g[j + 2],
                                                   phys(t, PARAM, 6 * (j + 1) - 5), X[j + 2]));
      continue;
    }
    X[j] = optics::recursion_step(E, F[j], G[j], X[j + 1]);
  }
  return X[0];
}

}  // namespace

void spin_potentials(const Tables& t, const ParamVector& PARAM, ModelWork& w) {
  const int N = t.nlay;
  const double four_pi = 4.0 * t.pi;
  for (int j = 1; j <= N + 1; ++j) {
    const int i = density_slot(N, j);
    const double re_nb = phys(t, PARAM, i);
    const double im_nb = phys(t, PARAM, i + 1);
    const double cp = phys(t, PARAM, i + 3) * phys(t, PARAM, i + 2);  // c_j * p_j
    optics::spin_potential(re_nb, im_nb, cp, four_pi, w.rho[0](j), w.rho[1](j), w.U[0](j),
                           w.U[1](j));
  }
}

void amplitudes(const Tables& t, const ParamVector& PARAM, ModelWork& w, double theta, cplx& Rplus,
                cplx& Rminus) {
  const double k0 = optics::vacuum_wave_number(theta, t.pi, t.wavelength);
  Rplus = recursion(t, PARAM, w, 0, k0);
  Rminus = recursion(t, PARAM, w, 1, k0);
}

void channel_terms(const Tables& t, const ParamVector& PARAM, ChannelTerms& c) {
  const int base = 6 * t.nlay;
  const double cg = phys(t, PARAM, base + kCosGamma);
  const double sg = phys(t, PARAM, base + kSinGamma);
  const double qg = phys(t, PARAM, base + kSin2Gamma);
  const double qbar = 1.0 - qg;
  for (int a = 1; a <= 2; ++a) {
    for (int b = 1; b <= 2; ++b) {
      // Only the magnitudes of the stored polarization components count; the
      // channel sets the sign of each vector.
      const double ea = a == 1 ? 1.0 : -1.0;
      const double eb = b == 1 ? 1.0 : -1.0;
      const double Px = ea * std::fabs(phys(t, PARAM, base + kPiX));
      const double Py = ea * std::fabs(phys(t, PARAM, base + kPiX + 1));
      const double Pz = ea * std::fabs(phys(t, PARAM, base + kPiX + 2));
      const double Qx = eb * std::fabs(phys(t, PARAM, base + kPfX));
      const double Qy = eb * std::fabs(phys(t, PARAM, base + kPfX + 1));
      const double Qz = eb * std::fabs(phys(t, PARAM, base + kPfX + 2));

      // Domain averages over the axis m = (sin gamma, cos gamma, 0): T+ of
      // (1 + P.m)(1 + P'.m), T- of (1 - P.m)(1 - P'.m), Tx of P.P' - (P.m)(P'.m),
      // K of m.(P x P').
      const double M = sg * cg * (Px * Qy + Py * Qx);
      c.Tplus[a - 1][b - 1] =
          1.0 + cg * (Py + Qy) + sg * (Px + Qx) + qg * Px * Qx + qbar * Py * Qy + M;
      c.Tminus[a - 1][b - 1] =
          1.0 - cg * (Py + Qy) - sg * (Px + Qx) + qg * Px * Qx + qbar * Py * Qy + M;
      c.Tcross[a - 1][b - 1] = Pz * Qz + qbar * Px * Qx + qg * Py * Qy - M;
      c.K[a - 1][b - 1] = (Py * Qz - Pz * Qy) * sg + (Pz * Qx - Px * Qz) * cg;
    }
  }
}

void intensities(const ChannelTerms& c, cplx Rplus, cplx Rminus, double I[2][2]) {
  const double Rp2 = Rplus.real() * Rplus.real() + Rplus.imag() * Rplus.imag();
  const double Rm2 = Rminus.real() * Rminus.real() + Rminus.imag() * Rminus.imag();
  // Re(R+ conj(R-)) and Im(conj(R+) R-).
  const double re_pm = Rplus.real() * Rminus.real() + Rplus.imag() * Rminus.imag();
  const double im_pm = Rplus.real() * Rminus.imag() - Rplus.imag() * Rminus.real();
  for (int a = 0; a < 2; ++a) {
    for (int b = 0; b < 2; ++b) {
      double sum = 0.0;
      sum += Rp2 * c.Tplus[a][b];
      sum += Rm2 * c.Tminus[a][b];
      sum += 2.0 * re_pm * c.Tcross[a][b];
      sum += 2.0 * im_pm * c.K[a][b];
      I[a][b] = sum;
    }
  }
}

void channel_intensities(const Tables& t, const ParamVector& PARAM, cplx Rplus, cplx Rminus,
                         double I[2][2]) {
  ChannelTerms c;
  channel_terms(t, PARAM, c);
  intensities(c, Rplus, Rminus, I);
}

int channel_of(double code) {
  // Codes that truncate to 1..4 are exactly those in [1, 5); the range test comes
  // first so that the conversion never sees a value out of int's range or a NaN.
  if (!(code >= 1.0 && code < 5.0)) return 0;
  return static_cast<int>(code);
}

double FUNCT(const Tables& t, const ParamVector& PARAM, ModelWork& w, const PointX& X) {
  const int base = 6 * t.nlay;
  const double scaling = phys(t, PARAM, base + kTotalScaling);
  const double alpha0 = phys(t, PARAM, base + kAlpha0);
  const double background = phys(t, PARAM, base + kBackground);
  const double theta_m = X(1);

  spin_potentials(t, PARAM, w);
  for (auto& row : w.SIGMA)
    for (double& s : row) s = 0.0;

  const PointKernel kernel = point_kernel(t, point_resolution(t, X));
  for (int i = 1; i <= kernel.n; ++i) {
    const double theta = theta_m - kernel_offset(t, kernel, i) - t.zero_correction;
    // Kernel points at or below the zero angle see no reflection; the remaining
    // weights are deliberately left as they are.
    if (theta <= 0.0) continue;
    cplx Rplus, Rminus;
    amplitudes(t, PARAM, w, theta, Rplus, Rminus);
    channel_intensities(t, PARAM, Rplus, Rminus, w.I);
    // Illumination: the sample intercepts the fraction theta/sqrt(theta^2 + alpha0^2)
    // of the beam.
    const double omega = optics::illuminated_weight(kernel_weight(t, kernel, i), theta, alpha0);
    w.SIGMA[0][0] += omega * w.I[0][0];
    w.SIGMA[0][1] += omega * w.I[0][1];
    w.SIGMA[1][0] += omega * w.I[1][0];
    w.SIGMA[1][1] += omega * w.I[1][1];
  }

  double selected = 0.0;
  switch (channel_of(X(2))) {
    case 1:  // UU
      selected = w.SIGMA[0][0];
      break;
    case 2:  // DD
      selected = w.SIGMA[1][1];
      break;
    case 3:  // UD
      selected = w.SIGMA[0][1];
      break;
    case 4:  // DU
      selected = w.SIGMA[1][0];
      break;
    default:
      throw RunStop("X(2) wrong!", kExitStop);
  }
  // The background is part of the recorded signal, so the scale multiplies it too.
  return scaling * (background + selected);
}

}  // namespace tessaline
