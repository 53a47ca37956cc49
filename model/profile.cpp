// The depth profile of the layer stack; see profile.hpp.
//
// Each interface is evaluated only within eight widths of it, beyond which its
// error function equals 0 or 1 to within 1e-15; further below it adds its full
// step, carried by a running sum.  The cost is the number of grid points plus
// the points near the interfaces, not their product.
#include "model/profile.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "model/model.hpp"

namespace tessaline {

std::vector<ProfileMedium> profile_media(const Tables& t, const ParamVector& PARAM) {
  constexpr double kMicro = 1.0e6;  // A^-2 to 1e-6 A^-2
  std::vector<ProfileMedium> media;
  const int N = t.nlay;
  for (int j = 1; j <= N + 1; ++j) {
    const int i = density_slot(N, j);
    ProfileMedium m;
    m.thickness = j <= N ? phys(t, PARAM, 6 * j - 5) : 0.0;
    m.nuclear = phys(t, PARAM, i) * kMicro;
    m.magnetic = phys(t, PARAM, i + 2) * phys(t, PARAM, i + 3) * kMicro;
    m.roughness = phys(t, PARAM, i + 4);
    media.push_back(m);
  }
  return media;
}

DepthProfile depth_profile(const std::vector<ProfileMedium>& media, double step) {
  DepthProfile p;
  if (media.empty() || !(step > 0)) return p;

  // Interface j lies on top of medium j + 1: below the layers 1..j.
  double z = 0;
  double widest = 0;
  for (std::size_t j = 0; j < media.size(); ++j) {
    p.interfaces.push_back(z);
    z += media[j].thickness;
    widest = std::max(widest, std::abs(media[j].roughness));
  }
  const auto [lo, hi] = std::minmax_element(p.interfaces.begin(), p.interfaces.end());
  const double margin = std::max(20.0, 4.0 * widest);
  const long k_first = static_cast<long>(std::floor((*lo - margin) / step));
  const long k_last = static_cast<long>(std::ceil((*hi + margin) / step));
  const long n = k_last - k_first + 1;
  if (!(n > 0 && n <= kMaxProfilePoints)) {
    throw std::length_error("a depth profile from " + std::to_string(*lo - margin) + " to " +
                            std::to_string(*hi + margin) + " A needs more than " +
                            std::to_string(kMaxProfilePoints) + " points");
  }

  p.points.resize(static_cast<std::size_t>(n));
  for (long k = 0; k < n; ++k) p.points[static_cast<std::size_t>(k)].depth = (k_first + k) * step;
  // Full steps of the interfaces above each point, as differences.
  std::vector<double> full_nuclear(static_cast<std::size_t>(n), 0.0);
  std::vector<double> full_magnetic(static_cast<std::size_t>(n), 0.0);

  double above_nuclear = 0;  // the medium above interface j (vacuum for j = 0)
  double above_magnetic = 0;
  for (std::size_t j = 0; j < media.size(); ++j) {
    const double zj = p.interfaces[j];
    const double sigma = std::abs(media[j].roughness);
    const double d_nuclear = media[j].nuclear - above_nuclear;
    const double d_magnetic = media[j].magnetic - above_magnetic;
    above_nuclear = media[j].nuclear;
    above_magnetic = media[j].magnetic;

    // Grid points within eight widths (at least the point on the interface).
    const double reach = 8.0 * sigma;
    const long a = std::max(0L, static_cast<long>(std::ceil((zj - reach) / step)) - k_first);
    const long b = std::min(n - 1, static_cast<long>(std::floor((zj + reach) / step)) - k_first);
    for (long k = a; k <= b; ++k) {
      ProfilePoint& q = p.points[static_cast<std::size_t>(k)];
      const double u = q.depth - zj;
      const double s = sigma > 0 ? 0.5 * (1.0 + std::erf(u / (std::sqrt(2.0) * sigma)))
                                 : (u > 0   ? 1.0
                                    : u < 0 ? 0.0
                                            : 0.5);
      q.nuclear += d_nuclear * s;
      q.magnetic += d_magnetic * s;
    }
    const long below = std::max(0L, b + 1);
    if (below < n) {
      full_nuclear[static_cast<std::size_t>(below)] += d_nuclear;
      full_magnetic[static_cast<std::size_t>(below)] += d_magnetic;
    }
  }
  double run_nuclear = 0;
  double run_magnetic = 0;
  for (long k = 0; k < n; ++k) {
    run_nuclear += full_nuclear[static_cast<std::size_t>(k)];
    run_magnetic += full_magnetic[static_cast<std::size_t>(k)];
    p.points[static_cast<std::size_t>(k)].nuclear += run_nuclear;
    p.points[static_cast<std::size_t>(k)].magnetic += run_magnetic;
  }
  return p;
}

}  // namespace tessaline
