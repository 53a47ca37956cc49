// Shared set-up for the minimizer tests: parameter tables laid out like the
// program's (defaults, scale factors, bounds), a point table filler, a monitor
// that records every pass without allocating while the fit runs, and one
// evaluation of S, G and Z compared bit for bit with another.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "fit/fit.hpp"
#include "tables/tables.hpp"

namespace tessaline::test {

// Tables for a film of nlay layers with the program's default step limits,
// bounds and scale factors, wavelength 4 A, a one-point collimation kernel, no
// zero correction, ideal polarizer and analyser along y, magnetization axis
// along y, total scaling 1 and every other value 0.
inline std::unique_ptr<Tables> film_tables(int nlay) {
  auto t = make_tables();
  t->pi = kPi;
  t->wavelength = 4.0;
  t->nlay = nlay;
  t->NPAR = 6 * nlay + 17;
  t->j0 = 1;
  t->coll_offset(1) = 0.0;
  t->coll_weight(1) = 1.0;
  t->nvalues = 4;
  const int n = nlay;
  struct Slot {
    double scale, step, lo, hi;
  };
  const Slot layer[6] = {{1, 10, 0, 1e6},      {1e6, 1e-6, -1e-4, 1e-4}, {1e6, 1e-6, -1e-4, 1e-4},
                         {1e6, 1e-6, 0, 1e-4}, {1, 0.1, -1, 1},          {1, 10, 0, 1e4}};
  const Slot tail[17] = {{1e6, 1e-6, -1e-4, 1e-4}, {1e6, 1e-6, -1e-4, 1e-4}, {1e6, 1e-6, 0, 1e-4},
                         {1, 0.5, -1, 1},          {1, 10, 0, 1e4},          {1, 0.1, -1, 1},
                         {1, 0.1, -1, 1},          {1, 0.1, 0, 1},           {1, 100, 0, 1e20},
                         {1, 0.01, 0, 1},          {1, 0.01, 0, 1},          {1, 0.1, -1, 1},
                         {1, 0.1, -1, 1},          {1, 0.1, -1, 1},          {1, 0.1, -1, 1},
                         {1, 0.1, -1, 1},          {1, 0.1, -1, 1}};
  auto set = [&](int i, const Slot& s) {
    t->SCALE(i) = s.scale;
    t->STEPLIM(i) = s.step * s.scale;
    t->PARMIN(i) = s.lo * s.scale;
    t->PARMAX(i) = s.hi * s.scale;
  };
  for (int k = 1; k <= n; ++k)
    for (int m = 0; m < 6; ++m) set(6 * k - 5 + m, layer[m]);
  for (int m = 0; m < 17; ++m) set(6 * n + 1 + m, tail[m]);
  t->PARAM(6 * n + 6) = 1.0;   // <Cos(gamma)>
  t->PARAM(6 * n + 9) = 1.0;   // total scaling
  t->PARAM(6 * n + 13) = 1.0;  // Pi(y)
  t->PARAM(6 * n + 16) = 1.0;  // Pf(y)
  return t;
}

// Physical value v stored into slot i.
inline void set_phys(Tables& t, int i, double v) { t.PARAM(i) = v * t.SCALE(i); }

inline void fix(Tables& t, int i) {
  t.STEPLIM(i) = 0.0;
  ++t.NFIX;
}

// Appends one point (measured value, error, angle, channel code).
inline void add_point(Tables& t, double y, double sigma, double x1, double x2) {
  const int k = 1 + t.npoint * t.nvalues;
  t.POINTS(k) = y;
  t.POINTS(k + 1) = sigma;
  t.POINTS(k + 2) = x1;
  t.POINTS(k + 3) = x2;
  ++t.npoint;
}

// One pass as the monitor saw it: the arguments, FITSTAT, and the first
// kTracked entries of PARAM, WORKLIM, STEPLIM and PARERR.
inline constexpr int kTracked = 32;
struct Pass {
  double S, SPRED, STEPERR, STEPSCALE, LIMTREND, FITSTAT;
  int NPAR, ITER, PRTFREQ;
  std::array<double, kTracked + 1> PARAM, WORKLIM, STEPLIM, PARERR;
};

class RecordingMonitor : public Monitor {
 public:
  RecordingMonitor(const Tables& t, const FitState& fs) : t_(t), fs_(fs) { passes.reserve(512); }

