// Options, title, data files and gnuplot script of tessaline-plot; see
// plot_script.hpp.
#include "tools/plot/plot_script.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <sstream>
#include <utility>

namespace tessaline::plot {
namespace {

constexpr double kMrad = 1000.0;  // the picture's angle axis is in mrad

int to_int(const std::string& s, const std::string& what) {
  int v = 0;
  const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
  if (s.empty() || r.ec != std::errc() || r.ptr != s.data() + s.size()) {
    throw UsageError(what + ": '" + s + "' is not an integer");
  }
  return v;
}

// Shortest text that reads back to the same double.
std::string num(double v) {
  std::array<char, 32> buf{};
  const auto r = std::to_chars(buf.data(), buf.data() + buf.size(), v);
  return std::string(buf.data(), r.ptr);
}

std::string fmt_g(double v, int digits) {
  std::array<char, 48> buf{};
  std::snprintf(buf.data(), buf.size(), "%.*g", digits, v);
  return buf.data();
}

// Title lines as one gnuplot string expression: each line single-quoted (so
// that nothing in a file name is substituted or executed), joined by newlines.
std::string gnuplot_text(const std::vector<std::string>& lines) {
  std::string s;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) s += ".\"\\n\".";
    s += gnuplot_quote(lines[i]);
  }
  return s.empty() ? "''" : s;
}

// One series of a panel: a data file and how gnuplot draws it.
struct Series {
  Series(std::string f, std::string u, std::string s)
      : file(std::move(f)), using_(std::move(u)), style(std::move(s)) {}

  std::string file;
  std::string using_;
  std::string style;
  std::ostringstream rows;
  bool empty = true;

  void row(std::initializer_list<double> values) {
    bool first = true;
    for (const double v : values) {
      if (!first) rows << ' ';
      rows << num(v);
      first = false;
    }
    rows << '\n';
    empty = false;
  }
  void gap() { rows << '\n'; }  // breaks a line plot
};

constexpr const char* kDataColour = "#1f4e9c";
constexpr const char* kExcludedColour = "#a8a8a8";
constexpr const char* kFitColour = "#d62728";
constexpr const char* kMagneticColour = "#e08000";

// Points with error bars; `pt` 7 is a filled circle, 11 a triangle pointing
// down, drawn a little larger because it sits on the axis.
std::string point_style(const char* colour, int pt) {
  const char* size = pt == 7 ? "0.6" : "0.9";
  return "with yerrorbars pt " + std::to_string(pt) + " ps " + size + " lc rgb '" + colour + "'";
}

std::string line_style() { return std::string("with lines lw 2 lc rgb '") + kFitColour + "'"; }

// The data files are named relative to the work directory, in which gnuplot
// runs, so that no path of the file system appears in the script.
std::string plot_command(const std::vector<Series*>& series, const std::string& first_item) {
  std::string cmd = "plot " + first_item;
  for (const Series* s : series) {
    if (s->empty) continue;
    if (cmd.size() > 5) cmd += ", \\\n     ";
    cmd += gnuplot_quote(s->file) + " using " + s->using_ + " " + s->style + " notitle";
  }
  // A panel with nothing to draw (a channel without data whose model is zero
  // everywhere) still gets its axes.
  if (cmd.size() == 5) cmd += "NaN notitle";
  return cmd + "\n";
}

