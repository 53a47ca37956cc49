// NIST's certified nonlinear least-squares problems (StRD) run through LSQFIT:
// a reader for the problem files, the models written out from their formulas,
// and one fit as the program calls it.  Shared by the minimizer tests and by
// the table printer in bench/.
//
// Every point gets the certified residual standard deviation sqrt(RSS/(n-p))
// as its error bar, so that the error estimates and the stopping rule (a step
// below 0.1 of every error) are in the units of the certified standard
// deviations.  Each parameter's step limit is a tenth of its start value's
// magnitude; the bounds are +-1e30, far beyond any value a problem reaches.
#pragma once

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <numbers>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "fit/fit.hpp"
#include "fit_test_support.hpp"
#include "tables/tables.hpp"

namespace tessaline::test::nist {

// y = f(b, x), b[1..p].
using ModelFormula = double (*)(const double* b, double x);
inline constexpr int kMaxProblemPar = 9;
static_assert(kMaxProblemPar <= kTracked, "the monitor records every parameter of a problem");

struct Problem {
  std::string name;
  int p = 0;                           // parameters
  std::vector<double> start[2];        // NIST's two starts, [0..p-1]
  std::vector<double> certified;       // certified values
  std::vector<double> certified_sd;    // their certified standard deviations
  std::vector<double> certified_unit;  // unit of the last printed digit of each
  double rss = 0.0;                    // certified residual sum of squares
  double residual_sd = 0.0;            // as printed in the file
  std::vector<double> x, y;            // the observations
  ModelFormula model = nullptr;
};

// The formulas as NIST writes them in the file headers; several problems
// share one.
namespace formulas {
using std::exp;
using std::pow;
inline double rise(const double* b, double x) { return b[1] * (1 - exp(-b[2] * x)); }
inline double chwirut(const double* b, double x) { return exp(-b[1] * x) / (b[2] + b[3] * x); }
inline double lanczos(const double* b, double x) {
  return b[1] * exp(-b[2] * x) + b[3] * exp(-b[4] * x) + b[5] * exp(-b[6] * x);
}
inline double gauss(const double* b, double x) {
  return b[1] * exp(-b[2] * x) + b[3] * exp(-(x - b[4]) * (x - b[4]) / (b[5] * b[5])) +
         b[6] * exp(-(x - b[7]) * (x - b[7]) / (b[8] * b[8]));
}
inline double cubic_ratio(const double* b, double x) {
  return (b[1] + b[2] * x + b[3] * x * x + b[4] * x * x * x) /
         (1 + b[5] * x + b[6] * x * x + b[7] * x * x * x);
}
inline double kirby2(const double* b, double x) {
  return (b[1] + b[2] * x + b[3] * x * x) / (1 + b[4] * x + b[5] * x * x);
}
inline double danwood(const double* b, double x) { return b[1] * pow(x, b[2]); }
inline double misra1b(const double* b, double x) { return b[1] * (1 - pow(1 + b[2] * x / 2, -2)); }
inline double misra1c(const double* b, double x) {
  return b[1] * (1 - pow(1 + 2 * b[2] * x, -0.5));
}
inline double misra1d(const double* b, double x) { return b[1] * b[2] * x / (1 + b[2] * x); }
inline double mgh17(const double* b, double x) {
  return b[1] + b[2] * exp(-x * b[4]) + b[3] * exp(-x * b[5]);
}
inline double mgh09(const double* b, double x) {
  return b[1] * (x * x + x * b[2]) / (x * x + x * b[3] + b[4]);
}
inline double mgh10(const double* b, double x) { return b[1] * exp(b[2] / (x + b[3])); }
inline double enso(const double* b, double x) {
  constexpr double pi = std::numbers::pi;
  return b[1] + b[2] * std::cos(2 * pi * x / 12) + b[3] * std::sin(2 * pi * x / 12) +
         b[5] * std::cos(2 * pi * x / b[4]) + b[6] * std::sin(2 * pi * x / b[4]) +
         b[8] * std::cos(2 * pi * x / b[7]) + b[9] * std::sin(2 * pi * x / b[7]);
}
inline double eckerle4(const double* b, double x) {
  return (b[1] / b[2]) * exp(-0.5 * ((x - b[3]) / b[2]) * ((x - b[3]) / b[2]));
}
inline double rat42(const double* b, double x) { return b[1] / (1 + exp(b[2] - b[3] * x)); }
inline double rat43(const double* b, double x) {
  return b[1] / pow(1 + exp(b[2] - b[3] * x), 1 / b[4]);
}
inline double bennett5(const double* b, double x) { return b[1] * pow(b[2] + x, -1 / b[3]); }
}  // namespace formulas

inline ModelFormula formula(const std::string& name) {
  using namespace formulas;
  struct Entry {
    const char* name;
    ModelFormula f;
  };
  static const Entry entries[] = {
      {"Misra1a", rise},      {"BoxBOD", rise},       {"Chwirut1", chwirut},
      {"Chwirut2", chwirut},  {"Lanczos1", lanczos},  {"Lanczos2", lanczos},
      {"Lanczos3", lanczos},  {"Gauss1", gauss},      {"Gauss2", gauss},
      {"Gauss3", gauss},      {"Hahn1", cubic_ratio}, {"Thurber", cubic_ratio},
      {"Kirby2", kirby2},     {"DanWood", danwood},   {"Misra1b", misra1b},
      {"Misra1c", misra1c},   {"Misra1d", misra1d},   {"MGH17", mgh17},
      {"MGH09", mgh09},       {"MGH10", mgh10},       {"ENSO", enso},
      {"Eckerle4", eckerle4}, {"Rat42", rat42},       {"Rat43", rat43},
      {"Bennett5", bennett5},
  };
  for (const Entry& e : entries)
    if (name == e.name) return e.f;
  return nullptr;
}

namespace detail {

inline std::vector<std::string> words(const std::string& line) {
  std::vector<std::string> w;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
    const std::size_t b = i;
    while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) ++i;
    if (i > b) w.push_back(line.substr(b, i - b));
  }
  return w;
}

