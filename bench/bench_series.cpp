// The joint fit of a field series against the single fits of its sets, side
// by side in one run: one evaluation of S, G and Z of the joint fit against
// one of each single fit, and the whole joint fit against the three whole
// single fits, with the number of passes and of evaluations each took.  Two
// series: the realistic [Fe/Cr]x10 multilayer at three fields
// (cases/realistic_field.series; every set has the 42 free parameters of the
// single fit of realistic.ent, 31 of them shared: 64 in the joint fit over
// 3600 points), and the README's worked example, the examples' Au/Fe/Cr film
// at three fields (examples/field; 8 free per set, 4 shared: 16 over 1800).
//
//   bench_series [--benchmark_filter=...] [--benchmark_repetitions=N]
//   (the cases are found through TESSALINE_BENCH_CASES or the source tree)
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_cases.hpp"
#include "driver/problem.hpp"
#include "fit/parallel_sgz.hpp"
#include "tools/series/series.hpp"
#include "tools/series/series_sgz.hpp"

namespace tessaline {
namespace {

// A series and the files of the single fits of its sets.
struct Case {
  std::string series;
  std::vector<ProblemFiles> singles;
};

Case realistic() {
  Case c{case_path("realistic_field.series"), {}};
  for (const char* k : {"1", "2", "3"}) {
    c.singles.push_back({case_path(std::string("realistic_field") + k + ".ent"),
                         case_path(std::string("realistic_field") + k + ".dat")});
  }
  return c;
}

// The README's worked example: the examples' Au/Fe/Cr film at three fields.
Case film() {
  const std::string dir = std::string(TESSALINE_EXAMPLES_DIR) + "/field/";
  Case c{dir + "field.series", {}};
  for (const char* f : {"800mT", "50mT", "5mT"}) {
    c.singles.push_back({dir + "start.ent", dir + f + ".dat"});
  }
  return c;
}

series::Series load_series(const Case& c) {
  return series::load_series(series::read_series_file(c.series));
}

std::vector<std::unique_ptr<Tables>> load_singles(const Case& c) {
  std::vector<std::unique_ptr<Tables>> sets;
  for (const ProblemFiles& f : c.singles) sets.push_back(load_problem(f));
  return sets;
}

// One evaluation of S, G and Z of t, as LSQFIT's evaluate() clears and fills them.
void evaluate(Tables& t, FitState& fs) {
  int nfree = 0;
  for (int i = 1; i <= t.NPAR; ++i) {
    fs.G(i) = 0.0;
    nfree += t.STEPLIM(i) > 0.0;
  }
  for (long L = 1; L <= packed(nfree, nfree); ++L) fs.Z(static_cast<int>(L)) = 0.0;
  fs.NPARFIT = t.NPAR;
  double S = 0;
  SGZ(t, fs, t.NPAR, S);
  benchmark::DoNotOptimize(S);
}

// Counts the evaluations of S, G and Z that a whole fit makes (every trial
// point and every step reduction is one), handing each to `fast`.
class CountingSGZ : public FastSGZ {
 public:
  explicit CountingSGZ(FastSGZ& fast) : fast_(fast) {}
  void SGZ(Tables& t, FitState& fs, int NPAR, double& S) override {
    ++evaluations;
    fast_.SGZ(t, fs, NPAR, S);
  }
  int evaluations = 0;

 private:
  FastSGZ& fast_;
};

void sgz_joint(benchmark::State& state, const Case& c) {
  series::Series s = load_series(c);
  auto fs = make_fit_state();
  series::SeriesSGZ fast(s);
  fs->fast = &fast;
  for (auto _ : state) evaluate(*s.joint, *fs);
  state.counters["free"] = s.joint->NPAR;
  state.counters["points"] = s.npoint();
  state.counters["threads"] = fast.threads();
}

void sgz_singles(benchmark::State& state, const Case& c) {
  auto sets = load_singles(c);
  std::vector<std::unique_ptr<FitState>> fs;
  std::vector<std::unique_ptr<ParallelSGZ>> fast;
  for (auto& t : sets) {
    fs.push_back(make_fit_state());
    fast.push_back(std::make_unique<ParallelSGZ>(*t));
    fs.back()->fast = fast.back().get();
  }
  for (auto _ : state) {
    for (std::size_t k = 0; k < sets.size(); ++k) evaluate(*sets[k], *fs[k]);
  }
  state.counters["free"] = 3 * (sets[0]->NPAR - sets[0]->NFIX);
  state.counters["points"] = 3 * sets[0]->npoint;
}

void fit_joint(benchmark::State& state, const Case& c) {
  auto fs = make_fit_state();
  for (auto _ : state) {
    state.PauseTiming();
    series::Series s = load_series(c);
    SilentMonitor monitor;
    state.ResumeTiming();
    series::SeriesSGZ fast(s);
    CountingSGZ counting(fast);
    const FitResult r = run_program_fit(*s.joint, *fs, monitor, counting);
    state.counters["passes"] = monitor.passes;
    state.counters["evaluations"] = counting.evaluations;
    state.counters["status"] = r.IEXIT;
  }
}

void fit_singles(benchmark::State& state, const Case& c) {
  std::vector<std::unique_ptr<FitState>> fs;
  for (std::size_t k = 0; k < c.singles.size(); ++k) fs.push_back(make_fit_state());
  for (auto _ : state) {
    state.PauseTiming();
    auto sets = load_singles(c);
    state.ResumeTiming();
    int passes = 0, evaluations = 0;
    for (std::size_t k = 0; k < sets.size(); ++k) {
      SilentMonitor monitor;
      ParallelSGZ fast(*sets[k]);
      CountingSGZ counting(fast);
      const FitResult r = run_program_fit(*sets[k], *fs[k], monitor, counting);
      passes += monitor.passes;
      evaluations += counting.evaluations;
      state.counters["status" + std::to_string(k + 1)] = r.IEXIT;
      state.counters["passes" + std::to_string(k + 1)] = monitor.passes;
    }
    state.counters["passes"] = passes;
    state.counters["evaluations"] = evaluations;
  }
}

void BM_SGZ_Realistic_Joint(benchmark::State& s) { sgz_joint(s, realistic()); }
void BM_SGZ_Realistic_ThreeSingles(benchmark::State& s) { sgz_singles(s, realistic()); }
void BM_Fit_Realistic_Joint(benchmark::State& s) { fit_joint(s, realistic()); }
void BM_Fit_Realistic_ThreeSingles(benchmark::State& s) { fit_singles(s, realistic()); }
void BM_SGZ_Film_Joint(benchmark::State& s) { sgz_joint(s, film()); }
void BM_SGZ_Film_ThreeSingles(benchmark::State& s) { sgz_singles(s, film()); }
void BM_Fit_Film_Joint(benchmark::State& s) { fit_joint(s, film()); }
void BM_Fit_Film_ThreeSingles(benchmark::State& s) { fit_singles(s, film()); }

BENCHMARK(BM_SGZ_Realistic_Joint)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_SGZ_Realistic_ThreeSingles)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_Fit_Realistic_Joint)->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK(BM_Fit_Realistic_ThreeSingles)->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK(BM_SGZ_Film_Joint)->Unit(benchmark::kMillisecond)->Iterations(50);
BENCHMARK(BM_SGZ_Film_ThreeSingles)->Unit(benchmark::kMillisecond)->Iterations(50);
BENCHMARK(BM_Fit_Film_Joint)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_Fit_Film_ThreeSingles)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace
}  // namespace tessaline

BENCHMARK_MAIN();
