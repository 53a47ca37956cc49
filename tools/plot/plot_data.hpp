// Data preparation for tessaline-plot: readers for the files a fit leaves in the
// working directory (measured points, the four model curves, the results file,
// and the wavelength line of the entry file) and the small computations the
// picture needs (spin asymmetry with its error, Q scale, excluded points, ranges
// for a logarithmic intensity axis).
//
// Everything here is independent of the fitting program's libraries: the files
// are read as plain text.  A reader that meets a file it cannot use throws
// PlotError with a message that names the file and what was wrong; nothing here
// prints.  Storage is ordinary std::vector, sized by what the files hold.
#pragma once

#include <array>
#include <iosfwd>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tessaline::plot {

class PlotError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Spin channels in the order of the data file and of the curve files.
inline constexpr int kChannels = 4;
inline constexpr std::array<std::string_view, kChannels> kChannelNames = {"UU", "DD", "UD", "DU"};
inline constexpr std::array<std::string_view, kChannels> kCurveFiles = {
    "VreloFunctUU.dat", "VreloFunctDD.dat", "VreloFunctUD.dat", "VreloFunctDU.dat"};
inline constexpr std::string_view kResultsFile = "VreloBag.dat";
inline constexpr int kCurveLines = 200;  // angles per model curve
inline constexpr int kIterationLimit = 200;

// One measured point: reflectivity, its error bar (one standard deviation) and
// the glancing angle in rad.
struct Point {
  double R = 0;
  double sigma = 0;
  double theta = 0;
};

struct MeasuredData {
  int nn = 0;  // points per channel
  std::array<std::vector<Point>, kChannels> channel;
};

// Reads the measured points in free form: numbers separated by blanks, tabs,
// commas or line ends; a point's three numbers may spread over several lines and
// numbers after the third on a point's last line are ignored.  With nn > 0
// exactly 4*nn points are read and the rest of the file is left unread; with
// nn == 0 the whole file is read and the number of points must divide by four.
// `name` is used in messages only.
MeasuredData read_data(std::istream& in, const std::string& name, int nn);
MeasuredData read_data_file(const std::string& path, int nn);

// One line of a model-curve file: angle in rad and model intensity.
struct CurvePoint {
  double theta = 0;
  double y = 0;
};
using Curve = std::vector<CurvePoint>;

// Reads a model-curve file: exactly kCurveLines non-blank lines of two numbers.
Curve read_curve(std::istream& in, const std::string& name);
Curve read_curve_file(const std::string& path);

// What the picture's title needs from the results file.
struct FitSummary {
  int blocks = 0;                // iteration blocks found
  int last_iteration = -1;       // -1 when the I4 field was not a number
  std::string chi_sq_text;       // the E9.4 field as written, e.g. ".1234E+01"
  std::optional<double> chi_sq;  // empty when the field is asterisks
  bool closed = false;           // the closing line of 73 '%' was found
};

FitSummary read_results(std::istream& in, const std::string& name);
FitSummary read_results_file(const std::string& path);

// Wavelength in A from an entry file: the fifteenth item of its walk (six value
// and mark pairs around two separators), i.e. line 15 of a file without blank
// lines.  Blank lines in front of a value line are skipped, as the program does.
double read_wavelength(std::istream& in, const std::string& name);
double read_wavelength_file(const std::string& path);

// Momentum transfer Q = 4 pi sin(theta) / lambda in 1/A, and its inverse.
double q_from_angle(double theta, double lambda);
double angle_from_q(double q, double lambda);

// Round tick values (1, 2 or 5 times a power of ten) covering [lo, hi], about
// `target` of them.
std::vector<double> nice_ticks(double lo, double hi, int target);

// Marks, by index within a channel of nn points, the first `first` and the last
// `last` points as excluded.  Counts <= 0 exclude nothing, as at the program's
// prompts; counts that leave no point are refused.
std::vector<bool> excluded_mask(int nn, int first, int last);

// Spin asymmetry A = (UU - DD) / (UU + DD) with the error propagated from the two
// independent error bars, sA = 2 sqrt(DD^2 sUU^2 + UU^2 sDD^2) / (UU + DD)^2.
// Both are NaN when UU + DD == 0.
struct Asymmetry {
  double A = 0;
  double sA = 0;
};
Asymmetry spin_asymmetry(double uu, double s_uu, double dd, double s_dd);

// True when both lists have the same length and every pair of angles agrees
// within 1e-9 relative.
bool angles_match(const std::vector<double>& a, const std::vector<double>& b);

struct AsymmetryPoint {
  double theta = 0;
  double A = 0;
  double sA = 0;
  bool excluded = false;
};

// Asymmetry of the measured UU and DD channels at the UU angles.  `excluded` is
// the mask of excluded_mask() for the channel length.  Points whose UU + DD is
// zero, and UU points outside the DD angle range when DD must be interpolated,
// are left out.
std::vector<AsymmetryPoint> data_asymmetry(const std::vector<Point>& uu,
                                           const std::vector<Point>& dd,
                                           const std::vector<bool>& excluded);

// Asymmetry of the model curves, paired or interpolated like the data.
Curve model_asymmetry(const Curve& uu, const Curve& dd);

// Limits of a logarithmic intensity axis: whole decades around the positive
// reflectivities, upper error-bar ends and model values.  Lower error-bar ends
// do not widen the range (a bar that reaches zero would stretch it without end);
// they are cut at `lo` when drawn.
struct LogRange {
  double lo = 0;
  double hi = 0;
};
LogRange log_range(const std::vector<Point>& data, const Curve& model);

}  // namespace tessaline::plot
