// Test set-up for the model: parameter tables built by hand for a given stack, in
// physical units, with the slot layout and scale factors the entry-file reader uses.
#pragma once

#include <cmath>
#include <memory>
#include <vector>

#include "model/model.hpp"
#include "tables/tables.hpp"

namespace tessaline::test {

// One layer or the substrate in physical units (A, A^-2).  The substrate ignores
// the thickness.
struct Medium {
  double d = 0;      // "thickness"
  double re = 0;     // "Re{Nb}"
  double im = 0;     // "Im{Nb}" (positive: absorption)
  double np = 0;     // "N_p"
  double cosdg = 1;  // "<Cos(delta_gamma"
  double sigma = 0;  // "Debye-Waller"
};

struct Stack {
  std::vector<Medium> layers;  // layer 1 (under the vacuum) first
  Medium substrate;
};

// SCALE as the entry-file set-up lays it out for nlay layers: 1e6 for the three
// scattering-length densities of every layer and of the substrate, 1 elsewhere.
inline void lay_out_scale(Tables& t, int nlay) {
  t.nlay = nlay;
  t.NPAR = 6 * nlay + 17;
  for (int i = 1; i <= t.NPAR; ++i) t.SCALE(i) = 1.0;
  for (int k = 1; k <= nlay; ++k)
    for (int i = 6 * k - 4; i <= 6 * k - 2; ++i) t.SCALE(i) = 1e6;
  for (int i = 6 * nlay + 1; i <= 6 * nlay + 3; ++i) t.SCALE(i) = 1e6;
}

// Tables and work storage of one model; lambda = 4 A, one collimation point at
// offset 0, no zero correction, "total scaling" 1, ideal polarizer and analyser
// along y, magnetization along y.
class ModelSetup {
 public:
  explicit ModelSetup(const Stack& s) : t_(make_tables()), w_(std::make_unique<ModelWork>()) {
    Tables& t = *t_;
    const int n = static_cast<int>(s.layers.size());
    lay_out_scale(t, n);
    t.pi = kPi;
    t.wavelength = 4.0;
    t.zero_correction = 0.0;
    t.j0 = 1;
    t.coll_offset(1) = 0.0;
    t.coll_weight(1) = 1.0;
    for (int k = 1; k <= n; ++k) {
      const Medium& m = s.layers[static_cast<std::size_t>(k - 1)];
      set(6 * k - 5, m.d);
      set_medium(6 * k - 4, m);
    }
    set_medium(6 * n + 1, s.substrate);
    set_gamma(1.0, 0.0, 0.0);
    set(global(9), 1.0);
    set_polarization({0, 1, 0}, {0, 1, 0});
  }

  Tables& t() { return *t_; }
  ModelWork& w() { return *w_; }
  int nlay() const { return t_->nlay; }

  // Store a physical value in slot i.
  void set(int i, double v) { t_->PARAM(i) = v * t_->SCALE(i); }
  // Slot of global parameter number g = 6..17 (counted from 6*nlay).
  int global(int g) const { return 6 * t_->nlay + g; }

  void set_gamma(double cg, double sg, double qg) {
    set(global(6), cg);
    set(global(7), sg);
    set(global(8), qg);
  }
  void set_instrument(double scaling, double alpha0, double background) {
    set(global(9), scaling);
    set(global(10), alpha0);
    set(global(11), background);
  }
  void set_polarization(const double (&Pi)[3], const double (&Pf)[3]) {
    for (int j = 0; j < 3; ++j) {
      set(global(12 + j), Pi[j]);
      set(global(15 + j), Pf[j]);
    }
  }

  void amplitudes(double theta, cplx& Rp, cplx& Rm) {
    spin_potentials(*t_, t_->PARAM, *w_);
    tessaline::amplitudes(*t_, t_->PARAM, *w_, theta, Rp, Rm);
  }
  // Channel intensities I[a-1][b-1] at one angle, without instrument corrections.
  void intensities(double theta, double I[2][2]) {
    cplx Rp, Rm;
    amplitudes(theta, Rp, Rm);
    channel_intensities(*t_, t_->PARAM, Rp, Rm, I);
  }
  double funct(double theta, double code) {
    PointX X;
    X(1) = theta;
    X(2) = code;
    return FUNCT(*t_, *w_, X);
  }

 private:
  void set_medium(int re_slot, const Medium& m) {
    set(re_slot, m.re);
    set(re_slot + 1, m.im);
    set(re_slot + 2, m.np);
    set(re_slot + 3, m.cosdg);
    set(re_slot + 4, m.sigma);
  }

  std::unique_ptr<Tables> t_;
  std::unique_ptr<ModelWork> w_;
};

// A Gaussian collimation kernel of j0 points `step` apart (rad), centred as
// the program centres it, weights exp(-offset^2 / (2 sigma^2)) normalized to 1.
inline void set_gaussian_kernel(Tables& t, int j0, double step, double sigma) {
  t.j0 = j0;
  double sum = 0;
  for (int j = 1; j <= j0; ++j) {
    t.coll_offset(j) = (j - j0 / 2 - 1) * step;
    t.coll_weight(j) = std::exp(-0.5 * std::pow(t.coll_offset(j) / sigma, 2));
    sum += t.coll_weight(j);
  }
  for (int j = 1; j <= j0; ++j) t.coll_weight(j) /= sum;
}

// Nudges the angle (from theta0) and the "Re{Nb}" of layer k by single ulps until
// the normal wave number of layer k is exactly zero for both spin states, which
// happens for a non-absorbing, non-magnetic layer at its critical angle.
inline bool find_critical_angle(ModelSetup& m, int k, double theta0, double& theta) {
  Tables& t = m.t();
  const int slot = 6 * k - 4;
  const double re0 = t.PARAM(slot);
  for (int dp = 0; dp <= 64; ++dp) {
    double re = re0;
    for (int n = 0; n < dp / 2; ++n) re = std::nextafter(re, dp % 2 ? 0.0 : 1.0);
    t.PARAM(slot) = re;
    spin_potentials(t, t.PARAM, m.w());
    double lo = theta0, hi = theta0;
    for (int dt = 0; dt < 512; ++dt) {
      for (double th : {lo, hi}) {
        cplx Rp, Rm;
        amplitudes(t, t.PARAM, m.w(), th, Rp, Rm);
        if (m.w().kz[0][k] == cplx(0, 0) && m.w().kz[1][k] == cplx(0, 0)) {
          theta = th;
          return true;
        }
      }
      lo = std::nextafter(lo, 0.0);
      hi = std::nextafter(hi, 1.0);
    }
  }
  return false;
}

// Channel intensity I(a,b) of a channel code: 1 UU, 2 DD, 3 UD, 4 DU.
inline double of_channel(const double I[2][2], int code) {
  static constexpr int a[5] = {0, 0, 1, 0, 1};
  static constexpr int b[5] = {0, 0, 1, 1, 0};
  return I[a[code]][b[code]];
}

}  // namespace tessaline::test
