// Reporting: the iteration monitor of the fit, the results file "VreloBag.dat"
// and the four model-curve files with the closing console lines.
//
// Every line goes through the text-record layer; a line that belongs to both the
// console and the results file is written to the console first.  Values are
// printed in physical units, PARAM(i) / SCALE(i).  Nothing here allocates per
// line beyond the small strings of the text records; the curve files use fixed
// work tables of 200 angles and values and one set of optics caches.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "fit/fit.hpp"
#include "model/model.hpp"
#include "tables/tables.hpp"
#include "textio/output_files.hpp"
#include "textio/textio.hpp"

namespace tessaline {

// Output-name table: five 16-character, blank-padded file names.  Entries 1..4
// are the model-curve files of channel codes 1..4 (UU, DD, UD, DU), entry 5 the
// results file.  A file is opened under its entry without the trailing blanks.
inline constexpr std::array<std::string_view, 5> kOutputNames = {
    "VreloFunctUU.dat", "VreloFunctDD.dat", "VreloFunctUD.dat", "VreloFunctDU.dat",
    "VreloBag.dat    "};

// Entry i (1-based) of the output-name table, trailing blanks included.
constexpr std::string_view OUTNAM(int i) {
  return kOutputNames.at(static_cast<std::size_t>(i - 1));
}

// An output name without its trailing blanks: the name the file is opened under.
constexpr std::string_view file_name(std::string_view padded) {
  const auto end = padded.find_last_not_of(' ');
  return end == std::string_view::npos ? std::string_view{} : padded.substr(0, end + 1);
}

// The output files of a run by their file names, with what they are, for the
// checks on names (textio/output_files.hpp): the results file, then the curve
// files of channel codes 1..4.
inline std::vector<textio::NamedFile> output_files() {
  std::vector<textio::NamedFile> files{{std::string(file_name(OUTNAM(5))), "results file"}};
  for (int j = 1; j <= 4; ++j) {
    files.push_back({std::string(file_name(OUTNAM(j))), "model-curve file"});
  }
  return files;
}

// What the monitor reads of the minimizer's state: the working step limits
// with their state codes, the errors, the factors and the end status.  A
// FitState gives it directly; a fit of several data sets together gives each
// set its own small copy of these tables instead of a whole FitState.
struct FitView {
  const ParamVector& WORKLIM;
  const ParamVector& PARERR;
  const ParamVector& FACTOR;
  const double& FITSTAT;

  FitView(const ParamVector& worklim, const ParamVector& parerr, const ParamVector& factor,
          const double& fitstat)
      : WORKLIM(worklim), PARERR(parerr), FACTOR(factor), FITSTAT(fitstat) {}
  // Not explicit: the monitor of a single fit is given its FitState.
  FitView(const FitState& fs) : FitView(fs.WORKLIM, fs.PARERR, fs.FACTOR, fs.FITSTAT) {}
};

// The title line of the block of iteration ITER.
textio::Record block_title_record(int ITER);

// The parameter line of slot i as the monitor prints it: index, name, value in
// physical units, then "fixed", or the error and the factor (with the bound
// mark), or the infinite error of a parameter set aside.
textio::Record parameter_record(const Tables& t, const FitView& fs, int i);

// The line of the normalized chi-square 2S/dof as the monitor prints it; a
// field of asterisks when dof <= 0.
textio::Record chi_square_record(double S, int dof);

// The console line that explains a failure end status of LSQFIT (FITSTAT -1,
// -2 or -3); empty for any other status.
std::string_view end_status_message(double FITSTAT);

// Prints every iteration of the fit (or every PRTFREQ-th one, and the last) to
// the console and to the results file, and explains a failure status on the
// console.  The only state is the print counter, which starts at 0 and is never
// reset; the tables and the minimizer's state are read in place.
class IterationMonitor : public Monitor {
 public:
  IterationMonitor(const Tables& t, const FitView& fs, textio::OutStream& console,
                   textio::OutStream& results)
      : t_(t), fs_(fs), console_(console), results_(results) {}

  // SPRED, STEPERR, STEPSCALE and LIMTREND are part of the minimizer's report but
  // are not printed.
  void MONITO(double S, int NPAR, int ITER, int PRTFREQ, double SPRED, double STEPERR,
              double STEPSCALE, double LIMTREND) override;

  // Console only: the objective at the start values is not finite, and why.
  void nonfinite_start(int point) override;

  // Current value of the print counter (for the fit's own checks and the tests).
  int print_counter() const { return counter_; }

 private:
  void print_block(double S, int NPAR, int ITER);
  void parameter_line(int i);
  void angle_spread_lines();
  void chi_square_line(double S, int NPAR);
  // One complete line, to the console and then to the results file.
  void both(const textio::Record& r);
  void both(std::string_view line);
  void both_free(std::string_view text);

  const Tables& t_;
  const FitView fs_;
  textio::OutStream& console_;
  textio::OutStream& results_;
  int counter_ = 0;
};

// The path of output file i (OUTNAM(i) without its blanks) with `prefix` in
// front: the program's own names for an empty prefix; a tool that writes the
// files of several fits gives each its prefix ("100mT_", "scan/best_").
inline std::string output_path(int i, std::string_view prefix = {}) {
  return std::string(prefix) + std::string(file_name(OUTNAM(i)));
}

// Creates (or replaces) the results file "VreloBag.dat" (with `prefix`) on
// `results` and writes its head: title, collimation summary, and, when they
// apply, the two exclusion counts and the angle-zero correction.  Nothing goes
// to the console.
void write_results_head(textio::OutStream& results, const Tables& t, std::string_view prefix = {});

// A line of 73 percent signs to the console and to the results file, which is
// then closed.
void write_closing_line(textio::OutStream& console, textio::OutStream& results);

// The content of the model-curve files: the glancing angles k * theta_last / 200
// (k = 1..200) and the model value FUNCT of each channel code 1..4 there; with
// points that carry their own resolution, for the resolution interpolated
// linearly in angle between the fitted points' (constant beyond them).
struct CurveValues {
  static constexpr int kPoints = 200;
  Table<double, kPoints> angle;
  Table<double, kPoints> value[4];  // by channel code - 1
};

// The curve values for the parameters now in PARAM.
CurveValues curve_values(const Tables& t);

// Writes the model-curve files of the four channels (with `prefix`), one line of
// angle and value per grid point; then names the output files on the console.
void write_curve_files(const CurveValues& c, textio::OutStream& console,
                       std::string_view prefix = {});

// The curve files of the parameters now in PARAM: curve_values, then the writer.
void write_curve_files(const Tables& t, textio::OutStream& console, std::string_view prefix = {});

}  // namespace tessaline
