// tessaline-scan: profile scans of the settings that no fit moves (the angle-zero
// correction, the collimation sigma) and of any parameter held at a series of
// values, alone or two at a time for a map, and fits from many starts.
//
// Every grid point is a fit of its own: the problem's tables copied, the
// setting applied, every free parameter refitted by LSQFIT with the program's
// settings.  This header holds the command line and the grid; fits.hpp runs
// the fits, table.hpp reads and writes the table of a scan, analysis.hpp reads
// minima and intervals from it, report.hpp and output.hpp say and write what
// was found.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tessaline::scan {

// Input that cannot be used (a file, a parameter, a grid the problem cannot
// take); the message names the file or the option.
class ScanError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A command line that cannot be used; the front end adds the usage text.
class UsageError : public ScanError {
 public:
  using ScanError::ScanError;
};

// Largest number of values on one axis of a grid.
inline constexpr int kMaxAxisPoints = 10000;
// Largest number of fits (grid points of the share times starts) of one run:
// the fitted values of every fit are kept until the table is written.
inline constexpr long kMaxFits = 1000000;

// What one axis of the grid sets.
enum class AxisKind {
  kZero,   // the angle-zero correction, mrad
  kSigma,  // the collimation sigma, mrad; the kernel's step keeps its ratio to it
  kParam,  // a parameter slot, held at each value, in the unit the entry file gives it in
};

// One axis: n values evenly spaced from `first` to `last`.
struct Axis {
  AxisKind kind = AxisKind::kZero;
  int slot = 0;  // kParam: the parameter's number, as `tessaline-entry show` numbers it
  double first = 0;
  double last = 0;
  int n = 0;
  // For a parameter: its name and unit (from the entry file), for labels.
  std::string name;
  std::string unit;

  // Value i, 0-based; the first and the last are `first` and `last` exactly.
  double value(int i) const;
  // "zero correction [mrad]", "sigma [mrad]", "parameter 7 (thickness) [A]".
  std::string label() const;
  // Its column heading: "zero[mrad]", "sigma[mrad]", "p7[A]".
  std::string column() const;
};

// The heading of a column of a parameter's values, one word: "p10[1e-6A^-2]".
std::string value_column(int slot, std::string unit);

// The grid of a scan: no axis (one point, for a search from many starts), one
// or two.  Point g (0-based) of a map has the index i0 * n1 + i1 on the axes,
// so the second axis runs fastest.
struct Grid {
  std::vector<Axis> axes;

  int size() const;
  // The axis indices of point g.
  std::vector<int> coords(int g) const;
  int index(const std::vector<int>& coords) const;
  // The values of the axes at point g.
  std::vector<double> setting(int g) const;
};

// The I-th (1-based) of N interleaved shares of a grid: the points g with
// g mod N = I - 1.
struct Share {
  int index = 1;
  int count = 1;
  bool holds(int g) const { return g % count == index - 1; }
  bool whole() const { return count == 1; }
};

struct Options {
  std::string entry;
  std::string data;
  int first = 0;  // points dropped at the start and at the end of every channel
  int last = 0;
  std::vector<Axis> axes;
  std::optional<int> starts;  // --starts N
  double spread = 0.25;       // starts drawn within +/- spread of each free start value
  std::uint64_t seed = 1;
  bool follow = false;  // also refit every grid point from its best neighbour's result
  int threads = 0;      // 0: every core
  std::string out = "scan";
  Share part;
  std::vector<std::string> merge;  // --merge: the tables to join
  bool scaled = false;             // interval at delta(2S) = hi_sq.norm
  std::optional<std::string> write_entry;
  bool help = false;

  int start_count() const { return starts.value_or(1); }
};

// Parses the arguments after the program name; throws UsageError.
Options parse_options(const std::vector<std::string>& args);
std::string usage();

}  // namespace tessaline::scan
