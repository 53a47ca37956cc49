// The command line of tessaline-posterior.
//
//   tessaline-posterior ENTRY DATA [--first N] [--last N] [--from RESULTS]
//       [--bound I LOWER UPPER]... [--samples N] [--burn N] [--chains N]
//       [--seed S] [--threads T] [--out DIR]
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/posterior/problem.hpp"

namespace tessaline::posterior {

// A command line that cannot be used; the front end adds the usage text.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr int kDefaultChains = 8;
inline constexpr long kDefaultSamples = 20000;
// Kept generations below which convergence cannot be judged, and the kept
// samples it takes at least to reach the effective size asked for.
inline constexpr long kMinKeptGenerations = 100;
inline constexpr long kMinSamples = 400;
inline constexpr long kMaxSamples = 400000;

struct Options {
  std::string entry;
  std::string data;
  int first = 0;  // points dropped at the start and at the end of every channel
  int last = 0;
  std::string from;                 // results file to start from ("" for the entry's values)
  std::vector<Bound> bounds;        // narrower bounds, physical units
  long samples = kDefaultSamples;   // kept samples, all chains together
  long burn = -1;                   // generations of burn-in; -1: as many as are kept
  int chains = kDefaultChains;
  std::uint64_t seed = 1;
  int threads = 0;  // 0: every hardware thread
  std::string out = "posterior";
  bool help = false;

  // Generations kept: samples / chains, rounded up.
  long kept_generations() const { return (samples + chains - 1) / chains; }
  long burn_generations() const { return burn >= 0 ? burn : kept_generations(); }
};

// Parses the arguments after the program name; throws UsageError.
Options parse_options(const std::vector<std::string>& args);

std::string usage();

}  // namespace tessaline::posterior
