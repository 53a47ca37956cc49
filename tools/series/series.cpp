// Loading a series and building its joint parameter vector: see series.hpp.
#include "tools/series/series.hpp"

#include <algorithm>
#include <cstdio>

#include "model/model.hpp"

namespace tessaline::series {
namespace {

std::string number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

// Slot i of a set in the entry file's units.
std::string entry_value(const SeriesSet& s, double internal, int i) {
  return number(physical_to_entry(internal / s.t->SCALE(i), s.sources->slot(i).unit));
}

std::string mark(const Tables& t, int i) { return t.STEPLIM(i) > 0 ? "free" : "fixed"; }

std::string set_error(const Series& s, const SeriesSet& set, const std::string& what) {
  return at_line(s.file, set.line) + "set " + set.name + ": " + what;
}

void load_sets(Series& s, const SeriesDescription& d) {
  for (const SetLine& l : d.sets) {
    SeriesSet set;
    set.name = l.name;
    set.line = l.line;
    set.files = {l.entry, l.data, l.first, l.last};
    set.sources = std::make_unique<EntrySources>();
    try {
      set.t = load_problem(set.files, set.sources.get());
    } catch (const ProblemError& e) {
      throw SeriesError(set_error(s, set, e.what()));
    }
    s.sets.push_back(std::move(set));
  }
  const SeriesSet& first = s.sets.front();
  for (const SeriesSet& set : s.sets) {
    if (set.t->nlay != first.t->nlay) {
      throw SeriesError(set_error(
          s, set,
          "\"" + set.files.entry + "\" has " + std::to_string(set.t->nlay) + " layers, but \"" +
              first.files.entry + "\" of the first set " + first.name + " has " +
              std::to_string(first.t->nlay) + "; every set of a series has the same layers"));
    }
  }
}

// The share lines: shared[i], and the line that first names each slot.
std::vector<int> mark_shared(Series& s, const SeriesDescription& d) {
  const int npar = s.npar();
  s.shared.assign(static_cast<std::size_t>(npar) + 1, false);
  std::vector<int> line(static_cast<std::size_t>(npar) + 1, 0);
  for (const SharedParameter& p : d.shared) {
    if (p.parameter > npar) {
      throw SeriesError(at_line(s.file, p.line) + "there is no parameter " +
                        std::to_string(p.parameter) + ": the sets have " + std::to_string(npar) +
                        " parameters (" + std::to_string(s.sets.front().t->nlay) + " layers)");
    }
    const auto i = static_cast<std::size_t>(p.parameter);
    s.shared[i] = true;
    if (line[i] == 0) line[i] = p.line;
  }
  return line;
}

// The bound that applies to slot i of the set named `set`: its own, else the
// one for every set; null when there is none.
const BoundLine* bound_of(const SeriesDescription& d, const std::string& set, int i) {
  const BoundLine* all = nullptr;
  for (const BoundLine& b : d.bounds) {
    if (b.parameter != i) continue;
    if (b.set == set) return &b;
    if (b.set.empty()) all = &b;
  }
  return all;
}

void apply_bounds(Series& s, const SeriesDescription& d) {
  const int npar = s.npar();
  for (const BoundLine& b : d.bounds) {
    const std::string where = at_line(s.file, b.line);
    if (b.parameter > npar) {
      throw SeriesError(where + "there is no parameter " + std::to_string(b.parameter) +
                        ": the sets have " + std::to_string(npar) + " parameters");
    }
    if (!b.set.empty() && s.shared[static_cast<std::size_t>(b.parameter)]) {
      throw SeriesError(where + "parameter " + parameter_label(*s.sets.front().t, b.parameter) +
                        " is shared, so it has one bound for every set: write \"bound " +
                        std::to_string(b.parameter) + " LO HI\"");
    }
    bool free_somewhere = false;
    for (const SeriesSet& set : s.sets) {
      if (bound_of(d, set.name, b.parameter) == &b) {
        free_somewhere = free_somewhere || set.t->STEPLIM(b.parameter) > 0;
      }
    }
    if (!free_somewhere) {
      s.warnings.push_back(where + "parameter " + parameter_label(*s.sets.front().t, b.parameter) +
                           " is fixed wherever this bound applies; it has no effect");
    }
  }
  for (SeriesSet& set : s.sets) {
    Tables& t = *set.t;
    for (int i = 1; i <= npar; ++i) {
      const BoundLine* b = bound_of(d, set.name, i);
      if (b == nullptr) continue;
      // The conversion of the entry reader, so that a start value written as
      // the bound compares equal to it.
      const EntryUnit unit = set.sources->slot(i).unit;
      const double lo = std::max(t.PARMIN(i), entry_to_physical(b->lo, unit) * t.SCALE(i));
      const double hi = std::min(t.PARMAX(i), entry_to_physical(b->hi, unit) * t.SCALE(i));
      if (!(lo < hi)) {
        throw SeriesError(at_line(s.file, b->line) + "the bound " + number(b->lo) + " to " +
                          number(b->hi) + " of parameter " + parameter_label(t, i) +
                          " lies outside the program's bounds " + entry_value(set, t.PARMIN(i), i) +
                          " to " + entry_value(set, t.PARMAX(i), i));
      }
      t.PARMIN(i) = lo;
      t.PARMAX(i) = hi;
    }
  }
}

// Shared slots take the first set's value, mark, bounds and step limit.
void share(Series& s, const std::vector<int>& share_line) {
  const SeriesSet& first = s.sets.front();
  const Tables& a = *first.t;
  for (std::size_t k = 1; k < s.sets.size(); ++k) {
    SeriesSet& set = s.sets[k];
    Tables& b = *set.t;
    for (int i = 1; i <= s.npar(); ++i) {
      if (!s.shared[static_cast<std::size_t>(i)]) continue;
      const bool other_value = a.PARAM(i) != b.PARAM(i);
      const bool other_mark = (a.STEPLIM(i) > 0) != (b.STEPLIM(i) > 0);
      if (other_value || other_mark) {
        s.warnings.push_back(at_line(s.file, share_line[static_cast<std::size_t>(i)]) +
                             "parameter " + parameter_label(a, i) + " is shared, but set " +
                             set.name + " gives it " + entry_value(set, b.PARAM(i), i) + " (" +
                             mark(b, i) + ") in \"" + set.files.entry +
                             "\"; every set takes the first set's " +
                             entry_value(first, a.PARAM(i), i) + " (" + mark(a, i) + ")");
      }
      b.PARAM(i) = a.PARAM(i);
      b.STEPLIM(i) = a.STEPLIM(i);
      b.PARMIN(i) = a.PARMIN(i);
      b.PARMAX(i) = a.PARMAX(i);
    }
  }
  for (SeriesSet& set : s.sets) {
    Tables& t = *set.t;
    t.NFIX = 0;
    for (int i = 1; i <= t.NPAR; ++i) t.NFIX += t.STEPLIM(i) <= 0;
  }
}

void check_marks_and_starts(const Series& s, const SeriesDescription& d) {
  for (const SeriesSet& set : s.sets) {
    const Tables& t = *set.t;
    for (int j = 1; j <= t.nlay + 1; ++j) {
      const int np = density_slot(t.nlay, j) + 2;
      if (t.STEPLIM(np) > 0 && t.STEPLIM(np + 1) > 0) {
        const std::string medium = j <= t.nlay ? "layer " + std::to_string(j) : "the substrate";
        throw SeriesError(set_error(
            s, set,
            "N_p (parameter " + std::to_string(np) + ") and <cos(delta_gamma)> (parameter " +
                std::to_string(np + 1) + ") of " + medium +
                " would both be free once the shared one takes the first set's mark; the model "
                "uses only their product, so one of them must be fixed"));
      }
    }
    for (int i = 1; i <= t.NPAR; ++i) {
      const BoundLine* b = bound_of(d, set.name, i);
      if (b == nullptr || t.STEPLIM(i) <= 0) continue;
      if (t.PARAM(i) < t.PARMIN(i) || t.PARAM(i) > t.PARMAX(i)) {
        // A shared parameter has one bound for every set and the first set's
        // start value, so the first set is the one that meets it outside.
        throw SeriesError(
            at_line(s.file, b->line) + "the start value " + entry_value(set, t.PARAM(i), i) +
            " of parameter " + parameter_label(t, i) + " in \"" + set.files.entry + "\" (set " +
            set.name + ") lies outside the bounds " + entry_value(set, t.PARMIN(i), i) + " to " +
            entry_value(set, t.PARMAX(i), i));
      }
    }
  }
}

void build_joint(Series& s) {
  const int npar = s.npar();
  const Tables& first = *s.sets.front().t;
  int nshared = 0;
  for (int i = 1; i <= npar; ++i)
    nshared += s.shared[static_cast<std::size_t>(i)] && first.STEPLIM(i) > 0;
  int total = nshared;
  std::string counts = std::to_string(nshared) + " shared";
  for (const SeriesSet& set : s.sets) {
    int own = 0;
    for (int i = 1; i <= npar; ++i)
      own += !s.shared[static_cast<std::size_t>(i)] && set.t->STEPLIM(i) > 0;
    total += own;
    counts += ", " + std::to_string(own) + " of " + set.name;
  }
  if (total > kMaxPar) {
    throw SeriesError("series file \"" + s.file + "\": the joint fit would have " +
                      std::to_string(total) + " free parameters (" + counts + "), more than the " +
                      std::to_string(kMaxPar) +
                      " the minimizer holds; share more parameters or fix some");
  }

  s.joint = make_tables();
  Tables& J = *s.joint;
  J.pi = kPi;
  J.nlay = first.nlay;
  for (SeriesSet& set : s.sets) set.joint.assign(static_cast<std::size_t>(npar) + 1, 0);
  const auto add = [&](int owner, int i) {
    const Tables& t = *s.sets[static_cast<std::size_t>(owner < 0 ? 0 : owner)].t;
    const int j = static_cast<int>(s.slots.size()) + 1;
    J.PARAM(j) = t.PARAM(i);
    J.SCALE(j) = t.SCALE(i);
    J.STEPLIM(j) = t.STEPLIM(i);
    J.PARMIN(j) = t.PARMIN(i);
    J.PARMAX(j) = t.PARMAX(i);
    J.PARNAM(j) = t.PARNAM(i);
    s.slots.push_back({owner, i});
    for (std::size_t k = 0; k < s.sets.size(); ++k) {
      if (owner < 0 || static_cast<std::size_t>(owner) == k) {
        s.sets[k].joint[static_cast<std::size_t>(i)] = j;
        ++s.sets[k].nfree;
      }
    }
  };
  for (int i = 1; i <= npar; ++i) {
    if (s.shared[static_cast<std::size_t>(i)] && first.STEPLIM(i) > 0) add(-1, i);
  }
  s.nshared = nshared;
  for (std::size_t k = 0; k < s.sets.size(); ++k) {
    for (int i = 1; i <= npar; ++i) {
      if (!s.shared[static_cast<std::size_t>(i)] && s.sets[k].t->STEPLIM(i) > 0) {
        add(static_cast<int>(k), i);
      }
    }
  }
  J.NPAR = total;
  J.NFIX = 0;
}

}  // namespace

std::string parameter_label(const Tables& t, int i) {
  std::string where;
  if (i <= 6 * t.nlay) {
    where = "layer " + std::to_string((i - 1) / 6 + 1);
  } else if (i <= 6 * t.nlay + 5) {
    where = "substrate";
  }
  std::string label = std::to_string(i) + " (" + std::string(trimmed_name(t.PARNAM(i)));
  return label + (where.empty() ? ")" : ", " + where + ")");
}

int Series::npoint() const {
  int n = 0;
  for (const SeriesSet& set : sets) n += set.t->npoint;
  return n;
}

void Series::scatter(const ParamVector& PARAM) {
  for (SeriesSet& set : sets) {
    for (int i = 1; i <= set.t->NPAR; ++i) {
      const int j = set.joint[static_cast<std::size_t>(i)];
      if (j > 0) set.t->PARAM(i) = PARAM(j);
    }
  }
}

Series load_series(const SeriesDescription& d) {
  Series s;
  s.file = d.file;
  load_sets(s, d);
  const std::vector<int> share_line = mark_shared(s, d);
  apply_bounds(s, d);
  share(s, share_line);
  check_marks_and_starts(s, d);
  build_joint(s);
  return s;
}

}  // namespace tessaline::series
