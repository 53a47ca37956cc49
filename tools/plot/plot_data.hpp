// Data preparation for tessaline-plot: the small computations the picture needs
// (spin asymmetry with its error, Q scale, excluded points, ranges for a
// logarithmic intensity axis, normalized residuals of the fit).
//
// The files are read with the project's own readers (data and entry files from
// the driver, results and curve files from the report library), which throw
// textio::TextError; what the picture itself cannot use throws PlotError.
// Nothing here prints.  Storage is ordinary std::vector, sized by the data.
#pragma once

#include <array>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "driver/driver.hpp"
#include "report/readers.hpp"
#include "report/report.hpp"

namespace tessaline::plot {

class PlotError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Spin channels in the order of the data file and of the curve files.
using tessaline::kChannelNames;
using tessaline::kChannels;
// The results file of the fit, under the program's name for it.
inline constexpr std::string_view kResultsFile = file_name(OUTNAM(5));
inline constexpr int kIterationLimit = 200;

// The measured points of a data file, as the program reads them: 4*nn points,
// or with nn = 0 every point of the file.  A point whose error bar is below
// 1e-30 is refused with the program's words.
MeasuredData read_data_file(const std::string& path, int nn);

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

// The masks of every channel of `data`, each as long as its channel: the first
// `first` and the last `last` points of every channel that holds points (a
// point list's channels differ in length; an empty channel stays empty).
// Counts that leave a channel with points without any are refused.
using ChannelMasks = std::array<std::vector<bool>, kChannels>;
ChannelMasks excluded_masks(const MeasuredData& data, int first, int last);

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

// Asymmetry of the measured UU and DD channels at the UU angles.  `excluded_uu`
// and `excluded_dd` are the channels' masks (excluded_masks()); a point counts as
// excluded when any measurement it is made from was.  Points whose UU + DD is
// zero, and UU points outside the DD angle range when DD must be interpolated,
// are left out.
std::vector<AsymmetryPoint> data_asymmetry(const std::vector<DataPoint>& uu,
                                           const std::vector<DataPoint>& dd,
                                           const std::vector<bool>& excluded_uu,
                                           const std::vector<bool>& excluded_dd);

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
LogRange log_range(const std::vector<DataPoint>& data, const Curve& model);

// Normalized residual (R - model) / sigma of one measured point, with the model
// value FUNCT at the point's own angle.
struct Residual {
  double theta = 0;
  double r = 0;
  bool excluded = false;
};
using ChannelResiduals = std::array<std::vector<Residual>, kChannels>;

// The model of the parameters in t.PARAM on the grid of the program's curve
// files (200 angles up to t.theta_last), the same values the program writes
// there: the curves of the start values, before any fit.
std::array<Curve, kChannels> model_curves(const Tables& t);

// Residuals of every measured point for the parameters in t.PARAM; `t` holds the
// model settings of the entry file with its collimation kernel built.  A point
// with a resolution of its own is smeared with it, as in the fit.  `excluded`
// holds the channels' masks (excluded_masks()).
ChannelResiduals residuals(const Tables& t, const MeasuredData& data,
                           const ChannelMasks& excluded);

}  // namespace tessaline::plot