// A strip of normalized residuals under a channel panel: guide lines at 0,
// +/-1 and +/-3, points kept in the fit and excluded points in grey.  The
// vertical range is symmetric and shows at least +/-4.
void residual_strip(std::ostringstream& gp, PlotJob& job, const std::string& ch,
                    const std::vector<Residual>& res, const std::string& model_label, double x,
                    double y, double h) {
  Series kept{ch + "_residuals.dat", "1:2",
              "with points pt 7 ps 0.5 lc rgb '" + std::string(kDataColour) + "'"};
  Series excl{ch + "_residuals_excluded.dat", "1:2",
              "with points pt 7 ps 0.5 lc rgb '" + std::string(kExcludedColour) + "'"};
  double reach = 4.0;
  for (const Residual& r : res) {
    (r.excluded ? excl : kept).row({r.theta * kMrad, r.r, r.theta});
    // Only the points of the fit set the range; excluded ones beyond it are cut.
    if (!r.excluded && std::isfinite(r.r)) reach = std::max(reach, 1.1 * std::abs(r.r));
  }
  gp << "set origin " << num(x) << "," << num(y) << "\n"
     << "set size 0.5," << num(h) << "\n"
     << "unset title\nunset x2tics\nunset x2label\nset xtics mirror\n"
     << "set format x '%g'\nset xlabel 'glancing angle [mrad]'\n"
     << "set tmargin 0.5\nset bmargin -1\n"
     << "unset logscale y\nset format y '%g'\n"
     << (reach <= 6 ? "set ytics 3\n" : "set ytics autofreq\n") << "set yrange [" << num(-reach)
     << ":" << num(reach) << "]\n"
     << "set ylabel " << gnuplot_quote("(R - " + model_label + ") / error") << "\n"
     << plot_command({&excl, &kept},
                     "0 with lines lc rgb '#808080', "
                     "1 with lines dt 2 lc rgb '#808080', -1 with lines dt 2 lc rgb '#808080', "
                     "3 with lines dt 3 lc rgb '#808080', -3 with lines dt 3 lc rgb '#808080'")
     << "set ytics autofreq\n";
  for (Series* s : {&kept, &excl}) {
    if (!s->empty) job.files.push_back({s->file, s->rows.str()});
  }
}

// The range of a channel's logarithmic axis: its points in the fit, and the
// model at the angles they span.
LogRange fitted_log_range(const std::vector<DataPoint>& pts, const std::vector<bool>& excluded,
                          const Curve& model) {
  std::vector<DataPoint> fitted;
  double lo = std::numeric_limits<double>::infinity();
  double hi = -lo;
  for (std::size_t i = 0; i < pts.size(); ++i) {
    if (excluded[i]) continue;
    fitted.push_back(pts[i]);
    lo = std::min(lo, pts[i].theta);
    hi = std::max(hi, pts[i].theta);
  }
  // A channel without measured points (a half-polarized or unpolarized
  // measurement) shows its whole model curve.
  Curve inside;
  for (const CurvePoint& p : model) {
    if (fitted.empty() || (p.theta >= lo && p.theta <= hi)) inside.push_back(p);
  }
  return log_range(fitted, inside);
}

// The range of the asymmetry axis: the points in the fit with their bars and
// the model at the angles they span, within -1.5 .. 1.5 so that a few huge
// error bars cannot squash the curve, with a margin of 5 %.
std::pair<double, double> asymmetry_range(const std::vector<AsymmetryPoint>& data,
                                          const Curve& model) {
  constexpr double kLimit = 1.5;
  double lo = std::numeric_limits<double>::infinity();
  double hi = -lo;
  double theta_lo = lo;
  double theta_hi = -lo;
  const auto take = [&](double v) {
    if (!std::isfinite(v)) return;
    lo = std::min(lo, std::max(v, -kLimit));
    hi = std::max(hi, std::min(v, kLimit));
  };
  for (const AsymmetryPoint& p : data) {
    if (p.excluded) continue;
    take(p.A - p.sA);
    take(p.A + p.sA);
    theta_lo = std::min(theta_lo, p.theta);
    theta_hi = std::max(theta_hi, p.theta);
  }
  for (const CurvePoint& p : model) {
    if (p.theta >= theta_lo && p.theta <= theta_hi) take(p.y);
  }
  if (!(hi >= lo)) return {-1.0, 1.0};  // nothing in the fit to show
  const double pad = hi > lo ? 0.05 * (hi - lo) : 0.1;
  return {lo - pad, hi + pad};
}

}  // namespace

// ---------------------------------------------------------------------------
// Options

