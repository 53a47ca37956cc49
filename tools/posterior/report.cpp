// The analysis, the summary and the samples file: see report.hpp.
#include "tools/posterior/report.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "tables/tables.hpp"

namespace tessaline::posterior {

namespace {

std::size_t at(long i) { return static_cast<std::size_t>(i); }

std::string g6(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

std::string g17(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

std::string pad(const std::string& s, std::size_t w) {
  return s.size() >= w ? s + " " : s + std::string(w - s.size(), ' ');
}
std::string rpad(const std::string& s, std::size_t w) {
  return s.size() >= w ? " " + s : std::string(w - s.size(), ' ') + s;
}

std::string fixed(double v, int decimals) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

bool converged(const Marginal& m) { return m.rhat <= kMaxRhat && m.ess >= kMinEffective; }

}  // namespace

Analysis analyze(const Problem& p, const SamplerResult& r) {
  Analysis a;
  const Samples& s = r.samples;
  a.from = r.burn;
  a.kept = (s.generations - a.from) * s.chains;
  if (a.kept <= 0) return a;
  for (int k = 0; k < s.n; ++k) {
    Marginal m = marginal(s, k, a.from);
    const double scale = p.free[at(k)].scale;
    for (double* v : {&m.median, &m.mean, &m.sd, &m.lo68, &m.hi68, &m.lo95, &m.hi95}) *v /= scale;
    if (!converged(m)) ++a.not_converged;
    a.marginal.push_back(m);
  }
  a.correlation = correlations(s, a.from);
  std::vector<double> chi2(s.chi2.begin() + static_cast<long>(at(a.from * s.chains)), s.chi2.end());
  std::sort(chi2.begin(), chi2.end());
  a.chi2_min = chi2.front();
  a.chi2_median = quantile(chi2, 0.5);
  return a;
}

std::string summary_text(const Problem& p, const Options& o, const SamplerResult& r,
                         const Analysis& a, const RunEnd& end, bool matrix) {
  std::ostringstream out;
  const int n = static_cast<int>(p.free.size());
  const Tables& t = *p.t;
  out << "tessaline-posterior: the posterior of the fit of " << o.entry << " to " << o.data << "\n";
  out << "  " << t.npoint << " points, " << n << " free parameters, " << p.dof()
      << " degrees of freedom";
  if (o.first > 0 || o.last > 0)
    out << "; " << o.first << " first and " << o.last << " last points of every channel dropped";
  out << "\n";
  out << "  start: "
      << (o.from.empty() ? "the values of " + o.entry
                         : "the last complete block of " + o.from + ", with its curvature errors")
      << "\n";
  out << "  priors: uniform between the bounds of every free parameter (below); a value fixed "
         "in the entry file stays fixed\n";
  out << "sampler: differential evolution of the DREAM family (DREAM(ZS)), " << o.chains
      << " chains, seed " << o.seed << ", " << r.threads << (r.threads == 1 ? " thread" : " threads")
      << "\n";
  out << "  " << r.burn << " generations of burn-in, " << r.generations - r.burn
      << " kept: " << a.kept << " samples; " << r.evaluations << " evaluations of chi-square in "
      << fixed(r.seconds, 1) << " s";
  if (r.seconds > 0) out << " (" << g6(std::round(r.evaluations / r.seconds)) << " per second)";
  out << ", acceptance "
      << fixed(r.generations > 0 ? static_cast<double>(r.accepted) /
                                       static_cast<double>(r.generations * o.chains)
                                 : 0.0,
               3)
      << "\n";
  if (!end.complete) {
    out << "INCOMPLETE: " << end.reason << "; the figures below are from the samples kept so far\n";
  }
  out << "chi-square: " << g6(p.start_chi_square) << " at the start";
  if (a.kept > 0) {
    out << "; smallest sampled " << g6(a.chi2_min) << " (hi_sq.norm "
        << (p.dof() > 0 ? g6(a.chi2_min / p.dof()) : std::string("-")) << "), median "
        << g6(a.chi2_median);
  }
  out << "\n\n";

  out << "Bounds (the uniform priors; --bound I LOWER UPPER narrows the bound of parameter I):\n";
  out << pad("  i", 6) << pad("parameter", 28) << pad("unit", 6) << rpad("lower", 14)
      << rpad("upper", 14) << rpad("start", 14) << "\n";
  for (int k = 0; k < n; ++k) {
    const FreeParameter& f = p.free[at(k)];
    out << rpad(std::to_string(f.slot), 4) << "  " << pad(f.title(), 28) << pad(f.unit, 6)
        << rpad(g6(f.physical(f.lower)), 14) << rpad(g6(f.physical(f.upper)), 14)
        << rpad(g6(f.physical(p.start[at(k)])), 14) << "\n";
  }
  out << "\n";
  if (a.kept <= 0) {
    out << "No sample was kept: the run ended during the burn-in.\n";
    return out.str();
  }

  const bool fit = !o.from.empty();
  out << "Marginals (physical units; 68 % and 95 %: the central intervals, from 15.9 % to "
         "84.1 % and from 2.5 % to 97.5 % of the samples"
      << (fit ? "; fit: the value and error of the curvature fit" : "") << "):\n";
  out << pad("  i", 6) << pad("parameter", 28) << pad("unit", 6) << rpad("median", 13)
      << rpad("mean", 13) << rpad("sd", 11) << "   " << pad("68 % interval", 26)
      << pad("95 % interval", 26);
  if (fit) out << rpad("fit", 13) << rpad("error", 11);
  out << rpad("R-hat", 8) << rpad("ESS", 8) << "\n";
  for (int k = 0; k < n; ++k) {
    const FreeParameter& f = p.free[at(k)];
    const Marginal& m = a.marginal[at(k)];
    out << rpad(std::to_string(f.slot), 4) << "  " << pad(f.title(), 28) << pad(f.unit, 6)
        << rpad(g6(m.median), 13) << rpad(g6(m.mean), 13) << rpad(g6(m.sd), 11) << "   "
        << pad(g6(m.lo68) + " .. " + g6(m.hi68), 26) << pad(g6(m.lo95) + " .. " + g6(m.hi95), 26);
    if (fit) {
      out << rpad(f.fit_value ? g6(*f.fit_value) : "-", 13);
      std::string e = "-";
      if (f.fit_infinite) e = "infinite";
      else if (f.fit_error) e = g6(*f.fit_error) + (f.fit_on_bound ? "b" : "");
      out << rpad(e, 11);
    }
    out << rpad(fixed(m.rhat, 3), 8) << rpad(g6(std::round(m.ess)), 8) << "\n";
  }
  if (fit) {
    bool bound_note = false;
    for (const FreeParameter& f : p.free) bound_note = bound_note || f.fit_on_bound;
    if (bound_note) out << "  (b: on a bound in the fit; its error is left from an earlier solve)\n";
    out << "\n";
    std::ostringstream apart;
    int count = 0;
    for (int k = 0; k < n; ++k) {
      const FreeParameter& f = p.free[at(k)];
      const Marginal& m = a.marginal[at(k)];
      if (!f.fit_error || !f.fit_value) continue;
      const double err = *f.fit_error;
      const bool spread = !(err > 0.0 && std::isfinite(err)) || std::fabs(m.sd / err - 1.0) > 0.2;
      const bool shift =
          err > 0.0 && std::isfinite(err) && std::fabs(m.median - *f.fit_value) > 0.2 * err;
      if (!spread && !shift) continue;
      ++count;
      apart << "  " << f.title() << ": sd " << g6(m.sd) << " against the curvature error "
            << (std::isfinite(err) ? g6(err) : std::string("infinite"));
      if (err > 0.0 && std::isfinite(err)) apart << " (" << g6(m.sd / err) << " times)";
      apart << ", median " << g6(m.median) << " against the fitted " << g6(*f.fit_value);
      if (err > 0.0 && std::isfinite(err))
        apart << " (" << g6((m.median - *f.fit_value) / err) << " errors)";
      apart << "\n";
    }
    if (count == 0) {
      out << "The samples agree with the curvature fit within 20 %: every standard deviation "
             "within 20 % of the curvature error, every median within 0.2 errors of the fitted "
             "value.\n";
    } else {
      out << "Where the samples and the curvature fit disagree by more than 20 % (standard "
             "deviation against the error, or median against the fitted value by more than 0.2 "
             "errors):\n"
          << apart.str()
          << "  The curvature error is exact only for a Gaussian posterior: a model linear in "
             "its parameters across the error, and no bound within reach.  Here the posterior "
             "is skewed, curved along a correlation, or cut by a bound: quote the sampled "
             "intervals, not the curvature errors.\n";
    }
  }
  out << "\n";

  if (a.not_converged == 0) {
    out << "Convergence: every R-hat is below " << fixed(kMaxRhat, 2) << " and every parameter has "
        << "at least " << g6(kMinEffective) << " effective samples.\n";
  } else {
    out << "WARNING: not converged: " << a.not_converged << " of " << n
        << " parameters have an R-hat above " << fixed(kMaxRhat, 2) << " or fewer than "
        << g6(kMinEffective) << " effective samples:";
    int listed = 0;
    for (int k = 0; k < n && listed < 8; ++k) {
      const Marginal& m = a.marginal[at(k)];
      if (converged(m)) continue;
      out << (listed++ ? ", " : " ") << p.free[at(k)].label << " (R-hat " << fixed(m.rhat, 3)
          << ", " << g6(std::round(m.ess)) << " effective)";
    }
    if (a.not_converged > listed) out << ", ...";
    out << ".\n  The samples do not yet stand for the posterior.  Run longer (--samples, and "
           "--burn for a longer burn-in), or narrow the bounds (--bound) of a parameter that "
           "the data do not determine.\n";
  }
  out << "\n";

  if (matrix) {
    out << "Correlations:\n" << pad("", 6);
    for (int b = 0; b < n; ++b) out << rpad(std::to_string(p.free[at(b)].slot), 6);
    out << "\n";
    for (int k = 0; k < n; ++k) {
      out << rpad(std::to_string(p.free[at(k)].slot), 4) << "  ";
      for (int b = 0; b < n; ++b) out << rpad(fixed(a.correlation[at(k * n + b)], 2), 6);
      out << "\n";
    }
  } else {
    out << "The correlation matrix (" << n << " x " << n << ") is in " << o.out
        << "/summary.txt.\n";
  }
  std::vector<std::pair<double, std::pair<int, int>>> strong;
  for (int k = 0; k < n; ++k)
    for (int b = 0; b < k; ++b)
      if (std::fabs(a.correlation[at(k * n + b)]) > 0.9)
        strong.push_back({-std::fabs(a.correlation[at(k * n + b)]), {b, k}});
  std::sort(strong.begin(), strong.end());
  if (strong.empty()) {
    out << "No pair is correlated above 0.9.\n";
  } else {
    out << "Pairs correlated above 0.9 (they trade against each other; the data fix a "
           "combination of the two better than either):\n";
    for (const auto& entry : strong) {
      const auto& pair = entry.second;
      out << "  " << fixed(a.correlation[at(pair.second * n + pair.first)], 3) << "  "
          << p.free[at(pair.first)].title() << " and " << p.free[at(pair.second)].title() << "\n";
    }
  }
  return out.str();
}

std::string samples_text(const Problem& p, const Options& o, const SamplerResult& r,
                         const RunEnd& end) {
  std::string s;
  const Samples& smp = r.samples;
  const long kept_rows = (smp.generations - r.burn) * smp.chains;
  s.reserve(static_cast<std::size_t>(std::max(0L, kept_rows)) * (20 + 24 * p.free.size()) + 1024);
  s += kSamplesHeader;
  s += "\n# entry " + o.entry + ", data " + o.data;
  if (!o.from.empty()) s += ", started from " + o.from;
  s += "\n# seed " + std::to_string(o.seed) + ", " + std::to_string(o.chains) + " chains, " +
       std::to_string(r.burn) + " generations of burn-in left out\n";
  s += end.complete ? std::string("# complete\n") : "# incomplete: " + end.reason + "\n";
  s += "# values in physical units (A, A^-2, rad)\n";
  s += "# chain generation chi2";
  for (const FreeParameter& f : p.free) s += " " + f.label;
  s += "\n";
  for (long g = r.burn; g < smp.generations; ++g) {
    for (int c = 0; c < smp.chains; ++c) {
      s += std::to_string(c + 1) + " " + std::to_string(g + 1) + " " +
           g17(smp.chi2[at(g * smp.chains + c)]);
      for (int k = 0; k < smp.n; ++k) s += " " + g17(p.free[at(k)].physical(smp.value(g, c, k)));
      s += "\n";
    }
  }
  return s;
}

SamplesFile read_samples(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw PosteriorError(path + ": cannot be opened");
  SamplesFile f;
  std::string line;
  int number = 0;
  bool columns = false;
  while (std::getline(in, line)) {
    ++number;
    if (number == 1 && line != kSamplesHeader) {
      throw PosteriorError(path + ", line 1: not a samples file of tessaline-posterior (expected \"" +
                           std::string(kSamplesHeader) + "\")");
    }
    if (!line.empty() && line[0] == '#') {
      if (line == "# complete") f.complete = true;
      if (line.rfind("# chain generation chi2", 0) == 0) {
        std::istringstream words(line.substr(2));
        std::string w;
        while (words >> w) f.columns.push_back(w);
        columns = true;
      }
      continue;
    }
    if (!columns) throw PosteriorError(path + ", line " + std::to_string(number) +
                                       ": a sample before the line naming the columns");
    std::istringstream words(line);
    std::vector<double> row;
    std::string w;
    while (words >> w) {
      char* end = nullptr;
      const double v = std::strtod(w.c_str(), &end);
      if (*end != '\0') {
        throw PosteriorError(path + ", line " + std::to_string(number) + ": \"" + w +
                             "\" is not a number");
      }
      row.push_back(v);
    }
    if (row.size() != f.columns.size()) {
      throw PosteriorError(path + ", line " + std::to_string(number) + ": " +
                           std::to_string(row.size()) + " numbers where " +
                           std::to_string(f.columns.size()) + " columns are named");
    }
    f.rows.push_back(std::move(row));
  }
  if (number == 0) throw PosteriorError(path + ": empty, not a samples file");
  return f;
}

}  // namespace tessaline::posterior
