// What a scan's table says: the best grid point, the minimum of a parabola
// (of a quadratic, for a map) through it and its neighbours, and the
// profile-likelihood interval of each setting, where chi-square = 2S has risen
// by a given level above its minimum (1 for one standard deviation; the
// hi_sq.norm of the best point for errors scaled by the quality of the fit).
//
// For a map, the profile of one setting is the lowest chi-square over the
// other setting's grid values at each of its own, so that its interval is
// that of the setting with the other one refitted (on its grid).
#pragma once

#include <limits>
#include <vector>

#include "tools/scan/table.hpp"

namespace tessaline::scan {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Chi-square (2S) against one setting; NaN where a grid point is missing or
// its start gave no finite chi-square.
struct Profile {
  std::vector<double> x;
  std::vector<double> chi2;
};

// Index of the lowest finite chi-square (the first of equals), -1 if none.
int lowest(const std::vector<double>& chi2);

// The minimum of the parabola through the point `best` and its two
// neighbours: found when both neighbours have a chi-square and the parabola
// opens upwards.
struct Vertex {
  bool found = false;
  double x = kNaN;
  double chi2 = kNaN;
  double curvature = kNaN;  // a in chi2 + a (x' - x)^2
};
Vertex parabola_vertex(const Profile& p, int best);

// Where chi-square first reaches chi2_min + level on each side of `best`,
// interpolated between grid points (points without a chi-square are passed
// over).  A side that stays below the level up to the end of the grid is
// open: its bound is the last grid point with a chi-square on that side.  `below_again` is the first grid value
// beyond a bound where chi-square falls below the level again (NaN if none):
// the profile has another valley there.
struct Interval {
  double level = 1;
  double low = kNaN;
  double high = kNaN;
  bool low_open = false;
  bool high_open = false;
  double below_again = kNaN;
};
Interval profile_interval(const Profile& p, int best, double chi2_min, double level);

// One setting's profile, its best point, the parabola's minimum and its
// interval(s).
struct AxisResult {
  Profile profile;
  int best = -1;
  Vertex vertex;
  double chi2_min = kNaN;  // the vertex's value, or the best grid point's
  Interval interval;       // at delta(2S) = 1
  Interval scaled;         // at delta(2S) = hi_sq.norm (when asked for)
};

// The minimum of the quadratic through the best point of a map and its four
// neighbours along the axes, with the cross term from the four diagonal
// neighbours: found when all nine have a chi-square, the quadratic opens
// upwards in every direction and its minimum lies within one and a half steps
// of the best point.
struct MapVertex {
  bool found = false;
  double x = kNaN;
  double y = kNaN;
  double chi2 = kNaN;
};

struct Analysis {
  std::vector<double> chi2;  // by grid index
  int best = -1;             // grid index of the best point; -1: no point has a chi-square
  double best_chi = kNaN;    // its hi_sq.norm
  MapVertex map_vertex;      // maps only
  double chi2_min = kNaN;    // the overall minimum: a vertex's value or the best grid point's
  std::vector<AxisResult> axes;
  bool scaled = false;
  int failed = 0;         // grid points without a finite chi-square
  int not_converged = 0;  // grid points whose fit did not end converged
  int missing = 0;        // grid points without a row
};

Analysis analyse(const ScanTable& t, bool scaled);

// The best setting of a scan: the parabola's (quadratic's) minimum when there
// is one, else the best grid point; one value per axis (none without a best
// point).
std::vector<double> best_setting(const ScanTable& t, const Analysis& a);

// The contour levels of a map above its minimum: delta(2S) = 2.30 and 6.18
// (68 % and 95 % for two settings), times hi_sq.norm when scaled.
std::vector<double> map_levels(const Analysis& a);

}  // namespace tessaline::scan