std::string usage() {
  return "usage: tessaline-plot DATAFILE [--entry FILE] [--exclude FIRST LAST] [--nn N]\n"
         "                      [--out FILE] [--format png|svg|pdf] [--status N] [--size WxH]\n"
         "       tessaline-plot --entry FILE --profile-table FILE\n"
         "Draws the measured points of DATAFILE with the fitted curves of the last fit in\n"
         "the working directory (VreloFunct??.dat, VreloBag.dat).  Without VreloBag.dat\n"
         "there, it draws the points with the start values of --entry, or alone.\n"
         "  --entry FILE         entry file of the fit: a Q axis from its wavelength, the\n"
         "                       normalized residuals of every channel and the depth\n"
         "                       profile, with the values of the last block of VreloBag.dat\n"
         "                       (before a fit: with the start values of FILE)\n"
         "  --exclude FIRST LAST points excluded at the start and end of every channel\n"
         "  --nn N               points per channel of a classic data file (default: from\n"
         "                       --entry, else the data points / 4); a point list names\n"
         "                       the channel of every point itself\n"
         "  --profile-table FILE write the depth profile (columns depth[A] nuclear magnetic,\n"
         "                       1e-6 A^-2, every 0.5 A) to FILE instead of a picture; from\n"
         "                       the last block of VreloBag.dat when there is one, else\n"
         "                       from the entry file\n"
         "  --out FILE           picture file (default fit.png)\n"
         "  --format F           png, svg or pdf (default: from the extension of --out)\n"
         "  --status N           end status of the fit (1, -1, -2, -3) for the title\n"
         "  --size WxH           picture size in pixels (default 1200x1600)\n";
}

Options parse_options(const std::vector<std::string>& args) {
  Options o;
  bool have_data = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const auto value = [&](const std::string& what) -> const std::string& {
      if (i + 1 >= args.size()) throw UsageError(a + " needs " + what);
      return args[++i];
    };
    if (a == "-h" || a == "--help") {
      o.help = true;
    } else if (a == "--entry") {
      o.entry_file = value("a file name");
    } else if (a == "--profile-table") {
      o.profile_table = value("a file name");
    } else if (a == "--exclude") {
      o.first = to_int(value("two counts"), "--exclude FIRST");
      o.last = to_int(value("two counts"), "--exclude LAST");
    } else if (a == "--nn") {
      o.nn = to_int(value("a count"), "--nn");
      if (o.nn < 1) throw UsageError("--nn must be at least 1");
    } else if (a == "--out") {
      o.out = value("a file name");
      if (o.out.empty()) throw UsageError("--out needs a file name");
    } else if (a == "--format") {
      const std::string& f = value("png, svg or pdf");
      if (f == "png") {
        o.format = Format::png;
      } else if (f == "svg") {
        o.format = Format::svg;
      } else if (f == "pdf") {
        o.format = Format::pdf;
      } else {
        throw UsageError("--format: '" + f + "' is not png, svg or pdf");
      }
    } else if (a == "--status") {
      const int s = to_int(value("a status"), "--status");
      if (s != 1 && s != -1 && s != -2 && s != -3) {
        throw UsageError("--status must be 1, -1, -2 or -3, not " + std::to_string(s));
      }
      o.status = s;
    } else if (a == "--size") {
      const std::string& wh = value("WxH");
      const auto x = wh.find('x');
      if (x == std::string::npos) throw UsageError("--size: '" + wh + "' is not WxH");
      o.width = to_int(wh.substr(0, x), "--size width");
      o.height = to_int(wh.substr(x + 1), "--size height");
      if (o.width < 200 || o.height < 200 || o.width > 10000 || o.height > 10000) {
        throw UsageError("--size: width and height must lie between 200 and 10000");
      }
    } else if (a.size() > 1 && a[0] == '-') {
      throw UsageError("unknown option " + a);
    } else if (!have_data) {
      o.data_file = a;
      have_data = true;
    } else {
      throw UsageError("more than one data file: " + o.data_file + ", " + a);
    }
  }
  if (o.profile_table && !o.entry_file) throw UsageError("--profile-table needs --entry");
  if (!have_data && !o.help && !o.profile_table) throw UsageError("no data file given");
  return o;
}

