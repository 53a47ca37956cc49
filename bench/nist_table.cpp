// Prints, as a Markdown table, how LSQFIT does on NIST's certified nonlinear
// least-squares problems from both of NIST's starts: end status, iterations,
// distance from the certified values in certified standard deviations, digits
// of agreement, residual sum of squares and error estimates.
//
// Usage: nist_table [DIR]   (DIR holds the NIST .dat files; default: the
// copies in tests/data/nist-strd)
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/fit/nist_problems.hpp"

namespace {

using tessaline::test::nist::Outcome;
using tessaline::test::nist::Problem;

// Residual sum of squares of the formula at b[0..p-1].
double rss_at(const Problem& pr, const std::vector<double>& b) {
  std::vector<double> b1(b.size() + 1);
  std::copy(b.begin(), b.end(), b1.begin() + 1);
  double sum = 0.0;
  for (std::size_t k = 0; k < pr.y.size(); ++k) {
    const double r = pr.y[k] - pr.model(b1.data(), pr.x[k]);
    sum += r * r;
  }
  return sum;
}

// The fit measured against the certified results.
struct Comparison {
  double max_sd_distance = 0.0;  // max |b - b*| / sd*
  double digits = 0.0;           // min -log10(|b - b*| / |b*|), at most 15
  double rss = 0.0;              // residual sum of squares at the fitted values
  double err_ratio = 0.0;        // fitted error / sd*, the one farthest from 1
};

Comparison compare(const Problem& pr, const Outcome& out) {
  Comparison c;
  c.digits = 15.0;
  c.err_ratio = 1.0;
  for (std::size_t i = 0; i < static_cast<std::size_t>(pr.p); ++i) {
    const double d = std::fabs(out.b[i] - pr.certified[i]);
    c.max_sd_distance = std::max(c.max_sd_distance, d / pr.certified_sd[i]);
    if (d > 0.0) c.digits = std::min(c.digits, -std::log10(d / std::fabs(pr.certified[i])));
    const double ratio = out.err[i] / pr.certified_sd[i];
    if (std::fabs(std::log(ratio)) > std::fabs(std::log(c.err_ratio))) c.err_ratio = ratio;
  }
  c.rss = rss_at(pr, out.b);
  return c;
}

const char* status_name(int iexit) {
  switch (iexit) {
    case 1:
      return "converged";
    case -1:
      return "no decrease";
    case -2:
      return "infinite error";
    case -3:
      return "iteration limit";
    default:
      return "?";
  }
}

// The table, one row per problem and start, in Markdown.
std::string table_header() {
  return "| problem | start | end status | iterations | max \\|b-b*\\|/sd* | digits | RSS | "
         "certified RSS | err/sd* (farthest from 1) | passes limited / reduced / set aside |\n"
         "|---|---|---|---|---|---|---|---|---|---|\n";
}

std::string table_row(const Problem& pr, int which, const Outcome& out, const Comparison& c) {
  int limited = 0, reduced = 0, aside = 0;
  for (const tessaline::test::Pass& pass : out.passes) {
    limited += pass.STEPSCALE < 1.0;  // the step was scaled down to a limit
    reduced += pass.LIMTREND < 1.0;   // the trial step had been shrunk
    aside += std::any_of(pass.WORKLIM.begin() + 1, pass.WORKLIM.begin() + 1 + pass.NPAR,
                         [](double w) { return w < 0.0; });  // a parameter set aside
  }
  const int iterations = out.passes.empty() ? 0 : out.passes.back().ITER;  // steps applied
  char buf[512];
  std::snprintf(buf, sizeof buf,
                "| %s | %d | %s | %d | %.3g | %.1f | %.10g | %.10g | %.4g | %d / %d / %d |\n",
                pr.name.c_str(), which + 1, status_name(out.IEXIT), iterations, c.max_sd_distance,
                c.digits, c.rss, pr.rss, c.err_ratio, limited, reduced, aside);
  return buf;
}

}  // namespace

int main(int argc, char** argv) {
  namespace nist = tessaline::test::nist;
  const char* usage = "usage: nist_table [DIR]\n";
  if (argc == 2 && std::string(argv[1]) == "--help") {
    std::fputs(usage, stdout);
    return 0;
  }
  if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
    std::fputs(usage, stderr);
    return 2;
  }
  const std::filesystem::path dir = argc == 2 ? argv[1] : TESSALINE_NIST_DIR;
  try {
    std::vector<std::filesystem::path> files;
    for (const auto& e : std::filesystem::directory_iterator(dir))
      if (e.path().extension() == ".dat") files.push_back(e.path());
    std::sort(files.begin(), files.end());
    if (files.empty()) {
      std::fprintf(stderr, "nist_table: no .dat file in %s\n", dir.c_str());
      return 1;
    }
    std::vector<nist::Problem> problems;
    for (const auto& f : files) problems.push_back(nist::read_problem(f.string()));
    auto t = tessaline::make_tables();
    auto fs = tessaline::make_fit_state();
    std::fputs(table_header().c_str(), stdout);
    for (const nist::Problem& pr : problems) {
      for (int which = 0; which < 2; ++which) {
        const nist::Outcome out = nist::fit(pr, which, *t, *fs);
        std::fputs(table_row(pr, which, out, compare(pr, out)).c_str(), stdout);
        std::fflush(stdout);
      }
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "nist_table: %s\n", e.what());
    return 1;
  }
  return 0;
}
