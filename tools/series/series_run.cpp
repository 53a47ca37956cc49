// The commands of tessaline-series: see series_run.hpp.
#include "tools/series/series_run.hpp"

#include <cmath>
#include <cstdio>

#include "driver/problem.hpp"
#include "report/results_layout.hpp"
#include "textio/output_files.hpp"
#include "tools/series/series.hpp"
#include "tools/series/series_files.hpp"
#include "tools/series/series_report.hpp"
#include "tools/series/series_sgz.hpp"

namespace tessaline::series {
namespace {

int refused(textio::OutStream& console, const std::string& message) {
  console.flush();
  std::fprintf(stderr, "tessaline-series: %s\n", message.c_str());
  std::fflush(stderr);
  return kSeriesFailed;
}

// No file the run writes may be one it reads.
void check_files(const SeriesDescription& d, SetFiles layout, bool update) {
  std::vector<textio::NamedFile> inputs{{d.file, "series file"}}, outputs;
  for (const SetLine& set : d.sets) {
    const std::string p = set_prefix(set.name, layout);
    inputs.push_back({set.entry, "entry file of set " + set.name});
    if (update) {
      inputs.push_back({output_path(5, p), "results file of set " + set.name});
      outputs.push_back({set.name + "_next.ent", "next entry file of set " + set.name});
    } else {
      inputs.push_back({set.data, "data file of set " + set.name});
      outputs.push_back({output_path(5, p), "results file of set " + set.name});
      for (int i = 1; i <= 4; ++i)
        outputs.push_back({output_path(i, p), "model-curve file of set " + set.name});
    }
  }
  if (!update) outputs.push_back({std::string(kSeriesResults), "series results file"});
  textio::check_outputs(inputs, outputs);
}

int fit(const std::string& name, int threads, SetFiles layout, textio::OutStream& console) {
  const SeriesDescription d = read_series_file(name);
  check_files(d, layout, false);
  Series s = load_series(d);
  for (const std::string& line : series_summary(s)) console.write(line);
  for (const std::string& w : s.warnings) console.write("Warning: " + w);

  auto fs = make_fit_state();
  SeriesSGZ fast(s, threads);
  SeriesMonitor monitor(s, *fs, fast, console);
  const FitResult r = run_program_fit(*s.joint, *fs, monitor, fast);
  // A fit ends after a solve whenever its last evaluation gave a finite S.
  const Covariance cov = end_covariance(*s.joint, *fs, std::isfinite(fast.last_S()));
  write_series_files(s, monitor, cov, layout);

  console.write(std::string(results_layout::kRuleLength, results_layout::kClosingRule));
  console.write("Series results and matrices: " + std::string(kSeriesResults));
  for (const SeriesSet& set : s.sets) {
    const std::string p = set_prefix(set.name, layout);
    console.write("Set " + set.name + ": " + output_path(5, p) + "; curves " + output_path(1, p) +
                  " " + output_path(2, p) + " " + output_path(3, p) + " " + output_path(4, p));
  }
  console.flush();
  // As the program: the files are written, but a start without a finite
  // chi-square is not a success.
  return std::isfinite(r.S) ? kSeriesDone : kSeriesFailed;
}

}  // namespace

int run_series(const std::string& name, int threads, SetFiles layout, textio::OutStream& console) {
  try {
    return fit(name, threads, layout, console);
  } catch (const SeriesError& e) {
    return refused(console, e.what());
  } catch (const textio::TextError& e) {
    return refused(console, e.what());
  } catch (const RunStop& e) {
    return refused(console, e.what());
  }
}

int run_update(const std::string& name, SetFiles layout, textio::OutStream& console) {
  try {
    const SeriesDescription d = read_series_file(name);
    check_files(d, layout, true);
    for (const std::string& line : write_next_entries(d, layout)) console.write(line);
    console.flush();
    return kSeriesDone;
  } catch (const SeriesError& e) {
    return refused(console, e.what());
  } catch (const textio::TextError& e) {
    return refused(console, e.what());
  }
}

}  // namespace tessaline::series
