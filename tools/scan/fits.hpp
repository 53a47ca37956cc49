// The fits of a scan: the problem every grid point starts from, the setting of
// a grid point applied to a copy of its tables, the starts, and the run of all
// fits on several threads with results that do not depend on their number.
//
// Every fit runs LSQFIT with the program's settings and the fast evaluation on
// one thread (run_program_fit), so that T fits at a time use T cores.  Each
// worker owns one copy of the tables (about 200 kB) and one FitState (two
// packed matrices of 36 MB), allocated once for the whole run and reused for
// every fit it makes.  A fit depends only on its grid point and its start, so
// the table of a run is the same for any number of threads and any share.
#pragma once

#include <atomic>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "driver/driver.hpp"
#include "fit/fit.hpp"
#include "tables/tables.hpp"
#include "tools/scan/scan.hpp"

namespace tessaline::scan {

// The problem of a scan: the tables that the entry and data files give (with
// the entry file's start values, the points dropped and the kernel built), and
// what the scan needs to know of them.
struct Problem {
  std::unique_ptr<Tables> base;
  std::unique_ptr<EntrySources> sources;
  std::string entry_name;
  std::string entry_text;  // the entry file's bytes, for the entry files written
  int j0 = 0;              // the entry file's kernel points
  double step_mrad = 0;    // the entry file's collimation step and sigma, as written
  double sigma_mrad = 0;
  Grid grid;              // the axes, with the names and units of parameters
  std::vector<int> free;  // the parameters every grid point's fit moves

  // The unit the entry file gives slot i in.
  EntryUnit unit(int i) const { return sources->slot(i).unit; }
  // A value of slot i as the entry file gives it, stored as its reader stores
  // it (PARAM); and a PARAM value of slot i in the entry file's unit.
  double to_param(int i, double v) const {
    return entry_to_physical(v, unit(i)) * base->SCALE(i);
  }
  double to_entry(int i, double param) const {
    return physical_to_entry(param / base->SCALE(i), unit(i));
  }
};

// Reads the entry and data files and checks that the scans of `o` can be made
// on them: a parameter number within 1..NPAR; a sigma scan needs a kernel of
// more than one point with a positive sigma in the entry file, and data whose
// points do not carry their own resolution (then the entry's sigma only sets the
// kernel's shape, and a scan of it would change nothing).  Throws ScanError.
Problem prepare_problem(const Options& o);

// The tables of grid point g: `t` becomes a copy of the problem's tables with
// the setting of g applied, stored as the entry-file reader would store it
// from an entry file that gave that setting.  A zero correction is set in rad;
// a sigma sets the step at the entry file's ratio (collimation_step) and
// rebuilds the kernel; a parameter, given in the entry file's unit, is held at
// its value (STEPLIM 0, counted in NFIX when the entry file leaves it free, so
// that hi_sq.norm has the degrees of freedom of a fit with it fixed).
void set_grid_point(Tables& t, const Problem& p, int g);

// The collimation step in mrad that goes with a sigma of `sigma_mrad`: the
// entry file's step times sigma over the entry file's sigma (so exactly the
// entry file's step at its sigma).
double collimation_step(const Problem& p, double sigma_mrad);

// Start s (1-based) of grid point g, in the entry file's units, one value per
// free parameter: for s = 1 the entry file's start values, for s > 1 each free
// value v drawn uniformly from v*(1 - spread) to v*(1 + spread) and clipped to
// its bounds.  The draws of (seed, g, s) are always the same (a Mersenne
// twister seeded with the three), whatever runs before them.
std::vector<double> start_values(const Problem& p, int g, int s, double spread,
                                 std::uint64_t seed);

// One fit's outcome.  The start is in the entry file's units, the values and
// errors at the end in internal units (PARAM).
struct FitRecord {
  static constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  double S = kNaN;    // chi-square / 2 at the end
  double chi = kNaN;  // hi_sq.norm
  int status = 0;     // LSQFIT's end status (1, -1, -2, -3); 0: not run
  int start = 1;      // 1: the entry's start; s > 1: the s-th start; 0: a neighbour's result
  std::vector<double> start_values;
  std::vector<double> values;
  std::vector<double> errors;

  // The start gave a chi-square (the fit could run).
  bool finite() const { return std::isfinite(S); }
};

// A minimum reached from several starts: the best fit that reached it and the
// starts that did.
struct Minimum {
  FitRecord best;
  std::vector<int> starts;
};

// The minima of the fits of one grid point, best first: fits whose hi_sq.norm
// agree to 1e-4 (relative; or whose S differ by at most 0.05, a tenth of the
// rise of one standard deviation, for data fitted to rounding) and whose
// values all lie within the larger of their two errors of each other reached
// the same minimum.  Fits without a finite chi-square are left out.
inline constexpr double kSameRelative = 1e-4;
inline constexpr double kSameAbsolute = 0.05;
std::vector<Minimum> group_minima(const std::vector<FitRecord>& fits);

// What a grid point gave: its best fit, how many of its starts reached that
// minimum, and every minimum found.
struct PointResult {
  bool done = false;
  FitRecord best;
  int reached = 0;
  std::vector<Minimum> minima;
  int failed = 0;  // starts without a finite chi-square
};

struct RunControl {
  int threads = 0;  // 0: every core
  // Set (to a signal's number) to stop: no fit starts after it, and the fits
  // running end at their next iteration.  Not owned.
  const std::atomic<int>* stop = nullptr;
  // Called on the calling thread about every second while fits run: the fits
  // done and to do in this pass, the pass (0, then 1, 2, ... of --follow) and
  // the seconds since the run began.
  std::function<void(long done, long total, int pass, double seconds)> progress;
};

struct ScanResult {
  std::vector<PointResult> points;  // by grid index; the points of the share are filled
  long fits = 0;                    // fits run
  int passes = 0;                   // passes of --follow made
  int stopped_by = 0;               // the signal that stopped the run, 0 if none
  bool follow_unfinished = false;   // stopped during the passes of --follow
  double seconds = 0;
};

// Every fit of the share of `o.part`: each grid point from o.start_count()
// starts, then with --follow the passes that refit a grid point from its best
// neighbour's result (neighbours whose result changed in the pass before), each
// pass on the results of the pass before, until none improves.
ScanResult run_scan(const Problem& p, const Options& o, const RunControl& c);

// Sets `t` to grid point g with start `start_number`'s values, ready for a fit
// that repeats the one that began there: for start 1 the entry file's own, as
// its reader stored them (a trip through the entry file's units could move a
// value by its last bit), else `start` (entry file's units), stored as the
// reader would store them from an entry file that gave them.
void prepare_fit(Tables& t, const Problem& p, int g, int start_number,
                 const std::vector<double>& start);

// The fitted values of a record in the entry file's units.
std::vector<double> entry_values(const Problem& p, const std::vector<double>& values);

// The entry file's text with a setting written in (one value per axis): a zero
// correction, a sigma with its step (collimation_step), a parameter's value
// with its mark made to fix it; with `values` (entry file's units, one per
// free parameter) the start values too.  Every other byte stays.  Run on the
// data file with the same exclusions, the program fits what the scan fitted
// at that setting.  Throws ScanError.
std::string entry_with_setting(const Problem& p, const std::vector<double>& setting,
                               const std::vector<double>* values);

// The record of the fit just run on `t` with `fs`.
FitRecord record_fit(const Tables& t, const FitState& fs, const Problem& p, double S, int status);

}  // namespace tessaline::scan
