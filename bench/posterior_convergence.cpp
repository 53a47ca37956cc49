// Wall time to a converged posterior, and the sampler it takes.
//
//   posterior_convergence ENTRY DATA RESULTS [--sampler dream|stretch] [--chains N]
//       [--threads T] [--seconds S] [--every G] [--adapt G] [--seed S] [--gaussian]
//
// Samples the posterior of ENTRY fitted to DATA, started from the last block
// of RESULTS as tessaline-posterior --from does, and every G generations
// judges the second half of the generations so far (the first half counts as
// burn-in) by the tool's criterion: every split R-hat below 1.05 and at least
// 400 effective samples for every parameter.  It prints each check (time,
// evaluations, the largest R-hat, the smallest effective size) and stops at
// the first check that passes, or after S seconds.  The time of the checks
// themselves is left out of the reported time.
//
// With --gaussian the posterior is replaced by the Gaussian the chains start
// from (the curvature at the start, corrected along the axes): the same shape,
// without the bends of the real one, for what the sampler needs at best.
//
// --sampler dream is the tool's sampler (run_sampler), whose probabilities of
// the crossover values adapt during the first G generations (--adapt, default
// 1000), as during the tool's burn-in.  --sampler stretch is
// the simplest alternative of the field, the affine-invariant ensemble of
// J. Goodman and J. Weare, Commun. Appl. Math. Comput. Sci. 5 (2010) 65 (the
// "stretch move", as emcee implements it): N walkers (default 2 d + 2) in two
// halves, each walker of one half moved along the line through a random
// walker of the other half, scale z with density proportional to 1/sqrt(z) on
// [1/2, 2], accepted with min(1, z^(d-1) p(y)/p(x)); a move outside the bounds
// is rejected.  The walkers of a half are evaluated in parallel.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tools/posterior/diagnostics.hpp"
#include "tools/posterior/random.hpp"
#include "tools/posterior/sampler.hpp"

using namespace tessaline::posterior;

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<long> accepted_{0};  // stretch moves accepted

struct Settings {
  std::string entry, data, results;
  std::string sampler = "dream";
  int chains = 0;
  int threads = 2;
  double seconds = 600;
  long every = 200;
  long adapt = 1000;
  std::uint64_t seed = 1;
  bool gaussian = false;
};

// chi^2 of the Gaussian with the start spread's mean and covariance F F^T.
std::function<double(const double*)> gaussian_chi_square(const StartSpread& s) {
  const int n = static_cast<int>(s.center.size());
  const auto at = [n](int a, int b) { return static_cast<std::size_t>(a * n + b); };
  std::vector<double> A(static_cast<std::size_t>(n * n)), inv(A.size(), 0.0);
  for (int a = 0; a < n; ++a) {
    inv[at(a, a)] = 1.0;
    for (int b = 0; b < n; ++b)
      for (int c = 0; c < n; ++c) A[at(a, b)] += s.factor[at(a, c)] * s.factor[at(b, c)];
  }
  for (int i = 0; i < n; ++i) {  // Gauss-Jordan with partial pivoting
    int p = i;
    for (int r = i; r < n; ++r)
      if (std::fabs(A[at(r, i)]) > std::fabs(A[at(p, i)])) p = r;
    for (int j = 0; j < n; ++j) {
      std::swap(A[at(i, j)], A[at(p, j)]);
      std::swap(inv[at(i, j)], inv[at(p, j)]);
    }
    const double d = A[at(i, i)];
    for (int j = 0; j < n; ++j) {
      A[at(i, j)] /= d;
      inv[at(i, j)] /= d;
    }
    for (int r = 0; r < n; ++r) {
      if (r == i) continue;
      const double f = A[at(r, i)];
      for (int j = 0; j < n; ++j) {
        A[at(r, j)] -= f * A[at(i, j)];
        inv[at(r, j)] -= f * inv[at(i, j)];
      }
    }
  }
  return [inv, mu = s.center, n](const double* x) {
    double q = 0;
    for (int a = 0; a < n; ++a)
      for (int b = 0; b < n; ++b)
        q += (x[a] - mu[static_cast<std::size_t>(a)]) * inv[static_cast<std::size_t>(a * n + b)] *
             (x[b] - mu[static_cast<std::size_t>(b)]);
    return q;
  };
}

