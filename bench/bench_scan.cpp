// A profile scan against the same fits made by hand: 41 grid points of the
// zero correction (-0.2 to 0.2 mrad) of the realistic case, fitted by
// tessaline-scan's library in-process on 1 and 2 threads (one fit per thread,
// each on one thread), and by 41 runs of the program, each with the entry file
// of one grid point and its fit on every hardware thread, as a user would
// script it.  The program's runs are checked against the scan: the
// hi_sq.norm of the last block of every results file must be the scan's, as
// the monitor prints it (counter "differ").  Counter "cpu_s": the processor
// seconds of the fits (the scan's threads, or the program's runs).
//
//   bench_scan [--benchmark_filter=...]   (the cases are found through
//                                          TESSALINE_BENCH_CASES or the source
//                                          tree; the program is the one built
//                                          beside it)
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_cases.hpp"
#include "driver/entry_update.hpp"
#include "report/readers.hpp"
#include "textio/output_files.hpp"
#include "textio/textio.hpp"
#include "tools/scan/fits.hpp"
#include "tools/scan/table.hpp"

namespace tessaline::scan {
namespace {

namespace fs = std::filesystem;

// Processor seconds used so far by this process (RUSAGE_SELF, every thread)
// or by its ended children (RUSAGE_CHILDREN): on a shared machine they move
// less with the load than the wall time does.
double cpu_seconds(int who) {
  rusage u{};
  getrusage(who, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         1e-6 * static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

Options zero_scan() {
  Options o;
  o.entry = case_path("realistic.ent");
  o.data = case_path("realistic.dat");
  Axis a;
  a.kind = AxisKind::kZero;
  a.first = -0.2;
  a.last = 0.2;
  a.n = 41;
  o.axes = {a};
  return o;
}

void BM_ZeroScan(benchmark::State& state) {
  const Options o = zero_scan();
  const Problem p = prepare_problem(o);
  RunControl c;
  c.threads = static_cast<int>(state.range(0));
  long fits = 0;
  const double cpu0 = cpu_seconds(RUSAGE_SELF);
  for (auto _ : state) {
    const ScanResult r = run_scan(p, o, c);
    fits = r.fits;
  }
  state.counters["fits"] = static_cast<double>(fits);
  state.counters["cpu_s"] = cpu_seconds(RUSAGE_SELF) - cpu0;
}
BENCHMARK(BM_ZeroScan)->Arg(1)->Arg(2)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void BM_ProgramRuns(benchmark::State& state) {
  const Options o = zero_scan();
  const Problem p = prepare_problem(o);
  // The scan's hi_sq.norm at every grid point, as the monitor prints it.
  RunControl c;
  c.threads = 2;
  const ScanTable table = make_table(p, o, run_scan(p, o, c));
  std::string dir = (fs::temp_directory_path() / "bench_scan.XXXXXX").string();
  if (mkdtemp(dir.data()) == nullptr) {
    state.SkipWithError("no temporary directory");
    return;
  }
  // The entry file of every grid point, written before the clock runs.
  for (int g = 0; g < p.grid.size(); ++g) {
    textio::replace_file(dir + "/zero" + std::to_string(g) + ".ent",
                         entry_with_setting(p, p.grid.setting(g), nullptr));
  }
  std::ofstream(dir + "/realistic.dat") << std::ifstream(o.data).rdbuf();
  int differ = 0;
  const double cpu0 = cpu_seconds(RUSAGE_CHILDREN);
  for (auto _ : state) {
    for (int g = 0; g < p.grid.size(); ++g) {
      const std::string cmd = "cd '" + dir + "' && printf 'zero" + std::to_string(g) +
                              ".ent\\nrealistic.dat\\n0\\n0\\n\\n' | '" + TESSALINE_EXE +
                              "' > console.txt";
      if (std::system(cmd.c_str()) != 0) {
        state.SkipWithError("the program failed");
        break;
      }
      state.PauseTiming();
      const ResultsFile results = read_results_file(dir + "/VreloBag.dat");
      const double chi = table.rows[static_cast<std::size_t>(g)].chi;
      if (results.last.chi_sq != parse_e_field(textio::fmt_E(chi, 9, 4))) ++differ;
      state.ResumeTiming();
    }
  }
  state.counters["runs"] = p.grid.size();
  state.counters["cpu_s"] = cpu_seconds(RUSAGE_CHILDREN) - cpu0;
  state.counters["differ"] = differ;
  std::error_code ec;
  fs::remove_all(dir, ec);
}
BENCHMARK(BM_ProgramRuns)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
}  // namespace tessaline::scan

BENCHMARK_MAIN();