[[noreturn]] inline void fail(const std::string& file, int line, const std::string& what) {
  throw std::runtime_error(file + ", line " + std::to_string(line) + ": " + what);
}

inline double number(const std::string& word, const std::string& file, int line) {
  char* end = nullptr;
  const double v = std::strtod(word.c_str(), &end);
  if (word.empty() || *end != '\0' || !std::isfinite(v))
    fail(file, line, "\"" + word + "\" is not a number");
  return v;
}

// Unit of the last digit of a number as printed: 1e-10 for 1.5575999998E+00.
inline double last_digit_unit(const std::string& word) {
  const std::size_t e = word.find_first_of("eE");
  const std::string mantissa = word.substr(0, e);
  const std::size_t dot = mantissa.find('.');
  const int decimals = dot == std::string::npos ? 0 : static_cast<int>(mantissa.size() - dot - 1);
  const int exponent = e == std::string::npos ? 0 : std::atoi(word.c_str() + e + 1);
  return std::pow(10.0, exponent - decimals);
}

// The number after the last ':' of a "Label:   value" line.
inline double labelled(const std::string& text, const std::string& file, int line) {
  const auto w = words(text.substr(text.rfind(':') + 1));
  if (w.empty()) fail(file, line, "a number was expected after the colon");
  return number(w[0], file, line);
}

}  // namespace detail

// Reads a problem file as NIST publishes it: the parameter count from the
// model block, one line "bK = start1 start2 certified sd" per parameter, the
// residual sum of squares and standard deviation, the number of observations,
// and after the line "Data: y x" one observation per line.
inline Problem read_problem(const std::string& path) {
  using detail::fail;
  using detail::number;
  std::ifstream in(path);
  if (!in) throw std::runtime_error(path + ": cannot be opened");
  Problem pr;
  const std::size_t slash = path.find_last_of('/');
  pr.name = path.substr(slash == std::string::npos ? 0 : slash + 1);
  if (pr.name.size() > 4 && pr.name.ends_with(".dat")) pr.name.resize(pr.name.size() - 4);
  pr.model = formula(pr.name);
  if (pr.model == nullptr) throw std::runtime_error(path + ": no model is known for " + pr.name);

  int nobs = -1;
  bool in_data = false;
  int lineno = 0;
  std::string line;
  while (std::getline(in, line)) {
    ++lineno;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto w = detail::words(line);
    if (w.empty()) continue;
    if (in_data) {
      if (w.size() != 2) fail(path, lineno, "an observation \"y x\" was expected");
      pr.y.push_back(number(w[0], path, lineno));
      pr.x.push_back(number(w[1], path, lineno));
    } else if (w[0] == "Data:" && w.size() >= 2 && (w[1] == "y" || w[1] == "Y")) {
      in_data = true;
    } else if (w.size() >= 2 && w[1] == "Parameters" && pr.p == 0) {
      pr.p = static_cast<int>(number(w[0], path, lineno));
    } else if (w[0].size() >= 2 && w[0][0] == 'b' && w.size() == 6 && w[1] == "=") {
      const int k = std::atoi(w[0].c_str() + 1);
      if (k != static_cast<int>(pr.certified.size()) + 1)
        fail(path, lineno, "parameter b" + std::to_string(pr.certified.size() + 1) + " expected");
      pr.start[0].push_back(number(w[2], path, lineno));
      pr.start[1].push_back(number(w[3], path, lineno));
      pr.certified.push_back(number(w[4], path, lineno));
      pr.certified_sd.push_back(number(w[5], path, lineno));
      pr.certified_unit.push_back(detail::last_digit_unit(w[4]));
    } else if (line.find("Residual Sum of Squares:") != std::string::npos) {
      pr.rss = detail::labelled(line, path, lineno);
    } else if (line.find("Residual Standard Deviation:") != std::string::npos) {
      pr.residual_sd = detail::labelled(line, path, lineno);
    } else if (line.find("Number of Observations:") != std::string::npos) {
      nobs = static_cast<int>(detail::labelled(line, path, lineno));
    }
  }
  if (pr.p < 1 || pr.p > kMaxProblemPar)
    fail(path, lineno, "a line \"N Parameters\" with N from 1 to 9 was expected");
  if (pr.p != static_cast<int>(pr.certified.size()))
    fail(path, lineno,
         std::to_string(pr.certified.size()) + " parameter lines for " + std::to_string(pr.p) +
             " parameters");
  if (nobs != static_cast<int>(pr.y.size()))
    fail(path, lineno,
         std::to_string(pr.y.size()) + " observations, the header says " + std::to_string(nobs));
  if (nobs <= pr.p) fail(path, lineno, "fewer observations than parameters");
  if (!(pr.rss > 0.0)) fail(path, lineno, "no residual sum of squares");
  for (int which = 0; which < 2; ++which)
    for (double s : pr.start[which])
      if (s == 0.0) fail(path, lineno, "a start value of 0 gives no step limit");
  return pr;
}

