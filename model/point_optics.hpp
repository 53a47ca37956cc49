// Cached evaluation of the model function for one measured point.
//
// The minimizer evaluates FUNCT once per point at the current parameters and once
// more per free parameter with that one parameter displaced.  A displaced
// parameter of layer k changes nothing below layer k, and a parameter outside the
// optics (scale, background, illumination, magnetization averages, polarization)
// changes no reflection amplitude.  PointOptics keeps every intermediate quantity
// of the undisplaced evaluation (per kernel point and spin state: wave numbers,
// phase factors, interface terms, recursion amplitudes; per kernel point: R+, R-,
// channel intensities and weights) and recomputes for a displaced parameter only
// what depends on it, with the same elementary steps in the same order as FUNCT,
// so that every value is bit for bit the one FUNCT returns.
//
// Storage is sized once by prepare() for the run's number of layers and kernel
// points; evaluate() and displaced() allocate nothing.  One PointOptics per thread.
#pragma once

#include <vector>

#include "model/model.hpp"

namespace tessaline {

class PointOptics {
 public:
  // Sizes the caches for t.nlay layers and t.j0 kernel points.
  void prepare(const Tables& t);

  // FUNCT's value at PARAM for the point X (same result, same stop on a bad
  // channel code), keeping the intermediate quantities.
  double evaluate(const Tables& t, const ParamVector& PARAM, const Table<double, 2>& X);

  // FUNCT's value for the point last evaluated, with PARAM differing from the
  // evaluated parameters in slot i only.
  double displaced(const Tables& t, const ParamVector& PARAM, int i);

 private:
  // Lane of kernel point c and spin state s; the per-medium tables hold the
  // lanes of one medium side by side, so that the recursion of every lane can
  // advance one medium at a time.
  static int lane(int c, int s) { return 2 * c + s; }
  std::size_t at(int lane, int j) const {
    return static_cast<std::size_t>(j) * lanes_ + static_cast<std::size_t>(lane);
  }
  double select(const double sigma[2][2]) const;
  double sum_channels(const double* omega, const double* I) const;

  int N_ = 0;
  std::size_t lanes_ = 0;   // 2 * j0
  int nact_ = 0;            // kernel points above the zero angle
  int channel_ = 0;
  double scaling_ = 0, background_ = 0, alpha0_ = 0, four_pi_ = 0;
  double sigma_[2][2] = {};
  ChannelTerms terms_ = {};  // at the evaluated parameters

  std::vector<double> theta_, k0_, weight_, omega_;  // per active kernel point
  std::vector<double> I_;                            // 4 per active kernel point
  std::vector<cplx> Rp_, Rm_;                        // per active kernel point
  std::vector<cplx> U_[2];                           // per medium 1..N+1
  std::vector<double> g_;                            // per medium 1..N+1
  std::vector<cplx> kz_, E_, F_, G_, X_;             // per medium and lane
  std::vector<double> omega_scratch_, I_scratch_;
  // Per lane, for a displaced parameter: the changed terms of its medium and the
  // recursion amplitudes X(j+1) and X(j+2).
  std::vector<cplx> kz_m_, E_m_, F_up_, G_up_, F_dn_, G_dn_, x_, x2_;
};

}  // namespace tessaline
