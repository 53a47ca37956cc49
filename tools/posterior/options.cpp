// The command line of tessaline-posterior: see options.hpp.
#include "tools/posterior/options.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace tessaline::posterior {

namespace {

// A whole decimal integer in [lo, hi].
long integer(const std::string& option, const std::string& text, long lo, long hi) {
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || v < lo || v > hi) {
    throw UsageError(option + " wants a whole number from " + std::to_string(lo) + " to " +
                     std::to_string(hi) + ", not \"" + text + "\"");
  }
  return v;
}

double real(const std::string& option, const std::string& text) {
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(v)) {
    throw UsageError(option + " wants a number, not \"" + text + "\"");
  }
  return v;
}

}  // namespace

Options parse_options(const std::vector<std::string>& args) {
  Options o;
  std::vector<std::string> positional;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      o.help = true;
      return o;
    }
    if (a.size() > 1 && a[0] == '-') {
      if (a == "--bound") {
        if (i + 3 >= args.size()) throw UsageError("--bound wants a parameter number and two values");
        Bound b;
        b.slot = static_cast<int>(integer(a, args[i + 1], 1, 3017));
        b.lower = real(a, args[i + 2]);
        b.upper = real(a, args[i + 3]);
        if (!(b.lower < b.upper)) {
          throw UsageError("--bound " + args[i + 1] + ": the lower bound " + args[i + 2] +
                           " must lie below the upper bound " + args[i + 3]);
        }
        o.bounds.push_back(b);
        i += 3;
        continue;
      }
      if (i + 1 >= args.size()) throw UsageError(a + " wants a value");
      const std::string& v = args[++i];
      if (a == "--first") {
        o.first = static_cast<int>(integer(a, v, 0, 1000));
      } else if (a == "--last") {
        o.last = static_cast<int>(integer(a, v, 0, 1000));
      } else if (a == "--from") {
        o.from = v;
      } else if (a == "--samples") {
        o.samples = integer(a, v, 1, kMaxSamples);
      } else if (a == "--burn") {
        o.burn = integer(a, v, 0, kMaxSamples);
      } else if (a == "--chains") {
        o.chains = static_cast<int>(integer(a, v, 3, 64));
      } else if (a == "--seed") {
        errno = 0;
        char* end = nullptr;
        const unsigned long long s = std::strtoull(v.c_str(), &end, 10);
        if (v.empty() || v[0] == '-' || *end != '\0' || errno != 0) {
          throw UsageError("--seed wants a whole number from 0 to 18446744073709551615, not \"" +
                           v + "\"");
        }
        o.seed = s;
      } else if (a == "--threads") {
        o.threads = static_cast<int>(integer(a, v, 0, 256));
      } else if (a == "--out") {
        if (v.empty()) throw UsageError("--out wants a directory name");
        o.out = v;
      } else {
        throw UsageError("unknown option " + a);
      }
      continue;
    }
    positional.push_back(a);
  }
  if (positional.size() != 2) {
    throw UsageError(positional.size() < 2 ? "an entry file and a data file are needed"
                                           : "only an entry file and a data file are read, not \"" +
                                                 positional[2] + "\"");
  }
  o.entry = positional[0];
  o.data = positional[1];
  const long least = std::max(kMinSamples, kMinKeptGenerations * o.chains);
  if (o.samples < least) {
    throw UsageError("--samples " + std::to_string(o.samples) +
                     " is too few to assess convergence: at least " + std::to_string(least) +
                     " are needed (" + std::to_string(kMinKeptGenerations) +
                     " generations of the " + std::to_string(o.chains) +
                     " chains, and no fewer than the 400 effective samples asked of every "
                     "parameter)");
  }
  return o;
}

std::string usage() {
  return "usage: tessaline-posterior ENTRY DATA [--first N] [--last N] [--from RESULTS]\n"
         "           [--bound I LOWER UPPER]... [--samples N] [--burn N] [--chains N]\n"
         "           [--seed S] [--threads T] [--out DIR]\n"
         "Samples the posterior of the fit of ENTRY to DATA (uniform priors between the bounds\n"
         "of the free parameters) and writes DIR/samples.txt, DIR/summary.txt,\n"
         "DIR/posterior.png and DIR/bands.png.\n"
         "  --first N, --last N  points dropped at both ends of every channel (default 0)\n"
         "  --from RESULTS       start around the last block of this results file of ENTRY\n"
         "  --bound I LO HI      sample parameter I (numbered as in the results file) between\n"
         "                       LO and HI only (physical units, within the program's bounds)\n"
         "  --samples N          samples kept, all chains together (default 20000)\n"
         "  --burn N             generations discarded first (default: as many as are kept)\n"
         "  --chains N           chains (default 8)\n"
         "  --seed S             random seed (default 1)\n"
         "  --threads T          threads (default: all processors)\n"
         "  --out DIR            output directory (default posterior)\n";
}

}  // namespace tessaline::posterior
