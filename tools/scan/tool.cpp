// The run of tessaline-scan: see tool.hpp.
#include "tools/scan/tool.hpp"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "driver/entry_update.hpp"
#include "tools/scan/analysis.hpp"
#include "tools/scan/fits.hpp"
#include "tools/scan/output.hpp"
#include "tools/scan/report.hpp"
#include "tools/scan/table.hpp"

namespace tessaline::scan {
namespace {

void say(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void warn(const std::string& text) {
  std::fprintf(stderr, "tessaline-scan: warning: %s\n", text.c_str());
}

// The progress line, once a run has taken a few seconds: on a terminal one
// line rewritten in place, elsewhere a line every half minute.
class Progress {
 public:
  void operator()(long done, long total, int pass, double seconds) {
    if (seconds < kAfter) return;
    if (!tty_ && shown_ && seconds - last_ < kEvery) return;
    char line[160];
    const double left = done > 0 ? seconds * (total - done) / done : 0;
    std::snprintf(line, sizeof line, "tessaline-scan: %ld of %ld %s, %.0f s%s", done, total,
                  pass == 0 ? "fits" : ("refits of pass " + std::to_string(pass)).c_str(), seconds,
                  done > 0 && done < total && left >= 1
                      ? (", about " + std::to_string(static_cast<long>(left + 0.5)) + " s to go")
                            .c_str()
                      : "");
    if (tty_) {
      std::fprintf(stderr, "\r%-78s", line);
    } else {
      std::fprintf(stderr, "%s\n", line);
    }
    std::fflush(stderr);
    shown_ = true;
    last_ = seconds;
  }
  void finish() const {
    if (tty_ && shown_) std::fputc('\n', stderr);
  }

 private:
  static constexpr double kAfter = 3.0;
  static constexpr double kEvery = 30.0;
  bool tty_ = ::isatty(2) != 0;
  bool shown_ = false;
  double last_ = 0;
};

const TableRow* row_of(const ScanTable& t, int g) {
  for (const TableRow& r : t.rows)
    if (r.grid == g) return &r;
  return nullptr;
}

// Report, picture, best fit and entry file of a table.  `p` is the problem of
// the table when its files could be read; `result` the run's fits when the
// table comes from this run.
int finish(const Options& o, const ScanTable& table, const Problem* p,
           const ScanResult* result) {
  const Analysis a = analyse(table, o.scaled);
  std::string report = report_text(table, a);
  if (result != nullptr && p != nullptr && table.head.axes.empty() && o.start_count() > 1 &&
      result->points[0].done) {
    report += "\n" + minima_text(*p, result->points[0], o.start_count());
  }
  say("\n" + report);
  write_text_file(o.out + "/" + kReportFile, report);
  int status = 0;

  if (has_picture(table, a)) {
    try {
      const PictureJob job = picture_job(table, a);
      draw_picture(o.out, job);
      say("Picture: " + o.out + "/" + job.picture + "\n");
    } catch (const ScanError& e) {
      warn(std::string("no picture: ") + e.what());
    }
  }

  const TableRow* best = row_of(table, a.best);
  if (best == nullptr) {
    if (o.write_entry) {
      std::fprintf(stderr, "tessaline-scan: %s is not written: no grid point has a chi-square\n",
                   o.write_entry->c_str());
      status = kExitFailure;
    }
    return status;
  }
  if (p == nullptr) {
    if (o.write_entry) status = kExitFailure;
    return status;
  }

  // The best fit once more, with the program's monitor writing its files.
  std::vector<double> start;
  if (result != nullptr) {
    start = result->points[static_cast<std::size_t>(a.best)].best.start_values;
  } else if (best->start >= 1) {
    start = start_values(*p, a.best, best->start, table.head.spread, table.head.seed);
  } else {
    start = best->values;  // a neighbour's result: the table holds the fit's end instead
  }
  const FitRecord again = write_best_fit(*p, a.best, best->start, start, o.out);
  if (!(again.S == best->S)) {
    warn("the best fit made again ended at S = " + std::to_string(again.S) + ", not " +
         std::to_string(best->S) + " as in the table" +
         (result == nullptr && best->start == 0 ? " (it started from the table's values)" : ""));
  }
  say("The best fit's results and curve files, and the entry file of that setting: " + o.out +
      "/" + kBestDir + "/\n");

  if (o.write_entry) {
    // Six significant digits, as the results file gives the fitted values and
    // `tessaline-entry update` writes them.
    const auto six = [](std::vector<double> v) {
      for (double& x : v) {
        char text[40];
        std::snprintf(text, sizeof text, "%.6g", x);
        x = std::strtod(text, nullptr);
      }
      return v;
    };
    const std::vector<double> setting = six(best_setting(table, a));
    const std::vector<double> values = six(best->values);
    write_text_file(*o.write_entry, entry_with_setting(*p, setting, &values));
    std::string what;
    for (std::size_t k = 0; k < setting.size(); ++k) {
      what += (k == 0 ? "" : ", ") + table.head.axes[k].label() + " " + shortest_number(setting[k]);
    }
    say(*o.write_entry + " written" + (what.empty() ? "" : ": " + what) +
        ", with the best fit's values as start values\n");
  }
  return status;
}

int scan(const Options& o, const std::atomic<int>* stop) {
  check_names({{o.entry, "entry file"}, {o.data, "data file"}}, o.out, o.part, o.write_entry);
  const Problem p = prepare_problem(o);
  prepare_output_dir(o.out);
  if (o.write_entry) check_output_file(*o.write_entry);
  for (const Axis& a : p.grid.axes) {
    if (a.kind != AxisKind::kParam) continue;
    const Tables& t = *p.base;
    const double lo = p.to_entry(a.slot, t.PARMIN(a.slot));
    const double hi = p.to_entry(a.slot, t.PARMAX(a.slot));
    if (a.first < lo || a.last > hi) {
      warn("--param " + std::to_string(a.slot) + ": the range leaves the bounds within which a fit "
           "would hold the value; the grid points outside them are fitted all the same");
    }
  }

  const int G = p.grid.size();
  long points = 0;
  for (int g = 0; g < G; ++g) points += o.part.holds(g) ? 1 : 0;
  const int threads = o.threads > 0 ? o.threads : static_cast<int>(std::thread::hardware_concurrency());
  char head[240];
  std::snprintf(head, sizeof head, "tessaline-scan: %ld grid point%s%s, %d start%s each: %ld fits of %zu free parameters on up to %d thread%s\n",
                points, points == 1 ? "" : "s",
                o.part.whole() ? "" : (" (share " + std::to_string(o.part.index) + "/" + std::to_string(o.part.count) + ")").c_str(),
                o.start_count(), o.start_count() == 1 ? "" : "s", points * o.start_count(),
                p.free.size(), threads, threads == 1 ? "" : "s");
  say(head);

  Progress progress;
  RunControl control;
  control.threads = o.threads;
  control.stop = stop;
  control.progress = [&progress](long done, long total, int pass, double seconds) {
    progress(done, total, pass, seconds);
  };
  const ScanResult result = run_scan(p, o, control);
  progress.finish();

  const ScanTable table = make_table(p, o, result);
  const std::string table_path = o.out + "/" + table_file(o.part);
  write_text_file(table_path, table_text(table));
  char done[200];
  std::snprintf(done, sizeof done, "tessaline-scan: %ld fits in %.1f s%s; table: %s\n",
                result.fits, result.seconds,
                result.passes > 0 ? (", " + std::to_string(result.passes) + " passes of --follow").c_str() : "",
                table_path.c_str());
  say(done);

  if (result.stopped_by != 0) {
    say("tessaline-scan: " + table.incomplete + "; the table is marked incomplete\n");
    const Analysis a = analyse(table, o.scaled);
    const std::string report = report_text(table, a);
    write_text_file(o.out + "/" + kReportFile, report);
    say("\n" + report);
    return 128 + result.stopped_by;
  }
  if (!o.part.whole()) {
    say("tessaline-scan: join the tables of every share with tessaline-scan --merge\n");
    return 0;
  }
  return finish(o, table, &p, &result);
}

int merge(const Options& o) {
  std::vector<textio::NamedFile> inputs;
  for (const std::string& name : o.merge) inputs.push_back({name, "scan table"});
  check_names(inputs, o.out, Share{}, o.write_entry);
  std::vector<ScanTable> tables;
  for (const std::string& name : o.merge) tables.push_back(read_table(name));
  const ScanTable table = merge_tables(tables, o.merge);
  inputs.push_back({table.head.entry, "entry file"});
  inputs.push_back({table.head.data, "data file"});
  check_names(inputs, o.out, Share{}, o.write_entry);
  prepare_output_dir(o.out);
  if (o.write_entry) check_output_file(*o.write_entry);
  const std::string table_path = o.out + "/" + table_file(Share{});
  write_text_file(table_path, table_text(table));
  say("tessaline-scan: " + std::to_string(tables.size()) + " table" +
      (tables.size() == 1 ? "" : "s") + " joined: " + std::to_string(table.rows.size()) + " of " +
      std::to_string(table.head.grid().size()) + " grid points; table: " + table_path + "\n");

  // The problem of the tables, for the best fit's files and the entry file.
  std::unique_ptr<Problem> p;
  Options from;
  from.entry = table.head.entry;
  from.data = table.head.data;
  from.first = table.head.first;
  from.last = table.head.last;
  from.axes = table.head.axes;
  try {
    p = std::make_unique<Problem>(prepare_problem(from));
    if (p->free.size() != table.head.free.size()) {
      throw ScanError(from.entry + " no longer frees the parameters of the table");
    }
  } catch (const ScanError& e) {
    p.reset();
    warn(std::string("the best fit's files are not written: ") + e.what());
    if (o.write_entry) {
      std::fprintf(stderr, "tessaline-scan: %s is not written: the entry file of the table cannot be used\n",
                   o.write_entry->c_str());
    }
  }
  const int status = finish(o, table, p.get(), nullptr);
  if (!table.complete()) {
    std::fprintf(stderr, "tessaline-scan: the tables do not make the whole grid: %s\n",
                 table.incomplete.c_str());
    return kExitFailure;
  }
  return status;
}

}  // namespace

int run_tool(const Options& o, const std::atomic<int>* stop) {
  try {
    return o.merge.empty() ? scan(o, stop) : merge(o);
  } catch (const ScanError& e) {
    std::fprintf(stderr, "tessaline-scan: %s\n", e.what());
    return kExitFailure;
  }
}

}  // namespace tessaline::scan
