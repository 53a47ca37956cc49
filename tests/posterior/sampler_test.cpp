// The sampler against posteriors known in closed form, and its parts: the
// random streams, the reflection at the bounds, the convergence diagnostics on
// sequences of known autocorrelation.
#include "tools/posterior/sampler.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <vector>

#include "tools/posterior/diagnostics.hpp"
#include "tools/posterior/random.hpp"

namespace tessaline::posterior {
namespace {

// ---------------------------------------------------------------- random streams

TEST(RandomStream, MomentsOfUniformAndNormalDeviates) {
  RandomStream r(12345, 3);
  const int n = 200000;
  double su = 0, su2 = 0, sn = 0, sn2 = 0, sn4 = 0;
  for (int i = 0; i < n; ++i) {
    const double u = r.uniform(), z = r.normal();
    ASSERT_GE(u, 0.0);
    ASSERT_LT(u, 1.0);
    su += u;
    su2 += u * u;
    sn += z;
    sn2 += z * z;
    sn4 += z * z * z * z;
  }
  // Standard errors: sqrt(1/12 / n) = 6.5e-4 for the uniform mean, 2.2e-3 for
  // the normal mean; the bounds are five of them.
  EXPECT_NEAR(su / n, 0.5, 3.3e-3);
  EXPECT_NEAR(su2 / n - (su / n) * (su / n), 1.0 / 12, 2e-3);
  EXPECT_NEAR(sn / n, 0.0, 0.011);
  EXPECT_NEAR(sn2 / n, 1.0, 0.016);
  EXPECT_NEAR(sn4 / n, 3.0, 0.1);  // the normal's fourth moment
}

TEST(RandomStream, EachSeedAndStreamIsItsOwnSequence) {
  std::set<std::uint64_t> first;
  for (std::uint64_t seed : {0ULL, 1ULL, 2ULL})
    for (std::uint64_t stream : {0ULL, 1ULL, 2ULL, 1ULL << 32}) first.insert(RandomStream(seed, stream).next());
  EXPECT_EQ(first.size(), 12u);
  RandomStream a(7, 5), b(7, 5);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(a.next(), b.next());
  RandomStream c(7, 5);
  int below[5] = {};
  for (int i = 0; i < 50000; ++i) ++below[c.below(5)];
  for (int k : below) EXPECT_NEAR(k, 10000, 500);
}

// ---------------------------------------------------------------- reflection

TEST(Reflect, FoldsIntoTheBoundsAsAMirrorDoes) {
  EXPECT_EQ(reflect(0.3, 0.0, 1.0), 0.3);
  EXPECT_EQ(reflect(1.0, 0.0, 1.0), 1.0);
  EXPECT_DOUBLE_EQ(reflect(1.25, 0.0, 1.0), 0.75);
  EXPECT_DOUBLE_EQ(reflect(-0.25, 0.0, 1.0), 0.25);
  EXPECT_DOUBLE_EQ(reflect(2.25, 0.0, 1.0), 0.25);   // two mirrors
  EXPECT_DOUBLE_EQ(reflect(-1.75, 0.0, 1.0), 0.25);  // two mirrors below
  EXPECT_DOUBLE_EQ(reflect(12.5, 10.0, 12.0), 11.5);
  EXPECT_EQ(reflect(5.0, 3.0, 3.0), 3.0);
}

// A symmetric step reflected into the bounds keeps a uniform density uniform:
// the proposal stays symmetric, which the uniform prior relies on.
TEST(Reflect, KeepsAUniformDensityUniform) {
  RandomStream r(99, 0);
  std::vector<int> bins(10, 0);
  const int n = 200000;
  for (int i = 0; i < n; ++i) {
    const double x = r.uniform(), step = 1.7 * (2.0 * r.uniform() - 1.0);
    ++bins[static_cast<std::size_t>(std::min(9.0, 10.0 * reflect(x + step, 0.0, 1.0)))];
  }
  for (int b : bins) EXPECT_NEAR(b, n / 10, 5 * std::sqrt(n / 10.0));
}

// ---------------------------------------------------------------- diagnostics

// Samples of one parameter: chain c holds `chains[c]`.
Samples one_parameter(const std::vector<std::vector<double>>& chains) {
  Samples s;
  s.n = 1;
  s.chains = static_cast<int>(chains.size());
  s.generations = static_cast<long>(chains[0].size());
  for (long g = 0; g < s.generations; ++g)
    for (const auto& c : chains) {
      s.x.push_back(c[static_cast<std::size_t>(g)]);
      s.chi2.push_back(0.0);
    }
  return s;
}

// AR(1) sequences x_t = phi x_(t-1) + sqrt(1 - phi^2) z_t: unit variance and
// integrated autocorrelation time (1 + phi) / (1 - phi).
std::vector<std::vector<double>> ar1(int chains, int length, double phi, double offset_step,
                                     std::uint64_t seed) {
  std::vector<std::vector<double>> out;
  for (int c = 0; c < chains; ++c) {
    RandomStream r(seed, static_cast<std::uint64_t>(c));
    std::vector<double> v;
    double x = r.normal();
    for (int t = 0; t < length; ++t) {
      x = phi * x + std::sqrt(1 - phi * phi) * r.normal();
      v.push_back(x + offset_step * c);
    }
    out.push_back(std::move(v));
  }
  return out;
}

TEST(Diagnostics, EffectiveSizeOfSequencesOfKnownAutocorrelation) {
  for (double phi : {0.0, 0.5, 0.9}) {
    SCOPED_TRACE(phi);
    const Samples s = one_parameter(ar1(8, 20000, phi, 0.0, 4));
    const double tau = (1 + phi) / (1 - phi);
    const double expected = 8 * 20000 / tau;
    // The estimate's own scatter is a few per cent at these lengths.
    EXPECT_NEAR(effective_size(s, 0, 0) / expected, 1.0, 0.1);
    EXPECT_NEAR(split_rhat(s, 0, 0), 1.0, 0.01);
  }
}

TEST(Diagnostics, RhatSeesChainsThatSampleDifferentPlaces) {
  // Chains offset by a quarter of a standard deviation each: between-chain
  // variance var(c/4) for c = 0..7 is about 0.375 against 1 within.
  const Samples apart = one_parameter(ar1(8, 4000, 0.5, 0.25, 5));
  EXPECT_GT(split_rhat(apart, 0, 0), 1.1);
  // A chain that drifts: its two halves disagree, which split R-hat sees.
  std::vector<std::vector<double>> drift = ar1(4, 4000, 0.5, 0.0, 6);
  for (std::size_t t = 0; t < drift[0].size(); ++t) drift[0][t] += 3.0 * t / drift[0].size();
  EXPECT_GT(split_rhat(one_parameter(drift), 0, 0), 1.05);
  // Everything from generation 2000 on, where the drift is left out by `from`.
  std::vector<std::vector<double>> late = ar1(4, 4000, 0.5, 0.0, 7);
  for (std::size_t t = 0; t < 2000; ++t) late[0][t] += 10.0;
  EXPECT_GT(split_rhat(one_parameter(late), 0, 0), 1.5);
  EXPECT_LT(split_rhat(one_parameter(late), 0, 2000), 1.02);
}

TEST(Diagnostics, RhatOfShortChainsByHand) {
  // Two chains of four draws split into the halves {0,2} {1,3} {4,6} {5,7}:
  // within-half variance W = 2, half means 1, 2, 5, 6 with variance B/L = 17/3,
  // var+ = (L-1)/L W + B/L = 1 + 17/3 = 20/3, and R-hat = sqrt(var+ / W).
  const Samples s = one_parameter({{0, 2, 1, 3}, {4, 6, 5, 7}});
  EXPECT_NEAR(split_rhat(s, 0, 0), std::sqrt(10.0 / 3.0), 1e-14);
  // A fifth draw is the middle one of each chain and is left out.
  const Samples odd = one_parameter({{0, 2, 100, 1, 3}, {4, 6, -100, 5, 7}});
  EXPECT_NEAR(split_rhat(odd, 0, 0), std::sqrt(10.0 / 3.0), 1e-14);
}

TEST(Diagnostics, QuantilesMarginalAndCorrelations) {
  const std::vector<double> sorted = {1, 2, 3, 4, 5};
  EXPECT_DOUBLE_EQ(quantile(sorted, 0.0), 1.0);
  EXPECT_DOUBLE_EQ(quantile(sorted, 0.5), 3.0);
  EXPECT_DOUBLE_EQ(quantile(sorted, 0.125), 1.5);
  EXPECT_DOUBLE_EQ(quantile(sorted, 1.0), 5.0);

  // Two parameters y = x and z = -2x + noise: correlations 1 and about -0.89.
  Samples s;
  s.n = 3;
  s.chains = 2;
  RandomStream r(3, 0);
  for (long g = 0; g < 5000; ++g) {
    for (int c = 0; c < 2; ++c) {
      const double x = r.normal();
      s.x.insert(s.x.end(), {x, x, -2 * x + r.normal()});
      s.chi2.push_back(0);
    }
    ++s.generations;
  }
  const std::vector<double> rho = correlations(s, 0);
  EXPECT_NEAR(rho[1], 1.0, 1e-12);
  EXPECT_NEAR(rho[2], -2 / std::sqrt(5.0), 0.01);
  EXPECT_EQ(rho[5], rho[7]);
  const Marginal m = marginal(s, 2, 0);
  EXPECT_NEAR(m.sd, std::sqrt(5.0), 0.05);
  EXPECT_NEAR(m.hi95 - m.lo95, 2 * 1.959964 * std::sqrt(5.0), 0.2);
  EXPECT_NEAR(m.hi68 - m.lo68, 2 * std::sqrt(5.0), 0.1);
}

// ---------------------------------------------------------------- a Gaussian posterior

// A straight line y = a + b x + c x^2 fitted to points with error bars: the
// model is linear in (a, b, c), so the posterior under uniform priors is the
// Gaussian with covariance (A^T W A)^-1 around the least-squares solution,
// computed here by hand.  Its parameters are strongly correlated.
TEST(Sampler, ALinearModelGivesItsGaussianPosterior) {
  const std::vector<double> x = {0.0, 0.5, 1.0, 1.5, 2.0, 2.5, 3.0, 3.5, 4.0};
  const std::vector<double> y = {1.1, 1.9, 3.2, 3.8, 5.3, 6.1, 6.8, 8.4, 9.0};
  const double sigma = 0.3;
  // Normal equations: M = A^T A / sigma^2, v = A^T y / sigma^2.
  double M[3][3] = {}, v[3] = {};
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double row[3] = {1.0, x[i], x[i] * x[i]};
    for (int a = 0; a < 3; ++a) {
      v[a] += row[a] * y[i] / (sigma * sigma);
      for (int b = 0; b < 3; ++b) M[a][b] += row[a] * row[b] / (sigma * sigma);
    }
  }
  // The inverse of the symmetric 3 x 3 matrix by cofactors.
  double C[3][3];
  const double det = M[0][0] * (M[1][1] * M[2][2] - M[1][2] * M[2][1]) -
                     M[0][1] * (M[1][0] * M[2][2] - M[1][2] * M[2][0]) +
                     M[0][2] * (M[1][0] * M[2][1] - M[1][1] * M[2][0]);
  for (int a = 0; a < 3; ++a)
    for (int b = 0; b < 3; ++b) {
      const int a1 = (b + 1) % 3, a2 = (b + 2) % 3, b1 = (a + 1) % 3, b2 = (a + 2) % 3;
      C[a][b] = (M[a1][b1] * M[a2][b2] - M[a1][b2] * M[a2][b1]) / det;
    }
  double mean[3] = {};
  for (int a = 0; a < 3; ++a)
    for (int b = 0; b < 3; ++b) mean[a] += C[a][b] * v[b];

