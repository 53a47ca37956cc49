// In-place inversion of the packed symmetric positive-definite curvature matrix
// of the active parameters, by square-root (Cholesky) elimination: a forward
// pass turns the lower triangle into the inverse L^-1 of the Cholesky factor
// (matrix = L L^T), a product pass forms (L^-1)^T L^-1 in the same storage.
// When a pivot is not clearly positive, or an element of L^-1 grows beyond
// sqrt(1e36/n), the inversion stops and designates one parameter, which LSQFIT
// then removes before solving again.  The order of operations is fixed because
// the failure tests look at intermediate values.
//
// mconv_reference() walks the triangle exactly as the method is written down,
// reading columns of the row-packed triangle element by element.  MCONV() does
// the same operations on every element in the same order, but reads each column
// it needs once into a work row, so that every inner loop runs along a row of
// the packed storage; it gives the same bits and is far faster for large n.
#include <cmath>

#include "fit/fit.hpp"

namespace tessaline {

namespace {

// Parameter index of the k-th active parameter (WORKLIM > 0), counted from 1.
int active_parameter(const FitState& fs, int k) {
  int I = 0;
  for (int found = 0; found < k;) {
    ++I;
    if (fs.WORKLIM(I) > 0.0) ++found;
  }
  return I;
}

void designate(FitState& fs, int I) {
  fs.WORKLIM(I) = -2.0;
  fs.FACTOR(I) = 0.0;
  fs.BADPAR = I;
}

// Element (i, j), j <= i, of the packed triangle in Z.
double& z_at(FitState& fs, int i, int j) { return fs.Z(static_cast<int>(packed(i, j))); }

}  // namespace

void mconv_reference(FitState& fs, int n) {
  if (n <= 0) return;
  const double AM = std::sqrt(1e36 / n);
  const double pivot_floor = 1.0 / (AM * AM);

  int I = 0;
  for (int i = 1; i <= n; ++i) {
    do {
      ++I;
    } while (fs.WORKLIM(I) <= 0.0);

    const double p = z_at(fs, i, i);
    if (p <= pivot_floor || 1e-36 * std::fabs(fs.FACTOR(I)) >= p) {
      designate(fs, I);
      return;
    }
    const double t = 1.0 / std::sqrt(p);
    z_at(fs, i, i) = t;

    // Row i of L^-1 left of the diagonal; a huge element means the parameter of
    // its column is nearly a combination of the others.
    for (int j = i - 1; j >= 1; --j) {
      z_at(fs, i, j) = z_at(fs, i, j) * t;
      if (std::fabs(z_at(fs, i, j)) >= AM) {
        designate(fs, active_parameter(fs, j));
        return;
      }
    }
    if (i == n) break;

    // Eliminate column i from the rows below.
    for (int k = n; k >= i + 1; --k) {
      const double z = z_at(fs, k, i);
      const double u = z * t;
      const double q = u * t;
      for (int l = k; l >= i + 1; --l) z_at(fs, k, l) = z_at(fs, k, l) - q * z_at(fs, l, i);
      for (int l = i - 1; l >= 1; --l) z_at(fs, k, l) = z_at(fs, k, l) - u * z_at(fs, i, l);
      z_at(fs, k, i) = -q;
    }
  }

  // Inverse = (L^-1)^T L^-1, column by column from the left; every element is
  // read before it is overwritten.
  for (int i = 1; i <= n; ++i) {
    for (int k = i; k <= n; ++k) {
      double sum = 0.0;
      for (int l = k; l <= n; ++l) sum = sum + z_at(fs, l, i) * z_at(fs, l, k);
      z_at(fs, k, i) = sum;
    }
  }
}

void MCONV(FitState& fs, int n) {
  if (n <= 0) return;
  const double AM = std::sqrt(1e36 / n);
  const double pivot_floor = 1.0 / (AM * AM);
  double* Z = fs.Z.data();                                 // (i, j) at Z[packed(i, j) - 1]
  auto row = [Z](int i) { return Z + packed(i, 1) - 1; };  // row(i)[j - 1] = (i, j)
  double* col = fs.mconv_work.data();                      // col[l - 1]

  int I = 0;
  for (int i = 1; i <= n; ++i) {
    do {
      ++I;
    } while (fs.WORKLIM(I) <= 0.0);

    double* ri = row(i);
    const double p = ri[i - 1];
    if (p <= pivot_floor || 1e-36 * std::fabs(fs.FACTOR(I)) >= p) {
      designate(fs, I);
      return;
    }
    const double t = 1.0 / std::sqrt(p);
    ri[i - 1] = t;
    for (int j = i - 1; j >= 1; --j) {
      ri[j - 1] = ri[j - 1] * t;
      if (std::fabs(ri[j - 1]) >= AM) {
        designate(fs, active_parameter(fs, j));
        return;
      }
    }
    if (i == n) break;

    // Column i below the diagonal as it stands before this elimination: the rows
    // are eliminated from the bottom up, and row k reads only (l, i) with l <= k,
    // which its own and the later rows have not yet changed.
    for (int l = i + 1; l <= n; ++l) col[l - 1] = row(l)[i - 1];
    for (int k = n; k >= i + 1; --k) {
      double* rk = row(k);
      const double z = rk[i - 1];
      const double u = z * t;
      const double q = u * t;
      // Each element of row k changes once here, so the order along the row is
      // free; ascending loops vectorize.
      for (int l = i + 1; l <= k; ++l) rk[l - 1] = rk[l - 1] - q * col[l - 1];
      for (int l = 1; l <= i - 1; ++l) rk[l - 1] = rk[l - 1] - u * ri[l - 1];
      rk[i - 1] = -q;
    }
  }

  // Column i of the inverse: (k, i) = sum over l = k..n of (l, i) (l, k), summed
  // in increasing l from 0.  The rows l are walked once, adding each row's terms
  // to the sums of all k <= l; column i is written when all its sums are done.
  double* acc = col;
  for (int i = 1; i <= n; ++i) {
    for (int k = i; k <= n; ++k) acc[k - 1] = 0.0;
    for (int l = i; l <= n; ++l) {
      const double* rl = row(l);
      const double c = rl[i - 1];
      for (int k = i; k <= l; ++k) acc[k - 1] = acc[k - 1] + c * rl[k - 1];
    }
    for (int k = i; k <= n; ++k) row(k)[i - 1] = acc[k - 1];
  }
}

}  // namespace tessaline
