// Marginals, convergence and correlations of the samples: see diagnostics.hpp.
#include "tools/posterior/diagnostics.hpp"

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>

namespace tessaline::posterior {

namespace {

std::size_t at(long i) { return static_cast<std::size_t>(i); }

// The 2N half-chains of parameter k over [from, generations): sequences of
// equal length L (the middle draw of an odd length is left out).
struct Halves {
  int m = 0;
  long L = 0;
  std::vector<std::vector<double>> seq;
};

Halves halves(const Samples& s, int k, long from) {
  Halves h;
  const long G = s.generations - from;
  h.L = G / 2;
  if (h.L < 2) return h;
  h.m = 2 * s.chains;
  for (int c = 0; c < s.chains; ++c) {
    for (int half = 0; half < 2; ++half) {
      std::vector<double> v(at(h.L));
      const long g0 = from + (half == 0 ? 0 : G - h.L);
      for (long i = 0; i < h.L; ++i) v[at(i)] = s.value(g0 + i, c, k);
      h.seq.push_back(std::move(v));
    }
  }
  return h;
}

double mean_of(const std::vector<double>& v) {
  double sum = 0.0;
  for (double x : v) sum += x;
  return sum / static_cast<double>(v.size());
}

// Within-sequence variance W and the pooled estimate var+ of the posterior
// variance.
void variances(const Halves& h, double& W, double& var_plus) {
  double w = 0.0, mean_of_means = 0.0;
  std::vector<double> means(at(h.m));
  for (int j = 0; j < h.m; ++j) {
    const std::vector<double>& v = h.seq[at(j)];
    const double mu = mean_of(v);
    means[at(j)] = mu;
    mean_of_means += mu;
    double ss = 0.0;
    for (double x : v) ss += (x - mu) * (x - mu);
    w += ss / static_cast<double>(h.L - 1);
  }
  W = w / h.m;
  mean_of_means /= h.m;
  double b = 0.0;  // B / L
  for (double mu : means) b += (mu - mean_of_means) * (mu - mean_of_means);
  b /= h.m - 1;
  const double L = static_cast<double>(h.L);
  var_plus = (L - 1.0) / L * W + b;
}

// In-place radix-2 FFT (size a power of two); inverse without the 1/n.
void fft(std::vector<std::complex<double>>& a, bool inverse) {
  const std::size_t n = a.size();
  for (std::size_t i = 1, j = 0; i < n; ++i) {
    std::size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(a[i], a[j]);
  }
  for (std::size_t len = 2; len <= n; len <<= 1) {
    const double angle = 2.0 * 3.141592653589793 / static_cast<double>(len) * (inverse ? 1 : -1);
    const std::complex<double> wlen(std::cos(angle), std::sin(angle));
    for (std::size_t i = 0; i < n; i += len) {
      std::complex<double> w(1.0);
      for (std::size_t j = 0; j < len / 2; ++j) {
        const std::complex<double> u = a[i + j], v = a[i + j + len / 2] * w;
        a[i + j] = u + v;
        a[i + j + len / 2] = u - v;
        w *= wlen;
      }
    }
  }
}

// Autocovariances of v at lags 0..L-1, divided by L.
std::vector<double> autocovariance(const std::vector<double>& v) {
  const std::size_t L = v.size();
  std::size_t n = 1;
  while (n < 2 * L) n <<= 1;
  const double mu = mean_of(v);
  std::vector<std::complex<double>> a(n, 0.0);
  for (std::size_t i = 0; i < L; ++i) a[i] = v[i] - mu;
  fft(a, false);
  for (auto& z : a) z = std::norm(z);
  fft(a, true);
  std::vector<double> acov(L);
  for (std::size_t t = 0; t < L; ++t)
    acov[t] = a[t].real() / static_cast<double>(n) / static_cast<double>(L);
  return acov;
}

}  // namespace

double quantile(const std::vector<double>& sorted, double q) {
  if (sorted.empty()) return std::numeric_limits<double>::quiet_NaN();
  const double pos = q * static_cast<double>(sorted.size() - 1);
  const std::size_t i = static_cast<std::size_t>(std::floor(pos));
  if (i + 1 >= sorted.size()) return sorted.back();
  const double f = pos - static_cast<double>(i);
  return sorted[i] + f * (sorted[i + 1] - sorted[i]);
}

double split_rhat(const Samples& s, int k, long from) {
  const Halves h = halves(s, k, from);
  if (h.m == 0) return std::numeric_limits<double>::quiet_NaN();
  double W = 0.0, var_plus = 0.0;
  variances(h, W, var_plus);
  if (W == 0.0) return var_plus == 0.0 ? 1.0 : std::numeric_limits<double>::infinity();
  return std::sqrt(var_plus / W);
}

double effective_size(const Samples& s, int k, long from) {
  const Halves h = halves(s, k, from);
  if (h.m == 0) return 0.0;
  const double draws = static_cast<double>(h.m) * static_cast<double>(h.L);
  double W = 0.0, var_plus = 0.0;
  variances(h, W, var_plus);
  if (var_plus == 0.0) return draws;
  if (W == 0.0) return 1.0;
  std::vector<double> mean_acov(at(h.L), 0.0);
  for (const auto& v : h.seq) {
    const std::vector<double> a = autocovariance(v);
    for (long t = 0; t < h.L; ++t) mean_acov[at(t)] += a[at(t)] / h.m;
  }
  // rho_t = 1 - (W - mean autocovariance_t) / var+, with the autocovariances
  // rescaled from the divisor L to the divisor L - 1 of W at lag 0.
  const double L = static_cast<double>(h.L);
  const auto rho = [&](long t) {
    return 1.0 - (W - mean_acov[at(t)] * L / (L - 1.0)) / var_plus;
  };
  double sum = 0.0, previous = std::numeric_limits<double>::infinity();
  for (long t = 0; t + 1 < h.L; t += 2) {
    double pair = rho(t) + rho(t + 1);
    if (!(pair > 0.0)) break;
    pair = std::min(pair, previous);
    previous = pair;
    sum += pair;
  }
  const double tau = std::max(-1.0 + 2.0 * sum, 1.0 / std::log10(draws));
  return draws / tau;
}

double max_rhat(const Samples& s, long from) {
  double worst = 0.0;
  for (int k = 0; k < s.n; ++k) {
    const double r = split_rhat(s, k, from);
    if (!(r <= worst)) worst = r;
  }
  return worst;
}

Marginal marginal(const Samples& s, int k, long from) {
  Marginal m;
  std::vector<double> v;
  v.reserve(at((s.generations - from) * s.chains));
  for (long g = from; g < s.generations; ++g)
    for (int c = 0; c < s.chains; ++c) v.push_back(s.value(g, c, k));
  if (v.empty()) return m;
  m.mean = mean_of(v);
  double ss = 0.0;
  for (double x : v) ss += (x - m.mean) * (x - m.mean);
  m.sd = v.size() > 1 ? std::sqrt(ss / static_cast<double>(v.size() - 1)) : 0.0;
  std::sort(v.begin(), v.end());
  m.median = quantile(v, 0.5);
  m.lo68 = quantile(v, 0.15865525393145707);
  m.hi68 = quantile(v, 0.8413447460685429);
  m.lo95 = quantile(v, 0.025);
  m.hi95 = quantile(v, 0.975);
  m.rhat = split_rhat(s, k, from);
  m.ess = effective_size(s, k, from);
  return m;
}

std::vector<double> correlations(const Samples& s, long from) {
  const int n = s.n;
  std::vector<double> mean(at(n), 0.0), cov(at(n * n), 0.0);
  const double count = static_cast<double>((s.generations - from) * s.chains);
  for (long g = from; g < s.generations; ++g)
    for (int c = 0; c < s.chains; ++c)
      for (int k = 0; k < n; ++k) mean[at(k)] += s.value(g, c, k) / count;
  for (long g = from; g < s.generations; ++g)
    for (int c = 0; c < s.chains; ++c)
      for (int a = 0; a < n; ++a) {
        const double da = s.value(g, c, a) - mean[at(a)];
        for (int b = 0; b <= a; ++b) cov[at(a * n + b)] += da * (s.value(g, c, b) - mean[at(b)]);
      }
  std::vector<double> r(at(n * n), 0.0);
  for (int a = 0; a < n; ++a)
    for (int b = 0; b <= a; ++b) {
      const double denom = std::sqrt(cov[at(a * n + a)] * cov[at(b * n + b)]);
      const double v = a == b ? 1.0 : (denom > 0.0 ? cov[at(a * n + b)] / denom : 0.0);
      r[at(a * n + b)] = r[at(b * n + a)] = v;
    }
  return r;
}

}  // namespace tessaline::posterior
