// Cached evaluation of the model function at one measured angle, for all four
// spin channels at once.
//
// The minimizer evaluates FUNCT once per point at the current parameters and once
// more per free parameter with that one parameter displaced.  The optics of one
// angle is the same for every channel (only the selection of the channel sum
// differs), so points of different channels at the same angle share one
// evaluation here.  A displaced parameter of layer k changes nothing below layer
// k, and a parameter outside the optics (scale, background, illumination,
// magnetization averages, polarization) changes no reflection amplitude.  PointOptics keeps every
// intermediate quantity of the undisplaced evaluation (per kernel point and spin state: wave
// numbers, phase factors, interface terms, recursion amplitudes; per kernel point: R+, R-, channel
// intensities and weights) and recomputes for a displaced parameter only what depends on it, with
// the same elementary steps in the same order as FUNCT, so that every value is bit for bit the one
// FUNCT returns for that channel.
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

  // FUNCT's values at PARAM for the measured angle theta and the point
  // resolution `resolution` (rad, or kEntryKernel: see point_kernel()), f[c - 1]
  // for channel code c = 1..4, keeping the intermediate quantities.
  void evaluate(const Tables& t, const ParamVector& PARAM, double theta, double resolution,
                double f[4]);
  // The same with the entry file's kernel.
  void evaluate(const Tables& t, const ParamVector& PARAM, double theta, double f[4]) {
    evaluate(t, PARAM, theta, kEntryKernel, f);
  }

  // The same for the angle last evaluated, with PARAM differing from the
  // evaluated parameters in slot i only.
  void displaced(const Tables& t, const ParamVector& PARAM, int i, double f[4]);

 private:
  // Real and imaginary parts in separate arrays.
  struct Split {
    std::vector<double> re, im;
    void assign(std::size_t n) {
      re.assign(n, 0.0);
      im.assign(n, 0.0);
    }
    cplx get(std::size_t k) const { return {re[k], im[k]}; }
    void set(std::size_t k, cplx z) {
      re[k] = z.real();
      im[k] = z.imag();
    }
  };

  // Lane of kernel point c and spin state s.  The per-medium tables hold the
  // lanes of one medium side by side, so that the recursion advances one medium
  // at a time for every lane.
  static int lane(int c, int s) { return 2 * c + s; }
  std::size_t at(int lane, int j) const {
    return static_cast<std::size_t>(j) * lanes_ + static_cast<std::size_t>(lane);
  }
  // Channel sums over the active kernel points, Sigma(a,b) in sigma[a-1][b-1].
  void sum_channels(const double* omega, const double* I, double sigma[2][2]) const;
  // Amplitudes X(j) of every lane across a layer j+1 that is exactly at its
  // critical angle in some lane (the other lanes take the plain step).
  void step_near_critical(const Tables& t, const ParamVector& PARAM, int j, int m, const double* Er,
                          const double* Ei, const double* Fr, const double* Fi, const double* Gr,
                          const double* Gi, const double* x1r, const double* x1i, const double* x2r,
                          const double* x2i, double* outr, double* outi, double g_new,
                          double thickness);

  int N_ = 0;
  std::size_t lanes_ = 0;  // 2 * j0
  int nact_ = 0;           // kernel points above the zero angle
  double scaling_ = 0, background_ = 0, alpha0_ = 0, four_pi_ = 0;
  double sigma_[2][2] = {};
  ChannelTerms terms_ = {};  // at the evaluated parameters

  std::vector<double> theta_, k0_, weight_, omega_;  // per active kernel point
  std::vector<double> I_;                            // 4 per active kernel point
  std::vector<cplx> Rp_, Rm_;                        // per active kernel point
  std::vector<cplx> U_[2];                           // per medium 1..N+1
  std::vector<double> g_;                            // per medium 1..N+1
  std::vector<cplx> kz_;                             // per medium and lane
  Split E_, F_, G_, X_;                              // per medium and lane
  std::vector<char> zero_row_;                       // medium j has a lane with kz exactly 0
  std::vector<double> omega_scratch_, I_scratch_;
  // Per lane, for a displaced parameter: the changed terms of its medium, and
  // three buffers that take turns holding X(j+2), X(j+1) and X(j).
  std::vector<cplx> kz_m_;
  Split E_m_, F_up_, G_up_, F_dn_, G_dn_, zeros_;
  Split xbuf_[3];
};

// FUNCT's value for every point of the point table, f[p - 1] for point p, with
// one optics evaluation per distinct glancing angle and resolution.  Throws RunStop("X(2)
// wrong!") on a channel code outside 1..4, as FUNCT does.
std::vector<double> point_values(const Tables& t, const ParamVector& PARAM);

}  // namespace tessaline
