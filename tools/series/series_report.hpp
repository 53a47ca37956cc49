// What a joint fit of a series reports while it runs: the series read back,
// and one block per iteration on the console (shared parameters once, then
// each set's own, the normalized chi-square of the series and of every set).
// The monitor keeps every pass, from which the files are written when the fit
// has ended (series_files.hpp), and the covariance of the free parameters is
// taken from the minimizer's last solve.
#pragma once

#include <string>
#include <vector>

#include "fit/fit.hpp"
#include "report/report.hpp"
#include "textio/textio.hpp"
#include "tools/series/series.hpp"
#include "tools/series/series_sgz.hpp"

namespace tessaline::series {

// The series as loaded: its sets with their files and points, the shared
// parameters, the free parameters of the joint fit.  One line each.
std::vector<std::string> series_summary(const Series& s);

// One iteration of the joint fit, as the monitor received it.
struct Pass {
  int ITER = 0;
  double S = 0;
  double FITSTAT = 0;
  std::vector<double> set_S;  // each set's own part of S
  // The joint vector and the minimizer's state over it, joint index j at [j - 1].
  std::vector<double> PARAM, WORKLIM, PARERR, FACTOR;
};

// The minimizer's state over one set's slots, for the program's monitor.
struct SetFitState {
  ParamVector WORKLIM, PARERR, FACTOR;
  double FITSTAT = 0;
  FitView view() const { return {WORKLIM, PARERR, FACTOR, FITSTAT}; }
};

// A set's tables and state at a pass: its PARAM from the joint values, and
// the state of its slots (a fixed slot as the minimizer leaves it: 0).
void set_pass(SeriesSet& set, const Pass& pass, SetFitState& state);

// The monitor of the joint fit: prints every iteration to the console, keeps
// the text of the blocks for the series results file and every pass for the
// sets' results files.
class SeriesMonitor : public Monitor {
 public:
  SeriesMonitor(Series& s, FitState& fs, const SeriesSGZ& sgz, textio::OutStream& console);

  void MONITO(double S, int NPAR, int ITER, int PRTFREQ, double SPRED, double STEPERR,
              double STEPSCALE, double LIMTREND) override;
  // Names, set by set, the first point whose model value is not finite.
  void nonfinite_start(int point) override;

  const std::vector<Pass>& passes() const { return passes_; }
  const std::string& blocks() const { return blocks_; }

 private:
  void line(const textio::Record& r);
  void line(std::string_view text);

  Series& s_;
  FitState& fs_;
  const SeriesSGZ& sgz_;
  textio::OutStream& console_;
  std::vector<SetFitState> states_;  // one per set, reused at every pass
  std::vector<Pass> passes_;
  std::string blocks_;
};

// The covariance matrix of the parameters that are active at the end of a fit
// (WORKLIM > 0): the inverse curvature matrix that LSQFIT's last solve leaves
// in fs.Z, from which PARERR is taken (PARERR = sqrt of its diagonal), packed
// by rows, in the units of PARAM.
struct Covariance {
  std::vector<int> index;      // the parameters, in order
  std::vector<double> matrix;  // element (a, b), b <= a, at packed(a, b) - 1
  double at(int a, int b) const {
    return a >= b ? matrix[static_cast<std::size_t>(packed(a, b) - 1)]
                  : matrix[static_cast<std::size_t>(packed(b, a) - 1)];
  }
};

// The covariance at the end of a fit of t whose last evaluation of S was
// finite (so that the fit ended after a solve); empty otherwise.
Covariance end_covariance(const Tables& t, const FitState& fs, bool solved);

}  // namespace tessaline::series
