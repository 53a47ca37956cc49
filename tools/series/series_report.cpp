// The console of a joint fit and the covariance at its end: see
// series_report.hpp.
#include "tools/series/series_report.hpp"

#include <cmath>

#include "driver/problem.hpp"
#include "report/results_layout.hpp"

namespace tessaline::series {
namespace {

using textio::Record;

// The slots marked in `marked` (index 1..) as a list of numbers and ranges.
std::string ranges(const std::vector<bool>& marked) {
  std::string out;
  const int n = static_cast<int>(marked.size()) - 1;
  for (int i = 1; i <= n; ++i) {
    if (!marked[static_cast<std::size_t>(i)]) continue;
    int j = i;
    while (j < n && marked[static_cast<std::size_t>(j) + 1]) ++j;
    if (!out.empty()) out += ' ';
    out += std::to_string(i) + (j > i ? "-" + std::to_string(j) : "");
    i = j;
  }
  return out;
}

std::string points_of(const Tables& t) {
  std::string s = std::to_string(t.npoint) + " points (";
  for (int c = 1; c <= kChannels; ++c) {
    s += std::string(kChannelNames[static_cast<std::size_t>(c - 1)]) + " " +
         std::to_string(t.channel_points(c)) + (c < kChannels ? ", " : ")");
  }
  return s;
}

}  // namespace

std::vector<std::string> series_summary(const Series& s) {
  std::vector<std::string> lines;
  const Tables& first = *s.sets.front().t;
  lines.push_back("Series \"" + s.file + "\": " + std::to_string(s.sets.size()) +
                  (s.sets.size() == 1 ? " set of " : " sets of ") + std::to_string(first.nlay) +
                  " layers, " + std::to_string(first.NPAR) + " parameters each");
  for (const SeriesSet& set : s.sets) {
    lines.push_back("  set " + set.name + ": entry \"" + set.files.entry + "\", data \"" +
                    set.files.data + "\", " + points_of(*set.t));
    if (set.files.first > 0 || set.files.last > 0) {
      lines.push_back("    the first " + std::to_string(set.files.first) + " and the last " +
                      std::to_string(set.files.last) + " points of every channel are excluded");
    }
  }
  std::vector<bool> free_shared(s.shared.size(), false), fixed_shared(s.shared.size(), false);
  for (std::size_t i = 1; i < s.shared.size(); ++i) {
    free_shared[i] = s.shared[i] && first.STEPLIM(static_cast<int>(i)) > 0;
    fixed_shared[i] = s.shared[i] && first.STEPLIM(static_cast<int>(i)) <= 0;
  }
  if (s.nshared == 0 && ranges(fixed_shared).empty()) {
    lines.push_back("Shared: none; every parameter belongs to its own set");
  } else {
    lines.push_back("Shared, free: " + (s.nshared > 0 ? ranges(free_shared) : "none"));
    if (!ranges(fixed_shared).empty()) {
      lines.push_back("Shared, fixed at the first set's values: " + ranges(fixed_shared));
    }
  }
  std::string counts = "Free parameters: " + std::to_string(s.nshared) + " shared";
  for (const SeriesSet& set : s.sets) {
    counts += ", " + std::to_string(set.nfree - s.nshared) + " of " + set.name;
  }
  const int nj = s.joint->NPAR;
  counts += "; " + std::to_string(nj) + " in the joint fit, " + std::to_string(s.npoint()) +
            " points, " + std::to_string(s.npoint() - nj) + " degrees of freedom";
  lines.push_back(counts);
  return lines;
}

void set_pass(SeriesSet& set, const Pass& pass, SetFitState& state) {
  Tables& t = *set.t;
  for (int i = 1; i <= t.NPAR; ++i) {
    const int j = set.joint[static_cast<std::size_t>(i)];
    if (j > 0) {
      const std::size_t at = static_cast<std::size_t>(j - 1);
      t.PARAM(i) = pass.PARAM[at];
      state.WORKLIM(i) = pass.WORKLIM[at];
      state.PARERR(i) = pass.PARERR[at];
      state.FACTOR(i) = pass.FACTOR[at];
    } else {
      state.WORKLIM(i) = 0.0;
      state.PARERR(i) = 0.0;
      state.FACTOR(i) = 0.0;
    }
  }
  state.FITSTAT = pass.FITSTAT;
}

SeriesMonitor::SeriesMonitor(Series& s, FitState& fs, const SeriesSGZ& sgz,
                             textio::OutStream& console)
    : s_(s), fs_(fs), sgz_(sgz), console_(console), states_(s.sets.size()) {}

void SeriesMonitor::line(const Record& r) { line(r.str()); }

void SeriesMonitor::line(std::string_view text) {
  console_.write(text);
  blocks_.append(text);
  blocks_ += '\n';
}

void SeriesMonitor::MONITO(double S, int NPAR, int ITER, int /*PRTFREQ*/, double /*SPRED*/,
                           double /*STEPERR*/, double /*STEPSCALE*/, double /*LIMTREND*/) {
  const Tables& J = *s_.joint;
  Pass pass;
  pass.ITER = ITER;
  pass.S = S;
  pass.FITSTAT = fs_.FITSTAT;
  // The sets' parts of S are those of the last evaluation, unless the fit went
  // back to the last accepted point after trial points without a finite S.
  const bool went_back = !std::isfinite(sgz_.last_S()) && std::isfinite(S) && !passes_.empty();
  pass.set_S = went_back ? passes_.back().set_S : sgz_.set_S();
  const auto copy = [NPAR](const ParamVector& v) {
    return std::vector<double>(v.data(), v.data() + NPAR);
  };
  pass.PARAM = copy(J.PARAM);
  pass.WORKLIM = copy(fs_.WORKLIM);
  pass.PARERR = copy(fs_.PARERR);
  pass.FACTOR = copy(fs_.FACTOR);
  for (std::size_t k = 0; k < s_.sets.size(); ++k) set_pass(s_.sets[k], pass, states_[k]);

  line(" " + std::string(results_layout::kRuleLength, results_layout::kBlockRule));
  line(block_title_record(ITER));
  if (s_.nshared > 0) line("    shared");
  for (int j = 1; j <= s_.nshared; ++j) {
    line(parameter_record(*s_.sets.front().t, states_.front().view(),
                          s_.slots[static_cast<std::size_t>(j - 1)].slot));
  }
  for (std::size_t k = 0; k < s_.sets.size(); ++k) {
    const SeriesSet& set = s_.sets[k];
    bool heading = false;
    for (int j = s_.nshared + 1; j <= NPAR; ++j) {
      const JointSlot& js = s_.slots[static_cast<std::size_t>(j - 1)];
      if (js.set != static_cast<int>(k)) continue;
      if (!heading) line("    set " + set.name);
      heading = true;
      line(parameter_record(*set.t, states_[k].view(), js.slot));
    }
  }
  line(chi_square_record(S, s_.npoint() - NPAR)
           .A("  series: " + std::to_string(s_.npoint()) + " points, " + std::to_string(NPAR) +
              " free"));
  for (std::size_t k = 0; k < s_.sets.size(); ++k) {
    const SeriesSet& set = s_.sets[k];
    line(chi_square_record(pass.set_S[k], set.t->npoint - set.nfree)
             .A("  set " + set.name + ": " + std::to_string(set.t->npoint) + " points, " +
                std::to_string(set.nfree) + " free"));
  }
  const std::string_view failure = end_status_message(fs_.FITSTAT);
  if (!failure.empty()) line(" " + std::string(failure));
  passes_.push_back(std::move(pass));
}

void SeriesMonitor::nonfinite_start(int /*point*/) {
  // The joint tables hold no points: each set is searched in its own tables,
  // which hold the start values.
  textio::OutStream quiet;  // never opened
  bool named = false;
  for (std::size_t k = 0; k < s_.sets.size(); ++k) {
    SeriesSet& set = s_.sets[k];
    const int point = first_nonfinite_point(*set.t, fs_);
    if (point == 0) continue;
    console_.write("Set " + set.name + ":");
    IterationMonitor(*set.t, states_[k].view(), console_, quiet).nonfinite_start(point);
    named = true;
  }
  if (!named) {
    IterationMonitor(*s_.sets.front().t, states_.front().view(), console_, quiet)
        .nonfinite_start(0);
  }
}

Covariance end_covariance(const Tables& t, const FitState& fs, bool solved) {
  Covariance c;
  if (!solved) return c;
  for (int i = 1; i <= t.NPAR; ++i) {
    if (fs.WORKLIM(i) > 0.0) c.index.push_back(i);
  }
  const long n = static_cast<long>(c.index.size());
  c.matrix.assign(fs.Z.data(), fs.Z.data() + packed(n, n));
  return c;
}

}  // namespace tessaline::series