  Problem p;
  for (const char* name : {"a", "b", "c"}) {
    FreeParameter f;
    f.name = f.label = name;
    f.lower = -100;
    f.upper = 100;
    p.free.push_back(f);
  }
  p.start = {0.0, 1.0, 0.0};  // not at the solution
  StartSpread spread;
  spread.center = p.start;
  spread.factor = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  spread.uniform = {0, 0, 0};
  spread.sigma = {1, 1, 1};
  SamplerSettings s;
  s.chains = 8;
  s.burn = 2000;
  s.kept = 8000;
  s.seed = 11;
  s.threads = 2;
  s.chi_square_override = [&](const double* q) {
    double chi2 = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
      const double r = (y[i] - (q[0] + q[1] * x[i] + q[2] * x[i] * x[i])) / sigma;
      chi2 += r * r;
    }
    return chi2;
  };
  const SamplerResult r = run_sampler(p, spread, s);
  ASSERT_EQ(r.generations, 10000);
  double sd[3];
  for (int k = 0; k < 3; ++k) {
    const Marginal m = marginal(r.samples, k, r.burn);
    sd[k] = std::sqrt(C[k][k]);
    SCOPED_TRACE(k);
    EXPECT_GT(m.ess, 2000);
    // Monte Carlo error of the mean: sd / sqrt(ESS) < 2.3 % of sd; of the sd:
    // below 1.6 %.  The bounds are three and a half of them.
    EXPECT_NEAR(m.mean, mean[k], 0.08 * sd[k]);
    EXPECT_NEAR(m.sd / sd[k], 1.0, 0.05);
    EXPECT_LT(m.rhat, 1.02);
  }
  const std::vector<double> rho = correlations(r.samples, r.burn);
  for (int a = 0; a < 3; ++a)
    for (int b = 0; b < a; ++b) EXPECT_NEAR(rho[a * 3 + b], C[a][b] / (sd[a] * sd[b]), 0.05);
  EXPECT_LT(C[1][2] / (sd[1] * sd[2]), -0.9);  // the case is a correlated one
}

