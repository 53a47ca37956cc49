// The displaced value and step of a forward difference, shared by ARITHM and by
// the parallel evaluation so that both displace every parameter identically.
#pragma once

#include <cmath>

namespace tessaline {

// The step is a thousandth of the parameter's step limit, floored relative to
// its magnitude so that it never vanishes against the value.  The step goes
// upward; past the upper bound it turns downward; when the interval is narrower
// than the step on both sides it goes to the bound farther away (the upper one
// on a tie).  A displaced value equal to a bound is kept.  Returns the displaced
// value; h receives the signed step.
inline double difference_step(double a0, double steplim, double parmin, double parmax, double& h) {
  h = 0.001 * steplim;
  if (h <= 1e-36 * std::fabs(a0)) h = 1e-36 * std::fabs(a0);
  double a = a0 + h;
  if (a > parmax) {
    a = a0 - h;
    h = -h;
    if (a < parmin) {
      a = parmax;
      h = parmax - a0;
      if (a0 - h > parmin) {
        a = parmin;
        h = parmin - a0;
      }
    }
  }
  return a;
}

}  // namespace tessaline
