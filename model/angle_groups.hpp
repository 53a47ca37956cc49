// Points of the point table grouped by glancing angle.
//
// The model value of a point depends on its angle and its channel only, and the
// optics of one angle gives all four channels.  Measured and simulated data
// nearly always put the four channels on one common grid of angles, so the
// points that share an angle, equal to the bit, are evaluated together: one
// optics evaluation per distinct angle instead of one per point.  When the points
// carry their own angular resolution, the resolution is part of the key: points
// share an evaluation when both their angles and their resolutions are equal to
// the bit.
//
// AngleGroups links the points of one angle in table order.  Its tables are
// sized once for the largest point table; build() allocates nothing.
#pragma once

#include <vector>

#include "model/model.hpp"
#include "tables/tables.hpp"

namespace tessaline {

// Glancing angle of point p (1-based) of the point table.
inline double point_angle(const Tables& t, int p) { return t.POINTS(1 + (p - 1) * t.nvalues + 2); }

// Channel code of point p of the point table.
inline double point_code(const Tables& t, int p) { return t.POINTS(1 + (p - 1) * t.nvalues + 3); }

// Angular resolution of point p (rad) when the points carry their own, else
// kEntryKernel.
inline double point_resolution(const Tables& t, int p) {
  return t.nvalues > 4 ? t.POINTS(1 + (p - 1) * t.nvalues + 4) : kEntryKernel;
}

class AngleGroups {
 public:
  AngleGroups();

  // Groups the points of t's point table by the bits of their angles (and of
  // their resolutions).
  void build(const Tables& t);

  // The point before and after p with the same angle; 0 when there is none.
  int previous(int p) const { return previous_[static_cast<std::size_t>(p)]; }
  int next(int p) const { return next_[static_cast<std::size_t>(p)]; }

 private:
  std::vector<int> previous_, next_;  // indexed by point, 1..npoint
  std::vector<int> order_;            // points sorted by angle bits
};

}  // namespace tessaline
