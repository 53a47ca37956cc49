// The elementary steps of the layer optics, shared by the straightforward model
// function and by the cached evaluation that the minimizer uses for derivatives.
// Both paths build every quantity through these functions, in the same order, so
// that they give the same bits.
#pragma once

#include <cmath>

#include "model/cplx.hpp"

namespace tessaline::optics {

// A real factor times a complex value, component-wise.
inline cplx scale(double a, cplx z) { return {a * z.real(), a * z.imag()}; }

// Vacuum wave number normal to the film: sin(theta) 2 pi / lambda.
inline double vacuum_wave_number(double theta, double pi, double wavelength) {
  return std::sin(theta) * (2.0 * pi) / wavelength;
}

// Spin potentials of one medium for both spin states and their scattering terms
// 4 pi rho.  A positive "Im{Nb}" is absorption: the potential's imaginary part is
// its negative.  cp is the product of "<Cos(delta_gamma" and "N_p".
inline void spin_potential(double re_nb, double im_nb, double cp, double four_pi, cplx& rho_plus,
                           cplx& rho_minus, cplx& U_plus, cplx& U_minus) {
  rho_plus = {re_nb + cp, -im_nb};
  rho_minus = {re_nb - cp, -im_nb};
  U_plus = scale(four_pi, rho_plus);
  U_minus = scale(four_pi, rho_minus);
}

// Normal wave number in a medium of scattering term U: the principal root of
// k0^2 - U.
inline cplx normal_wave_number(double k0, cplx U) {
  const cplx k0sq{k0 * k0, 0.0};
  return csqrt({k0sq.real() - U.real(), k0sq.imag() - U.imag()});
}

// Terms of the interface between media j and j+1, whose roughness exponent is
// g = -2 sigma_{j+1}^2: F/G is the Fresnel coefficient (kz_j - kz_{j+1}) /
// (kz_j + kz_{j+1}) times the Nevot-Croce factor W = exp(g kz_j kz_{j+1}).
inline void interface_terms(double g, cplx kz_j, cplx kz_j1, cplx& F, cplx& G) {
  const cplx W = cexp(cmul(scale(g, kz_j), kz_j1));
  if (kz_j.real() != 0.0 || kz_j.imag() != 0.0) {
    const cplx r = cdiv(kz_j1, kz_j);
    if (std::isfinite(r.real()) && std::isfinite(r.imag())) {
      F = cmul({1.0 - r.real(), 0.0 - r.imag()}, W);
      G = {1.0 + r.real(), r.imag()};
      return;
    }
  }
  // A non-absorbing medium exactly at its critical angle (kz_j = 0), or the
  // vacuum at a glancing angle so small (below about 1e-155 rad) that the ratio
  // overflows: the same ratio F/G without the division by kz_j.
  F = cmul({kz_j.real() - kz_j1.real(), kz_j.imag() - kz_j1.imag()}, W);
  G = {kz_j.real() + kz_j1.real(), kz_j.imag() + kz_j1.imag()};
}

// Phase factor exp(2i phi) of the path down and back up through a layer.
inline cplx phase_factor(cplx phi) { return cexp({-2.0 * phi.imag(), 2.0 * phi.real()}); }

// One step of the recursion from the substrate up:
// X_j = E_j (G_j X_{j+1} + F_j) / (F_j X_{j+1} + G_j).
inline cplx recursion_step(cplx E, cplx F, cplx G, cplx X_below) {
  const cplx GX = cmul(G, X_below);
  const cplx FX = cmul(F, X_below);
  const cplx num{GX.real() + F.real(), GX.imag() + F.imag()};
  const cplx den{FX.real() + G.real(), FX.imag() + G.imag()};
  return cdiv(cmul(E, num), den);
}

// Recursion step across a layer L whose normal wave number is exactly zero (a
// non-absorbing layer exactly at its critical angle), giving X at the bottom of
// medium L-1 before its phase factor.  There the plain step turns into 0/0: the
// interface below the layer gives X(L) = -1 and the interface above it has the
// coefficient +1.  Both vanish linearly in kz_L, so the limit kz_L -> 0 comes from
// first order: with Y = X(L+1), k = kz_{L+1}, ku = kz_{L-1} and d = d_L, the rough
// Fresnel coefficients are -1 + a kz_L and 1 - b kz_L with
//   a = 2/k - g(L+1) k,   b = 2/ku - g(L) ku,
// E_L = 1 + 2i d kz_L, and the limit is (p - q)/(p + q) with
//   p = a (1 + Y) - 2i d (1 - Y),   q = b (1 - Y).
inline cplx across_critical_layer(cplx kz_above, cplx kz_below, double g_L, double g_below,
                                  double d, cplx Y) {
  const cplx one_plus_Y{1.0 + Y.real(), Y.imag()};
  const cplx one_minus_Y{1.0 - Y.real(), 0.0 - Y.imag()};
  const cplx a_left = cdiv({2.0, 0.0}, kz_below);
  const cplx a_right = scale(g_below, kz_below);
  const cplx a{a_left.real() - a_right.real(), a_left.imag() - a_right.imag()};
  const cplx b_left = cdiv({2.0, 0.0}, kz_above);
  const cplx b_right = scale(g_L, kz_above);
  const cplx b{b_left.real() - b_right.real(), b_left.imag() - b_right.imag()};
  const cplx p_left = cmul(a, one_plus_Y);
  const cplx p_right = cmul({0.0, 2.0 * d}, one_minus_Y);
  const cplx p{p_left.real() - p_right.real(), p_left.imag() - p_right.imag()};
  const cplx q = cmul(b, one_minus_Y);
  return cdiv({p.real() - q.real(), p.imag() - q.imag()},
              {p.real() + q.real(), p.imag() + q.imag()});
}

inline bool is_zero(cplx z) { return z.real() == 0.0 && z.imag() == 0.0; }

// recursion_step() for n independent lanes side by side, with real and imaginary
// parts in separate arrays so that several lanes run in one vector instruction.
// Every lane gets exactly the bits of recursion_step(): the same operations in
// the same order.  `in` holds X(j+1), `out` receives X(j).  (optics_lanes.cpp;
// built for AVX2 as well as for the baseline, chosen when the program starts.)
void recursion_steps(int n, const double* __restrict Er, const double* __restrict Ei,
                     const double* __restrict Fr, const double* __restrict Fi,
                     const double* __restrict Gr, const double* __restrict Gi,
                     const double* __restrict inr, const double* __restrict ini,
                     double* __restrict outr, double* __restrict outi);

// Weight of a kernel point with the illumination correction: the sample
// intercepts the fraction theta / sqrt(theta^2 + alpha0^2) of the beam.  Where
// both squares underflow to zero (alpha0 = 0 and a positive angle below about
// 1.6e-162) the formula divides by zero; the fraction is then formed without
// squares, theta / hypot(theta, alpha0), which is its limit, the sign of theta,
// when alpha0 = 0.  Everywhere else the formula stands as written.
inline double illuminated_weight(double weight, double theta, double alpha0) {
  const double radicand = theta * theta + alpha0 * alpha0;
  if (radicand == 0.0 && theta != 0.0) return weight * (theta / std::hypot(theta, alpha0));
  return weight * theta / std::sqrt(radicand);
}

}  // namespace tessaline::optics
