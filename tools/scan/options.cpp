// The command line of tessaline-scan and the grid of its settings: see scan.hpp.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "tools/scan/scan.hpp"

namespace tessaline::scan {

double Axis::value(int i) const {
  if (i == 0) return first;
  if (i == n - 1) return last;
  // A weighted mean of the ends rather than first + i * step, rounded to 15
  // significant digits: the grid -0.1:0.2:16 holds 0 and 0.08, as typed, not
  // 1.4e-17 and 0.08000000000000002.
  const double v = (first * (n - 1 - i) + last * i) / (n - 1);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.15g", v);
  return std::strtod(buf, nullptr);
}

std::string Axis::label() const {
  if (kind == AxisKind::kZero) return "zero correction [mrad]";
  if (kind == AxisKind::kSigma) return "collimation sigma [mrad]";
  return "parameter " + std::to_string(slot) + " (" + name + ")" +
         (unit.empty() ? std::string() : " [" + unit + "]");
}

std::string Axis::column() const {
  if (kind == AxisKind::kZero) return "zero[mrad]";
  if (kind == AxisKind::kSigma) return "sigma[mrad]";
  return value_column(slot, unit);
}

std::string value_column(int slot, std::string unit) {
  unit.erase(std::remove(unit.begin(), unit.end(), ' '), unit.end());
  return "p" + std::to_string(slot) + (unit.empty() ? std::string() : "[" + unit + "]");
}

int Grid::size() const {
  int s = 1;
  for (const Axis& a : axes) s *= a.n;
  return s;
}

std::vector<int> Grid::coords(int g) const {
  std::vector<int> c(axes.size());
  for (std::size_t k = axes.size(); k-- > 0;) {
    c[k] = g % axes[k].n;
    g /= axes[k].n;
  }
  return c;
}

int Grid::index(const std::vector<int>& coords) const {
  int g = 0;
  for (std::size_t k = 0; k < axes.size(); ++k) g = g * axes[k].n + coords[k];
  return g;
}

std::vector<double> Grid::setting(int g) const {
  const std::vector<int> c = coords(g);
  std::vector<double> v(axes.size());
  for (std::size_t k = 0; k < axes.size(); ++k) v[k] = axes[k].value(c[k]);
  return v;
}

namespace {

bool to_double(const std::string& s, double& v) {
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  v = std::strtod(s.c_str(), &end);
  return end == s.c_str() + s.size() && errno == 0 && std::isfinite(v);
}

// A whole decimal number from lo to hi.
long to_long(const std::string& s, const std::string& what, long lo, long hi) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(s.c_str(), &end, 10);
  if (s.empty() || end != s.c_str() + s.size() || errno != 0) {
    throw UsageError(what + ": \"" + s + "\" is not a whole number");
  }
  if (v < lo || v > hi) {
    throw UsageError(what + " must lie between " + std::to_string(lo) + " and " +
                     std::to_string(hi) + ", not " + s);
  }
  return v;
}

// A range A:B:N.
Axis parse_range(Axis a, const std::string& text, const std::string& option) {
  const std::string what = option + " " + text;
  const auto c1 = text.find(':');
  const auto c2 = c1 == std::string::npos ? c1 : text.find(':', c1 + 1);
  if (c2 == std::string::npos || text.find(':', c2 + 1) != std::string::npos) {
    throw UsageError(what + ": expected a range FIRST:LAST:N, for example 0:0.2:21");
  }
  const std::string first = text.substr(0, c1), last = text.substr(c1 + 1, c2 - c1 - 1),
                    n = text.substr(c2 + 1);
  if (!to_double(first, a.first)) throw UsageError(what + ": \"" + first + "\" is not a number");
  if (!to_double(last, a.last)) throw UsageError(what + ": \"" + last + "\" is not a number");
  if (!(a.first < a.last)) {
    throw UsageError(what + ": the first value must be below the last");
  }
  a.n = static_cast<int>(to_long(n, what + ": the number of values N", 2, kMaxAxisPoints));
  return a;
}

}  // namespace

