// LSQFIT: acceptance of trial points, step reduction, bounds (hold and
// set-aside), step-limit growth, singular matrices, end statuses and model
// values that are not finite.  Most cases use small linear models, given
// through the model hook, whose steps and statuses can be derived by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "fit/fit.hpp"
#include "fit_test_support.hpp"

namespace tessaline {
namespace {

using test::add_point;
using test::Pass;
using test::RecordingMonitor;
using test::run_fit;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Linear model f(p) = sum_i PARAM(i) * B(p, i); the point number p travels in
// X(1).  With every parameter 0 the displaced values give exact derivatives.
struct Basis {
  int npar = 0;
  double B[16][8] = {};
};
Basis g_basis;
long g_calls = 0;
long g_finite_calls = 0;  // model calls before the model breaks down (nan_after)
int g_nan_point = 0;      // point with a non-finite model value (nan_at_point)

double linear(const Tables&, const ParamVector& PARAM, ModelWork&, const PointX& X) {
  ++g_calls;
  const int p = static_cast<int>(X(1));
  double f = 0.0;
  for (int i = 1; i <= g_basis.npar; ++i) f += PARAM(i) * g_basis.B[p][i];
  return f;
}
double nan_after(const Tables& t, const ParamVector& P, ModelWork& w, const PointX& X) {
  const double f = linear(t, P, w, X);
  return g_calls > g_finite_calls ? kNaN : f;
}
double nan_above_five(const Tables& t, const ParamVector& P, ModelWork& w, const PointX& X) {
  const double f = linear(t, P, w, X);
  return P(1) > 5.0 ? kNaN : f;
}
double nan_at_point(const Tables& t, const ParamVector& P, ModelWork& w, const PointX& X) {
  const double f = linear(t, P, w, X);
  return static_cast<int>(X(1)) == g_nan_point ? kNaN : f;
}
double absolute(const Tables&, const ParamVector& PARAM, ModelWork&, const PointX&) {
  ++g_calls;
  return std::fabs(PARAM(1));
}

// Two pairs (a2 with a3, a4 with a5) whose first member starts on its lower
// bound 0 and a1 as a clock: point 1 is f = a1 with y = 10, and a1, with step
// limit 1, passes 0, 1, 2, 3, 4, 8, 10 (its limit grows from pass 3 on).
// Points 2-5 are f = a2 + a3 + h1, f = a3, f = a4 + a5 + h2, f = a5 with
// y = 0, 0.1, 0, 0.2, where the offsets switch with the clock: h1 = 0 while
// a1 < 0.5, then -0.2; h2 = 0 while a1 < 3.5, then -0.4.  From a3 = a5 = -0.1
// the gradients of a2 and a4 stay negative, so neither is held, while their
// Newton steps, a2* = -h1 - 0.1 and a4* = -h2 - 0.2, point out of the bounds
// until the offsets switch and inward after.  Point 6 is f = a6, and f = 0
// once a1 > 9: then a6 cannot be determined.  The model is piecewise linear
// and the switches lie far from every displaced a1, so derivatives are exact.
double switching(const Tables&, const ParamVector& P, ModelWork&, const PointX& X) {
  const double a1 = P(1);
  switch (static_cast<int>(X(1))) {
    case 1:
      return a1;
    case 2:
      return P(2) + P(3) + (a1 < 0.5 ? 0.0 : -0.2);
    case 3:
      return P(3);
    case 4:
      return P(4) + P(5) + (a1 < 3.5 ? 0.0 : -0.4);
    case 5:
      return P(5);
    default:
      return a1 > 9.0 ? 0.0 : P(6);
  }
}

class Lsqfit : public ::testing::Test {
 protected:
  void SetUp() override {
    g_basis = Basis{};
    g_calls = 0;
    t_ = make_tables();
    fs_ = make_fit_state();
    fs_->model_override = linear;
    mon_ = std::make_unique<RecordingMonitor>(*t_, *fs_);
  }
  // npar parameters, all free with step limit `step` and bounds +-1000.
  void parameters(int npar, double step) {
    g_basis.npar = npar;
    t_->NPAR = npar;
    for (int i = 1; i <= npar; ++i) {
      t_->PARAM(i) = 0.0;
      t_->STEPLIM(i) = step;
      t_->PARMIN(i) = -1000.0;
      t_->PARMAX(i) = 1000.0;
    }
  }
  // Point p (from 1) with basis row b, measured y, error sigma.
  void point(std::initializer_list<double> b, double y, double sigma = 1.0) {
    const int p = t_->npoint + 1;
    int i = 1;
    for (double v : b) g_basis.B[p][i++] = v;
    add_point(*t_, y, sigma, p, 1.0);
  }
  const std::vector<Pass>& passes() const { return mon_->passes; }

