// Readers and computations for tessaline-plot; see plot_data.hpp.
#include "tools/plot/plot_data.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include "model/point_optics.hpp"

namespace tessaline::plot {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kAngleTolerance = 1e-9;  // relative, for "the same angle"

bool same_angle(double a, double b) {
  return std::abs(a - b) <= kAngleTolerance * std::max(std::abs(a), std::abs(b));
}

// A measured or model value with its angle and its position in the channel.
struct Node {
  double theta;
  double value;
  double error;
  int index;
};

// Linear interpolation in nodes sorted by angle; false outside their range.
// `left` and `right` receive the channel positions of the two nodes used.
bool interpolate(const std::vector<Node>& nodes, double theta, double& value, double& error,
                 int& left, int& right) {
  if (nodes.empty() || theta < nodes.front().theta || theta > nodes.back().theta) return false;
  const auto it = std::lower_bound(nodes.begin(), nodes.end(), theta,
                                   [](const Node& n, double t) { return n.theta < t; });
  const auto j = static_cast<std::size_t>(it - nodes.begin());
  if (it->theta == theta || j == 0) {
    value = it->value;
    error = it->error;
    left = right = it->index;
    return true;
  }
  const Node& a = nodes[j - 1];
  const Node& b = nodes[j];
  const double w = (theta - a.theta) / (b.theta - a.theta);
  value = a.value + w * (b.value - a.value);
  // The error bar is interpolated like the value: the picture needs a bar of
  // the right size, not a rigorous error of an interpolated measurement.
  error = a.error + w * (b.error - a.error);
  left = a.index;
  right = b.index;
  return true;
}

std::vector<Node> sorted_nodes(const std::vector<Node>& in) {
  std::vector<Node> nodes = in;
  std::stable_sort(nodes.begin(), nodes.end(),
                   [](const Node& a, const Node& b) { return a.theta < b.theta; });
  return nodes;
}

}  // namespace

// ---------------------------------------------------------------------------
// Measured data

MeasuredData read_data_file(const std::string& path, int nn) {
  MeasuredData d = read_measured_points(path, nn);
  if (d.bad_channel != 0) throw PlotError(path + ": " + error_bar_line(d));
  return d;
}

// ---------------------------------------------------------------------------
// Computations

double q_from_angle(double theta, double lambda) {
  return 4.0 * std::numbers::pi * std::sin(theta) / lambda;
}

double angle_from_q(double q, double lambda) {
  return std::asin(q * lambda / (4.0 * std::numbers::pi));
}

std::vector<double> nice_ticks(double lo, double hi, int target) {
  std::vector<double> ticks;
  if (!(hi > lo) || target < 1) return ticks;
  const double raw = (hi - lo) / target;
  const double decade = std::pow(10.0, std::floor(std::log10(raw)));
  double step = decade;
  for (const double m : {1.0, 2.0, 5.0, 10.0}) {
    step = m * decade;
    if (step >= raw) break;
  }
  // Ticks are multiples of the step, formed by multiplication so that no
  // rounding error accumulates along the axis.
  const long first = static_cast<long>(std::ceil(lo / step - 1e-9));
  const long last = static_cast<long>(std::floor(hi / step + 1e-9));
  for (long k = first; k <= last; ++k) ticks.push_back(static_cast<double>(k) * step);
  return ticks;
}

std::vector<bool> excluded_mask(int nn, int first, int last) {
  first = std::max(first, 0);
  last = std::max(last, 0);
  if (static_cast<long>(first) + last >= nn) {
    throw PlotError("excluding the first " + std::to_string(first) + " and the last " +
                    std::to_string(last) + " points leaves none of the " + std::to_string(nn) +
                    " points of a channel");
  }
  std::vector<bool> mask(static_cast<std::size_t>(nn), false);
  for (int i = 0; i < nn; ++i) mask[static_cast<std::size_t>(i)] = i < first || i >= nn - last;
  return mask;
}

ChannelMasks excluded_masks(const MeasuredData& data, int first, int last) {
  ChannelMasks masks;
  for (std::size_t c = 0; c < masks.size(); ++c) {
    const int n = static_cast<int>(data.channel[c].size());
    if (n > 0) masks[c] = excluded_mask(n, first, last);
  }
  return masks;
}

Asymmetry spin_asymmetry(double uu, double s_uu, double dd, double s_dd) {
  const double sum = uu + dd;
  if (sum == 0) return {kNaN, kNaN};
  // dA/dUU = 2 DD / sum^2 and dA/dDD = -2 UU / sum^2.
  return {(uu - dd) / sum, 2.0 * std::hypot(dd * s_uu, uu * s_dd) / (sum * sum)};
}

bool angles_match(const std::vector<double>& a, const std::vector<double>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!same_angle(a[i], b[i])) return false;
  }
  return true;
}

