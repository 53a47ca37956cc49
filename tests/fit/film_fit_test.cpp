// Whole fits with the real model: a magnetic film on a substrate, data made
// with FUNCT itself, fitted from perturbed start values.  Also checks that the
// fit allocates nothing.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <random>
#include <vector>

#include "fit/fit.hpp"
#include "fit/parallel_sgz.hpp"
#include "fit_test_support.hpp"

#if defined(__SANITIZE_ADDRESS__)
// From the sanitizer runtime's allocator interface.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*,
                                                                             std::size_t),
                                                         void (*free_hook)(const volatile void*));
#endif

// Allocation counter, armed only around the fit.  Under AddressSanitizer the
// allocator's hooks see every allocation; otherwise operator new is replaced.
namespace {
std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};
}  // namespace

#if defined(__SANITIZE_ADDRESS__)
namespace {
void on_malloc(const volatile void*, std::size_t) {
  if (g_counting) ++g_allocations;
}
void on_free(const volatile void*) {}
const int g_hooks_installed = __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free);
}  // namespace
#else
// The replacement pair allocates with malloc and frees with free; GCC cannot see
// that they belong together where it inlines them.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t n) {
  if (g_counting) ++g_allocations;
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#endif

namespace tessaline {
namespace {

using test::add_point;
using test::film_tables;
using test::fix;
using test::Pass;
using test::RecordingMonitor;
using test::run_fit;
using test::set_phys;

// Gaussian deviates by Box-Muller from a fixed 64-bit Mersenne twister, so
// that the data are the same with every standard library.
class Gauss {
 public:
  explicit Gauss(std::uint64_t seed) : rng_(seed) {}
  double operator()() {
    const double u1 = (static_cast<double>(rng_() >> 11) + 0.5) * 0x1.0p-53;
    const double u2 = static_cast<double>(rng_() >> 11) * 0x1.0p-53;
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * kPi * u2);
  }

