// Complex-number conventions of the reflectivity model, fixed in one place.
//
// Values are std::complex<double>, but the operations whose rounding matters are
// written out here instead of taken from operator/ or std::sqrt: every code path
// that evaluates the optics (the straightforward one and any faster one) uses these
// functions, so that both give the same bits.  Compile with -ffp-contract=off.
//
//  - csqrt: principal square root, real part >= 0; a negative real radicand (with
//    an imaginary part of either zero sign) gives the root on the positive
//    imaginary axis, so that an evanescent or absorbed wave decays into the film.
//  - cdiv: a conj(b) / |b|^2 through one reciprocal (few-ulp accurate; the optics
//    never comes near the overflow range of |b|^2).
//  - cexp: exp(re) * (cos im, sin im).
#pragma once

#include <cmath>
#include <complex>

namespace tessaline {

using cplx = std::complex<double>;

inline cplx cmul(cplx a, cplx b) {
  return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}

inline cplx cdiv(cplx a, cplx b) {
  // a conj(b) / |b|^2 with one division: the recursion is bound by divisions, and
  // the operands of the optics (wave numbers, interface terms of order one) stay
  // far from the range where |b|^2 would overflow or underflow.
  const double inv = 1.0 / (b.real() * b.real() + b.imag() * b.imag());
  return {(a.real() * b.real() + a.imag() * b.imag()) * inv,
          (a.imag() * b.real() - a.real() * b.imag()) * inv};
}

inline cplx csqrt(cplx z) {
  const double x = z.real(), y = z.imag();
  if (x == 0.0 && y == 0.0) return {0.0, 0.0};
  const double t = std::sqrt((std::fabs(x) + std::sqrt(x * x + y * y)) * 0.5);
  if (x >= 0.0) return {t, y / (2.0 * t)};
  return {std::fabs(y) / (2.0 * t), y < 0.0 ? -t : t};
}

inline cplx cexp(cplx z) {
  // exp(+-0) is exactly 1: the phase factor of a layer with a real wave number
  // needs no exponential.
  const double m = z.real() == 0.0 ? 1.0 : std::exp(z.real());
  return {m * std::cos(z.imag()), m * std::sin(z.imag())};
}

}  // namespace tessaline
