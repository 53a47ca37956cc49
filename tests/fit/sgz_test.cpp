// ARITHM and SGZ: forward differences with bound turning, exact restoration of
// PARAM, and the sums S, G and Z against a dense computation.
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
using test::fix;
using test::set_phys;

// A model that records the first four parameter values of every call and
// returns 3*a1 - 2*a2 + 5*a3*a3 + a4 + angle.
struct CallLog {
  int calls = 0;
  double seen[64][5];
};
CallLog g_log;

double recording_model(const Tables&, const ParamVector& PARAM, ModelWork&, const PointX& X) {
  if (g_log.calls < 64)
    for (int i = 1; i <= 4; ++i) g_log.seen[g_log.calls][i] = PARAM(i);
  ++g_log.calls;
  return 3.0 * PARAM(1) - 2.0 * PARAM(2) + 5.0 * PARAM(3) * PARAM(3) + PARAM(4) + X(1);
}

class Arithm : public ::testing::Test {
 protected:
  void SetUp() override {
    g_log = CallLog{};
    t_ = make_tables();
    fs_ = make_fit_state();
    fs_->model_override = recording_model;
    t_->NPAR = 4;
    for (int i = 1; i <= 4; ++i) {
      t_->PARAM(i) = 0.1 * i;
      t_->STEPLIM(i) = 1.0;
      t_->PARMIN(i) = -10.0;
      t_->PARMAX(i) = 10.0;
    }
    fs_->NPARFIT = 4;
    fs_->X(1) = 0.5;
    fs_->X(2) = 1.0;
  }
  // The displaced value of parameter i seen by the model (call 0 is unperturbed).
  double displaced(int call, int i) const { return g_log.seen[call][i]; }

  std::unique_ptr<Tables> t_;
  std::unique_ptr<FitState> fs_;
};

TEST_F(Arithm, CallsModelOnceThenOncePerFreeParameterInIndexOrder) {
  t_->STEPLIM(2) = 0.0;  // fixed
  fs_->DERIV(2) = 99.0;
  double f = 0;
  ARITHM(*t_, *fs_, f);
  ASSERT_EQ(g_log.calls, 4);
  EXPECT_DOUBLE_EQ(f, 3 * 0.1 - 2 * 0.2 + 5 * 0.09 + 0.4 + 0.5);
  // Call 0 unperturbed; calls 1..3 displace parameters 1, 3, 4 only.
  const int moved[4] = {0, 1, 3, 4};
  for (int c = 0; c < 4; ++c)
    for (int i = 1; i <= 4; ++i) {
      if (i == moved[c])
        EXPECT_EQ(displaced(c, i), t_->PARAM(i) + 0.001 * t_->STEPLIM(i)) << c << " " << i;
      else
        EXPECT_EQ(displaced(c, i), t_->PARAM(i)) << c << " " << i;
    }
  EXPECT_EQ(fs_->DERIV(2), 0.0);
  // Forward differences of a linear term are exact up to rounding of the
  // values (~1e-16 / h = 1e-13); of 5 a^2 they are off by 5 h.
  EXPECT_NEAR(fs_->DERIV(1), 3.0, 1e-11);
  EXPECT_NEAR(fs_->DERIV(3), 10 * 0.3 + 5 * 0.001, 1e-11);
  EXPECT_NEAR(fs_->DERIV(4), 1.0, 1e-11);
}

TEST_F(Arithm, RestoresParamBitForBit) {
  // Values for which a0 + h - h differs from a0.
  const double a0[4] = {0.001, 0.00071, 1e-4, 3e-5};
  const double step[4] = {1.11, 2.5, 0.37, 0.9};
  int differs = 0;
  for (int i = 1; i <= 4; ++i) {
    t_->PARAM(i) = a0[i - 1];
    t_->STEPLIM(i) = step[i - 1];
    const double h = 0.001 * t_->STEPLIM(i);
    if ((a0[i - 1] + h) - h != a0[i - 1]) ++differs;
  }
  ASSERT_EQ(differs, 4) << "the values do not exercise restoration";
  std::vector<double> before(t_->PARAM.data(), t_->PARAM.data() + kMaxPar);
  double f = 0;
  ARITHM(*t_, *fs_, f);
  EXPECT_EQ(std::memcmp(before.data(), t_->PARAM.data(), sizeof(double) * kMaxPar), 0);
}