// The same samples for 1, 2 and 3 threads: every chain draws from its own
// stream and the archive is filled in chain order.
TEST(Sampler, TheThreadCountDoesNotChangeTheSamples) {
  Problem p;
  for (const char* name : {"a", "b"}) {
    FreeParameter f;
    f.name = f.label = name;
    f.lower = -5;
    f.upper = 5;
    p.free.push_back(f);
  }
  p.start = {0.0, 0.0};
  StartSpread spread{{0.0, 0.0}, {1, 0, 0, 1}, {0, 0}, {1, 1}};
  std::vector<double> first;
  for (int threads : {1, 2, 3}) {
    SamplerSettings s;
    s.chains = 5;
    s.burn = 10;
    s.kept = 200;
    s.seed = 3;
    s.threads = threads;
    s.chi_square_override = [](const double* q) { return q[0] * q[0] + 4 * (q[1] - q[0]) * (q[1] - q[0]); };
    const SamplerResult r = run_sampler(p, spread, s);
    if (first.empty()) {
      first = r.samples.x;
    } else {
      EXPECT_EQ(r.samples.x, first) << threads << " threads";
    }
  }
  SamplerSettings other;
  other.chains = 5;
  other.kept = 200;
  other.seed = 4;
  other.chi_square_override = [](const double* q) { return q[0] * q[0]; };
  EXPECT_NE(run_sampler(p, spread, other).samples.x, first);
}

TEST(Sampler, StopsWhenAskedAndSaysSo) {
  Problem p;
  FreeParameter f;
  f.name = f.label = "a";
  f.lower = -5;
  f.upper = 5;
  p.free.push_back(f);
  p.start = {0.0};
  StartSpread spread{{0.0}, {1}, {0}, {1}};
  SamplerSettings s;
  s.chains = 4;
  s.burn = 5;
  s.kept = 1000;
  s.chi_square_override = [](const double* q) { return q[0] * q[0]; };
  long seen = 0;
  const SamplerResult r = run_sampler(
      p, spread, s, [&seen](const SamplerStatus& st, const Samples&) { seen = st.generation; },
      [&seen] { return seen >= 40; });
  EXPECT_TRUE(r.interrupted);
  EXPECT_EQ(r.generations, 40);
  EXPECT_EQ(r.samples.generations, 40);
  EXPECT_EQ(r.burn, 5);
  EXPECT_EQ(r.samples.x.size(), 40u * 4);
}

}  // namespace
}  // namespace tessaline::posterior
