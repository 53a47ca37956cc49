// Axes and tables made by hand for the tests of the analysis and the report:
// a table whose chi-square at every grid point is a given function of its
// setting.
#pragma once

#include <functional>
#include <vector>

#include "tools/scan/table.hpp"

namespace tessaline::scan::testing {

inline Axis axis(AxisKind kind, double first, double last, int n, int slot = 0) {
  Axis a;
  a.kind = kind;
  a.first = first;
  a.last = last;
  a.n = n;
  a.slot = slot;
  return a;
}

// A complete table over `axes` of fits of one free parameter to `points`
// points, whose chi-square (2S) at each grid point is f of its setting.
inline ScanTable table_of(const std::vector<Axis>& axes,
                          const std::function<double(const std::vector<double>&)>& f,
                          int points = 100) {
  ScanTable t;
  t.head.entry = "film.ent";
  t.head.data = "film.dat";
  t.head.axes = axes;
  t.head.points = points;
  t.head.free = {{1, "thickness", "A"}};
  const Grid grid = t.head.grid();
  for (int g = 0; g < grid.size(); ++g) {
    TableRow r;
    r.grid = g;
    r.setting = grid.setting(g);
    r.S = f(r.setting) / 2;
    r.chi = 2 * r.S / t.head.degrees_of_freedom();
    r.status = 1;
    r.reached = r.minima = 1;
    r.values = {50};
    t.rows.push_back(r);
  }
  return t;
}

}  // namespace tessaline::scan::testing