TEST_F(Arithm, StepTurnsDownwardAtTheUpperBound) {
  t_->PARAM(1) = 10.0;  // exactly on its upper bound
  double f = 0;
  ARITHM(*t_, *fs_, f);
  const double h = 0.001;
  EXPECT_EQ(displaced(1, 1), 10.0 - h);
  EXPECT_NEAR(fs_->DERIV(1), 3.0, 1e-11);  // (f(a - h) - f0) / (-h)

  // Just below the bound, a0 + h would pass it: downward as well.
  SetUp();
  t_->PARAM(1) = 10.0 - 0.0005;
  ARITHM(*t_, *fs_, f);
  EXPECT_EQ(displaced(1, 1), (10.0 - 0.0005) - h);
}

TEST_F(Arithm, DisplacedValueEqualToTheBoundIsKept) {
  const double h = 0.001 * t_->STEPLIM(1);
  t_->PARMAX(1) = t_->PARAM(1) + h;
  double f = 0;
  ARITHM(*t_, *fs_, f);
  EXPECT_EQ(displaced(1, 1), t_->PARMAX(1));
}

TEST_F(Arithm, NarrowIntervalUsesTheFartherBound) {
  // STEPLIM 1000 gives h = 1, wider than the interval on both sides.
  t_->STEPLIM(1) = 1000.0;
  t_->PARAM(1) = 0.5;
  t_->PARMIN(1) = 0.0;   // 0.5 below
  t_->PARMAX(1) = 0.75;  // 0.25 above
  double f = 0;
  ARITHM(*t_, *fs_, f);
  EXPECT_EQ(displaced(1, 1), 0.0);
  EXPECT_NEAR(fs_->DERIV(1), 3.0, 1e-13);

  SetUp();
  t_->STEPLIM(1) = 1000.0;
  t_->PARAM(1) = 0.5;
  t_->PARMIN(1) = 0.375;  // 0.125 below
  t_->PARMAX(1) = 0.75;   // 0.25 above
  ARITHM(*t_, *fs_, f);
  EXPECT_EQ(displaced(1, 1), 0.75);
  EXPECT_NEAR(fs_->DERIV(1), 3.0, 1e-13);
}

TEST_F(Arithm, NarrowIntervalTieUsesTheUpperBound) {
  t_->STEPLIM(1) = 1000.0;
  t_->PARAM(1) = 0.5;
  t_->PARMIN(1) = 0.25;
  t_->PARMAX(1) = 0.75;
  double f = 0;
  ARITHM(*t_, *fs_, f);
  EXPECT_EQ(displaced(1, 1), 0.75);
  EXPECT_EQ(t_->PARAM(1), 0.5);
}

TEST(Sgz, NoFreeParameterSumsOnlyS) {
  g_log = CallLog{};
  auto t = make_tables();
  auto fs = make_fit_state();
  fs->model_override = recording_model;
  t->NPAR = 4;
  for (int i = 1; i <= 4; ++i) t->PARAM(i) = 0.0;  // model value = angle
  add_point(*t, 1.0, 0.5, 2.0, 1.0);               // r/sigma = 2
  add_point(*t, 1.0, 2.0, -3.0, 2.0);              // r/sigma = -2
  add_point(*t, 0.0, 1.0, 0.5, 3.0);               // r/sigma = 0.5
  fs->NPARFIT = 4;
  for (int i = 1; i <= 4; ++i) fs->G(i) = 0.0;
  fs->Z(1) = 42.0;
  double S = 0;
  SGZ(*t, *fs, 4, S);
  EXPECT_EQ(g_log.calls, 3);
  EXPECT_EQ(S, (4.0 + 4.0 + 0.25) / 2);
  for (int i = 1; i <= 4; ++i) EXPECT_EQ(fs->G(i), 0.0);
  EXPECT_EQ(fs->Z(1), 42.0);
}

