// Model evaluations per second for the sampler of the posterior: one
// chi-square of the realistic case (1200 points, 20 layers, 21 kernel points,
// 42 free parameters) through the sampler's evaluation (BatchOptics: AVX2 lanes
// and SLEEF) and through the reference path (PointOptics, FUNCT's values), the
// same for the shipped example, and whole blocks of ten generations of the 8
// chains of tessaline-posterior on 1 and 2 threads.
//
//   bench_posterior [--benchmark_filter=...]   (the cases are found through
//                                               TESSALINE_BENCH_CASES or the
//                                               source tree)
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "tools/posterior/sampler.hpp"

namespace {

using namespace tessaline;
using namespace tessaline::posterior;

std::string path(const std::string& relative) {
  const char* dir = std::getenv("TESSALINE_BENCH_CASES");
  return std::string(dir != nullptr ? dir : TESSALINE_BENCH_CASES_DIR) + "/" + relative;
}

ProblemInput realistic() {
  ProblemInput in;
  in.entry = path("realistic.ent");
  in.data = path("realistic.dat");
  return in;
}

ProblemInput example() {
  ProblemInput in;
  in.entry = path("../../examples/film.ent");
  in.data = path("../../examples/film.dat");
  return in;
}

void chi_square(benchmark::State& state, const ProblemInput& in, BatchOptics::Path path) {
  const Problem p = load(in);
  ChiSquare chi2(p, path);
  for (auto _ : state) benchmark::DoNotOptimize(chi2(p.start.data()));
  state.counters["evaluations"] = benchmark::Counter(1, benchmark::Counter::kIsIterationInvariantRate);
}

// Generations of the tool's sampler; evaluations per second of wall time.
void generations(benchmark::State& state, const ProblemInput& in) {
  const Problem p = load(in);
  const StartSpread spread = start_spread(p, 2);
  SamplerSettings s;
  s.chains = 8;
  s.burn = 0;
  s.kept = 10 * state.range(1);
  s.threads = static_cast<int>(state.range(0));
  long evaluations = 0;
  for (auto _ : state) evaluations += run_sampler(p, spread, s).evaluations;
  state.counters["evaluations"] =
      benchmark::Counter(static_cast<double>(evaluations), benchmark::Counter::kIsRate);
  state.counters["threads"] = static_cast<double>(s.threads);
}

void BM_ChiSquare_Realistic_Lanes(benchmark::State& s) {
  chi_square(s, realistic(), BatchOptics::Path::kFastest);
}
void BM_ChiSquare_Realistic_Reference(benchmark::State& s) {
  chi_square(s, realistic(), BatchOptics::Path::kReference);
}
void BM_ChiSquare_Example_Lanes(benchmark::State& s) {
  chi_square(s, example(), BatchOptics::Path::kFastest);
}
void BM_ChiSquare_Example_Reference(benchmark::State& s) {
  chi_square(s, example(), BatchOptics::Path::kReference);
}
void BM_Sampler_Realistic(benchmark::State& s) { generations(s, realistic()); }
void BM_Sampler_Example(benchmark::State& s) { generations(s, example()); }

}  // namespace

BENCHMARK(BM_ChiSquare_Realistic_Lanes)->Unit(benchmark::kMillisecond)->Repetitions(5);
BENCHMARK(BM_ChiSquare_Realistic_Reference)->Unit(benchmark::kMillisecond)->Repetitions(5);
BENCHMARK(BM_ChiSquare_Example_Lanes)->Unit(benchmark::kMicrosecond)->Repetitions(5);
BENCHMARK(BM_ChiSquare_Example_Reference)->Unit(benchmark::kMicrosecond)->Repetitions(5);
// threads, blocks of ten generations
BENCHMARK(BM_Sampler_Realistic)->Args({1, 20})->Args({2, 20})->Unit(benchmark::kSecond)->Iterations(1)->Repetitions(3)->UseRealTime();
BENCHMARK(BM_Sampler_Example)->Args({1, 100})->Args({2, 100})->Unit(benchmark::kSecond)->Iterations(1)->Repetitions(3)->UseRealTime();

BENCHMARK_MAIN();
