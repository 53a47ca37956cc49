// The texts of a scan's report and picture: see report.hpp.
#include "tools/gnuplot/gnuplot.hpp"
#include "tools/scan/report.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

namespace tessaline::scan {
namespace {

std::string g6(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

std::string g3(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.3g", v);
  return buf;
}

// A number for gnuplot's data files and script.
std::string gp(double v) {
  if (!std::isfinite(v)) return "NaN";
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.10g", v);
  return buf;
}

std::string quote(const std::string& s) { return gnuplot::gnuplot_quote(s); }

std::string unit_of(const Axis& a) {
  switch (a.kind) {
    case AxisKind::kZero:
    case AxisKind::kSigma:
      return "mrad";
    case AxisKind::kParam:
      break;
  }
  return a.unit;
}

// "zero correction 0.05 mrad", "parameter 7 (thickness) 140 A".
std::string setting_text(const Axis& a, double v) {
  std::string name = a.label();
  name = name.substr(0, name.find(" ["));
  const std::string unit = unit_of(a);
  return name + " " + g6(v) + (unit.empty() ? "" : " " + unit);
}

std::string settings_text(const std::vector<Axis>& axes, const std::vector<double>& v) {
  std::string s;
  for (std::size_t k = 0; k < axes.size(); ++k) {
    s += (k == 0 ? "" : ", ") + setting_text(axes[k], v[k]);
  }
  return s;
}

std::string status_text(int status, double S) {
  std::string w = status_word(status, S);
  std::replace(w.begin(), w.end(), '-', ' ');
  return w;
}

// A sigma axis that starts at 0: below it there is nothing to extend to.
bool ends_at_no_smearing(const Axis& axis, const Interval& in) {
  return axis.kind == AxisKind::kSigma && in.low_open && in.low == 0;
}

// "0.0471 to 0.0553 mrad, that is 0.0512 -0.0041 +0.0041", with the edges of
// the grid said where the interval reaches them.
std::string interval_text(const Axis& axis, const Interval& in, double center) {
  const std::string unit = unit_of(axis);
  const std::string u = unit.empty() ? "" : " " + unit;
  const std::string low = ends_at_no_smearing(axis, in) ? "0 (no smearing)"
                          : in.low_open                ? "below " + g6(in.low)
                                                       : g6(in.low);
  std::string s = low + " to " + (in.high_open ? "above " : "") + g6(in.high) + u;
  if (!in.low_open && !in.high_open) {
    s += ", that is " + g6(center) + " -" + g3(center - in.low) + " +" + g3(in.high - center);
  }
  return s;
}

// Notes on an interval: the edges it reaches, another valley.
void interval_notes(std::ostringstream& s, const Axis& axis, const Interval& in) {
  const std::string unit = unit_of(axis);
  const std::string u = unit.empty() ? "" : " " + unit;
  if (ends_at_no_smearing(axis, in)) {
    s << "  Note: chi-square is lowest towards sigma = 0, where the smearing ends: the data set "
         "an upper limit on the resolution only.\n";
  } else if (in.low_open) {
    s << "  Note: chi-square stays within delta(2S) = " << g6(in.level)
      << " down to the lowest grid point with a chi-square (" << g6(in.low) << u
      << "): the interval reaches beyond the grid; extend the range.\n";
  }
  if (in.high_open) {
    s << "  Note: chi-square stays within delta(2S) = " << g6(in.level)
      << " up to the highest grid point with a chi-square (" << g6(in.high) << u
      << "): the interval reaches beyond the grid; extend the range.\n";
  }
  if (std::isfinite(in.below_again)) {
    s << "  Note: chi-square falls below that level again at " << g6(in.below_again) << u
      << ": the profile has another valley there; the interval is that of the best one.\n";
  }
}

void axis_lines(std::ostringstream& s, const Axis& axis, const AxisResult& r, bool scaled,
                const std::string& indent) {
  const double center =
      r.vertex.found ? r.vertex.x : r.profile.x[static_cast<std::size_t>(r.best)];
  s << indent << "interval at delta(2S) = 1: " << interval_text(axis, r.interval, center) << "\n";
  interval_notes(s, axis, r.interval);
  if (scaled) {
    s << indent << "scaled by hi_sq.norm, at delta(2S) = " << g6(r.scaled.level) << ": "
      << interval_text(axis, r.scaled, center) << "\n";
    interval_notes(s, axis, r.scaled);
  }
}

const TableRow* row_of(const ScanTable& t, int g) {
  for (const TableRow& r : t.rows)
    if (r.grid == g) return &r;
  return nullptr;
}

}  // namespace

std::string report_text(const ScanTable& t, const Analysis& a) {
  const TableHead& h = t.head;
  const Grid grid = h.grid();
  std::ostringstream s;
  s << (h.axes.empty() ? "Search" : h.axes.size() == 1 ? "Profile scan" : "Map") << " of "
    << h.entry << " with " << h.data;
  if (h.first > 0 || h.last > 0) {
    s << ", the first " << h.first << " and the last " << h.last
      << " points of every channel left out";
  }
  s << "\n";
  for (std::size_t k = 0; k < h.axes.size(); ++k) {
    const Axis& x = h.axes[k];
    s << (k == 0 ? "  " : "  by ") << x.label() << ": " << x.n << " values from " << g6(x.first)
      << " to " << g6(x.last) << "\n";
  }
  s << (h.axes.empty() ? "A fit" : "At every grid point a fit") << " of " << h.free.size()
    << " free parameters";
  if (h.starts > 1) {
    s << " from " << h.starts << " starts (the entry file's and " << h.starts - 1
      << " drawn within +/-" << g6(100 * h.spread) << " % of its values, seed " << h.seed << ")";
  } else {
    s << " from the entry file's start";
  }
  if (h.follow) s << ", then from the best neighbour's result until no grid point improved";
  s << "; " << h.points << " points, " << h.degrees_of_freedom() << " degrees of freedom.\n";
  if (!t.complete()) {
    s << "The table is incomplete (" << t.incomplete
      << "): what follows is from the grid points fitted.\n";
  }
  s << "\n";

  if (a.best < 0) {
    s << "No grid point has a chi-square: every start gave none that is finite.\n";
    return s.str();
  }
  const TableRow& best = *row_of(t, a.best);
  s << "Best " << (h.axes.empty() ? "fit" : "grid point");
  if (!h.axes.empty()) {
    s << " (" << a.best + 1 << " of " << grid.size() << "): " << settings_text(h.axes, best.setting);
  }
  s << ": 2S = " << g6(2 * best.S) << ", hi_sq.norm = " << g6(best.chi) << ", "
    << status_text(best.status, best.S) << "\n";

  if (h.axes.size() == 1) {
    const AxisResult& r = a.axes[0];
    if (r.vertex.found) {
      s << "Minimum of the parabola through it and its neighbours: "
        << setting_text(h.axes[0], r.vertex.x) << ", 2S = " << g6(r.vertex.chi2) << "\n";
    } else {
      const auto has_chi2 = [&](int i) {
        return i >= 0 && i < h.axes[0].n && std::isfinite(r.profile.chi2[static_cast<std::size_t>(i)]);
      };
      s << "No parabola: "
        << (r.best == 0 || r.best == h.axes[0].n - 1
                ? "the best grid point lies at the edge of the grid, and the minimum may lie "
                  "beyond it; extend the range"
            : !has_chi2(r.best - 1) || !has_chi2(r.best + 1)
                ? "a neighbour of the best grid point has no chi-square"
                : "its neighbours give none that opens upwards")
        << ".\n";
    }
    s << "Profile-likelihood ";
    axis_lines(s, h.axes[0], r, a.scaled, "");
  } else if (h.axes.size() == 2) {
    if (a.map_vertex.found) {
      s << "Minimum of the quadratic through it and its neighbours: "
        << settings_text(h.axes, {a.map_vertex.x, a.map_vertex.y}) << ", 2S = "
        << g6(a.map_vertex.chi2) << "\n";
    } else {
      s << "No quadratic minimum: the best grid point lies at the edge of the map, a neighbour "
           "has no chi-square, or the quadratic through them has no minimum near it.\n";
    }
    s << "Profile of each setting, the other one refitted on its grid:\n";
    for (std::size_t k = 0; k < 2; ++k) {
      const AxisResult& r = a.axes[k];
      s << "  " << h.axes[k].label() << ": minimum at "
        << g6(r.vertex.found ? r.vertex.x : r.profile.x[static_cast<std::size_t>(r.best)])
        << (r.vertex.found ? " (parabola)" : " (grid point)") << "\n";
      axis_lines(s, h.axes[k], r, a.scaled, "    ");
    }
    const std::vector<double> levels = map_levels(a);
    char both[64];
    std::snprintf(both, sizeof both, a.scaled ? "%.4g and %.4g" : "%.2f and %.2f", levels[0],
                  levels[1]);
    s << "Contours of the map: delta(2S) = " << both
      << " above the minimum (68 % and 95 % for the two settings together"
      << (a.scaled ? ", scaled by hi_sq.norm" : "") << ").\n";
  }
  if (a.failed > 0) {
    s << "Note: " << a.failed << " grid point" << (a.failed == 1 ? "" : "s")
      << " had no finite chi-square at the start (no-finite-start in the table).\n";
  }
  if (a.not_converged > 0) {
    s << "Note: the fits of " << a.not_converged << " grid point"
      << (a.not_converged == 1 ? "" : "s")
      << " did not end converged (the status column says how they ended).\n";
  }
  return s.str();
}

std::string minima_text(const Problem& p, const PointResult& r, int starts) {
  std::ostringstream s;
  const std::size_t n = r.minima.size();
  s << n << (n == 1 ? " minimum" : " minima") << " reached from " << starts
    << " starts (start 1 is the entry file's)";
  if (r.failed > 0) s << "; " << r.failed << " starts gave no finite chi-square";
  s << ":\n";
  constexpr std::size_t kColumns = 5;
  for (std::size_t first = 0; first < n; first += kColumns) {
    const std::size_t last = std::min(n, first + kColumns);
    char buf[80];
    const auto row = [&](const std::string& label, auto cell) {
      std::snprintf(buf, sizeof buf, "  %-30s", label.c_str());
      s << buf;
      for (std::size_t m = first; m < last; ++m) {
        std::snprintf(buf, sizeof buf, " %14s", cell(r.minima[m]).c_str());
        s << buf;
      }
      s << "\n";
    };
    row("", [&](const Minimum& m) {
      return "minimum " + std::to_string(&m - r.minima.data() + 1);
    });
    row("hi_sq.norm", [](const Minimum& m) { return g6(m.best.chi); });
    row("2S", [](const Minimum& m) { return g6(2 * m.best.S); });
    row("end status", [](const Minimum& m) { return status_word(m.best.status, m.best.S); });
    row("starts that reached it", [](const Minimum& m) { return std::to_string(m.starts.size()); });
    row("the first of them", [](const Minimum& m) { return std::to_string(m.starts.front()); });
    for (std::size_t k = 0; k < p.free.size(); ++k) {
      const int i = p.free[k];
      const std::string unit = entry_unit_name(p.unit(i));
      row(std::to_string(i) + " " + std::string(trimmed_name(p.base->PARNAM(i))) +
              (unit.empty() ? "" : " [" + unit + "]"),
          [&](const Minimum& m) { return g6(entry_values(p, m.best.values)[k]); });
    }
  }
  return s.str();
}

bool has_picture(const ScanTable& t, const Analysis& a) {
  return !t.head.axes.empty() && a.best >= 0;
}

PictureJob picture_job(const ScanTable& t, const Analysis& a) {
  const TableHead& h = t.head;
  const Grid grid = h.grid();
  PictureJob job;
  const bool map = h.axes.size() == 2;
  const std::string stem = map ? "map" : "profile";
  job.picture = stem + ".png";
  job.temporary = stem + ".png.part";
  job.script = stem + ".gp";

  std::ostringstream gpl;
  gpl << "# tessaline-scan: " << (map ? "a map of chi-square" : "the profile of chi-square")
      << "; its data are in " << stem << "*.dat\n"
      << "if (strstrt(GPVAL_TERMINALS, 'pngcairo') > 0) {\n"
      << "  set terminal pngcairo size 1000," << (map ? 800 : 900)
      << " noenhanced font 'sans,11'\n"
      << "} else {\n"
      << "  set terminal png size 1000," << (map ? 800 : 900) << " noenhanced\n"
      << "}\n"
      << "set output " << quote(job.temporary) << "\n"
      << "set datafile missing 'NaN'\n"
      << "set grid lc rgb '#d0d0d0'\n";

  if (!map) {
    const AxisResult& r = a.axes[0];
    std::ostringstream data;
    data << "# " << h.axes[0].column() << " chi-square(2S)\n";
    for (std::size_t i = 0; i < r.profile.x.size(); ++i) {
      data << gp(r.profile.x[i]) << " " << gp(r.profile.chi2[i]) << "\n";
    }
    job.files.push_back({"profile.dat", data.str()});
    const double center =
        r.vertex.found ? r.vertex.x : r.profile.x[static_cast<std::size_t>(r.best)];
    job.files.push_back({"profile_min.dat", gp(center) + " " + gp(r.chi2_min) + "\n"});
    // The parabola through the best point and its neighbours, which the
    // minimum and the ends of an interval near it come from.
    const double step = r.profile.x[1] - r.profile.x[0];
    std::ostringstream parabola;
    if (r.vertex.found) {
      const double xb = r.profile.x[static_cast<std::size_t>(r.best)];
      for (int k = 0; k <= 100; ++k) {
        const double x = xb - step + 2 * step * k / 100;
        parabola << gp(x) << " "
                 << gp(r.vertex.chi2 + r.vertex.curvature * (x - r.vertex.x) * (x - r.vertex.x))
                 << "\n";
      }
    }
    job.files.push_back({"profile_parabola.dat", parabola.str()});

    // The lower panel: the interval(s) and a margin of their width around them.
    const Interval& wide = a.scaled && r.scaled.level > 1 ? r.scaled : r.interval;
    const double width = std::max(wide.high - wide.low, step);
    const double zoom_lo = std::max(h.axes[0].first, wide.low - width);
    const double zoom_hi = std::min(h.axes[0].last, wide.high + width);
    gpl << "set multiplot layout 2,1 title "
        << quote("chi-square against the " + h.axes[0].label()) << "\n"
        << "set xlabel " << quote(h.axes[0].label()) << "\n"
        << "set ylabel 'chi-square (2S)'\n"
        << "set key top center\n"
        << "set title 'every grid point'\n"
        << "plot 'profile.dat' using 1:2 with linespoints pt 7 ps 0.7 lc rgb 'black' title 'fit "
           "at each grid point', 'profile_min.dat' using 1:2 with points pt 6 ps 2 lc rgb 'red' "
           "title 'minimum'\n"
        << "set title "
        << quote(std::string("near the minimum: the interval at delta(2S) = 1") +
                 (a.scaled ? " (blue) and scaled by hi_sq.norm (green)" : " (blue)"))
        << "\n"
        << "set xrange [" << gp(zoom_lo) << ":" << gp(zoom_hi) << "]\n"
        << "set yrange [" << gp(r.chi2_min - 0.5 * wide.level) << ":"
        << gp(r.chi2_min + 5 * wide.level) << "]\n";
    const auto mark = [&](const Interval& in, const char* colour) {
      gpl << "set arrow from " << gp(in.low) << "," << gp(r.chi2_min + in.level) << " to "
          << gp(in.high) << "," << gp(r.chi2_min + in.level) << " heads lw 2 lc rgb '" << colour
          << "'\n";
      for (const double x : {in.low, in.high}) {
        gpl << "set arrow from " << gp(x) << ", graph 0 to " << gp(x)
            << ", graph 1 nohead dt 2 lc rgb '" << colour << "'\n";
      }
    };
    mark(r.interval, "blue");
    if (a.scaled) mark(r.scaled, "dark-green");
    gpl << "plot 'profile.dat' using 1:2 with points pt 7 ps 1.2 lc rgb 'black' title 'fits'"
        << (r.vertex.found ? ", 'profile_parabola.dat' using 1:2 with lines lc rgb 'red' title "
                             "'parabola through the best three'"
                           : "")
        << ", 'profile_min.dat' using 1:2 with points pt 6 ps 2 lc rgb 'red' notitle\n"
        << "unset multiplot\n";
  } else {
    const std::vector<double> levels = map_levels(a);
    std::ostringstream data;
    data << "# " << h.axes[0].column() << " " << h.axes[1].column() << " delta(2S)\n";
    double top = 10;
    for (int i = 0; i < h.axes[0].n; ++i) {
      for (int j = 0; j < h.axes[1].n; ++j) {
        const double d = a.chi2[static_cast<std::size_t>(grid.index({i, j}))] - a.chi2_min;
        if (std::isfinite(d)) top = std::max(top, d);
        data << gp(h.axes[0].value(i)) << " " << gp(h.axes[1].value(j)) << " " << gp(d) << "\n";
      }
      data << "\n";
    }
    job.files.push_back({"map.dat", data.str()});
    const std::vector<double> best = grid.setting(a.best);
    const double mx = a.map_vertex.found ? a.map_vertex.x : best[0];
    const double my = a.map_vertex.found ? a.map_vertex.y : best[1];
    job.files.push_back({"map_min.dat", gp(mx) + " " + gp(my) + "\n"});
    char title[160];
    std::snprintf(title, sizeof title,
                  "delta(2S) above the minimum; contours at %.2f and %.2f (%s)", levels[0],
                  levels[1],
                  a.scaled ? "scaled by hi_sq.norm" : "68 % and 95 % for the two together");
    // The contour lines first, into a table; then the map on a logarithmic
    // colour scale (from 0.1), so that its whole landscape shows.
    gpl << "set contour base\n"
        << "set cntrparam levels discrete " << gp(levels[0]) << ", " << gp(levels[1]) << "\n"
        << "unset surface\n"
        << "set table 'map_contours.dat'\n"
        << "splot 'map.dat' using 1:2:3 with lines notitle\n"
        << "unset table\n"
        << "unset contour\n"
        << "set surface\n"
        << "set title " << quote(title) << "\n"
        << "set xlabel " << quote(h.axes[0].label()) << "\n"
        << "set ylabel " << quote(h.axes[1].label()) << "\n"
        << "set cblabel 'delta(2S)'\n"
        << "set logscale cb\n"
        << "set cbrange [0.1:" << gp(top) << "]\n"
        << "set palette defined (0 '#440154', 1 '#3b528b', 2 '#21918c', 3 '#5ec962', 4 '#fde725')\n"
        << "set xrange [" << gp(h.axes[0].first) << ":" << gp(h.axes[0].last) << "]\n"
        << "set yrange [" << gp(h.axes[1].first) << ":" << gp(h.axes[1].last) << "]\n"
        << "set key outside bottom center horizontal\n"
        << "plot 'map.dat' using 1:2:($3 < 0.1 ? 0.1 : $3) with image notitle, "
           "'map_contours.dat' using 1:2 with lines lw 2 lc rgb 'white' notitle, "
           "'map_min.dat' using 1:2 with points pt 7 ps 1.5 lc rgb 'red' title 'minimum'\n";
  }
  job.files.push_back({job.script, gpl.str()});
  return job;
}

}  // namespace tessaline::scan