// A two-layer film evaluated with the real model; three parameters fixed in
// between free ones so that the compaction to free numbers matters.
TEST(Sgz, SumsMatchADenseComputation) {
  auto t = film_tables(2);
  auto fs = make_fit_state();
  Tables& T = *t;
  set_phys(T, 1, 80.0);
  set_phys(T, 2, 6.0e-6);
  set_phys(T, 3, 0.05e-6);
  set_phys(T, 4, 1.5e-6);
  set_phys(T, 5, 1.0);
  set_phys(T, 6, 4.0);
  set_phys(T, 7, 40.0);
  set_phys(T, 8, 3.0e-6);
  set_phys(T, 11, 0.0);
  set_phys(T, 12, 6.0);
  set_phys(T, 13, 2.07e-6);
  set_phys(T, 17, 5.0);
  set_phys(T, 21, 0.9);
  set_phys(T, 23, 2e-6);
  for (int i = 1; i <= T.NPAR; ++i) fix(T, i);
  const int free_params[] = {1, 2, 4, 6, 7, 8, 12, 13, 17, 21, 23};
  for (int i : free_params) T.STEPLIM(i) = 0.05 * (std::fabs(T.PARAM(i)) + 1.0);
  const int nfree = 11;
  for (int ch = 1; ch <= 4; ++ch)
    for (int k = 1; k <= 7; ++k) {
      const double th = 0.002 + 0.004 * k;
      add_point(T, 0.01 * k + 0.001 * ch, 0.001 * k, th, ch);
    }

  // Dense reference: model values and forward differences by direct calls of
  // FUNCT with the same difference steps, then the three sums.
  ModelWork w;
  PointX X;
  std::vector<double> S_ref(1, 0.0), G_ref(nfree, 0.0), Z_ref(nfree * nfree, 0.0);
  std::vector<double> d(nfree);
  for (int p = 0; p < T.npoint; ++p) {
    const double y = T.POINTS(4 * p + 1), s = T.POINTS(4 * p + 2);
    X(1) = T.POINTS(4 * p + 3);
    X(2) = T.POINTS(4 * p + 4);
    const double f0 = FUNCT(T, w, X);
    for (int a = 0; a < nfree; ++a) {
      const int i = free_params[a];
      ParamVector* P = new ParamVector(T.PARAM);
      const double h = 0.001 * T.STEPLIM(i);
      (*P)(i) = T.PARAM(i) + h;
      d[static_cast<std::size_t>(a)] = (FUNCT(T, *P, w, X) - f0) / h / s;
      delete P;
    }
    const double r = (f0 - y) / s;
    S_ref[0] += r * r / 2;
    for (int a = 0; a < nfree; ++a) {
      G_ref[static_cast<std::size_t>(a)] += r * d[static_cast<std::size_t>(a)];
      for (int b = 0; b < nfree; ++b)
        Z_ref[static_cast<std::size_t>(a * nfree + b)] +=
            d[static_cast<std::size_t>(a)] * d[static_cast<std::size_t>(b)];
    }
  }

  const double sentinel = -123.0;
  for (int i = 1; i <= T.NPAR; ++i) fs->G(i) = T.STEPLIM(i) > 0 ? 0.0 : sentinel;
  for (int L = 1; L <= nfree * (nfree + 1) / 2; ++L) fs->Z(L) = 0.0;
  fs->Z(nfree * (nfree + 1) / 2 + 1) = sentinel;
  fs->NPARFIT = T.NPAR;
  std::vector<double> before(T.PARAM.data(), T.PARAM.data() + kMaxPar);
  double S = 0;
  SGZ(T, *fs, T.NPAR, S);

  EXPECT_EQ(std::memcmp(before.data(), T.PARAM.data(), sizeof(double) * kMaxPar), 0);
  // The same operations in a different arrangement: agreement to a few ulp.
  EXPECT_NEAR(S, S_ref[0], 1e-13 * S_ref[0]);
  for (int i = 1; i <= T.NPAR; ++i)
    if (T.STEPLIM(i) <= 0) {
      EXPECT_EQ(fs->G(i), sentinel) << i;
    }
  for (int a = 0; a < nfree; ++a) {
    const double g = G_ref[static_cast<std::size_t>(a)];
    EXPECT_NEAR(fs->G(free_params[a]), g, 1e-12 * std::fabs(g) + 1e-300) << a;
    for (int b = 0; b <= a; ++b) {
      const double z = Z_ref[static_cast<std::size_t>(a * nfree + b)];
      EXPECT_NEAR(fs->Z(static_cast<int>(packed(a + 1, b + 1))), z, 1e-12 * std::fabs(z))
          << a << " " << b;
    }
  }
  EXPECT_EQ(fs->Z(nfree * (nfree + 1) / 2 + 1), sentinel);

  // Same inputs, same bits.
  std::vector<double> Z1(fs->Z.data(), fs->Z.data() + nfree * (nfree + 1) / 2);
  for (int L = 1; L <= nfree * (nfree + 1) / 2; ++L) fs->Z(L) = 0.0;
  double S2 = 0;
  SGZ(T, *fs, T.NPAR, S2);
  EXPECT_EQ(std::memcmp(&S, &S2, sizeof S), 0);
  EXPECT_EQ(std::memcmp(Z1.data(), fs->Z.data(), sizeof(double) * Z1.size()), 0);
}

}  // namespace
}  // namespace tessaline