std::string usage() {
  return "usage: tessaline-scan ENTRY DATA [--first N] [--last N] SCAN... [--starts N [--spread F]\n"
         "                      [--seed S]] [--follow] [--threads T] [--part I/N] [--out DIR]\n"
         "                      [--scaled] [--write-entry FILE]\n"
         "       tessaline-scan --merge TABLE... [--out DIR] [--scaled] [--write-entry FILE]\n"
         "SCAN, one or two of (a profile, or a map of two settings):\n"
         "  --zero A:B:N      the angle-zero correction, N values from A to B mrad\n"
         "  --sigma A:B:N     the collimation sigma in mrad; the kernel's step keeps the\n"
         "                    entry file's ratio of step to sigma\n"
         "  --param K A:B:N   parameter K (numbered as `tessaline-entry show` numbers them),\n"
         "                    held at each value (in the entry file's unit: A, 1e-6 A^-2,\n"
         "                    mrad) while the other free parameters are refitted\n"
         "  --starts N        N fits at every grid point (or alone, without a scan): the\n"
         "                    entry file's start and N-1 starts drawn uniformly within\n"
         "                    +/-F (--spread, default 0.25) of each free start value, clipped\n"
         "                    to its bounds, from the seed S (--seed, default 1)\n"
         "  --follow          refit every grid point from its best neighbour's result too,\n"
         "                    until no point improves (follows a valley)\n"
         "  --threads T       fits at the same time (default: every core); the results do\n"
         "                    not depend on it\n"
         "  --part I/N        fit only the I-th of N interleaved shares of the grid and write\n"
         "                    its table; join the tables with --merge\n"
         "  --out DIR         where the table, the report, the picture and the best fit's\n"
         "                    files go (default: scan)\n"
         "  --scaled          also the interval at delta(2S) = hi_sq.norm (errors scaled by\n"
         "                    the quality of the fit)\n"
         "  --write-entry FILE  the entry file with the best setting and the best fit's values\n";
}

