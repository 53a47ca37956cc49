// The pictures of tessaline-posterior as gnuplot input: see pictures.hpp.
#include "tools/gnuplot/gnuplot.hpp"
#include "tools/posterior/pictures.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "report/report.hpp"

namespace tessaline::posterior {

namespace {

std::size_t at(long i) { return static_cast<std::size_t>(i); }

constexpr int kBins = 40;
constexpr int kPairs = 4;
constexpr long kScatterPoints = 3000;
constexpr double kMrad = 1000.0;

std::string g(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.10g", v);
  return buf;
}

std::string quote(const std::string& s) { return gnuplot::gnuplot_quote(s); }

// Scattering-length densities are drawn in 1e-6 A^-2, the entry file's unit.
double display_factor(const FreeParameter& f) { return f.unit == "A^-2" ? 1e6 : 1.0; }

std::string axis_title(const FreeParameter& f) {
  if (f.unit == "A^-2") return f.title() + " [1e-6 A^-2]";
  return f.title() + (f.unit.empty() ? "" : " [" + f.unit + "]");
}

std::string terminal(int width, int height) {
  std::ostringstream gp;
  gp << "if (strstrt(GPVAL_TERMINALS, 'pngcairo') > 0) {\n"
     << "  set terminal pngcairo size " << width << "," << height << " noenhanced font 'sans,9'\n"
     << "} else {\n"
     << "  set terminal png size " << width << "," << height << " noenhanced\n"
     << "}\n";
  return gp.str();
}

// The kept values of parameter k in the units of the picture.
std::vector<double> kept_values(const Problem& p, const SamplerResult& r, long from, int k) {
  const Samples& s = r.samples;
  const FreeParameter& f = p.free[at(k)];
  std::vector<double> v;
  v.reserve(at((s.generations - from) * s.chains));
  for (long gen = from; gen < s.generations; ++gen)
    for (int c = 0; c < s.chains; ++c)
      v.push_back(f.physical(s.value(gen, c, k)) * display_factor(f));
  return v;
}

}  // namespace

Band band(const std::vector<std::vector<double>>& curves, double coverage) {
  Band b;
  if (curves.empty()) return b;
  const std::size_t m = curves.front().size();
  std::vector<double> column(curves.size());
  for (std::size_t i = 0; i < m; ++i) {
    for (std::size_t c = 0; c < curves.size(); ++c) column[c] = curves[c][i];
    std::sort(column.begin(), column.end());
    b.lo.push_back(quantile(column, (1.0 - coverage) / 2.0));
    b.median.push_back(quantile(column, 0.5));
    b.hi.push_back(quantile(column, (1.0 + coverage) / 2.0));
  }
  return b;
}

PictureJob posterior_picture(const Problem& p, const SamplerResult& r, const Analysis& a) {
  PictureJob job;
  const std::string dir = std::string(kPlotDir) + "/";
  job.script = dir + "posterior.gp";
  job.partial = ".posterior.png.part";
  job.picture = "posterior.png";
  const int n = static_cast<int>(p.free.size());

  // The most strongly correlated pairs.
  std::vector<std::pair<double, std::pair<int, int>>> pairs;
  for (int k = 0; k < n; ++k)
    for (int b = 0; b < k; ++b)
      pairs.push_back({-std::fabs(a.correlation[at(k * n + b)]), {b, k}});
  std::sort(pairs.begin(), pairs.end());
  if (pairs.size() > static_cast<std::size_t>(kPairs)) pairs.resize(kPairs);

  const int panels = n + static_cast<int>(pairs.size());
  const int cols = std::min(6, static_cast<int>(std::ceil(std::sqrt(static_cast<double>(panels)))));
  const int rows = (panels + cols - 1) / cols;
  std::ostringstream gp;
  gp << "# tessaline-posterior: marginals of the free parameters and the most correlated pairs\n"
     << terminal(320 * cols, 260 * rows + 40) << "set output " << quote(job.partial) << "\n"
     << "set multiplot layout " << rows << "," << cols
     << " title 'Posterior samples: marginal densities (curvature fit dashed) and the most "
        "correlated pairs' font ',11'\n"
     << "set grid lc rgb '#e0e0e0'\nunset key\nset format x '%g'\nset format y '%g'\n"
     << "set xtics rotate by 30 right\nset style fill solid 0.5 border lc rgb '#4060a0'\n";

  for (int k = 0; k < n; ++k) {
    const FreeParameter& f = p.free[at(k)];
    std::vector<double> v = kept_values(p, r, a.from, k);
    const auto [mn, mx] = std::minmax_element(v.begin(), v.end());
    double lo = *mn, hi = *mx;
    if (!(hi > lo)) {
      const double w = std::max(std::fabs(lo) * 1e-6, 1e-300);
      lo -= w;
      hi += w;
    }
    const double width = (hi - lo) / kBins;
    std::vector<long> count(kBins, 0);
    for (double x : v) ++count[at(std::min(kBins - 1, static_cast<int>((x - lo) / width)))];
    std::ostringstream hist;
    for (int b = 0; b < kBins; ++b) {
      hist << g(lo + (b + 0.5) * width) << " "
           << g(static_cast<double>(count[at(b)]) / (static_cast<double>(v.size()) * width))
           << "\n";
    }
    const std::string hname = dir + "marginal_" + std::to_string(k + 1) + ".dat";
    job.files.push_back({hname, hist.str()});
    gp << "\nset title " << quote(std::to_string(f.slot) + "  " + f.title()) << "\n"
       << "set xlabel " << quote(axis_title(f)) << "\nset ylabel 'density'\n"
       << "plot " << quote(hname) << " using 1:2:(" << g(width)
       << ") with boxes lc rgb '#8fa8d8'";
    if (f.fit_value && f.fit_error && *f.fit_error > 0.0 && std::isfinite(*f.fit_error)) {
      const double mu = *f.fit_value * display_factor(f), sd = *f.fit_error * display_factor(f);
      std::ostringstream gauss;
      const double g0 = std::min(lo, mu - 4 * sd), g1 = std::max(hi, mu + 4 * sd);
      for (int i = 0; i <= 200; ++i) {
        const double x = g0 + (g1 - g0) * i / 200.0;
        if (x < lo - 0.5 * (hi - lo) || x > hi + 0.5 * (hi - lo)) continue;
        const double z = (x - mu) / sd;
        gauss << g(x) << " " << g(std::exp(-0.5 * z * z) / (sd * std::sqrt(2.0 * kPi))) << "\n";
      }
      const std::string gname = dir + "curvature_" + std::to_string(k + 1) + ".dat";
      job.files.push_back({gname, gauss.str()});
      gp << ", " << quote(gname) << " using 1:2 with lines dt 2 lw 2 lc rgb '#c03020'";
    }
    gp << "\n";
  }
  int j = 0;
  for (const auto& [rank, pair] : pairs) {
    (void)rank;
    const auto [x, y] = pair;
    const std::vector<double> vx = kept_values(p, r, a.from, x), vy = kept_values(p, r, a.from, y);
    const long every = std::max(1L, static_cast<long>(vx.size()) / kScatterPoints);
    std::ostringstream scatter;
    for (std::size_t i = 0; i < vx.size(); i += at(every)) scatter << g(vx[i]) << " " << g(vy[i]) << "\n";
    const std::string name = dir + "pair_" + std::to_string(++j) + ".dat";
    job.files.push_back({name, scatter.str()});
    char rho[32];
    std::snprintf(rho, sizeof rho, "%.3f", a.correlation[at(y * n + x)]);
    gp << "\nset title " << quote(std::string("correlation ") + rho) << "\n"
       << "set xlabel " << quote(axis_title(p.free[at(x)])) << "\nset ylabel "
       << quote(axis_title(p.free[at(y)])) << "\n"
       << "plot " << quote(name) << " using 1:2 with dots lc rgb '#304070'\n";
  }
  gp << "unset multiplot\n";
  job.files.push_back({job.script, gp.str()});
  return job;
}

PictureJob band_picture(const Problem& p, const SamplerResult& r, const Analysis& a, int curves) {
  PictureJob job;
  const std::string dir = std::string(kPlotDir) + "/";
  job.script = dir + "bands.gp";
  job.partial = ".bands.png.part";
  job.picture = "bands.png";
  const Samples& s = r.samples;
  const Tables& t0 = *p.t;

  // Model curves, and model values at the measured points, of samples spread
  // evenly over the kept rows.
  auto t = make_tables();
  *t = t0;
  BatchOptics optics(t0);
  const long kept = a.kept;
  const long m = std::min<long>(curves, kept);
  std::vector<std::vector<double>> values[kChannels], at_points;
  std::vector<double> angle;
  for (long i = 0; i < m; ++i) {
    const long row = a.from * s.chains + (m > 1 ? i * (kept - 1) / (m - 1) : 0);
    for (int k = 0; k < s.n; ++k) t->PARAM(p.free[at(k)].slot) = s.x[at(row * s.n + k)];
    const CurveValues c = curve_values(*t);
    if (angle.empty())
      for (int q = 1; q <= CurveValues::kPoints; ++q) angle.push_back(c.angle(q));
    for (int ch = 0; ch < kChannels; ++ch) {
      std::vector<double> v;
      for (int q = 1; q <= CurveValues::kPoints; ++q) v.push_back(c.value[ch](q));
      values[ch].push_back(std::move(v));
    }
    at_points.push_back(optics.values(*t, t->PARAM));
  }
  const Band points = band(at_points, 0.95);

  // Each channel: a logarithmic panel over a strip of (R - median) / dR at the
  // measured points with the band in the same units.
  const double strip_h = 0.14, panel_h = 0.47 - strip_h;
  std::ostringstream gp;
  gp << "# tessaline-posterior: the measured points over the 95 % band of the model curves\n"
     << terminal(1200, 1100) << "set output " << quote(job.partial) << "\n"
     << "set multiplot title "
     << quote("Measured points, and the median and central 95 % band of the model curves of " +
              std::to_string(m) + " posterior samples")
     << " font ',11'\n"
     << "set grid lc rgb '#e0e0e0'\nset format x '%g'\nset lmargin 10\nset rmargin 2\n"
     << "set style fill transparent solid 0.35 noborder\n";
  int first = 1;
  for (int ch = 0; ch < kChannels; ++ch) {
    const std::string name(kChannelNames[at(ch)]);
    const double x0 = ch % 2 == 0 ? 0.0 : 0.5;
    const double y0 = (ch < 2 ? 0.48 : 0.0) + strip_h;
    const Band b = band(values[ch], 0.95);
    std::ostringstream bt;
    for (std::size_t q = 0; q < angle.size(); ++q) {
      if (b.lo[q] > 0.0)
        bt << g(angle[q] * kMrad) << " " << g(b.lo[q]) << " " << g(b.median[q]) << " "
           << g(b.hi[q]) << "\n";
    }
    // The channel's points in order of angle.
    std::vector<int> order;
    for (int q = first; q < first + t0.channel_points(ch + 1); ++q) order.push_back(q);
    first += t0.channel_points(ch + 1);
    const auto theta = [&t0](int q) { return t0.POINTS(1 + (q - 1) * t0.nvalues + 2); };
    std::stable_sort(order.begin(), order.end(), [&](int u, int v) { return theta(u) < theta(v); });
    std::ostringstream dt, rt;
    int positive = 0;
    double extent = 3.0;  // of the strip: at least three error bars either way
    for (int q : order) {
      const int k = 1 + (q - 1) * t0.nvalues;
      const double R = t0.POINTS(k), dR = t0.POINTS(k + 1), x = theta(q) * kMrad;
      const double med = points.median[at(q - 1)];
      const double res = (R - med) / dR, lo = (points.lo[at(q - 1)] - med) / dR,
                   hi = (points.hi[at(q - 1)] - med) / dR;
      rt << g(x) << " " << g(res) << " " << g(lo) << " " << g(hi) << "\n";
      for (double v : {res, lo, hi})
        if (std::isfinite(v)) extent = std::max(extent, std::ceil(std::fabs(v)));
      if (R <= 0.0) continue;  // no place on a logarithmic axis
      // An error bar that reaches zero has no lower end on a logarithmic axis:
      // only its upper half is drawn.
      dt << g(x) << " " << g(R) << " " << g(R - dR > 0.0 ? R - dR : R) << " " << g(R + dR)
         << "\n";
      ++positive;
    }
    const std::string band_name = dir + "band_" + name + ".dat";
    const std::string data_name = dir + "data_" + name + ".dat";
    const std::string strip_name = dir + "residual_" + name + ".dat";
    job.files.push_back({band_name, bt.str()});
    gp << "\n# channel " << name << "\nset origin " << x0 << "," << y0 << "\nset size 0.5,"
       << panel_h << "\nset title " << quote(name)
       << "\nset logscale y\nset format y '1e%L'\nset ylabel 'reflectivity'\n"
       << "set format x ''\nunset xlabel\nset bmargin 0.5\nset key top right\n"
       << "plot " << quote(band_name)
       << " using 1:2:4 with filledcurves lc rgb '#d04020' title '95 % band', " << quote(band_name)
       << " using 1:3 with lines lw 1.2 lc rgb '#a02010' title 'median'";
    if (positive > 0) {
      job.files.push_back({data_name, dt.str()});
      gp << ", " << quote(data_name)
         << " using 1:2:3:4 with yerrorbars pt 7 ps 0.35 lc rgb '#203060' title 'measured'";
    }
    gp << "\n";
    gp << "set origin " << x0 << "," << y0 - strip_h << "\nset size 0.5," << strip_h
       << "\nunset title\nunset logscale y\nset format y '%g'\nset format x '%g'\n"
       << "set xlabel 'glancing angle [mrad]'\nset ylabel '(R - median)/dR'\n"
       << "set bmargin -1\nset tmargin 0\nunset key\nset yrange [" << -extent << ":" << extent
       << "]\nset ytics " << std::ceil(extent / 3.0) << "\n";
    if (!order.empty()) {
      job.files.push_back({strip_name, rt.str()});
      gp << "plot " << quote(strip_name)
         << " using 1:3:4 with filledcurves lc rgb '#d04020', " << quote(strip_name)
         << " using 1:2 with points pt 7 ps 0.3 lc rgb '#203060', 0 with lines lc rgb '#a02010'\n";
    } else {
      gp << "plot 0 with lines lc rgb '#a02010'\n";
    }
    gp << "set tmargin -1\nset autoscale y\nset ytics autofreq\n";
  }
  gp << "unset multiplot\n";
  job.files.push_back({job.script, gp.str()});
  return job;
}

}  // namespace tessaline::posterior
