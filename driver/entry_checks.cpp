// The checks of an entry file before a fit; see entry_checks.hpp.
#include "driver/entry_checks.hpp"

#include <cmath>
#include <cstdio>
#include <string>
#include <utility>

#include "model/model.hpp"

namespace tessaline {
namespace {

std::string num(double v, int digits = 6) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.*g", digits, v);
  return buf;
}

std::string name_of(const Tables& t, int i) { return std::string(trimmed_name(t.PARNAM(i))); }

// A polarization read from the entry file as 1 may come back from the sum of
// squares a few units in the last place above it (0.6 and 0.8): that is full
// polarization, not more.
constexpr double kFullPolarization = 1 + 1e-12;

}  // namespace

std::vector<EntryCheck> entry_checks(const Tables& t) {
  std::vector<EntryCheck> checks;
  checks.push_back(
      {true, "nn = " + std::to_string(t.nn) + " (1 to 1000), j0 = " + std::to_string(t.j0) +
                 " (1 to 101), nlay = " + std::to_string(t.nlay) + " (0 to 500), wavelength > 0"});
  checks.push_back({true, "N_p and <cos(delta_gamma)> never both free in a medium"});

  const int n = t.nlay;
  for (const auto& [first, what] :
       {std::pair{6 * n + kPiX, "polarizer |Pi|"}, std::pair{6 * n + kPfX, "analyser |Pf|"}}) {
    double sum = 0;
    for (int j = 0; j < 3; ++j) sum += std::pow(phys(t, t.PARAM, first + j), 2);
    const double m = std::sqrt(sum);
    const bool ok = m <= kFullPolarization;
    // Seven digits, so that a length just above 1 does not print as 1.
    checks.push_back({ok, std::string(what) + " = " + num(m, 7) +
                              (ok ? " (at most 1)" : ", above 1: more than full polarization")});
  }

  bool all_within = true;
  for (int i = 1; i <= t.NPAR; ++i) {
    if (t.STEPLIM(i) <= 0) continue;
    const double v = t.PARAM(i);
    if (v >= t.PARMIN(i) && v <= t.PARMAX(i)) continue;
    all_within = false;
    const bool low = v < t.PARMIN(i);
    const double s = t.SCALE(i);
    checks.push_back({false, "parameter " + std::to_string(i) + " (" + name_of(t, i) +
                                 ") starts at " + num(v / s) + ", " +
                                 (low ? "below its lower" : "above its upper") + " bound " +
                                 num((low ? t.PARMIN(i) : t.PARMAX(i)) / s) +
                                 ": the fit holds it on that bound"});
  }
  if (all_within) checks.push_back({true, "every free value starts within its bounds"});

  // Layer j lies between the interface roughened by its own Debye-Waller
  // value and the one roughened by the medium below it; at thickness 0 both
  // lie at one depth.
  bool zero_neutral = true;
  for (int j = 1; j <= n; ++j) {
    if (phys(t, t.PARAM, 6 * j - 5) != 0) continue;
    const int own = density_slot(n, j) + 4, below = density_slot(n, j + 1) + 4;
    const double sigma = phys(t, t.PARAM, own), sigma_below = phys(t, t.PARAM, below);
    if (sigma == sigma_below) continue;
    zero_neutral = false;
    checks.push_back(
        {false, "layer " + std::to_string(j) + " has thickness 0 but its own roughness, " +
                    num(sigma) + " A against " + num(sigma_below) + " A below it: its two " +
                    "interfaces lie at one depth with different widths, so the layer still " +
                    "changes the reflectivity (give it the roughness below it, or remove it)"});
  }
  if (zero_neutral) checks.push_back({true, "no layer of thickness 0 with a roughness of its own"});

  const int nfree = t.NPAR - t.NFIX;
  const bool enough = nfree < 4 * t.nn;
  checks.push_back({enough, std::to_string(nfree) + " free parameters, " +
                                std::to_string(4 * t.nn) + " points" +
                                (enough ? "" : ": no degree of freedom is left for the fit")});
  return checks;
}

}  // namespace tessaline