  Tables& t() { return *t_; }
  FitState& fs() { return *fs_; }
  RecordingMonitor& mon() { return *mon_; }

 private:
  std::unique_ptr<Tables> t_;
  std::unique_ptr<FitState> fs_;
  std::unique_ptr<RecordingMonitor> mon_;
};

TEST(TrialAcceptance, ParabolaTestWithSprevHundredAndSpredMinusTen) {
  double RED = 0;
  // RED = 2(95 - 100 + 10) = 10; -10 + 5.9 < 0.
  EXPECT_TRUE(trial_accepted(95.0, 100.0, -10.0, 1e-34, RED));
  // RED = 18; -10 + 10.62 >= 0: shrink by 10/18.
  EXPECT_FALSE(trial_accepted(99.0, 100.0, -10.0, 1e-34, RED));
  EXPECT_DOUBLE_EQ(RED, 10.0 / 18.0);
  // RED = 60; 10/60 is below the floor 0.25.
  EXPECT_FALSE(trial_accepted(120.0, 100.0, -10.0, 1e-34, RED));
  EXPECT_EQ(RED, 0.25);
  // On the boundary the test is strict: S = 91 gives RED = 100 and
  // -59 + 0.59*100 = 0 (0.59*100 rounds to 59), a rejection by 0.59.
  EXPECT_FALSE(trial_accepted(91.0, 100.0, -59.0, 1e-34, RED));
  EXPECT_DOUBLE_EQ(RED, 0.59);
}

TEST(TrialAcceptance, NilPredictionAndNilChangeIsAccepted) {
  double RED = 0;
  EXPECT_TRUE(trial_accepted(100.0, 100.0, -1e-40, 1e-34, RED));
  EXPECT_TRUE(trial_accepted(100.0 + 1e-35, 100.0, 0.0, 1e-34, RED));
  // A nil prediction with a real rise of S is not.
  EXPECT_FALSE(trial_accepted(101.0, 100.0, 0.0, 1e-34, RED));
}

TEST(TrialAcceptance, ObjectiveNotFiniteIsRejectedWithTheSmallestFactor) {
  for (double S :
       {kNaN, std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()}) {
    double RED = 0;
    EXPECT_FALSE(trial_accepted(S, 100.0, -10.0, 1e-34, RED)) << S;
    EXPECT_EQ(RED, 0.25) << S;
  }
}

TEST_F(Lsqfit, NoFreeParameterMakesOnePassWithStatusOne) {
  parameters(2, 0.0);
  t().PARAM(1) = 0.5;
  point({1, 0}, 1.0);
  point({1, 1}, 2.0);
  point({1, 2}, 3.0);
  const auto r = run_fit(t(), fs(), mon());
  EXPECT_EQ(r.IEXIT, 1);
  ASSERT_EQ(passes().size(), 1u);
  EXPECT_EQ(passes()[0].ITER, 0);
  EXPECT_EQ(passes()[0].FITSTAT, 1.0);
  EXPECT_EQ(r.STEPERR, 0.0);
  EXPECT_EQ(r.STEPSCALE, 1.0);
  EXPECT_EQ(g_calls, 3);  // once per point, no derivatives
  EXPECT_EQ(t().PARAM(1), 0.5);
  EXPECT_EQ(r.S, (0.25 + 2.25 + 6.25) / 2);
}

// f = a1 + a2 x at x = -2..2 (orthogonal columns), data of a1 = -1, a2 = 2;
// a1 is bounded below by 0.1 and starts at 0.7.  The first Newton step
// (-1.7, 2) is scaled by 0.6/1.7 so that a1 lands exactly on 0.1 (in floating
// point 0.7 - 1.7 * (0.6/1.7) is 0.09999999999999998); there the gradient of
// a1 is 5.5 > 0, so a1 is held while a2 goes on to 2.
TEST_F(Lsqfit, ParameterStoppedOnItsBoundIsHeld) {
  parameters(2, 10.0);
  t().PARMIN(1) = 0.1;
  t().PARAM(1) = 0.7;
  for (int x = -2; x <= 2; ++x) point({1, double(x)}, -1.0 + 2.0 * x);
  const auto r = run_fit(t(), fs(), mon());
  EXPECT_EQ(r.IEXIT, 1);
  ASSERT_EQ(passes().size(), 3u);
  EXPECT_NEAR(passes()[0].STEPSCALE, 0.6 / 1.7, 1e-12);
  EXPECT_GT(passes()[0].WORKLIM[1], 0.0);
  for (int k = 1; k <= 2; ++k) {
    EXPECT_EQ(passes()[k].PARAM[1], 0.1) << k;  // exactly on the bound
    EXPECT_EQ(passes()[k].WORKLIM[1], 0.0) << k;
    EXPECT_GT(passes()[k].WORKLIM[2], 0.0) << k;
  }
  EXPECT_NEAR(passes()[1].PARAM[2], 2.0 * 0.6 / 1.7, 1e-12);
  EXPECT_EQ(t().PARAM(1), 0.1);
  EXPECT_NEAR(t().PARAM(2), 2.0, 1e-9);
}

// f = -a1 - a3, -a2 - a3, -a3 at three points with data (-2, 0, -3): from 0,
// with a1, a2 bounded below by 0, G = (-2, 0, -5) (neither held) and the
// Newton step (-1, -3, 3) with errors sqrt(2) for both.  Both point out of
// the bounds; a2, by 3/sqrt(2) against 1/sqrt(2), is set aside.  Solved again
// without it, a1 steps inward by +0.5.  The fit ends at a1 = 0.5, a3 = 1.5
// with a2 held on its bound.
TEST_F(Lsqfit, SetAsideTakesTheLargestStepPerError) {
  parameters(3, 1.0);
  t().PARMIN(1) = 0.0;
  t().PARMIN(2) = 0.0;
  point({-1, 0, -1}, -2.0);
  point({0, -1, -1}, 0.0);
  point({0, 0, -1}, -3.0);
  const auto r = run_fit(t(), fs(), mon());
  ASSERT_GE(passes().size(), 1u);
  EXPECT_GT(passes()[0].WORKLIM[1], 0.0);
  EXPECT_EQ(passes()[0].WORKLIM[2], -1.0);
  EXPECT_GT(passes()[0].WORKLIM[3], 0.0);
  EXPECT_EQ(passes()[0].FITSTAT, 0.0);
  // Errors of the second solve: inverse of [[1, 1], [1, 3]] is [[3, -1], [-1, 1]]/2.
  EXPECT_NEAR(passes()[0].PARERR[1], std::sqrt(1.5), 1e-9);
  EXPECT_NEAR(passes()[0].PARERR[3], std::sqrt(0.5), 1e-9);
  // The set-aside parameter keeps the error of the first solve.
  EXPECT_NEAR(passes()[0].PARERR[2], std::sqrt(2.0), 1e-9);
  EXPECT_EQ(r.IEXIT, 1);
  EXPECT_NEAR(t().PARAM(1), 0.5, 1e-9);
  EXPECT_EQ(t().PARAM(2), 0.0);
  EXPECT_NEAR(t().PARAM(3), 1.5, 1e-9);
  EXPECT_EQ(passes().back().WORKLIM[2], 0.0);
}

// f = a1 at one point with y = 1000, step limit 1.  Each pass is limited to
// the working limit and lands exactly on it; once more than NCALM = 2 steady
// iterations have passed, a limit that the step fills grows fourfold per pass:
// 0 -> 1 -> 2 -> 3 -> 4 -> 8 -> 24 -> 88 -> 344 -> 1000.
TEST_F(Lsqfit, StepLimitGrowsAfterMoreThanNcalmSteadyIterations) {
  parameters(1, 1.0);
  point({1}, 1000.0);
  const auto r = run_fit(t(), fs(), mon());
  EXPECT_EQ(r.IEXIT, 1);
  const double param[] = {0, 1, 2, 3, 4, 8, 24, 88, 344};
  const double worklim[] = {1, 1, 1, 4, 16, 64, 256, 1024, 4096, 4096};
  const double steplim[] = {1, 1, 1, 1, 4, 16, 64, 256, 1024, 4096};
  const double limtrend[] = {1, 1, 1, 4, 4, 4, 4, 4, 4, 1};
  ASSERT_EQ(passes().size(), 10u);
  for (int k = 0; k < 10; ++k) {
    EXPECT_EQ(passes()[k].ITER, k);
    if (k < 9) {
      EXPECT_EQ(passes()[k].PARAM[1], param[k]) << k;
    }
    EXPECT_EQ(passes()[k].WORKLIM[1], worklim[k]) << k;
    EXPECT_EQ(passes()[k].STEPLIM[1], steplim[k]) << k;  // the difference step follows
    EXPECT_EQ(passes()[k].LIMTREND, limtrend[k]) << k;
  }
  EXPECT_NEAR(t().PARAM(1), 1000.0, 1e-6);
}

TEST_F(Lsqfit, IterationLimitEndsWithoutApplyingTheLastStep) {
  parameters(1, 1.0);
  point({1}, 1000.0);
  const auto r = run_fit(t(), fs(), mon(), /*MAXITER=*/5);
  EXPECT_EQ(r.IEXIT, -3);
  ASSERT_EQ(passes().size(), 6u);
  for (int k = 0; k < 5; ++k) EXPECT_EQ(passes()[k].FITSTAT, 0.0);
  EXPECT_EQ(passes()[5].FITSTAT, -3.0);
  EXPECT_EQ(passes()[5].ITER, 5);
  EXPECT_EQ(t().PARAM(1), 8.0);  // the pass-5 point; its step would reach 24
  EXPECT_EQ(r.S, (1000.0 - 8.0) * (1000.0 - 8.0) / 2);
}

// f = |a1| with y = -c from a1 = 1: the Newton step -(1 + c) reaches -c, where
// S = 2c^2 against (1 + c)^2/2 before and a prediction -(1 + c)^2.  The
// parabola puts the minimum at (1+c)^2 / (4c^2 + (1+c)^2): 9/25 for c = 2,
// and below the floor 0.25 for c = 10.  The shrunk point is accepted without a
// test, even where S is higher than before (c = 10).
TEST_F(Lsqfit, RejectedStepIsShrunkOnceByTheParabolaFactor) {
  struct Case {
    double c, RED;
  };
  for (const Case cs : {Case{2.0, 9.0 / 25.0}, Case{10.0, 0.25}}) {
    SetUp();
    fs().model_override = absolute;
    parameters(1, 100.0);
    t().PARAM(1) = 1.0;
    point({1}, -cs.c);
    const auto r = run_fit(t(), fs(), mon(), /*MAXITER=*/1);
    EXPECT_EQ(r.IEXIT, -3);
    ASSERT_EQ(passes().size(), 2u);
    const Pass& p = passes()[1];
    const double a = 1.0 - cs.RED * (1.0 + cs.c);
    EXPECT_NEAR(p.PARAM[1], a, 1e-9) << cs.c;
    EXPECT_NEAR(p.LIMTREND, cs.RED, 1e-12) << cs.c;
    EXPECT_NEAR(p.WORKLIM[1], 100.0 * cs.RED, 1e-9) << cs.c;
    EXPECT_NEAR(p.S, (std::fabs(a) + cs.c) * (std::fabs(a) + cs.c) / 2, 1e-9) << cs.c;
    if (cs.c == 10.0) {
      EXPECT_GT(p.S, passes()[0].S);
    }
    EXPECT_NEAR(t().PARAM(1), a, 1e-9);
  }
}

// f = a1 + a2 x with a third parameter the model ignores: its row of the
// curvature matrix is zero, the inversion designates it, and the fit, which
// converges at once for the other two, ends with status -2 after a release
// that cannot clear it.
TEST_F(Lsqfit, UndeterminableParameterEndsWithInfiniteError) {
  parameters(3, 10.0);
  for (int x = -2; x <= 2; ++x) point({1, double(x), 0}, 1.0 + 0.5 * x);
  const auto r = run_fit(t(), fs(), mon());
  EXPECT_EQ(r.IEXIT, -2);
  ASSERT_EQ(passes().size(), 2u);
  EXPECT_EQ(passes()[0].WORKLIM[3], -2.0);
  EXPECT_EQ(passes()[0].FITSTAT, 0.0);
  EXPECT_EQ(passes()[1].WORKLIM[3], -2.0);
  EXPECT_EQ(passes()[1].FITSTAT, -2.0);
  EXPECT_EQ(fs().FACTOR(3), 0.0);
  EXPECT_NEAR(t().PARAM(1), 1.0, 1e-9);
  EXPECT_NEAR(t().PARAM(2), 0.5, 1e-9);
  EXPECT_EQ(t().PARAM(3), 0.0);
  // The other two keep finite errors: 1/sqrt(5) and 1/sqrt(10).
  EXPECT_NEAR(fs().PARERR(1), 1.0 / std::sqrt(5.0), 1e-9);
  EXPECT_NEAR(fs().PARERR(2), 1.0 / std::sqrt(10.0), 1e-9);
}

TEST_F(Lsqfit, StartPointNotFiniteEndsAtOnce) {
  fs().model_override = nan_at_point;
  g_nan_point = 3;
  parameters(2, 1.0);
  t().PARAM(1) = 0.25;
  for (int x = 1; x <= 5; ++x) point({1, double(x)}, x);
  std::vector<double> before(t().PARAM.data(), t().PARAM.data() + kMaxPar);
  const auto r = run_fit(t(), fs(), mon());
  EXPECT_EQ(r.IEXIT, -1);
  EXPECT_EQ(mon().nonfinite_calls, 1);
  EXPECT_EQ(mon().nonfinite_point, 3);
  EXPECT_EQ(mon().nonfinite_before_monito, 0u);  // named before the block
  ASSERT_EQ(passes().size(), 1u);
  EXPECT_EQ(passes()[0].ITER, 0);
  EXPECT_EQ(passes()[0].FITSTAT, -1.0);
  EXPECT_EQ(std::memcmp(before.data(), t().PARAM.data(), sizeof(double) * kMaxPar), 0);
}

TEST_F(Lsqfit, StartPointWithOverflowingResidualNamesThatPoint) {
  parameters(1, 1.0);
  t().PARAM(1) = 1e100;
  point({1}, 0.0, 1.0);    // (1e100)^2 is finite
  point({1}, 0.0, 1e-60);  // (1e160)^2 overflows
  point({1}, 0.0, 1e-60);
  const auto r = run_fit(t(), fs(), mon());
  EXPECT_EQ(r.IEXIT, -1);
  EXPECT_EQ(mon().nonfinite_point, 2);
}

// The model breaks down after the start point: every trial point of pass 1
// has S = NaN.  After 10 reductions by 0.25 (11 evaluations), PARAM is back at
// the start point bit for bit and the block shows that point's S.
TEST_F(Lsqfit, TrialPointsNeverFiniteReturnToTheLastAcceptedPoint) {
  fs().model_override = nan_after;
  parameters(2, 1.0);
  for (int x = 1; x <= 5; ++x) point({1, double(x)}, 3.0 * x);
  g_finite_calls = 5 * 3;  // the start point: 5 points x (1 + 2 free)
  std::vector<double> before(t().PARAM.data(), t().PARAM.data() + kMaxPar);
  const auto r = run_fit(t(), fs(), mon());
  EXPECT_EQ(r.IEXIT, -1);
  ASSERT_EQ(passes().size(), 2u);
  EXPECT_EQ(passes()[1].ITER, 1);
  EXPECT_EQ(passes()[1].FITSTAT, -1.0);
  EXPECT_EQ(std::memcmp(&passes()[1].S, &passes()[0].S, sizeof(double)), 0);
  EXPECT_EQ(std::memcmp(&r.S, &passes()[0].S, sizeof(double)), 0);
  EXPECT_EQ(passes()[1].PARAM[1], 0.0);
  EXPECT_EQ(passes()[1].PARAM[2], 0.0);
  EXPECT_EQ(std::memcmp(before.data(), t().PARAM.data(), sizeof(double) * kMaxPar), 0);
  EXPECT_EQ(passes()[1].LIMTREND, std::ldexp(1.0, -20));  // 0.25^10
  EXPECT_EQ(g_calls, 12 * 5 * 3);
  EXPECT_EQ(mon().nonfinite_calls, 0);
}

// f = a1 with y = 1e6 and a model that fails above a1 = 5: the first pass
// lands on its limit 100; the trial points 100, 25 and 6.25 are rejected by
// 0.25 each, past MAXRED = 1, and 1.5625 is accepted.
TEST_F(Lsqfit, TrialPointNotFiniteIsShrunkUntilFinite) {
  fs().model_override = nan_above_five;
  parameters(1, 100.0);
  point({1}, 1e6);
  const auto r = run_fit(t(), fs(), mon(), /*MAXITER=*/1);
  EXPECT_EQ(r.IEXIT, -3);
  ASSERT_EQ(passes().size(), 2u);
  EXPECT_EQ(passes()[0].PARAM[1], 0.0);
  EXPECT_NEAR(passes()[1].PARAM[1], 1.5625, 1e-9);
  EXPECT_EQ(passes()[1].LIMTREND, 0.25 * 0.25 * 0.25);
  EXPECT_EQ(passes()[1].STEPLIM[1], 100.0 * 0.25 * 0.25 * 0.25);
  EXPECT_TRUE(std::isfinite(passes()[1].S));
}

// Release timing.  Pass 0: a4 (step 0.2 per error sqrt 2) and then a2 (0.1)
// are set aside, NASIDE = 2.  The fit stays unconverged (a1 is far from 10),
// so NSINCE counts 1, 2, 3 at passes 0, 1, 2, and the release comes at pass 3,
// the first pass where NSINCE = 3 > NASIDE = 2.  By then a2 points inward and
// stays active; a4 still points outward and is set aside again at once.
class SwitchingFit : public Lsqfit {
 protected:
  void run() {
    fs().model_override = switching;
    parameters(6, 100.0);
    t().STEPLIM(1) = 1.0;
    t().PARMIN(2) = 0.0;
    t().PARMIN(4) = 0.0;
    t().PARAM(3) = -0.1;
    t().PARAM(5) = -0.1;
    for (double y : {10.0, 0.0, 0.1, 0.0, 0.2, 0.0}) point({}, y);
    result = run_fit(t(), fs(), mon());
    ASSERT_GE(passes().size(), 6u);
    const double clock[] = {0, 1, 2, 3, 4, 8};
    for (int k = 0; k < 6; ++k) {
      ASSERT_EQ(passes()[k].PARAM[1], clock[k]) << k;
      ASSERT_EQ(passes()[k].FITSTAT, 0.0) << k;
    }
  }
  test::FitRun result;
};

TEST_F(SwitchingFit, ReleaseComesOnTheFirstPassWithMoreUnconvergedPassesThanSetAsides) {
  run();
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(passes()[k].WORKLIM[2], -1.0) << k;
    EXPECT_EQ(passes()[k].WORKLIM[4], -1.0) << k;
  }
  EXPECT_EQ(passes()[3].WORKLIM[2], 100.0);  // released, back to its step limit
  EXPECT_EQ(passes()[3].WORKLIM[4], -1.0);   // released and set aside again
  EXPECT_EQ(passes()[3].PARAM[2], 0.0);
  EXPECT_GT(passes()[4].PARAM[2], 0.0);  // the released step is taken
}

// After the release the count starts afresh: a4, set aside again in pass 3 (one
// event since the release), is released at pass 5 (NSINCE = 2 > 1), not later.
// Then, at a1 = 10, a6 becomes undeterminable; the fit converges, the release
// cannot clear it, and, with no parameter put on a bound since that release,
// the fit ends at once with an infinite error.
TEST_F(SwitchingFit, SetAsideAfterAReleaseIsCountedAfresh) {
  run();
  EXPECT_EQ(passes()[4].WORKLIM[4], -1.0);
  EXPECT_GT(passes()[5].WORKLIM[4], 0.0);
  EXPECT_EQ(result.IEXIT, -2);
  ASSERT_EQ(passes().size(), 7u);
  EXPECT_EQ(passes()[6].WORKLIM[6], -2.0);
  EXPECT_GT(passes()[6].WORKLIM[2], 0.0);
  EXPECT_GT(passes()[6].WORKLIM[4], 0.0);
  EXPECT_NEAR(t().PARAM(2), 0.1, 1e-12);
  EXPECT_NEAR(t().PARAM(4), 0.2, 1e-12);
}

}  // namespace
}  // namespace tessaline
