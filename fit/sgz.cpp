// Objective, gradient and Gauss-Newton curvature matrix over all measured points.
//
// ARITHM forms the model value of one point and its forward-difference
// derivatives by displacing one free parameter at a time in PARAM; SGZ sums
// S = sum (r/sigma)^2 / 2, G = sum (r/sigma)(D/sigma) and the packed lower
// triangle Z = sum (D/sigma)(D/sigma)^T.  Points are taken in table order and
// free parameters in index order, so the same inputs always give the same bits.
// No allocation; all storage is in Tables and FitState.
#include <cmath>

#include "fit/difference_step.hpp"
#include "fit/fit.hpp"
#include "fit/parallel_sgz.hpp"

namespace tessaline {

namespace {

double model_value(Tables& t, FitState& fs) {
  if (fs.model_override != nullptr) return fs.model_override(t, t.PARAM, fs.model, fs.X);
  return FUNCT(t, fs.model, fs.X);
}

}  // namespace

void ARITHM(Tables& t, FitState& fs, double& f) {
  const double f0 = model_value(t, fs);
  for (int i = 1; i <= fs.NPARFIT; ++i) {
    fs.DERIV(i) = 0.0;
    if (t.STEPLIM(i) <= 0.0) continue;

    const double a0 = t.PARAM(i);
    double h = 0.0;
    t.PARAM(i) = difference_step(a0, t.STEPLIM(i), t.PARMIN(i), t.PARMAX(i), h);
    fs.DERIV(i) = (model_value(t, fs) - f0) / h;
    t.PARAM(i) = a0;  // the saved value, not a0 + h - h
  }
  f = f0;
}

void SGZ(Tables& t, FitState& fs, int NPAR, double& S) {
  if (fs.fast != nullptr && fs.model_override == nullptr) {
    fs.fast->SGZ(t, fs, NPAR, S);
    return;
  }
  const int w = t.nvalues;
  for (int p = 1; p <= t.npoint; ++p) {
    const int k = 1 + (p - 1) * w;
    for (int m = 1; m <= w - 2; ++m) fs.X(m) = t.POINTS(k + 1 + m);

    double f = 0.0;
    ARITHM(t, fs, f);

    const double sigma = t.POINTS(k + 1);
    const double r = f - t.POINTS(k);
    S = S + (r / sigma) * (r / sigma) / 2.0;

    // Compact the derivatives of the free parameters to the front of DERIV,
    // weighted by 1/sigma; safe in place because n <= i.
    int n = 0;
    for (int i = 1; i <= NPAR; ++i) {
      if (t.STEPLIM(i) > 0.0) {
        ++n;
        fs.DERIV(n) = fs.DERIV(i) / sigma;
        fs.G(i) = fs.G(i) + (r / sigma) * fs.DERIV(n);
      }
    }

    int L = 1;
    for (int j = 1; j <= n; ++j) {
      for (int kk = 1; kk <= j; ++kk) {
        fs.Z(L) = fs.Z(L) + fs.DERIV(j) * fs.DERIV(kk);
        ++L;
      }
    }
  }
}

int first_nonfinite_point(Tables& t, FitState& fs) {
  const int w = t.nvalues;
  int overflow_point = 0;
  for (int p = 1; p <= t.npoint; ++p) {
    const int k = 1 + (p - 1) * w;
    for (int m = 1; m <= w - 2; ++m) fs.X(m) = t.POINTS(k + 1 + m);
    const double f = model_value(t, fs);
    if (!std::isfinite(f)) return p;
    const double r = (f - t.POINTS(k)) / t.POINTS(k + 1);
    if (overflow_point == 0 && !std::isfinite(r * r / 2.0)) overflow_point = p;
  }
  return overflow_point;
}

}  // namespace tessaline
