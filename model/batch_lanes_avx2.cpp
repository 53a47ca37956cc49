// The recursion of four lanes per AVX2 instruction: see batch_lanes.hpp.
//
// Each function below is the lane-wise image of its namesake in model/cplx.hpp
// or model/optics.hpp, with the same IEEE operations in the same order (no
// fused multiply-adds: this file is compiled with -mavx2 but without -mfma, and
// with -ffp-contract=off).  Only exp, sin and cos differ: they come from
// SLEEF's 1-ulp AVX2 functions instead of the C library.
#include <immintrin.h>
#include <sleef.h>

#include "model/batch_lanes.hpp"

namespace tessaline::batch {

namespace {

using V = __m256d;

struct C {
  V re, im;
};

inline V set1(double x) { return _mm256_set1_pd(x); }
inline V vabs(V x) { return _mm256_andnot_pd(set1(-0.0), x); }
inline V select(V mask, V yes, V no) { return _mm256_blendv_pd(no, yes, mask); }
inline V eq(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
inline bool all(V mask) { return _mm256_movemask_pd(mask) == 0xF; }
// True lanes where x is not finite (x - x is NaN exactly for infinities and NaNs).
inline V nonfinite(V x) { return _mm256_cmp_pd(x - x, set1(0.0), _CMP_NEQ_UQ); }

inline C cmul(C a, C b) { return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re}; }

inline C cdiv(C a, C b) {
  const V inv = set1(1.0) / (b.re * b.re + b.im * b.im);
  return {(a.re * b.re + a.im * b.im) * inv, (a.im * b.re - a.re * b.im) * inv};
}

// The principal root of x + iy.  |y| / (2t) is formed as |y / (2t)|, which is
// the same number: division rounds symmetrically in sign.
inline C csqrt(V x, V y) {
  const V zero = set1(0.0);
  const V t = _mm256_sqrt_pd((vabs(x) + _mm256_sqrt_pd(x * x + y * y)) * set1(0.5));
  const V q = y / (set1(2.0) * t);
  const V upper = _mm256_cmp_pd(x, zero, _CMP_GE_OQ);
  const V y_negative = _mm256_cmp_pd(y, zero, _CMP_LT_OQ);
  C r{select(upper, t, vabs(q)), select(upper, q, select(y_negative, -t, t))};
  const V origin = _mm256_and_pd(eq(x, zero), eq(y, zero));
  r.re = select(origin, zero, r.re);
  r.im = select(origin, zero, r.im);
  return r;
}

// exp(re) (cos im, sin im), with exp(+-0) = 1; four lanes with im = +-0 give
// (m, m * im), which is m cos(0) and m sin(+-0) exactly.
inline C cexp(C z) {
  const V zero = set1(0.0);
  const V re_zero = eq(z.re, zero);
  V m = set1(1.0);
  if (!all(re_zero)) m = select(re_zero, m, Sleef_expd4_u10avx2(z.re));
  if (all(eq(z.im, zero))) return {m, m * z.im};
  const Sleef___m256d_2 sc = Sleef_sincosd4_u10avx2(z.im);  // x: sine, y: cosine
  return {m * sc.y, m * sc.x};
}

inline C recursion_step(C E, C F, C G, C X) {
  const C GX = cmul(G, X);
  const C FX = cmul(F, X);
  const C num{GX.re + F.re, GX.im + F.im};
  const C den{FX.re + G.re, FX.im + G.im};
  return cdiv(cmul(E, num), den);
}

// The terms of medium j in one spin state: its wave number, the interface
// terms F and G of the interface below it and its phase factor E.
struct Terms {
  C kz, F, G, E;
};

// normal_wave_number: the root of (k0^2 - Ur) + i (0 - Ui).
inline C wave_number(V k0sq, double Ur, double Ui) {
  return csqrt(k0sq - set1(Ur), set1(0.0) - set1(Ui));
}

// interface_terms(g, kz_j, kz_j+1): F = (1 - r) W, G = 1 + r with r = kz_j+1 /
// kz_j and W = exp(g kz_j kz_j+1); odd collects the lanes where kz_j is 0 or r
// is not finite, which the caller must recompute.
inline void interface_terms(double g_below, C kz, C below, C& F, C& G, V& odd) {
  const V zero = set1(0.0);
  const V g = set1(g_below);
  const C W = cexp(cmul({g * kz.re, g * kz.im}, below));
  const C r = cdiv(below, kz);
  odd = _mm256_or_pd(odd, _mm256_and_pd(eq(kz.re, zero), eq(kz.im, zero)));
  odd = _mm256_or_pd(odd, _mm256_or_pd(nonfinite(r.re), nonfinite(r.im)));
  F = cmul({set1(1.0) - r.re, zero - r.im}, W);
  G = {set1(1.0) + r.re, r.im};
}

// The terms of medium j of spin state s (j = 0: the vacuum, kz = k0) above a
// medium whose wave number is `below`.
__attribute__((always_inline)) inline Terms medium_terms(const Media& m, int s, int j, V k0, V k0sq, C below, V& odd) {
  const V zero = set1(0.0);
  Terms t;
  t.kz = j == 0 ? C{k0, zero} : wave_number(k0sq, m.Ur[s][j], m.Ui[s][j]);
  interface_terms(m.g[j + 1], t.kz, below, t.F, t.G, odd);
  // phase_factor(d kz) = exp(2i d kz); exp(0) = 1 for the vacuum.
  if (j == 0) {
    t.E = {set1(1.0), zero};
  } else {
    const V d = set1(m.d[j]);
    const C phi{d * t.kz.re, d * t.kz.im};
    t.E = cexp({set1(-2.0) * phi.im, set1(2.0) * phi.re});
  }
  return t;
}

}  // namespace

void amplitudes(const Media& m, int n, const double* k0, const double* k0sq, double* const Rr[2],
                double* const Ri[2], unsigned char* special) {
  const int N = m.N;
  const V zero = set1(0.0);
  for (int l = 0; l < n; l += 4) {
    const V k0v = _mm256_loadu_pd(k0 + l);
    const V k0sqv = _mm256_loadu_pd(k0sq + l);
    V odd = zero;  // lanes the caller must recompute
    C below0 = wave_number(k0sqv, m.Ur[0][N + 1], m.Ui[0][N + 1]);
    C X0{zero, zero};
    if (!m.magnetic) {
      for (int j = N; j >= 0; --j) {
        const Terms a = medium_terms(m, 0, j, k0v, k0sqv, below0, odd);
        X0 = recursion_step(a.E, a.F, a.G, X0);
        below0 = a.kz;
      }
    } else {
      C below1 = m.same[N + 1] ? below0 : wave_number(k0sqv, m.Ur[1][N + 1], m.Ui[1][N + 1]);
      C X1{zero, zero};
      for (int j = N; j >= 0; --j) {
        const Terms a = medium_terms(m, 0, j, k0v, k0sqv, below0, odd);
        Terms b;
        if (j > 0 && m.same[j] && m.same[j + 1]) {
          b = a;  // both media without a magnetic term: the same terms
        } else if (j > 0 && m.same[j]) {
          // The same wave number and phase factor; the interface below differs.
          b = a;
          interface_terms(m.g[j + 1], a.kz, below1, b.F, b.G, odd);
        } else {
          b = medium_terms(m, 1, j, k0v, k0sqv, below1, odd);
        }
        X0 = recursion_step(a.E, a.F, a.G, X0);
        X1 = recursion_step(b.E, b.F, b.G, X1);
        below0 = a.kz;
        below1 = b.kz;
      }
      _mm256_storeu_pd(Rr[1] + l, X1.re);
      _mm256_storeu_pd(Ri[1] + l, X1.im);
    }
    _mm256_storeu_pd(Rr[0] + l, X0.re);
    _mm256_storeu_pd(Ri[0] + l, X0.im);
    const int mask = _mm256_movemask_pd(odd);
    for (int k = 0; k < 4; ++k)
      if ((mask >> k) & 1) special[l + k] = 1;
  }
}

}  // namespace tessaline::batch