 private:
  std::mt19937_64 rng_;
};

struct Film {
  std::unique_ptr<Tables> t;
  std::vector<int> free;      // free slots
  std::vector<double> truth;  // internal values of the free slots
  std::vector<double> start;
};

// One magnetic layer (250 A, Nb 8e-6, N_p 2e-6, roughness 5 A) on a substrate
// (Nb 2.07e-6, roughness 3 A), polarizer and analyser 95 % along y, 40
// angles per channel from 3 to 25 mrad.  Free: thickness, Re{Nb} and N_p of
// the layer, both roughnesses, substrate Re{Nb}, scale and background; the
// errors are 5 % of the reflectivity plus 1e-7.
Film one_layer_film(double noise, std::uint64_t seed) {
  Film f;
  f.t = film_tables(1);
  Tables& T = *f.t;
  set_phys(T, 1, 250.0);
  set_phys(T, 2, 8e-6);
  set_phys(T, 4, 2e-6);
  set_phys(T, 5, 1.0);
  set_phys(T, 6, 5.0);
  set_phys(T, 7, 2.07e-6);
  set_phys(T, 10, 1.0);
  set_phys(T, 11, 3.0);
  set_phys(T, 15, 1.0);
  set_phys(T, 17, 2e-6);
  set_phys(T, 19, 0.95);  // Pi(y)
  set_phys(T, 22, 0.95);  // Pf(y)
  f.free = {1, 2, 4, 6, 7, 11, 15, 17};
  for (int i = 1; i <= T.NPAR; ++i) {
    bool is_free = false;
    for (int k : f.free) is_free = is_free || k == i;
    if (!is_free) fix(T, i);
  }
  for (int i : f.free) f.truth.push_back(T.PARAM(i));

  Gauss gauss(seed);
  ModelWork w;
  PointX X;
  for (int ch = 1; ch <= 4; ++ch)
    for (int k = 0; k < 40; ++k) {
      X(1) = 0.003 + 0.022 * k / 39.0;
      X(2) = ch;
      const double y = FUNCT(T, w, X);
      const double sigma = 0.05 * y + 1e-7;
      add_point(T, y + noise * sigma * gauss(), sigma, X(1), X(2));
    }
  T.nn = 40;

  const double start[] = {258.0, 7.6, 2.2, 6.5, 2.3, 4.0, 0.93, 1e-6};
  for (std::size_t a = 0; a < f.free.size(); ++a) T.PARAM(f.free[a]) = start[a];
  f.start.assign(start, start + f.free.size());
  return f;
}

// sqrt of the diagonal of (J^T J)^-1, J the weighted derivatives of the model
// values at the current PARAM by central differences, inverted by
// Gauss-Jordan elimination in long double.
std::vector<double> dense_errors(Tables& T, const std::vector<int>& free) {
  const int n = static_cast<int>(free.size());
  ModelWork w;
  PointX X;
  std::vector<long double> A(static_cast<std::size_t>(n * n), 0.0L);
  std::vector<double> d(static_cast<std::size_t>(n));
  auto P = std::make_unique<ParamVector>(T.PARAM);
  for (int p = 0; p < T.npoint; ++p) {
    const double s = T.POINTS(4 * p + 2);
    X(1) = T.POINTS(4 * p + 3);
    X(2) = T.POINTS(4 * p + 4);
    for (int a = 0; a < n; ++a) {
      const int i = free[static_cast<std::size_t>(a)];
      const double h = 1e-5 * std::max(std::fabs(T.PARAM(i)), 1.0);
      (*P)(i) = T.PARAM(i) + h;
      const double up = FUNCT(T, *P, w, X);
      (*P)(i) = T.PARAM(i) - h;
      const double down = FUNCT(T, *P, w, X);
      (*P)(i) = T.PARAM(i);
      d[static_cast<std::size_t>(a)] = (up - down) / (2 * h) / s;
    }
    for (int a = 0; a < n; ++a)
      for (int b = 0; b < n; ++b)
        A[static_cast<std::size_t>(a * n + b)] +=
            static_cast<long double>(d[static_cast<std::size_t>(a)]) *
            d[static_cast<std::size_t>(b)];
  }
  std::vector<long double> inv(static_cast<std::size_t>(n * n), 0.0L);
  for (int a = 0; a < n; ++a) inv[static_cast<std::size_t>(a * n + a)] = 1.0L;
  for (int c = 0; c < n; ++c) {
    int piv = c;
    for (int r = c + 1; r < n; ++r)
      if (std::fabs(A[static_cast<std::size_t>(r * n + c)]) >
          std::fabs(A[static_cast<std::size_t>(piv * n + c)]))
        piv = r;
    for (int k = 0; k < n; ++k) {
      std::swap(A[static_cast<std::size_t>(c * n + k)], A[static_cast<std::size_t>(piv * n + k)]);
      std::swap(inv[static_cast<std::size_t>(c * n + k)],
                inv[static_cast<std::size_t>(piv * n + k)]);
    }
    const long double pv = A[static_cast<std::size_t>(c * n + c)];
    for (int k = 0; k < n; ++k) {
      A[static_cast<std::size_t>(c * n + k)] /= pv;
      inv[static_cast<std::size_t>(c * n + k)] /= pv;
    }
    for (int r = 0; r < n; ++r) {
      if (r == c) continue;
      const long double m = A[static_cast<std::size_t>(r * n + c)];
      for (int k = 0; k < n; ++k) {
        A[static_cast<std::size_t>(r * n + k)] -= m * A[static_cast<std::size_t>(c * n + k)];
        inv[static_cast<std::size_t>(r * n + k)] -= m * inv[static_cast<std::size_t>(c * n + k)];
      }
    }
  }
  std::vector<double> e(static_cast<std::size_t>(n));
  for (int a = 0; a < n; ++a)
    e[static_cast<std::size_t>(a)] =
        static_cast<double>(std::sqrt(inv[static_cast<std::size_t>(a * n + a)]));
  return e;
}

TEST(FilmFit, NoisyDataRecoverTheTrueParametersWithinTheirErrors) {
  for (std::uint64_t seed : {1u, 2u, 3u}) {
    Film f = one_layer_film(1.0, seed);
    Tables& T = *f.t;
    auto fs = make_fit_state();
    RecordingMonitor mon(T, *fs);
    const auto r = run_fit(T, *fs, mon);
    ASSERT_EQ(r.IEXIT, 1) << "seed " << seed;
    EXPECT_GT(mon.passes.size(), 2u);
    const int dof = T.npoint - T.NPAR + T.NFIX;
    const double chi2 = 2 * r.S / dof;
    // 152 degrees of freedom: chi2/dof has a standard deviation of 0.11.
    EXPECT_GT(chi2, 0.6) << "seed " << seed;
    EXPECT_LT(chi2, 1.4) << "seed " << seed;
    for (std::size_t a = 0; a < f.free.size(); ++a) {
      const int i = f.free[a];
      EXPECT_GT(fs->WORKLIM(i), 0.0) << i;
      EXPECT_GT(fs->PARERR(i), 0.0) << i;
      EXPECT_LT(std::fabs(T.PARAM(i) - f.truth[a]), 4.0 * fs->PARERR(i))
          << "slot " << i << " seed " << seed;
      EXPECT_NE(T.PARAM(i), f.start[a]);
    }
    // Errors against sqrt(diag((J^T J)^-1)) at the minimum.  The fit's
    // derivatives are forward differences with a step of 1/1000 of the step
    // limit, which changes them by well under 1 %.
    const std::vector<double> e = dense_errors(T, f.free);
    for (std::size_t a = 0; a < f.free.size(); ++a) {
      const int i = f.free[a];
      EXPECT_NEAR(fs->PARERR(i), e[a], 0.01 * e[a]) << "slot " << i << " seed " << seed;
      EXPECT_GE(fs->FACTOR(i), 1.0 - 1e-9) << i;
    }
  }
}

// Without noise the minimum is the truth itself, where every residual is 0.
// With a tolerance of 1e-6 on the step per error the fit must end within about
// that fraction of an error bar of the true values.
TEST(FilmFit, ExactDataConvergeToTheTrueValues) {
  Film f = one_layer_film(0.0, 0);
  Tables& T = *f.t;
  auto fs = make_fit_state();
  RecordingMonitor mon(T, *fs);
  const auto r = run_fit(T, *fs, mon, 200, 1, 2, /*TOL=*/1e-6);
  ASSERT_EQ(r.IEXIT, 1);
  for (std::size_t a = 0; a < f.free.size(); ++a) {
    const int i = f.free[a];
    EXPECT_LT(std::fabs(T.PARAM(i) - f.truth[a]), 1e-5 * fs->PARERR(i)) << "slot " << i;
    EXPECT_NEAR(T.PARAM(i), f.truth[a], 1e-7 * std::fabs(f.truth[a])) << "slot " << i;
  }
  EXPECT_LT(r.S, 1e-10);
}

// The substrate's magnetic density does nothing when its <Cos(delta_gamma> is
// 0: its derivative is exactly 0, the inversion designates it and the fit ends
// with status -2 while the other parameters converge.
TEST(FilmFit, ParameterWithoutEffectEndsWithInfiniteError) {
  Film f = one_layer_film(0.0, 0);
  Tables& T = *f.t;
  set_phys(T, 10, 0.0);  // substrate <Cos(delta_gamma>
  T.STEPLIM(9) = 1.0;    // substrate N_p free
  --T.NFIX;
  set_phys(T, 9, 1e-6);
  auto fs = make_fit_state();
  RecordingMonitor mon(T, *fs);
  const auto r = run_fit(T, *fs, mon);
  EXPECT_EQ(r.IEXIT, -2);
  EXPECT_EQ(fs->WORKLIM(9), -2.0);
  EXPECT_EQ(fs->FACTOR(9), 0.0);
  EXPECT_EQ(T.PARAM(9), 1.0);
  for (std::size_t a = 0; a < f.free.size(); ++a) {
    const int i = f.free[a];
    EXPECT_LT(std::fabs(T.PARAM(i) - f.truth[a]), 0.2 * fs->PARERR(i)) << "slot " << i;
  }
  EXPECT_EQ(mon.passes.back().FITSTAT, -2.0);
}

TEST(FilmFit, FitAllocatesNothing) {
  Film f = one_layer_film(1.0, 7);
  auto fs = make_fit_state();
  RecordingMonitor mon(*f.t, *fs);
  g_allocations = 0;
  g_counting = true;
  const auto r = run_fit(*f.t, *fs, mon);
  g_counting = false;
  EXPECT_EQ(r.IEXIT, 1);
  EXPECT_EQ(g_allocations.load(), 0);
#if defined(__SANITIZE_ADDRESS__)
  ASSERT_NE(g_hooks_installed, 0) << "allocation hooks not installed";
#endif
  // The counter does count: one allocation while armed.
  g_counting = true;
  auto probe = std::make_unique<double>(1.0);
  g_counting = false;
  EXPECT_GE(g_allocations.load(), 1);
}

// The same fit through the fast evaluation: its threads and caches are set up
// before the fit, and nothing is allocated while it runs, in any thread.
TEST(FilmFit, FastFitAllocatesNothing) {
  Film f = one_layer_film(1.0, 7);
  auto fs = make_fit_state();
  ParallelSGZ fast(*f.t, 3);
  fs->fast = &fast;
  RecordingMonitor mon(*f.t, *fs);
  g_allocations = 0;
  g_counting = true;
  const auto r = run_fit(*f.t, *fs, mon);
  g_counting = false;
  EXPECT_EQ(r.IEXIT, 1);
  EXPECT_EQ(g_allocations.load(), 0);
}

}  // namespace
}  // namespace tessaline