// The error bar of every point: the certified residual standard deviation.
inline double point_sigma(const Problem& pr) {
  return std::sqrt(pr.rss / static_cast<double>(pr.y.size() - static_cast<std::size_t>(pr.p)));
}

// The step limit of a parameter, from its start value only (never 0).
inline double step_limit(double start) { return 0.1 * std::fabs(start); }
inline constexpr double kBound = 1e30;

// What LSQFIT left behind, and every pass as the monitor saw it.
struct Outcome {
  int IEXIT = 0;
  std::vector<double> b, err;  // fitted values and error estimates
  std::vector<Pass> passes;
};

namespace detail {

inline ModelFormula g_model = nullptr;
inline int g_npar = 0;

// The model hook: X(1) is the problem's x.
inline double model_hook(const Tables&, const ParamVector& PARAM, ModelWork&, const PointX& X) {
  double b[kMaxProblemPar + 1] = {};
  for (int i = 1; i <= g_npar; ++i) b[i] = PARAM(i);
  return g_model(b, X(1));
}

}  // namespace detail

// One fit from NIST start `which` (0 or 1) with the program's constants
// (MAXRED 1, NCALM 2, MAXITER 200, TOL 0.1, PRTFREQ 1).  t and fs are
// overwritten; LSQFIT sets up its own state on entry.
inline Outcome fit(const Problem& pr, int which, Tables& t, FitState& fs) {
  const int p = pr.p;
  const int n = static_cast<int>(pr.y.size());
  if (4 * n > kMaxValues) throw std::runtime_error(pr.name + ": too many observations");
  t.NPAR = p;
  t.NFIX = 0;
  for (int i = 1; i <= p; ++i) {
    const double s = pr.start[which][static_cast<std::size_t>(i - 1)];
    t.PARAM(i) = s;
    t.STEPLIM(i) = step_limit(s);
    t.PARMIN(i) = -kBound;
    t.PARMAX(i) = kBound;
  }
  const double sigma = point_sigma(pr);
  t.nvalues = 4;
  t.npoint = n;
  for (int k = 0; k < n; ++k) {
    const int at = 1 + 4 * k;
    t.POINTS(at) = pr.y[static_cast<std::size_t>(k)];
    t.POINTS(at + 1) = sigma;
    t.POINTS(at + 2) = pr.x[static_cast<std::size_t>(k)];
    t.POINTS(at + 3) = 1.0;
  }
  detail::g_model = pr.model;
  detail::g_npar = p;
  fs.model_override = detail::model_hook;
  fs.fast = nullptr;

  RecordingMonitor monitor(t, fs);
  Outcome out;
  out.IEXIT = run_fit(t, fs, monitor).IEXIT;
  out.passes = std::move(monitor.passes);
  for (int i = 1; i <= p; ++i) {
    out.b.push_back(t.PARAM(i));
    out.err.push_back(fs.PARERR(i));
  }
  return out;
}

}  // namespace tessaline::test::nist