Format output_format(const Options& o) {
  if (o.format) return *o.format;
  const auto dot = o.out.rfind('.');
  std::string ext = dot == std::string::npos ? "" : o.out.substr(dot + 1);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (ext == "png") return Format::png;
  if (ext == "svg") return Format::svg;
  if (ext == "pdf") return Format::pdf;
  throw UsageError("cannot tell the picture format from '" + o.out + "'; give --format");
}

// ---------------------------------------------------------------------------
// Title

std::string status_message(int status) {
  switch (status) {
    case -1:
      return "CHI-SQ. WANTS NOT DECREASE, MAY BE DERIVATIVES ARE BAD";
    case -2:
      return "INFINIT ERROR ESTIMATIONS CAN NOT BE SKIPPED";
    case -3:
      return "ITERATION LIMIT IS EXEDED";
    default:
      return "";
  }
}

std::vector<std::string> plot_title(const std::string& data_name, const ResultsFile* fit,
                                    std::optional<int> status, const std::string& start_model) {
  if (fit == nullptr) {
    return {data_name + "  -  " +
            (start_model.empty() ? std::string("measured points, no fit")
                                 : "start values of " + start_model + ", before a fit")};
  }
  const ResultsBlock& last = fit->last;
  std::string head = data_name + "  -  ";
  head += last.iteration >= 0 ? "iteration " + std::to_string(last.iteration)
                              : std::string("iteration number unreadable");
  head += ", hi_sq.norm = ";
  head += last.chi_sq ? fmt_g(*last.chi_sq, 4) : last.chi_sq_text;
  // The status message -3 says the same as the note; it is not repeated.
  if (last.iteration == kIterationLimit && status != -3) head += "  (iteration limit)";
  std::vector<std::string> lines{head};
  if (status) {
    const std::string m = status_message(*status);
    if (!m.empty()) lines.push_back(m);
  }
  if (!fit->closed) {
    lines.push_back("results file has no closing line: the fit may not have finished");
  }
  return lines;
}

std::string profile_table_text(const DepthProfile& p, const std::string& source) {
  std::string text = "# depth[A] nuclear magnetic   (1e-6 A^-2; " + source + ")\n";
  char buf[96];
  for (const ProfilePoint& q : p.points) {
    std::snprintf(buf, sizeof buf, "%.1f %.6g %.6g\n", q.depth, q.nuclear, q.magnetic);
    text += buf;
  }
  return text;
}


// ---------------------------------------------------------------------------
// Data files and script

