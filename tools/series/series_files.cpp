// The files of the series tool: see series_files.hpp.
#include "tools/series/series_files.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "driver/entry_update.hpp"
#include "report/readers.hpp"
#include "report/report.hpp"
#include "report/results_layout.hpp"
#include "textio/output_files.hpp"

namespace tessaline::series {
namespace {

using textio::Record;

// The files of one command, written under hidden names beside their final
// names (the final file name behind a tag of the process) and renamed into
// place together by commit(); whatever is not committed is removed.
class OutputStage {
 public:
  OutputStage() : tag_(".tessaline-series." + std::to_string(::getpid()) + ".") {}
  ~OutputStage() {
    for (std::size_t k = renamed_; k < names_.size(); ++k) std::remove(staged(names_[k]).c_str());
  }
  OutputStage(const OutputStage&) = delete;
  OutputStage& operator=(const OutputStage&) = delete;

  // The staged name of the file that is to be called `name`; removed if the
  // run is interrupted before the commit.
  std::string add(const std::string& name) {
    names_.push_back(name);
    guards_.push_back(std::make_unique<textio::RemoveOnSignal>(staged(name)));
    return staged(name);
  }
  // The prefix for a writer that names its files `prefix` + their own names;
  // each of those names is then given to add().  A directory in the prefix
  // is made when it does not exist.
  std::string prefix(const std::string& final_prefix) const {
    const std::size_t slash = final_prefix.rfind('/');
    if (slash == std::string::npos) return tag_ + final_prefix;
    const std::string dir = final_prefix.substr(0, slash);
    std::error_code ec;
    std::filesystem::create_directory(dir, ec);
    if (ec || !std::filesystem::is_directory(dir)) {
      throw textio::TextError("cannot make the directory \"" + dir + "\"" +
                              (ec ? ": " + ec.message() : ": a file of that name is in the way"));
    }
    return final_prefix.substr(0, slash + 1) + tag_ + final_prefix.substr(slash + 1);
  }

  void commit() {
    const textio::SignalsHeld held;  // every file renamed, or none interrupted halfway
    for (; renamed_ < names_.size(); ++renamed_) {
      const std::string& name = names_[renamed_];
      if (std::rename(staged(name).c_str(), name.c_str()) != 0) {
        throw textio::TextError("cannot rename \"" + staged(name) + "\" to \"" + name +
                                "\": " + std::strerror(errno));
      }
    }
  }
  const std::vector<std::string>& names() const { return names_; }

 private:
  std::string staged(const std::string& name) const {
    const std::size_t slash = name.rfind('/');
    return slash == std::string::npos ? tag_ + name
                                      : name.substr(0, slash + 1) + tag_ + name.substr(slash + 1);
  }

