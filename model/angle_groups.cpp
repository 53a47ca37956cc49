// Grouping of the point table by glancing angle: see angle_groups.hpp.
#include "model/angle_groups.hpp"

#include <algorithm>
#include <bit>
#include <cassert>
#include <compare>
#include <cstdint>

namespace tessaline {

namespace {

// The key of a point: the bits of its angle and of its resolution.
struct Key {
  std::uint64_t angle, resolution;
  auto operator<=>(const Key&) const = default;
};

Key key_of(const Tables& t, int p) {
  return {std::bit_cast<std::uint64_t>(point_angle(t, p)),
          std::bit_cast<std::uint64_t>(point_resolution(t, p))};
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
    const Key x = key_of(t, a), y = key_of(t, b);
    return x != y ? x < y : a < b;
  });
  for (int r = 0; r < npoint;) {
    int e = r + 1;
    while (e < npoint && key_of(t, order[e]) == key_of(t, order[r])) ++e;
    for (int k = r; k < e; ++k) {
      const std::size_t p = static_cast<std::size_t>(order[k]);
      previous_[p] = k > r ? order[k - 1] : 0;
      next_[p] = k + 1 < e ? order[k + 1] : 0;
    }
    r = e;
  }
}

}  // namespace tessaline