  void MONITO(double S, int NPAR, int ITER, int PRTFREQ, double SPRED, double STEPERR,
              double STEPSCALE, double LIMTREND) override {
    if (passes.size() == passes.capacity()) return;  // never reallocate during a fit
    Pass p{S,    SPRED,   STEPERR, STEPSCALE, LIMTREND, fs_.FITSTAT, NPAR,
           ITER, PRTFREQ, {},      {},        {},       {}};
    for (int i = 1; i <= std::min(NPAR, kTracked); ++i) {
      p.PARAM[i] = t_.PARAM(i);
      p.WORKLIM[i] = fs_.WORKLIM(i);
      p.STEPLIM[i] = t_.STEPLIM(i);
      p.PARERR[i] = fs_.PARERR(i);
    }
    passes.push_back(p);
  }
  void nonfinite_start(int point) override {
    ++nonfinite_calls;
    nonfinite_point = point;
    nonfinite_before_monito = passes.size();
  }

  std::vector<Pass> passes;
  int nonfinite_calls = 0;
  int nonfinite_point = -1;
  std::size_t nonfinite_before_monito = 0;

 private:
  const Tables& t_;
  const FitState& fs_;
};

// The program's constants for LSQFIT.
struct FitRun {
  double S = 0, STEPERR = 0, STEPSCALE = 0;
  int IEXIT = 0;
};
inline FitRun run_fit(Tables& t, FitState& fs, Monitor& m, int MAXITER = 200, int MAXRED = 1,
                      int NCALM = 2, double TOL = 0.1) {
  FitRun r;
  LSQFIT(t, fs, m, r.S, t.NPAR, MAXRED, NCALM, MAXITER, TOL, r.STEPERR, r.STEPSCALE, 1, r.IEXIT);
  return r;
}

// S, G and Z of one evaluation by SGZ on fresh state: through `fast` when it
// is set, else straightforwardly, with `model` in place of FUNCT when that is
// set.  Z with 8 elements beyond the used triangle, which must stay zero.
struct Sums {
  double S = 0;
  std::vector<double> G, Z;
};

inline Sums evaluate_sgz(Tables& t, FastSGZ* fast, ModelFunction model = nullptr) {
  auto fs = make_fit_state();
  fs->fast = fast;
  fs->model_override = model;
  fs->NPARFIT = t.NPAR;
  int nfree = 0;
  for (int i = 1; i <= t.NPAR; ++i) nfree += t.STEPLIM(i) > 0.0;
  Sums s;
  SGZ(t, *fs, t.NPAR, s.S);
  s.G.assign(fs->G.data(), fs->G.data() + t.NPAR);
  s.Z.assign(fs->Z.data(), fs->Z.data() + packed(nfree, nfree) + 8);
  return s;
}

inline void expect_same_bits(const Sums& a, const Sums& b) {
  EXPECT_EQ(std::memcmp(&a.S, &b.S, sizeof a.S), 0) << a.S << " vs " << b.S;
  ASSERT_EQ(a.G.size(), b.G.size());
  ASSERT_EQ(a.Z.size(), b.Z.size());
  EXPECT_EQ(std::memcmp(a.G.data(), b.G.data(), a.G.size() * sizeof(double)), 0);
  EXPECT_EQ(std::memcmp(a.Z.data(), b.Z.data(), a.Z.size() * sizeof(double)), 0);
}

}  // namespace tessaline::test
