// What the kept samples say: the marginal of each free parameter (median, mean,
// standard deviation, central 68 % and 95 % intervals), convergence (the
// Gelman-Rubin R-hat and the effective sample size) and the correlations.
//
// R-hat is the split form (A. Gelman et al., Bayesian Data Analysis, 3rd ed.,
// ch. 11.4): every chain is cut in two halves, and R-hat compares the variance
// between the 2N halves with the variance within them; near 1 when every half
// samples the same distribution.  The effective sample size uses the same
// halves: the autocorrelations of all of them combined (ch. 11.5), summed in
// pairs of lags while the pairs stay positive and decreasing (Geyer's initial
// monotone sequence), computed by FFT.
#pragma once

#include <vector>

#include "tools/posterior/sampler.hpp"

namespace tessaline::posterior {

// The thresholds of a converged posterior.
inline constexpr double kMaxRhat = 1.05;
inline constexpr double kMinEffective = 400;

struct Marginal {
  double median = 0, mean = 0, sd = 0;
  double lo68 = 0, hi68 = 0;  // 16th and 84th percentiles
  double lo95 = 0, hi95 = 0;  // 2.5th and 97.5th percentiles
  double rhat = 0;
  double ess = 0;
};

// Marginal of parameter k over generations [from, samples.generations), in the
// units of the samples.
Marginal marginal(const Samples& s, int k, long from);

// Split R-hat and effective sample size of parameter k over [from, generations);
// R-hat is 1 and the size the number of draws for a parameter that never moved
// from one common value, and R-hat is infinite when the chains sit on
// different constant values.
double split_rhat(const Samples& s, int k, long from);
double effective_size(const Samples& s, int k, long from);

// The largest split R-hat of all parameters over [from, generations).
double max_rhat(const Samples& s, long from);

// The Pearson correlation matrix of the parameters over [from, generations),
// n x n row-major; 0 off the diagonal for a parameter that never moved.
std::vector<double> correlations(const Samples& s, long from);

// The q-quantile (0 <= q <= 1) of sorted values, linear between order statistics.
double quantile(const std::vector<double>& sorted, double q);

}  // namespace tessaline::posterior
