// The Markov-chain Monte Carlo sampler: differential evolution with a past
// archive and randomized subspaces, of the DREAM family (C. J. F. ter Braak
// and J. A. Vrugt, Stat. Comput. 18 (2008) 435; J. A. Vrugt, Environ. Model.
// Softw. 75 (2016) 273, whose DREAM(ZS) this follows, without the snooker
// update).  bench/results/posterior.md holds the measurements behind the
// choice and the settings.
//
// N chains advance together, one generation at a time.  In a generation every
// chain proposes
//
//   x' = x + (1 + e) gamma sum_{j=1..delta} (z_a(j) - z_b(j)) + eps
//
// on a random subset of its coordinates (each coordinate with probability CR,
// at least one), where the z are distinct states of the archive: draws of the
// start spread to begin with, then the states of all chains every tenth
// generation.  delta is 1, 2 or 3 pairs; gamma = 2.38 / sqrt(2 delta d*) for d*
// coordinates moved, or 1 in a fifth of the proposals, which lets a chain jump
// between two modes; e ~ U(-0.05, 0.05) per coordinate and eps a normal jitter of
// 1e-6 of the start spread.  A value beyond a bound is reflected back inside
// (the proposal stays symmetric, so the uniform prior is sampled exactly), and
// the proposal is accepted with probability min(1, exp(-(chi2' - chi2) / 2)).
// During the burn-in the probabilities of CR = 1/3, 2/3 and 1 follow the mean
// squared jump each achieves; after it they stay fixed.
//
// The chains of one generation are independent given the archive, so they run
// in parallel; chain c draws every random number from its own stream, seeded
// from (seed, c), and the archive and the kept samples are filled in chain
// order after the generation.  The samples are therefore the same for any
// number of threads.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "tools/posterior/problem.hpp"

namespace tessaline::posterior {

struct SamplerSettings {
  int chains = 8;
  long burn = 0;  // generations discarded
  long kept = 0;  // generations kept
  std::uint64_t seed = 1;
  int threads = 0;  // 0: every hardware thread
  BatchOptics::Path path = BatchOptics::Path::kFastest;
  // Test hook: when set, chi^2 of the free values (internal units) comes from
  // this function instead of the model, so that the sampler can be checked on
  // posteriors known in closed form.  It must be safe to call from several
  // threads at once.
  std::function<double(const double*)> chi_square_override;
};

// The states of every generation, burn-in included: generation g + 1 of chain
// c in row g * chains + c.
struct Samples {
  int n = 0;  // free parameters
  int chains = 0;
  long generations = 0;
  std::vector<double> x;     // n values per row, internal units
  std::vector<double> chi2;  // one per row

  long rows() const { return generations * chains; }
  double value(long g, int c, int k) const {
    return x[static_cast<std::size_t>((g * chains + c) * n + k)];
  }
};

// What the sampler reports after every generation, on the calling thread.
struct SamplerStatus {
  long generation = 0;  // generations done, burn-in included
  long total = 0;       // generations planned
  long burn = 0;
  double acceptance = 0;  // fraction of the proposals accepted so far
  double seconds = 0;     // wall time so far
};

struct SamplerResult {
  Samples samples;       // every generation; those from `burn` on are kept
  long burn = 0;         // generations of burn-in done
  long generations = 0;  // generations done, burn-in included
  long evaluations = 0;  // chi-square evaluations
  long accepted = 0;     // accepted proposals, all generations
  double seconds = 0;    // wall time of the sampling
  bool interrupted = false;
  std::array<double, 3> crossover{};  // probabilities of CR = 1/3, 2/3, 1 at the end
  int threads = 0;
};

// Runs the chains.  `progress` (if set) is called after every generation with
// the samples so far; when `stop` (if set) returns true after a
// generation, the run ends there and reports itself interrupted.
SamplerResult run_sampler(
    const Problem& p, const StartSpread& spread, const SamplerSettings& s,
    const std::function<void(const SamplerStatus&, const Samples&)>& progress = {},
    const std::function<bool()>& stop = {});

// x reflected into [lower, upper] as often as it takes.
double reflect(double x, double lower, double upper);

}  // namespace tessaline::posterior
