// Grouping of the point table by glancing angle: see angle_groups.hpp.
#include "model/angle_groups.hpp"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstdint>

namespace tessaline {

namespace {

std::uint64_t angle_bits(const Tables& t, int p) {
  return std::bit_cast<std::uint64_t>(point_angle(t, p));
}

}  // namespace

AngleGroups::AngleGroups() {
  const std::size_t n = static_cast<std::size_t>(kMaxPoints) + 1;
  previous_.assign(n, 0);
  next_.assign(n, 0);
  order_.assign(n, 0);
}

void AngleGroups::build(const Tables& t) {
  assert(t.npoint <= kMaxPoints);
  const int npoint = t.npoint;
  // Sorting by (bits, point) puts the points of one angle next to each other,
  // in table order; std::sort works in place.
  int* order = order_.data();
  for (int p = 1; p <= npoint; ++p) order[p - 1] = p;
  std::sort(order, order + npoint, [&t](int a, int b) {
    const std::uint64_t x = angle_bits(t, a), y = angle_bits(t, b);
    return x != y ? x < y : a < b;
  });
  for (int r = 0; r < npoint;) {
    int e = r + 1;
    while (e < npoint && angle_bits(t, order[e]) == angle_bits(t, order[r])) ++e;
    for (int k = r; k < e; ++k) {
      const std::size_t p = static_cast<std::size_t>(order[k]);
      previous_[p] = k > r ? order[k - 1] : 0;
      next_[p] = k + 1 < e ? order[k + 1] : 0;
    }
    r = e;
  }
}

}  // namespace tessaline