Options parse_options(const std::vector<std::string>& args) {
  Options o;
  std::vector<std::string> files;
  bool merge = false;
  bool have_first = false, have_last = false, have_spread = false, have_seed = false;
  bool have_threads = false, have_part = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const auto value = [&](const std::string& what) -> const std::string& {
      if (i + 1 >= args.size()) throw UsageError(a + " needs " + what);
      return args[++i];
    };
    if (a == "-h" || a == "--help") {
      o.help = true;
    } else if (a == "--zero" || a == "--sigma") {
      Axis axis;
      axis.kind = a == "--zero" ? AxisKind::kZero : AxisKind::kSigma;
      o.axes.push_back(parse_range(axis, value("a range FIRST:LAST:N"), a));
    } else if (a == "--param") {
      Axis axis;
      axis.kind = AxisKind::kParam;
      const std::string& k = value("a parameter number and a range FIRST:LAST:N");
      axis.slot = static_cast<int>(to_long(k, "--param: the parameter number", 1, 1 << 20));
      o.axes.push_back(parse_range(axis, value("a range FIRST:LAST:N after the parameter number"),
                                   "--param " + k));
    } else if (a == "--first" || a == "--last") {
      const int n = static_cast<int>(to_long(value("a count"), a, 0, 1000000));
      (a == "--first" ? o.first : o.last) = n;
      (a == "--first" ? have_first : have_last) = true;
    } else if (a == "--starts") {
      o.starts = static_cast<int>(to_long(value("a count"), "--starts", 1, 1000000));
    } else if (a == "--spread") {
      const std::string& f = value("a fraction");
      if (!to_double(f, o.spread) || !(o.spread > 0) || o.spread > 100) {
        throw UsageError("--spread: \"" + f + "\" is not a number above 0 (and at most 100)");
      }
      have_spread = true;
    } else if (a == "--seed") {
      const std::string& s = value("a whole number");
      char* end = nullptr;
      errno = 0;
      o.seed = std::strtoull(s.c_str(), &end, 10);
      if (s.empty() || s[0] == '-' || end != s.c_str() + s.size() || errno != 0) {
        throw UsageError("--seed: \"" + s + "\" is not a whole number from 0 to 2^64 - 1");
      }
      have_seed = true;
    } else if (a == "--follow") {
      o.follow = true;
    } else if (a == "--threads") {
      o.threads = static_cast<int>(to_long(value("a count"), "--threads", 1, 4096));
      have_threads = true;
    } else if (a == "--part") {
      const std::string& p = value("I/N");
      const auto slash = p.find('/');
      if (slash == std::string::npos) throw UsageError("--part: \"" + p + "\" is not I/N");
      o.part.count = static_cast<int>(to_long(p.substr(slash + 1), "--part N", 1, 1000000));
      o.part.index = static_cast<int>(to_long(p.substr(0, slash), "--part I", 1, o.part.count));
      have_part = true;
    } else if (a == "--out") {
      o.out = value("a directory");
      if (o.out.empty()) throw UsageError("--out needs a directory name");
    } else if (a == "--merge") {
      merge = true;
    } else if (a == "--scaled") {
      o.scaled = true;
    } else if (a == "--write-entry") {
      o.write_entry = value("a file name");
      if (o.write_entry->empty()) throw UsageError("--write-entry needs a file name");
    } else if (a.size() > 1 && a[0] == '-') {
      throw UsageError("unknown option " + a);
    } else {
      files.push_back(a);
    }
  }
  if (o.help) return o;

  if (merge) {
    if (!o.axes.empty() || o.starts || o.follow || have_first || have_last || have_spread ||
        have_seed || have_threads || have_part) {
      throw UsageError(
          "--merge takes tables only: the scan, the starts, the exclusions and the threads are "
          "those of the tables");
    }
    if (files.empty()) throw UsageError("--merge needs at least one table");
    o.merge = files;
    return o;
  }

  if (files.size() != 2) {
    throw UsageError(files.size() < 2 ? "an entry file and a data file are needed"
                                      : "more than an entry file and a data file: " + files[2]);
  }
  o.entry = files[0];
  o.data = files[1];
  for (const std::string* name : {&o.entry, &o.data}) {
    if (name->find_first_of("\r\n") != std::string::npos) {
      throw UsageError("a file name with a line break cannot be recorded in the table");
    }
  }
  if (o.axes.size() > 2) {
    throw UsageError("at most two scans at a time (a map); " + std::to_string(o.axes.size()) +
                     " given");
  }
  if (o.axes.size() == 2) {
    const Axis& x = o.axes[0];
    const Axis& y = o.axes[1];
    if (x.kind == y.kind && (x.kind != AxisKind::kParam || x.slot == y.slot)) {
      throw UsageError("the same setting is scanned twice");
    }
  }
  if (o.axes.empty() && !o.starts) {
    throw UsageError("nothing to do: give a scan (--zero, --sigma, --param) or --starts");
  }
  if ((have_spread || have_seed) && !o.starts) {
    throw UsageError("--spread and --seed go with --starts");
  }
  if (o.follow && o.axes.empty()) throw UsageError("--follow needs a scan");
  if (have_part) {
    if (o.axes.empty()) throw UsageError("--part shares the points of a scan; there is no scan");
    if (o.follow) {
      throw UsageError("--follow needs the neighbours of every grid point; it cannot run in parts");
    }
    if (o.write_entry) {
      throw UsageError("--write-entry needs the whole grid; give it to --merge");
    }
  }
  long points = 1;
  for (const Axis& a : o.axes) points *= a.n;
  if (o.part.count > points) {
    throw UsageError("--part: " + std::to_string(o.part.count) + " shares of " +
                     std::to_string(points) + " grid points");
  }
  const long share = (points + o.part.count - 1) / o.part.count;
  if (share * o.start_count() > kMaxFits) {
    throw UsageError(std::to_string(share * o.start_count()) +
                     " fits in one run, more than " + std::to_string(kMaxFits) +
                     ": split the grid with --part I/N");
  }
  return o;
}

}  // namespace tessaline::scan
