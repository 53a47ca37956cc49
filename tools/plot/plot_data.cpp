// Readers and computations for tessaline-plot; see plot_data.hpp.
#include "tools/plot/plot_data.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <istream>
#include <limits>
#include <numbers>
#include <numeric>
#include <sstream>

namespace tessaline::plot {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kAngleTolerance = 1e-9;  // relative, for "the same angle"

std::string rtrim(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.pop_back();
  return s;
}

std::string trim(const std::string& s) {
  std::string r = rtrim(s);
  const auto first = r.find_first_not_of(" \t");
  return first == std::string::npos ? std::string() : r.substr(first);
}

std::string where(const std::string& name, long line) {
  return name + ", line " + std::to_string(line);
}

// Splits a line into free-form tokens: blanks, tabs and commas separate.
std::vector<std::string> tokens_of(const std::string& line) {
  std::vector<std::string> out;
  std::string cur;
  for (const char c : line) {
    if (c == ' ' || c == '\t' || c == ',' || c == '\r') {
      if (!cur.empty()) out.push_back(std::move(cur));
      cur.clear();
    } else {
      cur.push_back(c);
    }
  }
  if (!cur.empty()) out.push_back(std::move(cur));
  return out;
}

// A free-form real: the whole token must be a finite number.  The Fortran
// exponent letter D is accepted as well as E.
std::optional<double> to_number(std::string token) {
  for (char& c : token) {
    if (c == 'd' || c == 'D') c = 'E';
  }
  if (token.empty()) return std::nullopt;
  const char* begin = token.c_str();
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(begin, &end);
  if (end != begin + token.size() || !std::isfinite(v)) return std::nullopt;
  return v;
}

double number_or_throw(const std::string& token, const std::string& name, long line,
                       const std::string& what) {
  const auto v = to_number(token);
  if (!v) {
    throw PlotError(where(name, line) + ": '" + token + "' is not a number (" + what + ")");
  }
  return *v;
}

std::ifstream open_or_throw(const std::string& path, const std::string& what) {
  std::ifstream in(path);
  if (!in) throw PlotError(path + ": cannot open the " + what);
  return in;
}

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

MeasuredData read_data(std::istream& in, const std::string& name, int nn) {
  if (nn < 0) throw PlotError("points per channel must be positive, not " + std::to_string(nn));
  const long wanted = 4L * nn;  // 0: read to the end of the file
  std::vector<Point> points;
  std::array<double, 3> value{};
  int have = 0;  // numbers of the current point found so far
  long line_no = 0;
  long point_line = 0;
  std::string line;
  while ((wanted == 0 || static_cast<long>(points.size()) < wanted) && std::getline(in, line)) {
    ++line_no;
    for (const std::string& tok : tokens_of(line)) {
      if (have == 0) point_line = line_no;
      value[static_cast<std::size_t>(have)] =
          number_or_throw(tok, name, line_no,
                          "point " + std::to_string(points.size() + 1) + ", number " +
                              std::to_string(have + 1) + " of reflectivity, error, angle");
      if (++have == 3) {
        points.push_back({value[0], value[1], value[2]});
        have = 0;
        break;  // the rest of a point's last line is ignored
      }
    }
  }
  if (have != 0) {
    throw PlotError(name + ": the file ends inside point " + std::to_string(points.size() + 1) +
                    " (begun on line " + std::to_string(point_line) + "), which has only " +
                    std::to_string(have) +
                    " of its 3 numbers: the number count is not a multiple of 3");
  }
  if (points.empty()) throw PlotError(name + ": no measured points");
  if (wanted > 0 && static_cast<long>(points.size()) < wanted) {
    throw PlotError(name + ": holds " + std::to_string(points.size()) + " points, but " +
                    std::to_string(nn) + " per channel need " + std::to_string(wanted));
  }
  if (points.size() % kChannels != 0) {
    throw PlotError(name + ": holds " + std::to_string(points.size()) +
                    " points, which do not divide into four channels");
  }
  MeasuredData d;
  d.nn = static_cast<int>(points.size() / kChannels);
  for (int c = 0; c < kChannels; ++c) {
    const auto first = points.begin() + static_cast<long>(c) * d.nn;
    d.channel[static_cast<std::size_t>(c)].assign(first, first + d.nn);
  }
  return d;
}

MeasuredData read_data_file(const std::string& path, int nn) {
  std::ifstream in = open_or_throw(path, "data file");
  return read_data(in, path, nn);
}

// ---------------------------------------------------------------------------
// Model curves

Curve read_curve(std::istream& in, const std::string& name) {
  Curve curve;
  std::string line;
  long line_no = 0;
  while (std::getline(in, line)) {
    ++line_no;
    const auto tok = tokens_of(line);
    if (tok.empty()) continue;
    if (tok.size() < 2) {
      throw PlotError(where(name, line_no) + ": one number where angle and intensity are expected");
    }
    curve.push_back({number_or_throw(tok[0], name, line_no, "angle"),
                     number_or_throw(tok[1], name, line_no, "model intensity")});
  }
  if (static_cast<int>(curve.size()) != kCurveLines) {
    throw PlotError(name + ": holds " + std::to_string(curve.size()) + " lines, expected " +
                    std::to_string(kCurveLines));
  }
  return curve;
}

Curve read_curve_file(const std::string& path) {
  std::ifstream in = open_or_throw(path, "model-curve file");
  return read_curve(in, path);
}

// ---------------------------------------------------------------------------
// Results file

FitSummary read_results(std::istream& in, const std::string& name) {
  const std::string stars = " " + std::string(73, '*');
  const std::string percents(73, '%');
  const std::string chi_label = "   hi_sq.norm: ";
  FitSummary s;
  bool block_has_chi = false;
  bool expect_title = false;
  std::string line;
  long line_no = 0;
  while (std::getline(in, line)) {
    ++line_no;
    line = rtrim(line);
    if (expect_title) {
      expect_title = false;
      if (line.size() < 12 || line.compare(4, 8, " iterate") != 0) {
        throw PlotError(where(name, line_no) +
                        ": a block of asterisks without its title line (I4 and \" iterate\")");
      }
      const std::string field = trim(line.substr(0, 4));
      int iter = -1;
      const auto r = std::from_chars(field.data(), field.data() + field.size(), iter);
      s.last_iteration = (r.ec == std::errc() && r.ptr == field.data() + field.size()) ? iter : -1;
      continue;
    }
    if (line == stars) {
      if (s.blocks > 0 && !block_has_chi) {
        throw PlotError(name + ": the block of iteration " + std::to_string(s.last_iteration) +
                        " has no hi_sq.norm line");
      }
      ++s.blocks;
      block_has_chi = false;
      expect_title = true;
      s.closed = false;
      continue;
    }
    if (s.blocks > 0 && line.rfind(chi_label, 0) == 0) {
      block_has_chi = true;
      s.chi_sq_text = trim(line.substr(chi_label.size()));
      s.chi_sq = to_number(s.chi_sq_text);
      continue;
    }
    if (trim(line) == percents) s.closed = true;
  }
  if (s.blocks == 0) throw PlotError(name + ": no iteration block (line of 73 '*') found");
  if (expect_title) throw PlotError(name + ": the file ends after a line of asterisks");
  if (!block_has_chi) {
    throw PlotError(name + ": the last block (iteration " + std::to_string(s.last_iteration) +
                    ") has no hi_sq.norm line");
  }
  return s;
}

FitSummary read_results_file(const std::string& path) {
  std::ifstream in = open_or_throw(path, "results file");
  return read_results(in, path);
}

// ---------------------------------------------------------------------------
// Entry file

double read_wavelength(std::istream& in, const std::string& name) {
  // The head of an entry file: Pi(x), Pi(y), Pi(z) with marks, a separator,
  // Pf(x), Pf(y), Pf(z) with marks, a separator, then the wavelength.  V is a
  // value line, M a mark line, S a separator; only value lines skip blank lines.
  constexpr std::string_view kWalk = "VMVMVMSVMVMVMSV";
  std::string line;
  long line_no = 0;
  double value = 0;
  for (std::size_t item = 0; item < kWalk.size(); ++item) {
    const bool is_value = kWalk[item] == 'V';
    std::vector<std::string> tok;
    do {
      if (!std::getline(in, line)) {
        throw PlotError(name + ": the file ends before the wavelength (item " +
                        std::to_string(item + 1) + " of the entry file's head)");
      }
      ++line_no;
      tok = tokens_of(line);
    } while (is_value && tok.empty());
    if (is_value) {
      value = number_or_throw(tok[0], name, line_no,
                              item + 1 == kWalk.size() ? "wavelength" : "polarization component");
    }
  }
  if (!(value > 0)) {
    throw PlotError(where(name, line_no) + ": the wavelength must be positive, not " + line);
  }
  return value;
}

double read_wavelength_file(const std::string& path) {
  std::ifstream in = open_or_throw(path, "entry file");
  return read_wavelength(in, path);
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

std::vector<AsymmetryPoint> data_asymmetry(const std::vector<Point>& uu,
                                           const std::vector<Point>& dd,
                                           const std::vector<bool>& excluded) {
  const auto is_excluded = [&](int i) {
    return i >= 0 && static_cast<std::size_t>(i) < excluded.size() &&
           excluded[static_cast<std::size_t>(i)];
  };
  std::vector<double> t_uu;
  std::vector<double> t_dd;
  for (const Point& p : uu) t_uu.push_back(p.theta);
  for (const Point& p : dd) t_dd.push_back(p.theta);
  std::vector<AsymmetryPoint> out;
  if (angles_match(t_uu, t_dd)) {
    // Measured at the same angles: the points pair by index.
    for (std::size_t i = 0; i < uu.size(); ++i) {
      const Asymmetry a = spin_asymmetry(uu[i].R, uu[i].sigma, dd[i].R, dd[i].sigma);
      if (std::isnan(a.A)) continue;
      out.push_back({uu[i].theta, a.A, a.sA, is_excluded(static_cast<int>(i))});
    }
    return out;
  }
  // Different angles: DD is interpolated linearly to each UU angle inside its
  // range; a point depends on both DD neighbours, so it counts as excluded when
  // any of the three measurements was excluded from the fit.
  std::vector<Node> nodes;
  for (std::size_t j = 0; j < dd.size(); ++j) {
    nodes.push_back({dd[j].theta, dd[j].R, dd[j].sigma, static_cast<int>(j)});
  }
  nodes = sorted_nodes(nodes);
  for (std::size_t i = 0; i < uu.size(); ++i) {
    double r_dd = 0;
    double s_dd = 0;
    int left = 0;
    int right = 0;
    if (!interpolate(nodes, uu[i].theta, r_dd, s_dd, left, right)) continue;
    const Asymmetry a = spin_asymmetry(uu[i].R, uu[i].sigma, r_dd, s_dd);
    if (std::isnan(a.A)) continue;
    out.push_back({uu[i].theta, a.A, a.sA,
                   is_excluded(static_cast<int>(i)) || is_excluded(left) || is_excluded(right)});
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

LogRange log_range(const std::vector<Point>& data, const Curve& model) {
  double lo = std::numeric_limits<double>::infinity();
  double hi = 0;
  const auto take = [&](double v) {
    if (v > 0 && std::isfinite(v)) {
      lo = std::min(lo, v);
      hi = std::max(hi, v);
    }
  };
  for (const Point& p : data) {
    take(p.R);
    take(p.R + std::abs(p.sigma));
  }
  for (const CurvePoint& c : model) take(c.y);
  if (!(hi > 0)) return {1e-6, 1.0};  // nothing positive to show
  LogRange r{std::pow(10.0, std::floor(std::log10(lo))), std::pow(10.0, std::ceil(std::log10(hi)))};
  if (!(r.hi > r.lo)) r.hi = r.lo * 10.0;  // a single value that is a power of ten
  return r;
}

}  // namespace tessaline::plot