PlotJob build_plot(const PlotInput& in, const std::string& output, Format format, int width,
                   int height) {
  const ChannelMasks masks = excluded_masks(in.data, in.first, in.last);
  const std::string model_label = in.fit ? "fit" : "start model";

  // Every range of the picture is set by the points of the fit; excluded
  // points are drawn, in grey, where they fall inside.
  double theta_max = 0;
  for (std::size_t c = 0; c < in.data.channel.size(); ++c) {
    const auto& ch = in.data.channel[c];
    for (std::size_t i = 0; i < ch.size(); ++i) {
      if (!masks[c][i]) theta_max = std::max(theta_max, ch[i].theta);
    }
  }
  const double x_max = theta_max > 0 ? 1.03 * theta_max * kMrad : 1.0;

  // Vertical layout in canvas units: the title lines and a legend line at the
  // top (font sizes are fixed, so their share depends on the height), then two
  // rows of two channel panels, each with its strip of residuals when there
  // are residuals, and the bottom row: the asymmetry, beside the depth profile
  // when there is one.
  const std::vector<std::string> title =
      plot_title(in.data_name, in.fit ? &*in.fit : nullptr, in.status, in.start_model);
  const double title_h = (22.0 * static_cast<double>(title.size()) + 12.0) / height;
  const double legend_h = 44.0 / height;  // room for the key to wrap onto two rows
  const double top = std::max(0.5, 1.0 - title_h - legend_h);
  const bool strips = in.residuals.has_value();
  const double bottom_h = (strips || in.profile ? 0.28 : 0.36) * top;
  const double strip_h = strips ? 0.10 * top : 0.0;
  const double row_h = (strips ? 0.26 : 0.32) * top;
  const double row2 = bottom_h + strip_h;      // bottom of the UD, DU panels
  const double row1 = row2 + row_h + strip_h;  // bottom of the UU, DD panels
  const std::array<std::array<double, 2>, kChannels> origin = {
      {{0.0, row1}, {0.5, row1}, {0.0, row2}, {0.5, row2}}};

  std::ostringstream gp;
  gp << "# tessaline-plot: measured reflectivity, fitted curves and spin asymmetry.\n";
  switch (format) {
    case Format::png:
      gp << "if (strstrt(GPVAL_TERMINALS, 'pngcairo') > 0) {\n"
         << "  set terminal pngcairo size " << width << "," << height
         << " noenhanced font 'sans,10'\n"
         << "} else {\n"
         << "  set terminal png size " << width << "," << height << " noenhanced\n"
         << "}\n";
      break;
    case Format::svg:
      gp << "set terminal svg size " << width << "," << height
         << " noenhanced font 'sans,10' background rgb 'white'\n";
      break;
    case Format::pdf:
      gp << "if (strstrt(GPVAL_TERMINALS, 'pdfcairo') == 0) {\n"
         << "  print 'tessaline-plot: this gnuplot has no pdfcairo terminal for pdf output'\n"
         << "  exit status 1\n"
         << "}\n"
         << "set terminal pdfcairo size " << fmt_g(width / 100.0, 6) << "in,"
         << fmt_g(height / 100.0, 6) << "in noenhanced font 'sans,8'\n";
      break;
  }
  gp << "set output " << gnuplot_quote(output) << "\n"
     << "set encoding utf8\n"
     << "set multiplot title " << gnuplot_text(title) << " font ',13'\n"
     << "set lmargin 11\nset rmargin 3\n"
     << "set grid lc rgb '#e0e0e0'\n"
     << "unset key\n"
     << "set xrange [0:" << num(x_max) << "]\n"
     << "set mxtics\n";
  // The angle axes: Q on top when the wavelength is known.  Q = 4 pi sin(theta)
  // / lambda is not linear in theta: the second axis gets round Q values placed
  // at their exact angles.
  std::ostringstream angle_axes;
  angle_axes << "set xrange [0:" << num(x_max) << "]\n"
             << "set xlabel 'glancing angle [mrad]'\nset format x '%g'\n";
  if (in.wavelength) {
    const double lambda = *in.wavelength;
    angle_axes << "set xtics nomirror\nset x2range [0:" << num(x_max) << "]\n"
               << "set x2label 'Q [1/A]   (wavelength " << fmt_g(lambda, 6) << " A)'\n"
               << "set x2tics (";
    const auto ticks = nice_ticks(0.0, q_from_angle(x_max / kMrad, lambda), 6);
    for (std::size_t k = 0; k < ticks.size(); ++k) {
      if (k > 0) angle_axes << ", ";
      angle_axes << gnuplot_quote(fmt_g(ticks[k], 6)) << " "
                 << num(kMrad * angle_from_q(ticks[k], lambda));
    }
    angle_axes << ")\n";
  } else {
    angle_axes << "unset x2tics\nunset x2label\nset xtics mirror\n";
  }
  const std::string no_q_axis = "unset x2tics\nunset x2label\nset xtics mirror\n";

  PlotJob job;
  bool any_excluded = false;
  bool any_nonpositive = false;
  bool any_nonpositive_excluded = false;
  for (int c = 0; c < kChannels; ++c) {
    const auto cu = static_cast<std::size_t>(c);
    const std::string ch(kChannelNames[cu]);
    const std::vector<DataPoint>& pts = in.data.channel[cu];
    const Curve& model = in.curves[cu];
    const std::vector<bool>& excluded = masks[cu];
    const LogRange range = fitted_log_range(pts, excluded, model);

    // Columns: angle in mrad, plotted value, lower and upper bar end, then the
    // measured point as read (angle in rad, reflectivity, error).
    Series measured{ch + "_data.dat", "1:2:3:4", point_style(kDataColour, 7)};
    Series excl{ch + "_excluded.dat", "1:2:3:4", point_style(kExcludedColour, 7)};
    Series zero{ch + "_nonpositive.dat", "1:2:3:4", point_style(kDataColour, 11)};
    Series zero_excl{ch + "_nonpositive_excluded.dat", "1:2:3:4", point_style(kExcludedColour, 11)};
    Series fit{ch + "_fit.dat", "1:2", line_style()};

    for (std::size_t i = 0; i < pts.size(); ++i) {
      const DataPoint& p = pts[i];
      const double s = std::abs(p.dR);
      const double x = p.theta * kMrad;
      // On the logarithmic axis a lower bar end at or below zero is cut at the
      // bottom of the panel; a non-positive value is shown there as a triangle
      // with its upper bar, so that it is not silently lost.
      const double low = p.R - s > range.lo ? p.R - s : range.lo;
      if (p.R > 0) {
        (excluded[i] ? excl : measured).row({x, p.R, low, p.R + s, p.theta, p.R, p.dR});
      } else {
        (excluded[i] ? zero_excl : zero)
            .row({x, range.lo, range.lo, std::max(p.R + s, range.lo), p.theta, p.R, p.dR});
      }
    }
    for (const CurvePoint& p : model) {
      if (p.y > 0) {
        fit.row({p.theta * kMrad, p.y});
      } else {
        fit.gap();
      }
    }
    any_excluded = any_excluded || !excl.empty;
    any_nonpositive = any_nonpositive || !zero.empty;
    any_nonpositive_excluded = any_nonpositive_excluded || !zero_excl.empty;

    gp << "\n# channel " << ch << "\n"
       << angle_axes.str() << "set origin " << num(origin[cu][0]) << "," << num(origin[cu][1])
       << "\n"
       << "set size 0.5," << num(row_h) << "\n"
       << "set title '" << ch << "'\n"
       << "set logscale y\nset format y '1e%L'\n"
       << "set yrange [" << num(range.lo) << ":" << num(range.hi) << "]\n"
       << "set ylabel 'reflectivity'\n";
    // With a strip of residuals below, the panel leaves its angle labels to it.
    if (strips) gp << "set format x ''\nunset xlabel\nset bmargin 0.5\n";
    gp << plot_command({&excl, &zero_excl, &measured, &zero, &fit}, "");
    for (Series* s : {&measured, &excl, &zero, &zero_excl, &fit}) {
      if (!s->empty) job.files.push_back({s->file, s->rows.str()});
    }
    if (strips) {
      residual_strip(gp, job, ch, (*in.residuals)[cu], model_label, origin[cu][0],
                     origin[cu][1] - strip_h, strip_h);
      gp << "set bmargin -1\nset tmargin -1\n";
    }
  }

  // Spin asymmetry of data and model.
  Series a_data{"asymmetry_data.dat", "1:2:3:4", point_style(kDataColour, 7)};
  Series a_excl{"asymmetry_excluded.dat", "1:2:3:4", point_style(kExcludedColour, 7)};
  Series a_fit{"asymmetry_fit.dat", "1:2", line_style()};
  const std::vector<AsymmetryPoint> asymmetry =
      data_asymmetry(in.data.channel[0], in.data.channel[1], masks[0], masks[1]);
  for (const AsymmetryPoint& p : asymmetry) {
    (p.excluded ? a_excl : a_data)
        .row({p.theta * kMrad, p.A, p.A - p.sA, p.A + p.sA, p.theta, p.sA});
  }
  const Curve model_a = model_asymmetry(in.curves[0], in.curves[1]);
  for (const CurvePoint& p : model_a) a_fit.row({p.theta * kMrad, p.y});
  const auto [a_lo, a_hi] = asymmetry_range(asymmetry, model_a);
  gp << "\n# spin asymmetry\n"
     << angle_axes.str() << "set origin 0,0\nset size " << (in.profile ? "0.5," : "1,")
     << num(bottom_h) << "\n"
     << "set title 'spin asymmetry (UU - DD) / (UU + DD)'\n"
     << "unset logscale y\nset format y '%g'\n"
     << "set yrange [" << num(a_lo) << ":" << num(a_hi) << "]\n"
     << "set ylabel 'asymmetry'\n"
     << plot_command({&a_excl, &a_data, &a_fit}, "0 with lines dt 2 lc rgb '#808080' notitle");
  for (Series* s : {&a_data, &a_excl, &a_fit}) {
    if (!s->empty) job.files.push_back({s->file, s->rows.str()});
  }

  if (in.profile) {
    Series nuclear{"profile_nuclear.dat", "1:2",
                   std::string("with lines lw 2 lc rgb '") + kDataColour + "'"};
    Series magnetic{"profile_magnetic.dat", "1:2",
                    "with lines lw 2 dt 2 lc rgb '" + std::string(kMagneticColour) + "'"};
    // The vertical range leaves room above the curves for the key.
    double lo = 0;
    double hi = 0;
    for (const ProfilePoint& q : in.profile->points) {
      nuclear.row({q.depth, q.nuclear});
      magnetic.row({q.depth, q.magnetic});
      lo = std::min({lo, q.nuclear, q.magnetic});
      hi = std::max({hi, q.nuclear, q.magnetic});
    }
    if (!(hi > lo)) hi = lo + 1;
    const double pad = 0.05 * (hi - lo);
    gp << "\n# depth profile\n"
       << no_q_axis << "set origin 0.5,0\nset size 0.5," << num(bottom_h) << "\n"
       << "set title " << gnuplot_quote("depth profile (" + in.profile_source + ")") << "\n"
       << "set xrange [*:*]\nset autoscale xfix\nset format x '%g'\n"
       << "set yrange [" << num(lo - pad) << ":" << num(hi + 6 * pad) << "]\nset format y '%g'\n"
       << "set xlabel 'depth below the surface [A]   (vacuum left, substrate right)'\n"
       << "set ylabel 'SLD [1e-6 1/A^2]'\n"
       << "set key top right opaque box\n"
       << "plot " << gnuplot_quote(nuclear.file) << " using 1:2 " << nuclear.style
       << " title 'nuclear Re{Nb}', \\\n     " << gnuplot_quote(magnetic.file) << " using 1:2 "
       << magnetic.style << " title 'magnetic Np <cos(delta_gamma)>'\n"
       << "set key noopaque nobox\nunset key\n";
    job.files.push_back({nuclear.file, nuclear.rows.str()});
    job.files.push_back({magnetic.file, magnetic.rows.str()});
  }

  // One legend for all panels, under the title: an empty plot whose key stands
  // at a fixed place on the canvas.  (The NaN keeps gnuplot from asserting on
  // a plot made only of key entries.)
  gp << "\n# legend\n"
     << "set origin 0,0\nset size 1,1\n"
     << "unset title\nunset xlabel\nunset x2label\nunset ylabel\nunset logscale\n"
     << "unset tics\nunset border\nunset grid\nset xrange [0:1]\nset yrange [0:1]\n"
     << "set key at screen 0.5," << num(top + 0.5 * legend_h)
     << " center center horizontal samplen 2 width 2\n"
     << "plot NaN notitle, keyentry " << point_style(kDataColour, 7) << " title 'measured'";
  if (any_excluded) {
    gp << ", keyentry " << point_style(kExcludedColour, 7) << " title 'excluded from fit'";
  }
  if (any_nonpositive) {
    gp << ", keyentry " << point_style(kDataColour, 11) << " title 'value <= 0 (at axis)'";
  }
  if (any_nonpositive_excluded) {
    gp << ", keyentry " << point_style(kExcludedColour, 11) << " title 'excluded, <= 0'";
  }
  bool any_model = false;
  for (const Curve& c : in.curves) any_model = any_model || !c.empty();
  if (any_model) gp << ", keyentry " << line_style() << " title " << gnuplot_quote(model_label);
  gp << "\n\nunset multiplot\nset output\n";
  job.script = gp.str();
  return job;
}

}  // namespace tessaline::plot
