// The fast evaluation of S, G and Z against the straightforward one: the same
// bits (memcmp) for every kind of free parameter, at bounds, with one kernel
// point and with the largest kernel, for any number of threads, whichever
// channels share which angles; and a whole fit that passes through the same
// numbers at every iteration.
#include "fit/parallel_sgz.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "fit/fit.hpp"
#include "fit_test_support.hpp"

namespace tessaline {
namespace {

using test::add_point;
using test::film_tables;
using test::set_phys;

// Angle of point p = 0..nn-1 of channel ch = 1..4.
using AngleLayout = double (*)(int ch, int p, int nn);

// nn angles from 0.2 to 30.2 mrad, the same for every channel.
double common_grid(int, int p, int nn) { return 0.0002 + 0.03 * p / (nn - 1); }

// A rough, absorbing, magnetic multilayer with tilted polarization, a domain
// averaged magnetization axis, illumination, background and a zero shift; a
// Gaussian kernel of j0 points; nn angles per channel starting low enough that
// some kernel points fall below the zero angle.  Every parameter is free.
std::unique_ptr<Tables> general_case(int nlay, int j0, int nn, AngleLayout angle = common_grid) {
  auto t = film_tables(nlay);
  Tables& T = *t;
  for (int k = 1; k <= nlay; ++k) {
    const bool fe = k % 2 == 1;
    set_phys(T, 6 * k - 5, (fe ? 35.0 : 12.0) + 0.5 * k);
    set_phys(T, 6 * k - 4, fe ? 8.0e-6 : 3.0e-6);
    set_phys(T, 6 * k - 3, 0.01e-6 * (k % 3));
    set_phys(T, 6 * k - 2, fe ? 4.5e-6 : 0.0);
    set_phys(T, 6 * k - 1, 0.9);
    set_phys(T, 6 * k, 2.0 + k % 4);
  }
  const int n = 6 * nlay;
  set_phys(T, n + 1, 2.07e-6);
  set_phys(T, n + 2, 0.001e-6);
  set_phys(T, n + 3, 0.2e-6);
  set_phys(T, n + 4, 0.6);
  set_phys(T, n + 5, 4.0);
  set_phys(T, n + 6, 0.7);
  set_phys(T, n + 7, 0.6);
  set_phys(T, n + 8, 0.4);
  set_phys(T, n + 9, 0.3);
  set_phys(T, n + 10, 0.003);
  set_phys(T, n + 11, 1e-6);
  const double P[6] = {0.1, 0.95, -0.2, -0.12, 0.93, 0.25};
  for (int j = 0; j < 6; ++j) set_phys(T, n + 12 + j, P[j]);
  T.zero_correction = 0.0002;
  T.j0 = j0;
  double sum = 0;
  for (int j = 1; j <= j0; ++j) {
    T.coll_offset(j) = (j - j0 / 2 - 1) * 0.00005;
    T.coll_weight(j) = std::exp(-0.5 * std::pow(T.coll_offset(j) / 0.00012, 2));
    sum += T.coll_weight(j);
  }
  for (int j = 1; j <= j0; ++j) T.coll_weight(j) /= sum;

  ModelWork w;
  PointX X;
  for (int ch = 1; ch <= 4; ++ch)
    for (int p = 0; p < nn; ++p) {
      X(1) = angle(ch, p, nn);
      X(2) = ch;
      const double y = FUNCT(T, w, X);
      const double sigma = 0.05 * std::fabs(y) + 1e-7;
      add_point(T, y * (1.0 + 0.03 * std::sin(7.0 * p + ch)), sigma, X(1), X(2));
    }
  T.nn = nn;
  return t;
}

void keep_free_only(Tables& T, const std::vector<int>& free) {
  for (int i = 1; i <= T.NPAR; ++i) {
    bool is_free = false;
    for (int k : free) is_free = is_free || k == i;
    if (!is_free) test::fix(T, i);
  }
}

void expect_fast_equals_reference(Tables& T) {
  const test::Sums ref = test::evaluate_sgz(T, nullptr);
  ASSERT_TRUE(std::isfinite(ref.S));
  for (int threads : {1, 2, 7}) {
    SCOPED_TRACE(threads);
    ParallelSGZ fast(T, threads);
    test::expect_same_bits(test::evaluate_sgz(T, &fast), ref);
  }
}

TEST(ParallelSGZ, BareSubstrateEverySlotFree) {
  auto t = general_case(0, 5, 12);
  expect_fast_equals_reference(*t);
}

TEST(ParallelSGZ, OneLayerWithTheLargestKernel) {
  auto t = general_case(1, 101, 6);
  expect_fast_equals_reference(*t);
}

TEST(ParallelSGZ, OneKernelPoint) {
  auto t = general_case(3, 1, 20);
  expect_fast_equals_reference(*t);
}

// The channels on four different grids; on a mix where some angles are shared
// by two or three channels only; and with repeated angles inside a channel.
double four_grids(int ch, int p, int nn) { return common_grid(ch, p, nn) + 1.7e-5 * (ch - 1); }
double mixed_grids(int ch, int p, int nn) {
  const bool shared[4] = {true, p % 2 == 0, p % 3 == 0, p >= nn / 2};
  return common_grid(ch, p, nn) + (shared[ch - 1] ? 0.0 : 1.3e-5 * ch);
}
double repeated_angles(int ch, int p, int nn) {
  // UU and DD hold each angle twice in a row, UD three times, DU once.
  const int q = ch <= 2 ? p / 2 * 2 : (ch == 3 ? p / 3 * 3 : p);
  return common_grid(ch, q, nn);
}

TEST(ParallelSGZ, AnySharingOfAnglesBetweenAndWithinChannels) {
  for (AngleLayout layout : {four_grids, mixed_grids, repeated_angles}) {
    for (int j0 : {1, 101}) {
      auto t = general_case(2, j0, 7, layout);
      SCOPED_TRACE(j0);
      expect_fast_equals_reference(*t);
    }
  }
}

// Sixty layers; free: parameters of the first, a middle and the last layer, the
// substrate, and every global group.
TEST(ParallelSGZ, SixtyLayersFreeAtTopMiddleBottomSubstrateAndGlobals) {
  auto t = general_case(60, 3, 5);
  Tables& T = *t;
  const int n = 360;
  std::vector<int> free = {1,          2,      3,          4,          6,          6 * 30 - 5,
                           6 * 30 - 2, 6 * 30, 6 * 60 - 5, 6 * 60 - 4, 6 * 60 - 1, 6 * 60};
  for (int g = 1; g <= 17; ++g) free.push_back(n + g);
  keep_free_only(T, free);
  expect_fast_equals_reference(T);
}

// Parameters on their bounds and in narrow intervals, where the difference step
// turns: "<Cos(delta_gamma" at its upper bound 1, "Re{Nb}" at its upper bound,
// a roughness at 0, an interval narrower than the step on both sides (farther
// bound below, farther bound above, and a tie).
TEST(ParallelSGZ, ParametersOnBoundsTurnTheStepTheSameWay) {
  auto t = general_case(4, 7, 10);
  Tables& T = *t;
  T.PARAM(5) = T.PARMAX(5);
  T.PARAM(8) = T.PARMAX(8);
  T.PARAM(12) = 0.0;
  T.PARMIN(7) = T.PARAM(7) - 1e-9;  // thickness of layer 2: more room below
  T.PARMAX(7) = T.PARAM(7) + 1e-10;
  T.PARMIN(13) = T.PARAM(13) - 1e-10;  // layer 3: more room above
  T.PARMAX(13) = T.PARAM(13) + 1e-9;
  T.PARMIN(19) = T.PARAM(19) - 1e-9;  // layer 4: a tie
  T.PARMAX(19) = T.PARAM(19) + 1e-9;
  expect_fast_equals_reference(T);
}

// A whole fit through both evaluations: the same numbers at every iteration,
// and the same final tables.
TEST(ParallelSGZ, WholeFitPassesThroughTheSameNumbers) {
  auto ref_t = general_case(3, 7, 30);
  auto fast_t = general_case(3, 7, 30);
  const std::vector<int> free = {1, 4, 6, 7, 10, 13, 19, 22, 24, 27, 28, 29};
  keep_free_only(*ref_t, free);
  keep_free_only(*fast_t, free);
  for (Tables* T : {ref_t.get(), fast_t.get()}) {
    T->PARAM(1) *= 1.04;
    T->PARAM(7) *= 0.97;
    T->PARAM(27) *= 1.1;
  }
  auto ref_fs = make_fit_state();
  auto fast_fs = make_fit_state();
  ParallelSGZ fast(*fast_t, 2);
  fast_fs->fast = &fast;
  test::RecordingMonitor ref_mon(*ref_t, *ref_fs), fast_mon(*fast_t, *fast_fs);
  const auto r1 = test::run_fit(*ref_t, *ref_fs, ref_mon);
  const auto r2 = test::run_fit(*fast_t, *fast_fs, fast_mon);
  EXPECT_EQ(r1.IEXIT, r2.IEXIT);
  ASSERT_EQ(ref_mon.passes.size(), fast_mon.passes.size());
  ASSERT_GT(ref_mon.passes.size(), 2u);
  auto same = [](const auto& a, const auto& b) { return std::memcmp(&a, &b, sizeof a) == 0; };
  for (std::size_t k = 0; k < ref_mon.passes.size(); ++k) {
    const test::Pass& a = ref_mon.passes[k];
    const test::Pass& b = fast_mon.passes[k];
    SCOPED_TRACE(k);
    EXPECT_TRUE(same(a.S, b.S) && same(a.SPRED, b.SPRED) && same(a.STEPERR, b.STEPERR) &&
                same(a.STEPSCALE, b.STEPSCALE) && same(a.LIMTREND, b.LIMTREND) &&
                same(a.FITSTAT, b.FITSTAT) && a.ITER == b.ITER);
    EXPECT_TRUE(same(a.PARAM, b.PARAM) && same(a.WORKLIM, b.WORKLIM) &&
                same(a.STEPLIM, b.STEPLIM) && same(a.PARERR, b.PARERR));
  }
  const std::size_t bytes = static_cast<std::size_t>(ref_t->NPAR) * sizeof(double);
  EXPECT_EQ(std::memcmp(ref_t->PARAM.data(), fast_t->PARAM.data(), bytes), 0);
  EXPECT_EQ(std::memcmp(ref_fs->PARERR.data(), fast_fs->PARERR.data(), bytes), 0);
  EXPECT_EQ(std::memcmp(ref_fs->FACTOR.data(), fast_fs->FACTOR.data(), bytes), 0);
  EXPECT_EQ(std::memcmp(ref_t->STEPLIM.data(), fast_t->STEPLIM.data(), bytes), 0);
}

TEST(ParallelSGZ, BadChannelCodeStopsTheRun) {
  auto t = general_case(1, 3, 4);
  t->POINTS(4 * 5 + 4) = 5.0;  // point 6
  ParallelSGZ fast(*t, 2);
  auto fs = make_fit_state();
  fs->fast = &fast;
  double S = 0;
  EXPECT_THROW(SGZ(*t, *fs, t->NPAR, S), RunStop);
}

}  // namespace
}  // namespace tessaline
