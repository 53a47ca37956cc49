// The model-curve files: the model intensity of each spin channel on a regular
// grid of 200 glancing angles up to the last measured angle, one file per
// channel, and the console lines that name all output files.  When the points
// carry their own resolution, the curves are smeared with the resolution
// interpolated between those of the fitted points.  The four channels
// share the grid, so each angle's optics is evaluated once for all four
// (PointOptics, the same values as FUNCT to the last bit).
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "model/angle_groups.hpp"
#include "model/point_optics.hpp"
#include "report/report.hpp"

namespace tessaline {

namespace {

// The resolution of the curves at each angle when the points carry their own:
// linear in the angle between the fitted points' resolutions (their mean where
// several points share an angle), constant beyond the first and the last.
class CurveResolution {
 public:
  explicit CurveResolution(const Tables& t) {
    if (t.nvalues <= 4) return;
    std::vector<std::pair<double, double>> pts;
    for (int p = 1; p <= t.npoint; ++p) pts.emplace_back(point_angle(t, p), point_resolution(t, p));
    std::sort(pts.begin(), pts.end());
    for (std::size_t i = 0; i < pts.size();) {
      std::size_t e = i;
      double sum = 0;
      while (e < pts.size() && pts[e].first == pts[i].first) sum += pts[e++].second;
      theta_.push_back(pts[i].first);
      sigma_.push_back(sum / static_cast<double>(e - i));
      i = e;
    }
  }

  double at(double theta) const {
    if (theta_.empty()) return kEntryKernel;
    if (theta <= theta_.front()) return sigma_.front();
    if (theta >= theta_.back()) return sigma_.back();
    const std::size_t j = static_cast<std::size_t>(
        std::upper_bound(theta_.begin(), theta_.end(), theta) - theta_.begin());
    const double w = (theta - theta_[j - 1]) / (theta_[j] - theta_[j - 1]);
    return sigma_[j - 1] + w * (sigma_[j] - sigma_[j - 1]);
  }

 private:
  std::vector<double> theta_, sigma_;
};

}  // namespace

CurveValues curve_values(const Tables& t) {
  // The grid starts one step above zero and ends on the last angle read from the
  // data file, whatever points were excluded from the fit.
  const double delta = t.theta_last / CurveValues::kPoints;
  CurveValues c;
  PointOptics optics;
  optics.prepare(t);
  const CurveResolution resolution(t);
  for (int k = 1; k <= CurveValues::kPoints; ++k) {
    c.angle(k) = k * delta;
    double f[4];
    optics.evaluate(t, t.PARAM, c.angle(k), resolution.at(c.angle(k)), f);
    for (int j = 1; j <= 4; ++j) c.value[j - 1](k) = f[j - 1];
  }
  return c;
}

void write_curve_files(const CurveValues& c, textio::OutStream& console, std::string_view prefix) {
  for (int j = 1; j <= 4; ++j) {
    textio::OutStream file;
    file.create(output_path(j, prefix));
    for (int k = 1; k <= CurveValues::kPoints; ++k)
      file.write_free({c.angle(k), c.value[j - 1](k)});
    file.close();
  }

  // The program's own names keep their padding to 16 characters.
  const auto name = [prefix](int i) {
    return prefix.empty() ? std::string(OUTNAM(i)) : output_path(i, prefix);
  };
  console.write(textio::Record().A("Fit results are in file   : ").A(name(5)));
  console.write(textio::Record().A("Fit functions are in files: ").A(name(1)));
  for (int j = 2; j <= 4; ++j) console.write(textio::Record().X(28).A(name(j)));
}

void write_curve_files(const Tables& t, textio::OutStream& console, std::string_view prefix) {
  write_curve_files(curve_values(t), console, prefix);
}

}  // namespace tessaline