std::vector<AsymmetryPoint> data_asymmetry(const std::vector<DataPoint>& uu,
                                           const std::vector<DataPoint>& dd,
                                           const std::vector<bool>& excluded_uu,
                                           const std::vector<bool>& excluded_dd) {
  const auto in_mask = [](const std::vector<bool>& m, int i) {
    return i >= 0 && static_cast<std::size_t>(i) < m.size() && m[static_cast<std::size_t>(i)];
  };
  const auto is_excluded = [&](int i) { return in_mask(excluded_uu, i); };
  const auto dd_excluded = [&](int j) { return in_mask(excluded_dd, j); };
  std::vector<double> t_uu;
  std::vector<double> t_dd;
  for (const DataPoint& p : uu) t_uu.push_back(p.theta);
  for (const DataPoint& p : dd) t_dd.push_back(p.theta);
  std::vector<AsymmetryPoint> out;
  if (angles_match(t_uu, t_dd)) {
    // Measured at the same angles: the points pair by index.
    for (std::size_t i = 0; i < uu.size(); ++i) {
      const Asymmetry a = spin_asymmetry(uu[i].R, uu[i].dR, dd[i].R, dd[i].dR);
      if (std::isnan(a.A)) continue;
      const int k = static_cast<int>(i);
      out.push_back({uu[i].theta, a.A, a.sA, is_excluded(k) || dd_excluded(k)});
    }
    return out;
  }
  // Different angles: DD is interpolated linearly to each UU angle inside its
  // range; a point depends on both DD neighbours, so it counts as excluded when
  // any of the three measurements was excluded from the fit.
  std::vector<Node> nodes;
  for (std::size_t j = 0; j < dd.size(); ++j) {
    nodes.push_back({dd[j].theta, dd[j].R, dd[j].dR, static_cast<int>(j)});
  }
  nodes = sorted_nodes(nodes);
  for (std::size_t i = 0; i < uu.size(); ++i) {
    double r_dd = 0;
    double s_dd = 0;
    int left = 0;
    int right = 0;
    if (!interpolate(nodes, uu[i].theta, r_dd, s_dd, left, right)) continue;
    const Asymmetry a = spin_asymmetry(uu[i].R, uu[i].dR, r_dd, s_dd);
    if (std::isnan(a.A)) continue;
    out.push_back({uu[i].theta, a.A, a.sA,
                   is_excluded(static_cast<int>(i)) || dd_excluded(left) || dd_excluded(right)});
  }
  return out;
}

Curve model_asymmetry(const Curve& uu, const Curve& dd) {
  std::vector<double> t_uu;
  std::vector<double> t_dd;
  for (const CurvePoint& p : uu) t_uu.push_back(p.theta);
  for (const CurvePoint& p : dd) t_dd.push_back(p.theta);
  Curve out;
  if (angles_match(t_uu, t_dd)) {
    // The program writes every channel on the same angle grid: pair by index.
    for (std::size_t i = 0; i < uu.size(); ++i) {
      const Asymmetry a = spin_asymmetry(uu[i].y, 0, dd[i].y, 0);
      if (!std::isnan(a.A)) out.push_back({uu[i].theta, a.A});
    }
    return out;
  }
  std::vector<Node> nodes;
  for (std::size_t j = 0; j < dd.size(); ++j) {
    nodes.push_back({dd[j].theta, dd[j].y, 0, static_cast<int>(j)});
  }
  nodes = sorted_nodes(nodes);
  for (const CurvePoint& p : uu) {
    double y_dd = 0;
    double unused = 0;
    int left = 0;
    int right = 0;
    if (!interpolate(nodes, p.theta, y_dd, unused, left, right)) continue;
    const Asymmetry a = spin_asymmetry(p.y, 0, y_dd, 0);
    if (!std::isnan(a.A)) out.push_back({p.theta, a.A});
  }
  return out;
}

LogRange log_range(const std::vector<DataPoint>& data, const Curve& model) {
  double lo = std::numeric_limits<double>::infinity();
  double hi = 0;
  const auto take = [&](double v) {
    if (v > 0 && std::isfinite(v)) {
      lo = std::min(lo, v);
      hi = std::max(hi, v);
    }
  };
  for (const DataPoint& p : data) {
    take(p.R);
    take(p.R + std::abs(p.dR));
  }
  for (const CurvePoint& c : model) take(c.y);
  if (!(hi > 0)) return {1e-6, 1.0};  // nothing positive to show
  LogRange r{std::pow(10.0, std::floor(std::log10(lo))), std::pow(10.0, std::ceil(std::log10(hi)))};
  if (!(r.hi > r.lo)) r.hi = r.lo * 10.0;  // a single value that is a power of ten
  return r;
}

std::array<Curve, kChannels> model_curves(const Tables& t) {
  const CurveValues v = curve_values(t);
  std::array<Curve, kChannels> out;
  for (int c = 0; c < kChannels; ++c) {
    for (int k = 1; k <= CurveValues::kPoints; ++k) {
      out[static_cast<std::size_t>(c)].push_back({v.angle(k), v.value[c](k)});
    }
  }
  return out;
}

ChannelResiduals residuals(const Tables& t, const MeasuredData& data,
                           const ChannelMasks& masks) {
  ChannelResiduals out;
  PointOptics optics;
  optics.prepare(t);
  for (int c = 0; c < kChannels; ++c) {
    const auto& points = data.channel[static_cast<std::size_t>(c)];
    const std::vector<bool>& excluded = masks[static_cast<std::size_t>(c)];
    for (std::size_t i = 0; i < points.size(); ++i) {
      double f[4];
      const double resolution = data.has_resolution ? points[i].resolution : kEntryKernel;
      optics.evaluate(t, t.PARAM, points[i].theta, resolution, f);
      out[static_cast<std::size_t>(c)].push_back({points[i].theta,
                                                  (points[i].R - f[c]) / points[i].dR,
                                                  i < excluded.size() && excluded[i]});
    }
  }
  return out;
}

}  // namespace tessaline::plot
