// The collimation function: a discrete Gaussian kernel of j0 angular offsets,
// spaced by the collimation step, with weights exp(-(offset/sigma)^2 / 2)
// normalized to a sum of one.  The offsets start at -(j0 div 2) steps, so an even
// j0 has one more point below the nominal angle than above it.  The sampled
// region is set by j0 and the step alone; sigma only shapes the weights.
#include <cmath>

#include "driver/driver.hpp"

namespace tessaline {

void build_collimation(Tables& t) {
  if (t.coll_sigma > 0) {
    double sum = 0;
    for (int j = 1; j <= t.j0; ++j) {
      t.coll_offset(j) = (j - t.j0 / 2 - 1) * t.coll_step;
      const double u = t.coll_offset(j) / t.coll_sigma;
      t.coll_weight(j) = std::exp(-u * u / 2);
      sum += t.coll_weight(j);
    }
    for (int j = 1; j <= t.j0; ++j) t.coll_weight(j) /= sum;
  } else {
    // No resolution: every point is evaluated at its nominal angle only.
    t.j0 = 1;
    t.coll_offset(1) = 0;
    t.coll_weight(1) = 1;
  }
}

}  // namespace tessaline