// The convergence check of the second half of `s`; prints one line; true
// when converged.
bool check(const Samples& s, long evaluations, double seconds, double acceptance) {
  const long from = s.generations / 2;
  double rhat = 0, ess = 1e300;
  int worst = 0;
  for (int k = 0; k < s.n; ++k) {
    rhat = std::max(rhat, split_rhat(s, k, from));
    const double e = effective_size(s, k, from);
    if (e < ess) {
      ess = e;
      worst = k;
    }
  }
  std::printf("generation %7ld  evaluations %9ld  %8.1f s  acceptance %.3f  max R-hat %8.3f  "
              "min ESS %7.0f (parameter %d)\n",
              s.generations, evaluations, seconds, acceptance, rhat, ess, worst + 1);
  std::fflush(stdout);
  return rhat < kMaxRhat && ess >= kMinEffective;
}

void report(bool converged, const Samples& s, long evaluations, double seconds, int chains) {
  if (converged) {
    std::printf("CONVERGED after %.1f s: %ld generations of %d chains, %ld evaluations "
                "(tessaline-posterior --burn %ld --samples %ld)\n",
                seconds, s.generations, chains, evaluations, s.generations / 2,
                (s.generations - s.generations / 2) * chains);
  } else {
    std::printf("NOT CONVERGED after %.1f s: %ld generations of %d chains, %ld evaluations\n",
                seconds, s.generations, chains, evaluations);
  }
}

void dream(const Problem& p, const StartSpread& spread, const Settings& o) {
  SamplerSettings s;
  s.chains = o.chains > 0 ? o.chains : 8;
  s.burn = o.adapt;
  s.kept = 100000000 / s.chains;
  s.seed = o.seed;
  s.threads = o.threads;
  if (o.gaussian) s.chi_square_override = gaussian_chi_square(spread);
  const auto t0 = Clock::now();
  double checking = 0;  // seconds spent in the checks
  bool converged = false;
  double at = 0;
  long evaluations = 0;
  Samples last;
  const SamplerResult r = run_sampler(
      p, spread, s,
      [&](const SamplerStatus& st, const Samples& all) {
        if (st.generation % o.every != 0) return;
        const auto c0 = Clock::now();
        const double now = std::chrono::duration<double>(c0 - t0).count() - checking;
        evaluations = (st.generation + 1) * s.chains;
        converged = check(all, evaluations, now, st.acceptance);
        at = now;
        checking += std::chrono::duration<double>(Clock::now() - c0).count();
      },
      [&] {
        const double now = std::chrono::duration<double>(Clock::now() - t0).count() - checking;
        return converged || now > o.seconds;
      });
  report(converged, r.samples, evaluations, at, s.chains);
}

