// A fit prepared as the program prepares it, without its console dialogue: for
// the tools that fit in-process (a field series, a scan, a posterior sampler).
//
// load_problem reads the entry file and the data file with the program's own
// readers (classic data files and point lists alike), drops points at both ends
// of every channel as the exclusion prompts do, and builds the collimation
// kernel; every way the program would stop on these files becomes one
// ProblemError whose message names the file and says why.  run_program_fit runs
// LSQFIT with the program's settings and the fast evaluation, so that a tool's
// fit of the same files ends on the same numbers as the program's.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include "fit/fit.hpp"
#include "tables/tables.hpp"

namespace tessaline {

class ProblemError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The files of one fit and the points to drop at the start and at the end of
// every channel that holds points.
struct ProblemFiles {
  std::string entry;
  std::string data;
  int first = 0;
  int last = 0;
};

struct EntrySources;  // driver.hpp

// The tables of `files`, ready for LSQFIT.  The entry file's echo is dropped;
// with `sources`, the place and unit of every entry-file value are recorded
// there.  Throws ProblemError.
std::unique_ptr<Tables> load_problem(const ProblemFiles& files, EntrySources* sources = nullptr);

// A monitor that only counts the passes of the fit.
class SilentMonitor : public Monitor {
 public:
  void MONITO(double, int, int, int, double, double, double, double) override { ++passes; }
  int passes = 0;
};

struct FitResult {
  double S = 0;  // objective at the end, chi-square / 2
  double STEPERR = 0;
  double STEPSCALE = 0;
  int IEXIT = 0;  // end status: 1, -1, -2 or -3
};

// LSQFIT on t with the program's settings (kProgramMAXRED, ...), S, G and Z by
// the fast evaluation on `threads` threads (0: every hardware thread; the
// numbers do not depend on it), reported to `monitor`.  fs must be fresh or
// reused only for fits of tables with the same points; the caller sets t's
// parameter values, step limits and bounds.
FitResult run_program_fit(Tables& t, FitState& fs, Monitor& monitor, int threads = 0);
// The same with another fast evaluation of S, G and Z (a joint fit of several
// data sets); t holds the parameter vector that it evaluates.
FitResult run_program_fit(Tables& t, FitState& fs, Monitor& monitor, FastSGZ& fast);

// Degrees of freedom of the normalized chi-square, as the monitor counts them:
// the points in the fit less the parameters the entry file leaves free.
int degrees_of_freedom(const Tables& t);

// hi_sq.norm = 2S / degrees_of_freedom(t); NaN when there are no degrees of
// freedom (the monitor then prints asterisks).
double normalized_chi_square(const Tables& t, double S);

}  // namespace tessaline
