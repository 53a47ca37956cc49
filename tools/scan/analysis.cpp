// Minima and intervals of a scan's table: see analysis.hpp.
#include "tools/scan/analysis.hpp"

#include <algorithm>
#include <cmath>

namespace tessaline::scan {
namespace {

bool has(const std::vector<double>& v, int i) {
  return i >= 0 && i < static_cast<int>(v.size()) && std::isfinite(v[static_cast<std::size_t>(i)]);
}

// Where chi-square rises through `target` between the grid points `inner`
// (below it) and `outer` (at or above it), `dir` being the direction from one
// to the other: on the parabola through them and the point before `inner` (or
// the one after `outer`) when that parabola rises through it there once, as it
// does near a minimum, where a straight line between two coarse grid points
// would not; else on the straight line.
double crossing(const Profile& p, int inner, int outer, int dir, double target) {
  const auto x = [&](int i) { return p.x[static_cast<std::size_t>(i)]; };
  const auto c = [&](int i) { return p.chi2[static_cast<std::size_t>(i)]; };
  const double f = c(outer) > c(inner) ? (target - c(inner)) / (c(outer) - c(inner)) : 1.0;
  const double line = x(inner) + std::clamp(f, 0.0, 1.0) * (x(outer) - x(inner));
  int third = inner - dir;
  if (!has(p.chi2, third)) third = outer + dir;
  if (!has(p.chi2, third)) return line;
  // chi2 = a (x - x0)^2 + b (x - x0) + c0 through the three points, x0 = x(inner).
  const double x0 = x(inner), u1 = x(outer) - x0, u2 = x(third) - x0;
  const double d1 = (c(outer) - c(inner)) / u1, d2 = (c(third) - c(inner)) / u2;
  const double a = (d1 - d2) / (u1 - u2);
  const double b = d1 - a * u1;
  const double cc = c(inner) - target;
  const double disc = b * b - 4 * a * cc;
  if (a == 0 || !(disc >= 0)) return line;
  const double q = -0.5 * (b + std::copysign(std::sqrt(disc), b));
  // The root where chi-square rises through the target going outwards.
  double found = line;
  int roots = 0;
  for (const double u : {q / a, q != 0 ? cc / q : q / a}) {
    const bool inside = u * u1 >= 0 && std::fabs(u) <= std::fabs(u1) && std::isfinite(u);
    if (inside && (2 * a * u + b) * dir > 0) {
      if (roots == 0 || x0 + u != found) ++roots;
      found = x0 + u;
    }
  }
  return roots == 1 ? found : line;
}

// One side of an interval: from `best` in direction `dir` (+1 or -1).
void interval_side(const Profile& p, int best, double chi2_min, double level, int dir,
                   double& bound, bool& open, double& again) {
  const int n = static_cast<int>(p.x.size());
  const auto delta = [&](int i) { return p.chi2[static_cast<std::size_t>(i)] - chi2_min; };
  // The best point may itself lie above the level, on this side of the
  // parabola's minimum: the crossing is then on the parabola, between them.
  const Vertex v = parabola_vertex(p, best);
  const bool before_best = v.found && (p.x[static_cast<std::size_t>(best)] - v.x) * dir > 0 &&
                           delta(best) >= level;
  int inner = best;
  int j = best + dir;
  for (; j >= 0 && j < n; j += dir) {
    if (!has(p.chi2, j)) continue;
    if (before_best || delta(j) >= level) break;
    inner = j;
  }
  if (before_best) {
    bound = v.x + dir * std::sqrt(std::max(0.0, chi2_min + level - v.chi2) / v.curvature);
  } else if (j < 0 || j >= n) {
    open = true;
    bound = p.x[static_cast<std::size_t>(inner)];
    return;
  } else {
    bound = crossing(p, inner, j, dir, chi2_min + level);
  }
  for (int k = before_best ? j : j + dir; k >= 0 && k < n; k += dir) {
    if (has(p.chi2, k) && delta(k) < level) {
      if (std::isnan(again) || std::fabs(p.x[static_cast<std::size_t>(k)] - bound) <
                                   std::fabs(again - bound)) {
        again = p.x[static_cast<std::size_t>(k)];
      }
      break;
    }
  }
}

MapVertex quadratic_vertex(const Grid& grid, const std::vector<double>& chi2, int best) {
  MapVertex v;
  const std::vector<int> c = grid.coords(best);
  const Axis& ax = grid.axes[0];
  const Axis& ay = grid.axes[1];
  if (c[0] == 0 || c[0] == ax.n - 1 || c[1] == 0 || c[1] == ay.n - 1) return v;
  // f(du, dw), the chi-square du and dw grid steps from the best point.
  double f[3][3];
  for (int du = -1; du <= 1; ++du) {
    for (int dw = -1; dw <= 1; ++dw) {
      f[du + 1][dw + 1] = chi2[static_cast<std::size_t>(grid.index({c[0] + du, c[1] + dw}))];
      if (!std::isfinite(f[du + 1][dw + 1])) return v;
    }
  }
  // q(u, w) = f0 + gu u + gw w + (huu u^2 + 2 huw u w + hww w^2) / 2: through
  // the best point and its four neighbours along the axes, as the parabola of
  // a profile is, with the cross term from the four corners.
  const double f0 = f[1][1];
  const double gu = (f[2][1] - f[0][1]) / 2, gw = (f[1][2] - f[1][0]) / 2;
  const double huu = f[2][1] - 2 * f0 + f[0][1], hww = f[1][2] - 2 * f0 + f[1][0];
  const double huw = (f[2][2] - f[2][0] - f[0][2] + f[0][0]) / 4;
  const double det = huu * hww - huw * huw;
  if (!(huu > 0) || !(det > 0)) return v;
  const double u = -(hww * gu - huw * gw) / det;
  const double w = -(huu * gw - huw * gu) / det;
  if (std::fabs(u) > 1.5 || std::fabs(w) > 1.5) return v;
  const double hx = (ax.last - ax.first) / (ax.n - 1);
  const double hy = (ay.last - ay.first) / (ay.n - 1);
  v.found = true;
  v.x = ax.value(c[0]) + u * hx;
  v.y = ay.value(c[1]) + w * hy;
  v.chi2 = f0 + gu * u + gw * w + (huu * u * u + 2 * huw * u * w + hww * w * w) / 2;
  return v;
}

AxisResult axis_result(Profile profile, double scale_level) {
  AxisResult r;
  r.profile = std::move(profile);
  r.best = lowest(r.profile.chi2);
  if (r.best < 0) return r;
  r.vertex = parabola_vertex(r.profile, r.best);
  r.chi2_min = r.vertex.found ? r.vertex.chi2 : r.profile.chi2[static_cast<std::size_t>(r.best)];
  r.interval = profile_interval(r.profile, r.best, r.chi2_min, 1.0);
  if (std::isfinite(scale_level)) {
    r.scaled = profile_interval(r.profile, r.best, r.chi2_min, scale_level);
  }
  return r;
}

}  // namespace

int lowest(const std::vector<double>& chi2) {
  int best = -1;
  for (int i = 0; i < static_cast<int>(chi2.size()); ++i) {
    if (has(chi2, i) && (best < 0 || chi2[static_cast<std::size_t>(i)] <
                                         chi2[static_cast<std::size_t>(best)])) {
      best = i;
    }
  }
  return best;
}

Vertex parabola_vertex(const Profile& p, int best) {
  Vertex v;
  if (!has(p.chi2, best - 1) || !has(p.chi2, best + 1)) return v;
  const double cm = p.chi2[static_cast<std::size_t>(best - 1)];
  const double c0 = p.chi2[static_cast<std::size_t>(best)];
  const double cp = p.chi2[static_cast<std::size_t>(best + 1)];
  const double h = p.x[static_cast<std::size_t>(best + 1)] - p.x[static_cast<std::size_t>(best)];
  const double curvature = cp - 2 * c0 + cm;  // 2 a h^2
  if (!(curvature > 0)) return v;
  const double slope = (cp - cm) / 2;  // b h
  v.found = true;
  v.x = p.x[static_cast<std::size_t>(best)] - h * slope / curvature;
  v.chi2 = c0 - slope * slope / (2 * curvature);
  v.curvature = curvature / (2 * h * h);
  return v;
}

Interval profile_interval(const Profile& p, int best, double chi2_min, double level) {
  Interval r;
  r.level = level;
  interval_side(p, best, chi2_min, level, -1, r.low, r.low_open, r.below_again);
  interval_side(p, best, chi2_min, level, +1, r.high, r.high_open, r.below_again);
  return r;
}

Analysis analyse(const ScanTable& t, bool scaled) {
  Analysis a;
  a.scaled = scaled;
  const Grid grid = t.head.grid();
  const int G = grid.size();
  a.chi2.assign(static_cast<std::size_t>(G), kNaN);
  a.missing = G - static_cast<int>(t.rows.size());
  for (const TableRow& r : t.rows) {
    if (std::isfinite(r.S)) {
      a.chi2[static_cast<std::size_t>(r.grid)] = 2 * r.S;
      if (r.status != 1) ++a.not_converged;
    } else {
      ++a.failed;
    }
  }
  a.best = lowest(a.chi2);
  if (a.best < 0) return a;
  for (const TableRow& r : t.rows)
    if (r.grid == a.best) a.best_chi = r.chi;
  a.chi2_min = a.chi2[static_cast<std::size_t>(a.best)];
  const double scale_level = scaled ? a.best_chi : kNaN;

  if (grid.axes.size() == 1) {
    Profile p;
    for (int i = 0; i < G; ++i) p.x.push_back(grid.axes[0].value(i));
    p.chi2 = a.chi2;
    a.axes.push_back(axis_result(std::move(p), scale_level));
    if (a.axes[0].vertex.found) a.chi2_min = a.axes[0].vertex.chi2;
  } else if (grid.axes.size() == 2) {
    a.map_vertex = quadratic_vertex(grid, a.chi2, a.best);
    if (a.map_vertex.found) a.chi2_min = std::min(a.map_vertex.chi2, a.chi2_min);
    for (std::size_t k = 0; k < 2; ++k) {
      Profile p;
      const Axis& axis = grid.axes[k];
      for (int i = 0; i < axis.n; ++i) {
        p.x.push_back(axis.value(i));
        double low = kNaN;
        const Axis& other = grid.axes[1 - k];
        for (int j = 0; j < other.n; ++j) {
          const double c = a.chi2[static_cast<std::size_t>(
              grid.index(k == 0 ? std::vector<int>{i, j} : std::vector<int>{j, i}))];
          if (std::isfinite(c) && !(c >= low)) low = c;
        }
        p.chi2.push_back(low);
      }
      a.axes.push_back(axis_result(std::move(p), scale_level));
    }
  }
  return a;
}

std::vector<double> best_setting(const ScanTable& t, const Analysis& a) {
  if (a.best < 0) return {};
  if (t.head.axes.size() == 1 && a.axes[0].vertex.found) return {a.axes[0].vertex.x};
  if (t.head.axes.size() == 2 && a.map_vertex.found) return {a.map_vertex.x, a.map_vertex.y};
  return t.head.grid().setting(a.best);
}

std::vector<double> map_levels(const Analysis& a) {
  const double f = a.scaled && std::isfinite(a.best_chi) ? a.best_chi : 1.0;
  return {2.30 * f, 6.18 * f};
}

}  // namespace tessaline::scan