// The stretch move, two halves of walkers in turn.
void stretch(const Problem& p, const StartSpread& spread, const Settings& o) {
  const int d = static_cast<int>(p.free.size());
  int L = o.chains > 0 ? o.chains : 2 * d + 2;
  L += L % 2;
  std::vector<RandomStream> rng;
  for (int w = 0; w < L; ++w) rng.emplace_back(o.seed, static_cast<std::uint64_t>(w));
  std::vector<double> x(static_cast<std::size_t>(L * d)), chi(static_cast<std::size_t>(L));
  // Walkers start as the tool's chains do: draws of the start spread.
  for (int w = 0; w < L; ++w) {
    RandomStream& r = rng[static_cast<std::size_t>(w)];
    std::vector<double> u(static_cast<std::size_t>(d));
    for (double& v : u) v = r.normal();
    for (int k = 0; k < d; ++k) {
      const FreeParameter& f = p.free[static_cast<std::size_t>(k)];
      double v = spread.center[static_cast<std::size_t>(k)];
      if (spread.uniform[static_cast<std::size_t>(k)]) {
        v = r.uniform(f.lower, f.upper);
      } else {
        for (int b = 0; b < d; ++b)
          v += spread.factor[static_cast<std::size_t>(k * d + b)] * u[static_cast<std::size_t>(b)];
      }
      x[static_cast<std::size_t>(w * d + k)] = reflect(v, f.lower, f.upper);
    }
  }
  std::vector<std::unique_ptr<ChiSquare>> eval;
  for (int i = 0; i < o.threads; ++i) eval.push_back(std::make_unique<ChiSquare>(p));
  std::vector<double> proposal(static_cast<std::size_t>(L * d)), logz(static_cast<std::size_t>(L));
  std::vector<char> inside(static_cast<std::size_t>(L));
  // Evaluates the walkers in [w0, w1) (proposals when `moves`), in parallel.
  const auto evaluate = [&](int w0, int w1, bool moves) {
    std::atomic<int> next{w0};
    std::vector<std::thread> pool;
    for (int i = 0; i < o.threads; ++i) {
      pool.emplace_back([&, i] {
        for (int w = next++; w < w1; w = next++) {
          const std::size_t row = static_cast<std::size_t>(w * d);
          if (!moves) {
            chi[static_cast<std::size_t>(w)] = (*eval[static_cast<std::size_t>(i)])(&x[row]);
            continue;
          }
          if (!inside[static_cast<std::size_t>(w)]) continue;
          const double c = (*eval[static_cast<std::size_t>(i)])(&proposal[row]);
          RandomStream& r = rng[static_cast<std::size_t>(w)];
          const double log_u = std::log(1.0 - r.uniform());
          if (std::isfinite(c) &&
              log_u < (d - 1) * logz[static_cast<std::size_t>(w)] - 0.5 * (c - chi[static_cast<std::size_t>(w)])) {
            std::copy(&proposal[row], &proposal[row] + d, &x[row]);
            chi[static_cast<std::size_t>(w)] = c;
            ++accepted_;
          }
        }
      });
    }
    for (std::thread& t : pool) t.join();
  };
  evaluate(0, L, false);
  Samples s;
  s.n = d;
  s.chains = L;
  const auto t0 = Clock::now();
  double checking = 0;
  long evaluations = L;
  bool converged = false;
  double at = 0;
  const int half = L / 2;
  for (long g = 1;; ++g) {
    for (int h = 0; h < 2; ++h) {
      const int w0 = h * half, other = (1 - h) * half;
      for (int w = w0; w < w0 + half; ++w) {
        RandomStream& r = rng[static_cast<std::size_t>(w)];
        const int j = other + r.below(half);
        const double u = r.uniform();
        const double z = (1.0 + u) * (1.0 + u) / 2.0;  // 1/sqrt(z) on [1/2, 2]
        logz[static_cast<std::size_t>(w)] = std::log(z);
        bool in = true;
        for (int k = 0; k < d; ++k) {
          const double xj = x[static_cast<std::size_t>(j * d + k)];
          const double y = xj + z * (x[static_cast<std::size_t>(w * d + k)] - xj);
          const FreeParameter& f = p.free[static_cast<std::size_t>(k)];
          in = in && y >= f.lower && y <= f.upper;
          proposal[static_cast<std::size_t>(w * d + k)] = y;
        }
        inside[static_cast<std::size_t>(w)] = in ? 1 : 0;
      }
      evaluate(w0, w0 + half, true);
      evaluations += half;
    }
    s.x.insert(s.x.end(), x.begin(), x.end());
    s.chi2.insert(s.chi2.end(), chi.begin(), chi.end());
    s.generations = g;
    const auto c0 = Clock::now();
    const double now = std::chrono::duration<double>(c0 - t0).count() - checking;
    if (g % o.every == 0) {
      converged = check(s, evaluations, now,
                        static_cast<double>(accepted_) / static_cast<double>(g * L));
      at = now;
      checking += std::chrono::duration<double>(Clock::now() - c0).count();
    }
    if (converged || now > o.seconds) break;
  }
  report(converged, s, evaluations, at, L);
}

}  // namespace

int main(int argc, char** argv) {
  Settings o;
  if (argc < 4) {
    std::fprintf(stderr,
                 "usage: posterior_convergence ENTRY DATA RESULTS [--sampler dream|stretch] "
                 "[--chains N] [--threads T] [--seconds S] [--every G] [--adapt G] "
                 "[--seed S]\n");
    return 2;
  }
  o.entry = argv[1];
  o.data = argv[2];
  o.results = argv[3];
  for (int a = 4; a < argc; a += 2) {
    const std::string k = argv[a];
    if (k == "--gaussian") {
      o.gaussian = true;
      --a;
      continue;
    }
    if (a + 1 >= argc) break;
    const std::string v = argv[a + 1];
    if (k == "--sampler") o.sampler = v;
    else if (k == "--chains") o.chains = std::atoi(v.c_str());
    else if (k == "--threads") o.threads = std::atoi(v.c_str());
    else if (k == "--seconds") o.seconds = std::atof(v.c_str());
    else if (k == "--every") o.every = std::atol(v.c_str());
    else if (k == "--adapt") o.adapt = std::atol(v.c_str());
    else if (k == "--seed") o.seed = std::strtoull(v.c_str(), nullptr, 10);
  }
  ProblemInput in;
  in.entry = o.entry;
  in.data = o.data;
  in.from = o.results;
  const auto t0 = Clock::now();
  const Problem p = load(in);
  const StartSpread spread = start_spread(p, o.threads);
  std::printf("%s: %zu free parameters, %d points; start spread in %.2f s; sampler %s\n",
              o.entry.c_str(), p.free.size(), p.t->npoint,
              std::chrono::duration<double>(Clock::now() - t0).count(), o.sampler.c_str());
  if (o.sampler == "stretch") {
    stretch(p, spread, o);
  } else {
    dream(p, spread, o);
  }
  return 0;
}
