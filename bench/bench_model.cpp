// Cost of the model function for a 20-layer magnetic film with a 21-point
// collimation kernel: one FUNCT call against the cached evaluation of all four
// channels at one angle; the model values of the curve files as 800 FUNCT calls
// (200 angles in each of the four channels) against 200 evaluations of four
// channels; and the whole writing of the curve files.
#include <benchmark/benchmark.h>

#include <cmath>
#include <filesystem>
#include <memory>

#include "model/model.hpp"
#include "model/point_optics.hpp"
#include "report/report.hpp"
#include "tables/tables.hpp"
#include "textio/textio.hpp"

namespace {

using namespace tessaline;

// 20 layers: a cap, nine magnetic/non-magnetic bilayers and a buffer, all rough,
// on an absorbing-free substrate; tilted, non-ideal polarization and domains.
std::unique_ptr<Tables> twenty_layer_model() {
  auto t = make_tables();
  const int n = 20;
  t->pi = kPi;
  t->wavelength = 4.0;
  t->nlay = n;
  t->NPAR = 6 * n + 17;
  for (int i = 1; i <= t->NPAR; ++i) t->SCALE(i) = 1.0;
  for (int k = 1; k <= n; ++k)
    for (int i = 6 * k - 4; i <= 6 * k - 2; ++i) t->SCALE(i) = 1e6;
  for (int i = 6 * n + 1; i <= 6 * n + 3; ++i) t->SCALE(i) = 1e6;
  // Values below are in internal units: densities in 1e-6 A^-2.
  for (int k = 1; k <= n; ++k) {
    const bool magnetic = k % 2 == 0;
    t->PARAM(6 * k - 5) = k == 1 ? 20.0 : (magnetic ? 35.0 : 22.0);
    t->PARAM(6 * k - 4) = magnetic ? 8.0 : 3.5;
    t->PARAM(6 * k - 3) = magnetic ? 0.01 : 0.002;
    t->PARAM(6 * k - 2) = magnetic ? 4.5 : 0.0;
    t->PARAM(6 * k - 1) = 0.95;
    t->PARAM(6 * k) = 4.0;
  }
  const int s = 6 * n;
  t->PARAM(s + 1) = 2.07;  // substrate
  t->PARAM(s + 5) = 3.0;
  t->PARAM(s + 6) = 0.9;   // <Cos(gamma)>
  t->PARAM(s + 7) = 0.3;   // <Sin(gamma)>
  t->PARAM(s + 8) = 0.12;  // <Sin^2(gamma)>
  t->PARAM(s + 9) = 1.0;   // total scaling
  t->PARAM(s + 10) = 0.002;
  t->PARAM(s + 11) = 1e-6;
  const double pol[6] = {0.05, 0.97, 0.02, 0.03, 0.95, 0.04};
  for (int j = 0; j < 6; ++j) t->PARAM(s + 12 + j) = pol[j];
  // Gaussian kernel of 21 points, step 0.05 mrad, sigma 0.2 mrad.
  t->j0 = 21;
  double sum = 0;
  for (int j = 1; j <= t->j0; ++j) {
    t->coll_offset(j) = (j - 11) * 5e-5;
    t->coll_weight(j) = std::exp(-0.5 * std::pow(t->coll_offset(j) / 2e-4, 2));
    sum += t->coll_weight(j);
  }
  for (int j = 1; j <= t->j0; ++j) t->coll_weight(j) /= sum;
  return t;
}

void BM_FunctOnePoint(benchmark::State& state) {
  const auto t = twenty_layer_model();
  auto w = std::make_unique<ModelWork>();
  PointX X;
  X(1) = 0.012;
  X(2) = 1;
  for (auto _ : state) benchmark::DoNotOptimize(FUNCT(*t, *w, X));
}
BENCHMARK(BM_FunctOnePoint);

void BM_FourChannelsOneAngle(benchmark::State& state) {
  const auto t = twenty_layer_model();
  PointOptics optics;
  optics.prepare(*t);
  double f[4];
  for (auto _ : state) {
    optics.evaluate(*t, t->PARAM, 0.012, f);
    benchmark::DoNotOptimize(f);
  }
}
BENCHMARK(BM_FourChannelsOneAngle);

constexpr double kThetaLast = 0.04;

void BM_FunctCurveFiles(benchmark::State& state) {
  const auto t = twenty_layer_model();
  auto w = std::make_unique<ModelWork>();
  PointX X;
  for (auto _ : state) {
    for (int channel = 1; channel <= 4; ++channel) {
      X(2) = channel;
      for (int k = 1; k <= 200; ++k) {
        X(1) = k * (kThetaLast / 200);
        benchmark::DoNotOptimize(FUNCT(*t, *w, X));
      }
    }
  }
  state.SetItemsProcessed(state.iterations() * 800);
}
BENCHMARK(BM_FunctCurveFiles)->Unit(benchmark::kMillisecond);

void BM_FourChannelCurveValues(benchmark::State& state) {
  const auto t = twenty_layer_model();
  PointOptics optics;
  optics.prepare(*t);
  double f[4];
  for (auto _ : state) {
    for (int k = 1; k <= 200; ++k) {
      optics.evaluate(*t, t->PARAM, k * (kThetaLast / 200), f);
      benchmark::DoNotOptimize(f);
    }
  }
  state.SetItemsProcessed(state.iterations() * 800);
}
BENCHMARK(BM_FourChannelCurveValues)->Unit(benchmark::kMillisecond);

// The curve files are written into a scratch directory, made the working
// directory for the benchmark.
class InScratchDirectory {
 public:
  InScratchDirectory() : previous_(std::filesystem::current_path()) {
    dir_ = std::filesystem::temp_directory_path() / "tessaline-bench-curves";
    std::filesystem::create_directories(dir_);
    std::filesystem::current_path(dir_);
  }
  ~InScratchDirectory() {
    std::error_code ec;
    std::filesystem::current_path(previous_, ec);
    std::filesystem::remove_all(dir_, ec);
  }

 private:
  std::filesystem::path previous_, dir_;
};

void BM_WriteCurveFiles(benchmark::State& state) {
  auto t = twenty_layer_model();
  t->theta_last = kThetaLast;
  InScratchDirectory here;
  textio::OutStream console;  // never opened: the closing lines are dropped
  for (auto _ : state) write_curve_files(*t, console);
}
BENCHMARK(BM_WriteCurveFiles)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
