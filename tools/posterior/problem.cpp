// The posterior of a fit: see problem.hpp.
#include "tools/posterior/problem.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>

#include "driver/entry_update.hpp"
#include "driver/problem.hpp"
#include "fit/parallel_sgz.hpp"
#include "model/model.hpp"
#include "report/readers.hpp"

namespace tessaline::posterior {

namespace {

std::size_t at(int i) { return static_cast<std::size_t>(i); }

std::string num(double v) {
  std::ostringstream s;
  s.precision(6);
  s << v;
  return s.str();
}

// Name, medium, label and unit of slot i.
FreeParameter describe(const Tables& t, int i) {
  FreeParameter f;
  f.slot = i;
  f.name = std::string(trimmed_name(t.PARNAM(i)));
  const int n = t.nlay;
  int kind = -1;  // 0 thickness, 1-3 densities, 4 <cos(delta_gamma)>, 5 roughness
  if (i <= 6 * n) {
    f.medium = "layer " + std::to_string((i - 1) / 6 + 1);
    f.label = "L" + std::to_string((i - 1) / 6 + 1) + ".";
    kind = (i - 1) % 6;
  } else if (i <= 6 * n + 5) {
    f.medium = "substrate";
    f.label = "sub.";
    kind = i - 6 * n;
  }
  for (char c : f.name) f.label += c == ' ' ? '_' : c;
  if (kind == 0 || kind == 5) f.unit = "A";
  if (kind >= 1 && kind <= 3) f.unit = "A^-2";
  if (i == 6 * n + kAlpha0) f.unit = "rad";
  f.lower = t.PARMIN(i);
  f.upper = t.PARMAX(i);
  f.scale = t.SCALE(i);
  return f;
}

// The start values and curvature errors of the last complete block of the
// results file `from`, which must belong to the entry file.
void take_fit(Problem& p) {
  const std::string& entry = p.input.entry;
  const std::string& from = p.input.from;
  ResultsFile results;
  try {
    results = read_results_file(from);
    update_entry_text(read_entry_bytes(entry), entry, results.last, from);
  } catch (const std::exception& e) {
    throw PosteriorError(update_failure_message(e, entry, from));
  }
  const std::vector<ResultsParameter>& block = results.last.parameters;
  for (std::size_t k = 0; k < p.free.size(); ++k) {
    FreeParameter& f = p.free[k];
    const ResultsParameter& r = block[at(f.slot - 1)];
    if (!r.value) {
      throw PosteriorError(from + ", line " + std::to_string(r.line) + ": the value of " +
                           f.title() + " is not a number (" + r.value_text +
                           "); start from the entry file instead");
    }
    f.fit_value = *r.value;
    p.start[k] = *r.value * f.scale;
    if (r.state == ParameterState::kFree || r.state == ParameterState::kOnBound) f.fit_error = r.error;
    f.fit_on_bound = r.state == ParameterState::kOnBound;
    f.fit_infinite = r.state == ParameterState::kInfinite;
    if (f.fit_infinite) f.fit_error = std::numeric_limits<double>::infinity();
  }
}

}  // namespace

int Problem::dof() const { return t->npoint - static_cast<int>(free.size()); }

double chi_square(const Tables& t, const std::vector<double>& f) {
  double sum = 0.0;
  for (int p = 1; p <= t.npoint; ++p) {
    const int k = 1 + (p - 1) * t.nvalues;
    const double r = (f[at(p - 1)] - t.POINTS(k)) / t.POINTS(k + 1);
    sum += r * r;
  }
  return sum;
}

Problem load(const ProblemInput& in) {
  Problem p;
  p.input = in;
  try {
    p.t = load_problem({in.entry, in.data, in.first, in.last});
  } catch (const ProblemError& e) {
    throw PosteriorError(e.what());
  }
  const Tables& t = *p.t;
  for (int i = 1; i <= t.NPAR; ++i) {
    if (t.STEPLIM(i) <= 0.0) continue;
    p.free.push_back(describe(t, i));
    p.start.push_back(t.PARAM(i));
  }
  if (p.free.empty()) {
    throw PosteriorError(in.entry +
                         ": every parameter is fixed, so there is nothing to sample; mark the "
                         "values to sample as free (a mark line that does not start with F)");
  }
  if (!in.from.empty()) take_fit(p);
  for (const Bound& b : in.bounds) {
    FreeParameter* f = nullptr;
    for (FreeParameter& q : p.free) f = q.slot == b.slot ? &q : f;
    if (f == nullptr) {
      throw PosteriorError("--bound " + std::to_string(b.slot) + ": parameter " +
                           std::to_string(b.slot) + " of " + in.entry +
                           " is not free (the parameters are numbered as in the results file)");
    }
    // Within the program's bounds, to rounding of the unit conversion.
    const double lo = b.lower * f->scale, hi = b.upper * f->scale;
    const double tol = 1e-12 * std::max(std::fabs(f->lower), std::fabs(f->upper));
    if (!(lo < hi) || lo < f->lower - tol || hi > f->upper + tol) {
      throw PosteriorError("--bound " + std::to_string(b.slot) + " " + num(b.lower) + " " +
                           num(b.upper) + ": the bounds of " + f->title() +
                           " can only be narrowed, to a range within " +
                           num(f->physical(f->lower)) + " .. " + num(f->physical(f->upper)));
    }
    f->lower = std::max(lo, f->lower);
    f->upper = std::min(hi, f->upper);
  }
  const std::string source = in.from.empty() ? in.entry : in.from;
  for (std::size_t k = 0; k < p.free.size(); ++k) {
    const FreeParameter& f = p.free[k];
    const double x = p.start[k];
    if (!(x >= f.lower && x <= f.upper)) {
      throw PosteriorError(source + ": the start value of " + f.title() + ", " +
                           num(f.physical(x)) + (f.unit.empty() ? "" : " " + f.unit) +
                           ", lies outside its bounds " + num(f.physical(f.lower)) + " .. " +
                           num(f.physical(f.upper)) +
                           "; the sampler draws only between the bounds, so start inside them");
    }
  }
  ChiSquare chi2(p, BatchOptics::Path::kReference);
  p.start_chi_square = chi2(p.start.data());
  if (!std::isfinite(p.start_chi_square)) {
    const std::vector<double>& f = chi2.values();
    int bad = 0;
    for (int q = 1; q <= t.npoint && bad == 0; ++q)
      if (!std::isfinite(f[at(q - 1)])) bad = q;
    std::string why = bad > 0 ? "the model value of point " + std::to_string(bad) +
                                    " (in the order of the data file, after the exclusions) is " +
                                    num(f[at(bad - 1)])
                              : "the sum overflows";
    throw PosteriorError(source + ": chi-square is not finite at the start values (" + why +
                         "); start from values at which the model can be computed");
  }
  return p;
}

ChiSquare::ChiSquare(const Problem& p, BatchOptics::Path path)
    : p_(p), PARAM_(std::make_unique<ParamVector>(p.t->PARAM)), optics_(*p.t, path) {}

double ChiSquare::operator()(const double* x) {
  for (std::size_t k = 0; k < p_.free.size(); ++k) (*PARAM_)(p_.free[k].slot) = x[k];
  f_ = &optics_.values(*p_.t, *PARAM_);
  return chi_square(*p_.t, *f_);
}

StartSpread start_spread(const Problem& p, int threads) {
  const int n = static_cast<int>(p.free.size());
  StartSpread s;
  s.center = p.start;
  s.factor.assign(at(n * n), 0.0);
  s.uniform.assign(at(n), 0);
  s.sigma.assign(at(n), 0.0);

  // Z over the free parameters at the start, as the fit forms it.
  auto t = make_tables();
  *t = *p.t;
  for (int k = 0; k < n; ++k) t->PARAM(p.free[at(k)].slot) = p.start[at(k)];
  auto fs = make_fit_state();
  {
    ParallelSGZ fast(*t, threads);
    fs->fast = &fast;
    fs->NPARFIT = t->NPAR;
    for (int i = 1; i <= t->NPAR; ++i) fs->G(i) = 0.0;
    for (long L = 1; L <= packed(n, n); ++L) fs->Z(static_cast<int>(L)) = 0.0;
    double S = 0.0;
    SGZ(*t, *fs, t->NPAR, S);
    fs->fast = nullptr;
  }
  const auto Z = [&fs](int a, int b) {  // 0-based
    return a >= b ? fs->Z(static_cast<int>(packed(a + 1, b + 1)))
                  : fs->Z(static_cast<int>(packed(b + 1, a + 1)));
  };

  // Along each axis, the distance h over which chi^2 rises by 1 from the
  // start.  Where the conditional error 1/sqrt(Z_kk) of the Gaussian gives a
  // rise between 1/4 and 4, the parameter belongs to the Gaussian part.
  // Otherwise (a parameter at a bound where its derivative vanishes, a chi^2
  // far from quadratic) h is found by doubling or halving, from the
  // conditional error or from a thousandth of the step limit, and the
  // parameter is drawn on its own, normal with standard deviation h; where
  // chi^2 never rises by 1 before the bound, uniformly between its bounds.
  ChiSquare chi2(p);
  std::vector<double> x = p.start;
  std::vector<int> g;  // the Gaussian part
  for (int k = 0; k < n; ++k) {
    const FreeParameter& f = p.free[at(k)];
    const double zkk = Z(k, k);
    const double conditional = zkk > 0.0 && std::isfinite(zkk) ? 1.0 / std::sqrt(zkk) : 0.0;
    const double range = f.upper - f.lower;
    const auto rise = [&](double h) {  // chi^2(x0 + h e_k) - chi^2(x0), inward from a bound
      const double x0 = p.start[at(k)];
      x[at(k)] = x0 + h <= f.upper ? x0 + h : std::max(f.lower, x0 - h);
      const double d = chi2(x.data()) - p.start_chi_square;
      x[at(k)] = x0;
      return std::isfinite(d) ? d : std::numeric_limits<double>::infinity();
    };
    double h = conditional > 0.0 && conditional < range
                   ? conditional
                   : std::min(1e-3 * p.t->STEPLIM(f.slot), range);
    double d = rise(h);
    if (conditional > 0.0 && d >= 0.25 && d <= 4.0) {
      g.push_back(k);
      continue;
    }
    for (int i = 0; i < 60 && d < 1.0 && h < range; ++i) d = rise(h = std::min(2.0 * h, range));
    for (int i = 0; i < 60 && d > 1.0; ++i) d = rise(h *= 0.5);
    if (d < 1.0 && h >= range) {
      s.uniform[at(k)] = 1;
      s.sigma[at(k)] = range / std::sqrt(12.0);
    } else {
      s.factor[at(k * n + k)] = h;
      s.sigma[at(k)] = h;
    }
  }

  // The Gaussian part, in the units of the conditional errors (unit
  // diagonal), factored as L L^T, with a ridge where it is singular to
  // rounding.
  const int m = static_cast<int>(g.size());
  std::vector<double> L(at(m * m), 0.0);
  const auto zs = [&](int a, int b) {
    return Z(g[at(a)], g[at(b)]) / std::sqrt(Z(g[at(a)], g[at(a)]) * Z(g[at(b)], g[at(b)]));
  };
  for (double ridge = 1e-12;; ridge *= 100.0) {
    bool ok = true;
    for (int a = 0; a < m && ok; ++a) {
      for (int b = 0; b <= a && ok; ++b) {
        double sum = zs(a, b) + (a == b ? ridge : 0.0);
        for (int c = 0; c < b; ++c) sum -= L[at(a * m + c)] * L[at(b * m + c)];
        if (a == b) {
          ok = sum > 0.0;
          if (ok) L[at(a * m + a)] = std::sqrt(sum);
        } else {
          L[at(a * m + b)] = sum / L[at(b * m + b)];
        }
      }
    }
    if (ok || ridge > 1.0) break;
  }
  // Covariance = D^-1 (L L^T)^-1 D^-1 with D = sqrt(diag Z); its factor is
  // D^-1 L^-T.  M = L^-T by back substitution of L^T M = I.
  std::vector<double> M(at(m * m), 0.0);
  for (int col = 0; col < m; ++col) {
    for (int r = m - 1; r >= 0; --r) {
      double sum = r == col ? 1.0 : 0.0;
      for (int c = r + 1; c < m; ++c) sum -= L[at(c * m + r)] * M[at(c * m + col)];
      M[at(r * m + col)] = sum / L[at(r * m + r)];
    }
  }
  for (int a = 0; a < m; ++a) {
    const int ka = g[at(a)];
    const double d = std::sqrt(Z(ka, ka));
    double var = 0.0;
    for (int b = 0; b < m; ++b) {
      const double v = M[at(a * m + b)] / d;
      s.factor[at(ka * n + g[at(b)])] = v;
      var += v * v;
    }
    s.sigma[at(ka)] = std::sqrt(var);
  }
  return s;
}

}  // namespace tessaline::posterior