  std::string tag_;
  std::vector<std::string> names_;
  std::vector<std::unique_ptr<textio::RemoveOnSignal>> guards_;
  std::size_t renamed_ = 0;
};

std::string left(std::string s, std::size_t w) {
  if (s.size() < w) s.append(w - s.size(), ' ');
  return s;
}

std::string set_label(const Series& s, int j) {
  const JointSlot& js = s.slots[static_cast<std::size_t>(j - 1)];
  return js.set < 0 ? "shared" : s.sets[static_cast<std::size_t>(js.set)].name;
}

// The end of the series results file: the free parameters in the order of
// the matrices, those left out of them, and the correlation and covariance
// matrices in the units of the printed values.
void write_matrices(std::string& out, const Series& s, const Pass& last, const Covariance& cov) {
  const Tables& J = *s.joint;
  const auto put = [&out](const std::string& line) { out += line + "\n"; };
  std::size_t width = std::string("shared").size();
  for (const SeriesSet& set : s.sets) width = std::max(width, set.name.size());
  const auto parameter = [&](int j) {
    const JointSlot& js = s.slots[static_cast<std::size_t>(j - 1)];
    return left(set_label(s, j), width) + textio::fmt_I(js.slot, 5) + "  " +
           left(std::string(trimmed_name(J.PARNAM(j))), 17) +
           textio::fmt_E(last.PARAM[static_cast<std::size_t>(j - 1)] / J.SCALE(j), 14, 6);
  };
  put(" " + std::string(results_layout::kRuleLength, results_layout::kBlockRule));
  if (cov.index.empty()) {
    put(" No covariance matrix: the fit ended without a solve at a finite chi-square, or with "
        "no parameter free to move.");
    return;
  }
  put(" The free parameters at the end of the fit, in the order of the matrices below:");
  put("    n  " + left("set", width) + "    i  " + left("name", 17) +
      "         value         error");
  for (std::size_t a = 0; a < cov.index.size(); ++a) {
    const int j = cov.index[a];
    put(textio::fmt_I(static_cast<long>(a) + 1, 5) + "  " + parameter(j) +
        textio::fmt_E(last.PARERR[static_cast<std::size_t>(j - 1)] / J.SCALE(j), 14, 6));
  }
  bool heading = false;
  for (int j = 1; j <= J.NPAR; ++j) {
    if (std::find(cov.index.begin(), cov.index.end(), j) != cov.index.end()) continue;
    if (!heading) put(" Free, but not in the matrices (held on a bound or set aside):");
    heading = true;
    const double state = last.WORKLIM[static_cast<std::size_t>(j - 1)];
    put("       " + parameter(j) +
        (state < -1 ? std::string(results_layout::kInfiniteError)
                    : std::string(results_layout::kOnBound)));
  }
  const int n = static_cast<int>(cov.index.size());
  const auto scale = [&](int a) { return J.SCALE(cov.index[static_cast<std::size_t>(a - 1)]); };
  put(" Correlation matrix (row n: the correlations of parameter n with parameters 1 to n):");
  for (int a = 1; a <= n; ++a) {
    std::string row = textio::fmt_I(a, 5);
    for (int b = 1; b <= a; ++b) {
      row += textio::fmt_F(cov.at(a, b) / std::sqrt(cov.at(a, a) * cov.at(b, b)), 10, 6);
    }
    put(row);
  }
  put(" Covariance matrix (row n: the covariances of parameter n with parameters 1 to n, in the "
      "units of the values):");
  for (int a = 1; a <= n; ++a) {
    std::string row = textio::fmt_I(a, 5);
    for (int b = 1; b <= a; ++b) row += textio::fmt_E(cov.at(a, b) / (scale(a) * scale(b)), 14, 6);
    put(row);
  }
}

std::string series_results_text(const Series& s, const SeriesMonitor& monitor,
                                const Covariance& cov) {
  std::string out = Record().A("Tessaline series results:", 29).str() + "\n";
  for (const std::string& line : series_summary(s)) out += line + "\n";
  out += monitor.blocks();
  write_matrices(out, s, monitor.passes().back(), cov);
  out += std::string(results_layout::kRuleLength, results_layout::kClosingRule) + "\n";
  return out;
}

}  // namespace

std::vector<std::string> write_series_files(Series& s, const SeriesMonitor& monitor,
                                            const Covariance& cov, SetFiles layout) {
  OutputStage stage;
  textio::OutStream quiet;  // never opened: the program's console lines are not wanted
  auto state = std::make_unique<SetFitState>();
  for (std::size_t k = 0; k < s.sets.size(); ++k) {
    SeriesSet& set = s.sets[k];
    const std::string prefix = set_prefix(set.name, layout);
    for (int i = 1; i <= 5; ++i) stage.add(output_path(i, prefix));
    textio::OutStream results;
    write_results_head(results, *set.t, stage.prefix(prefix));
    IterationMonitor printer(*set.t, state->view(), quiet, results);
    for (const Pass& pass : monitor.passes()) {
      set_pass(set, pass, *state);
      printer.MONITO(pass.set_S[k], set.t->NPAR, pass.ITER, kProgramPRTFREQ, 0, 0, 0, 0);
    }
    write_closing_line(quiet, results);
    write_curve_files(*set.t, quiet, stage.prefix(prefix));
  }
  textio::replace_file(stage.add(std::string(kSeriesResults)),
                       series_results_text(s, monitor, cov));
  stage.commit();
  return stage.names();
}

std::vector<std::string> write_next_entries(const SeriesDescription& d, SetFiles layout) {
  std::vector<int> shared;
  for (const SharedParameter& p : d.shared) shared.push_back(p.parameter);
  OutputStage stage;
  std::vector<std::string> report;
  for (const SetLine& set : d.sets) {
    const std::string results_name = output_path(5, set_prefix(set.name, layout));
    const std::string next = set.name + "_next.ent";
    try {
      const std::string old_text = read_entry_bytes(set.entry);
      const ResultsFile results = read_results_file(results_name);
      const std::string note = unfinished_note(results, results_name);
      if (!note.empty()) report.push_back("warning: " + note);
      const EntryUpdate u =
          update_entry_text(old_text, set.entry, results.last, results_name, shared);
      textio::replace_file(stage.add(next), u.text);
      report.push_back(next + " written: " + std::to_string(u.replaced) + " values of \"" +
                       set.entry + "\" set to those of iteration " +
                       std::to_string(results.last.iteration) + " of " + results_name);
    } catch (const std::exception& e) {
      throw SeriesError(at_line(d.file, set.line) + "set " + set.name + ": " +
                        update_failure_message(e, set.entry, results_name));
    }
  }
  stage.commit();
  return report;
}

}  // namespace tessaline::series
