// Benchmarks of the minimizer on the shipped cases (bench/cases): one SGZ
// evaluation through the straightforward and the fast path side by side, one
// whole fit, and MCONV at three sizes.  The realistic case has the four channels
// on one common grid of angles; "disjoint" is the same film measured with every
// channel on a grid of its own, so that no two points share an angle; "tof" is
// the same film as a point list whose every point has its own resolution,
// sigma_theta / theta = 2.5 % as on a time-of-flight instrument.
//
//   bench_fit [--benchmark_filter=...]      (run from anywhere; the cases are
//                                            found through TESSALINE_BENCH_CASES
//                                            or the source tree)
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>

#include "bench/bench_cases.hpp"
#include "driver/driver.hpp"
#include "fit/fit.hpp"
#include "fit/parallel_sgz.hpp"

namespace tessaline {
namespace {

struct Case {
  const char* entry;
  const char* data;
};
const Case kRealistic = {"realistic.ent", "realistic.dat"};
const Case kDisjoint = {"realistic.ent", "realistic_disjoint.dat"};
const Case kLarge = {"large.ent", "large.dat"};
const Case kTof = {"realistic.ent", "tof.dat"};

// Tables of a case as the program prepares them: entry file, data file, no
// exclusion, collimation kernel.
std::unique_ptr<Tables> load_case(const Case& c) {
  auto t = make_tables();
  t->pi = kPi;
  textio::OutStream quiet;
  read_entry_file(*t, case_path(c.entry), quiet);
  read_data_file(*t, case_path(c.data), quiet);
  build_collimation(*t);
  return t;
}

class NullMonitor : public Monitor {
 public:
  void MONITO(double, int, int, int, double, double, double, double) override { ++passes; }
  int passes = 0;
};

void evaluate(benchmark::State& state, const Case& c, bool fast_path) {
  auto t = load_case(c);
  auto fs = make_fit_state();
  std::unique_ptr<ParallelSGZ> fast;
  if (fast_path) {
    fast = std::make_unique<ParallelSGZ>(*t);
    fs->fast = fast.get();
  }
  fs->NPARFIT = t->NPAR;
  int nfree = 0;
  for (int i = 1; i <= t->NPAR; ++i) nfree += t->STEPLIM(i) > 0.0;
  for (auto _ : state) {
    double S = 0;
    for (int i = 1; i <= t->NPAR; ++i) fs->G(i) = 0.0;
    for (long L = 1; L <= packed(nfree, nfree); ++L) fs->Z(L) = 0.0;
    SGZ(*t, *fs, t->NPAR, S);
    benchmark::DoNotOptimize(S);
  }
  state.counters["free"] = nfree;
  state.counters["points"] = t->npoint;
  state.counters["threads"] = fast ? fast->threads() : 1;
}

void fit(benchmark::State& state, const Case& c, bool fast_path) {
  for (auto _ : state) {
    state.PauseTiming();
    auto t = load_case(c);
    auto fs = make_fit_state();
    std::unique_ptr<ParallelSGZ> fast;
    if (fast_path) {
      fast = std::make_unique<ParallelSGZ>(*t);
      fs->fast = fast.get();
    }
    NullMonitor monitor;
    double S = 0, STEPERR = 0, STEPSCALE = 0;
    int IEXIT = 0;
    state.ResumeTiming();
    LSQFIT(*t, *fs, monitor, S, t->NPAR, 1, 2, 200, 0.1, STEPERR, STEPSCALE, 1, IEXIT);
    state.counters["passes"] = monitor.passes;
    state.counters["status"] = IEXIT;
  }
}

void BM_SGZ_Realistic_Reference(benchmark::State& s) { evaluate(s, kRealistic, false); }
void BM_SGZ_Realistic_Fast(benchmark::State& s) { evaluate(s, kRealistic, true); }
void BM_SGZ_Disjoint_Reference(benchmark::State& s) { evaluate(s, kDisjoint, false); }
void BM_SGZ_Disjoint_Fast(benchmark::State& s) { evaluate(s, kDisjoint, true); }
void BM_SGZ_Large_Reference(benchmark::State& s) { evaluate(s, kLarge, false); }
void BM_SGZ_Large_Fast(benchmark::State& s) { evaluate(s, kLarge, true); }
void BM_SGZ_Tof_Reference(benchmark::State& s) { evaluate(s, kTof, false); }
void BM_SGZ_Tof_Fast(benchmark::State& s) { evaluate(s, kTof, true); }
void BM_Fit_Realistic_Reference(benchmark::State& s) { fit(s, kRealistic, false); }
void BM_Fit_Realistic_Fast(benchmark::State& s) { fit(s, kRealistic, true); }
void BM_Fit_Disjoint_Fast(benchmark::State& s) { fit(s, kDisjoint, true); }
void BM_Fit_Large_Fast(benchmark::State& s) { fit(s, kLarge, true); }
void BM_Fit_Tof_Reference(benchmark::State& s) { fit(s, kTof, false); }
void BM_Fit_Tof_Fast(benchmark::State& s) { fit(s, kTof, true); }

BENCHMARK(BM_SGZ_Realistic_Reference)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SGZ_Realistic_Fast)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_SGZ_Disjoint_Reference)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SGZ_Disjoint_Fast)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_SGZ_Large_Reference)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_SGZ_Large_Fast)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SGZ_Tof_Reference)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SGZ_Tof_Fast)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_Fit_Realistic_Reference)->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK(BM_Fit_Realistic_Fast)->Unit(benchmark::kSecond)->Iterations(3);
BENCHMARK(BM_Fit_Disjoint_Fast)->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK(BM_Fit_Large_Fast)->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK(BM_Fit_Tof_Reference)->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK(BM_Fit_Tof_Fast)->Unit(benchmark::kSecond)->Iterations(3);

// MCONV on a random well-conditioned positive-definite matrix of order n.
void mconv_bench(benchmark::State& state, void (*inverse)(FitState&, int)) {
  const int n = static_cast<int>(state.range(0));
  auto fs = make_fit_state();
  auto A = std::make_unique<PackedMatrix>();
  std::mt19937_64 rng(42);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int i = 1; i <= n; ++i) {
    fs->WORKLIM(i) = 1.0;
    for (int j = 1; j < i; ++j) (*A)(static_cast<int>(packed(i, j))) = 0.1 * u(rng) / n;
    (*A)(static_cast<int>(packed(i, i))) = 1.0 + 0.5 * (u(rng) + 1.0);
  }
  for (auto _ : state) {
    state.PauseTiming();
    const long m = packed(n, n);
    for (long L = 1; L <= m; ++L) fs->Z(static_cast<int>(L)) = (*A)(static_cast<int>(L));
    for (int i = 1; i <= n; ++i) fs->FACTOR(i) = (*A)(static_cast<int>(packed(i, i)));
    fs->BADPAR = 0;
    state.ResumeTiming();
    inverse(*fs, n);
    benchmark::DoNotOptimize(fs->Z.data());
  }
  state.counters["designated"] = fs->BADPAR;
}
void BM_MCONV(benchmark::State& s) { mconv_bench(s, MCONV); }
void BM_MCONV_Reference(benchmark::State& s) { mconv_bench(s, mconv_reference); }
BENCHMARK(BM_MCONV)->Arg(200)->Arg(1000)->Arg(3017)->Unit(benchmark::kMillisecond)->Iterations(1);
// The element-by-element walk takes about 100 s at n = 3017 (bench/results).
BENCHMARK(BM_MCONV_Reference)->Arg(200)->Arg(1000)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
}  // namespace tessaline

BENCHMARK_MAIN();
