// Joint fits of field series made from the model: noise-free data give a
// chi-square of zero at the true values and lead back to them from elsewhere;
// with noise the shared parameters' errors shrink against the single fits and
// the values stay within three errors of the truth; one set with nothing
// shared is the program's own fit, bit for bit; the covariance at the end is
// the inverse curvature matrix whose diagonal the errors are taken from.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "tests/series/series_fixture.hpp"

namespace tessaline::series {
namespace {

using testing::Film;
using testing::JointFit;
using testing::ScratchDir;

// Three fields: near saturation, between, near the coercive field.  One
// structure; the magnetization axis and the background differ.
std::vector<std::pair<std::string, Film>> field_series() {
  Film high, mid, low;
  high.cos_g = 0.98;
  high.sin2 = 0.03;
  mid.cos_g = 0.8;
  mid.sin2 = 0.3;
  mid.bgr = 3e-6;
  low.np = 4.9;
  low.cos_g = 0.3;
  low.sin2 = 0.6;
  low.bgr = 1e-6;
  return {{"high", high}, {"mid", mid}, {"low", low}};
}

// The same films with the start values of a fit, away from the truth.
void write_start_entries(const ScratchDir& dir,
                         const std::vector<std::pair<std::string, Film>>& sets) {
  for (auto [name, f] : sets) {
    f.au = 48.0;
    f.fe = 140.0;
    f.fe_dw = 5.0;
    f.scale = 0.3;
    f.np *= 0.95;
    f.cos_g = f.cos_g * 0.9;
    f.sin2 = f.sin2 * 0.8 + 0.05;
    f.bgr = 1e-6;
    write_entry_file(dir.file(name + ".ent"), testing::film_entry(f));
  }
}

const std::vector<std::string> kShare = {"share 1 7 12 27"};

// The three fields' data (with noise from `seed` unless it is 0), their start
// entries away from the truth, and field.series sharing the structure.
void write_series(const ScratchDir& dir, unsigned seed) {
  const auto sets = field_series();
  testing::write_field_sets(dir, sets, seed);
  write_start_entries(dir, sets);
  dir.write("field.series", testing::series_text({"high", "mid", "low"}, kShare));
}

// The true physical value of slot i of a film.
double truth(const Film& f, int i) {
  switch (i) {
    case testing::kAu:
      return f.au;
    case testing::kFe:
      return f.fe;
    case testing::kNp:
      return f.np * 1e-6;
    case testing::kFeDW:
      return f.fe_dw;
    case testing::kCosG:
      return f.cos_g;
    case testing::kSin2:
      return f.sin2;
    case testing::kScale:
      return f.scale;
    case testing::kBgr:
      return f.bgr;
    default:
      return NAN;
  }
}

// Chi-square below this is zero to rounding: the residuals are those of
// 17-digit numbers read back, a few ulps of values with 5 % error bars.
constexpr double kZero = 1e-20;

TEST(SeriesFit, NoiseFreeDataAtTheTruthGiveAChiSquareOfZero) {
  ScratchDir dir;
  const auto sets = field_series();
  testing::write_field_sets(dir, sets);
  dir.write("field.series", testing::series_text({"high", "mid", "low"}, kShare));
  const JointFit fit(dir.file("field.series"));
  ASSERT_FALSE(fit.monitor->passes().empty());
  EXPECT_LT(fit.chi_square(0), kZero);
  for (std::size_t k = 0; k < 3; ++k) EXPECT_LT(fit.set_chi_square(0, k), kZero) << k;

  // The data of the low field read with the model of the middle one do not fit.
  dir.write("swapped.series",
            "set high high.ent high.dat\nset mid mid.ent low.dat\n" + kShare.front() + "\n");
  const JointFit swapped(dir.file("swapped.series"));
  EXPECT_LT(swapped.set_chi_square(0, 0), kZero);
  EXPECT_GT(swapped.set_chi_square(0, 1), 1.0);
}

TEST(SeriesFit, NoiseFreeDataLeadBackToTheTruth) {
  ScratchDir dir;
  const auto sets = field_series();
  write_series(dir, 0);
  const JointFit fit(dir.file("field.series"));
  EXPECT_EQ(fit.result.IEXIT, 1);
  EXPECT_GT(fit.chi_square(0), 10.0);
  // The fit stops once every step is below a tenth of its error: every value
  // is the truth to that, and each of the 16 adds at most about 0.01 to 2S
  // (more where they are correlated), over 704 degrees of freedom.
  EXPECT_LT(fit.chi_square(fit.monitor->passes().size() - 1), 1e-3);
  for (int j = 1; j <= fit.s.joint->NPAR; ++j) {
    const JointSlot& js = fit.s.slots[static_cast<std::size_t>(j - 1)];
    const Film& f = sets[static_cast<std::size_t>(js.set < 0 ? 0 : js.set)].second;
    SCOPED_TRACE("joint parameter " + std::to_string(j) + ", slot " + std::to_string(js.slot));
    EXPECT_NEAR(fit.value(j), truth(f, js.slot), 0.1 * fit.error(j));
  }
}

// Single fits of each set, started where the joint fit starts.
struct SingleFit {
  std::unique_ptr<Tables> t;
  std::unique_ptr<FitState> fs = make_fit_state();
  FitResult result;
  explicit SingleFit(const ProblemFiles& files) : t(load_problem(files)) {
    SilentMonitor quiet;
    result = run_program_fit(*t, *fs, quiet, 2);
  }
  double error(int i) const { return fs->PARERR(i) / t->SCALE(i); }
};

TEST(SeriesFit, WithNoiseTheSharedErrorsShrinkAndTheValuesStayNearTheTruth) {
  ScratchDir dir;
  const auto sets = field_series();
  write_series(dir, 20261209);
  const JointFit fit(dir.file("field.series"));
  EXPECT_EQ(fit.result.IEXIT, 1);
  const double chi = fit.chi_square(fit.monitor->passes().size() - 1);
  EXPECT_GT(chi, 0.8);
  EXPECT_LT(chi, 1.2);

  for (int j = 1; j <= fit.s.joint->NPAR; ++j) {
    const JointSlot& js = fit.s.slots[static_cast<std::size_t>(j - 1)];
    const Film& f = sets[static_cast<std::size_t>(js.set < 0 ? 0 : js.set)].second;
    SCOPED_TRACE("joint parameter " + std::to_string(j) + ", slot " + std::to_string(js.slot));
    EXPECT_LT(std::fabs(fit.value(j) - truth(f, js.slot)), 3.0 * fit.error(j));
  }
  for (std::size_t k = 0; k < sets.size(); ++k) {
    const SingleFit single({dir.file(sets[k].first + ".ent"), dir.file(sets[k].first + ".dat")});
    EXPECT_EQ(single.result.IEXIT, 1);
    for (int j = 1; j <= fit.s.nshared; ++j) {
      const int slot = fit.s.slots[static_cast<std::size_t>(j - 1)].slot;
      SCOPED_TRACE(sets[k].first + ", slot " + std::to_string(slot));
      EXPECT_LT(fit.error(j), single.error(slot));
    }
  }
}

// Every pass of a fit as LSQFIT hands it to the monitor, the slots of the
// set in the program's numbering.
struct Recorded {
  int ITER;
  double S, FITSTAT;
  std::vector<double> PARAM, PARERR, FACTOR, WORKLIM;
};

class Recorder : public Monitor {
 public:
  Recorder(const Tables& t, const FitState& fs, const std::vector<int>& slot_of)
      : t_(t), fs_(fs), slot_of_(slot_of) {}
  void MONITO(double S, int, int ITER, int, double, double, double, double) override {
    Recorded r{ITER, S, fs_.FITSTAT, {}, {}, {}, {}};
    for (const int i : slot_of_) {
      r.PARAM.push_back(t_.PARAM(i));
      r.PARERR.push_back(fs_.PARERR(i));
      r.FACTOR.push_back(fs_.FACTOR(i));
      r.WORKLIM.push_back(fs_.WORKLIM(i));
    }
    passes.push_back(r);
  }
  std::vector<Recorded> passes;

 private:
  const Tables& t_;
  const FitState& fs_;
  std::vector<int> slot_of_;
};

bool same(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// One set with nothing shared: the joint vector keeps the free parameters in
// the order of the slots, so LSQFIT takes the same steps on the same numbers.
TEST(SeriesFit, OneSetNothingSharedIsTheProgramsFitBitForBit) {
  ScratchDir dir;
  testing::write_field_sets(dir, {{"one", field_series()[1].second}}, 5);
  write_start_entries(dir, {{"one", field_series()[1].second}});
  dir.write("one.series", "set one one.ent one.dat 2 3\n");

  auto t = load_problem({dir.file("one.ent"), dir.file("one.dat"), 2, 3});
  auto fs = make_fit_state();
  std::vector<int> slots;
  for (int i = 1; i <= t->NPAR; ++i)
    if (t->STEPLIM(i) > 0) slots.push_back(i);
  Recorder program(*t, *fs, slots);
  const FitResult r = run_program_fit(*t, *fs, program, 2);

  Series s = load_series(read_series_file(dir.file("one.series")));
  ASSERT_EQ(s.joint->NPAR, static_cast<int>(slots.size()));
  auto jfs = make_fit_state();
  std::vector<int> joint;
  for (int j = 1; j <= s.joint->NPAR; ++j) joint.push_back(j);
  Recorder series(*s.joint, *jfs, joint);
  SeriesSGZ fast(s, 1);
  const FitResult rj = run_program_fit(*s.joint, *jfs, series, fast);

  EXPECT_EQ(r.IEXIT, rj.IEXIT);
  EXPECT_EQ(std::memcmp(&r.S, &rj.S, sizeof r.S), 0);
  ASSERT_EQ(program.passes.size(), series.passes.size());
  ASSERT_GT(program.passes.size(), 2u);
  for (std::size_t n = 0; n < program.passes.size(); ++n) {
    const Recorded& a = program.passes[n];
    const Recorded& b = series.passes[n];
    SCOPED_TRACE(n);
    EXPECT_EQ(a.ITER, b.ITER);
    EXPECT_EQ(std::memcmp(&a.S, &b.S, sizeof a.S), 0);
    EXPECT_EQ(a.FITSTAT, b.FITSTAT);
    EXPECT_TRUE(same(a.PARAM, b.PARAM) && same(a.PARERR, b.PARERR) && same(a.FACTOR, b.FACTOR) &&
                same(a.WORKLIM, b.WORKLIM));
  }
  // And the set's tables hold the program's fitted values.
  for (int i = 1; i <= t->NPAR; ++i) EXPECT_EQ(s.sets[0].t->PARAM(i), t->PARAM(i)) << i;
}

// The covariance at the end: its diagonal gives the errors bit for bit
// (PARERR is the root of that diagonal), and it is the inverse of the
// curvature matrix at the last accepted point.
TEST(SeriesFit, TheCovarianceIsTheInverseCurvatureAndItsDiagonalTheSquaredErrors) {
  ScratchDir dir;
  write_series(dir, 77);
  const JointFit fit(dir.file("field.series"));
  const Covariance cov = end_covariance(*fit.s.joint, *fit.fs, true);
  const int n = static_cast<int>(cov.index.size());
  ASSERT_GT(n, 10);
  // The matrix holds the parameters that are active at the end, in order.
  std::vector<int> active;
  for (int j = 1; j <= fit.s.joint->NPAR; ++j)
    if (fit.fs->WORKLIM(j) > 0) active.push_back(j);
  EXPECT_EQ(cov.index, active);
  for (int a = 1; a <= n; ++a) {
    const int j = cov.index[static_cast<std::size_t>(a - 1)];
    EXPECT_EQ(std::sqrt(cov.at(a, a)), fit.fs->PARERR(j)) << j;
    EXPECT_NEAR(cov.at(a, a), fit.fs->PARERR(j) * fit.fs->PARERR(j), 4e-16 * cov.at(a, a));
  }
  // ZSAVE holds the curvature over the free parameters (every joint one) at
  // the last accepted point.  Over the active ones, its product with the
  // covariance is the identity to the rounding of an inversion of a matrix
  // whose factors stay below 10.
  const auto curvature = [&](int a, int b) {
    const long i = cov.index[static_cast<std::size_t>(a - 1)];
    const long k = cov.index[static_cast<std::size_t>(b - 1)];
    return fit.fs->ZSAVE(static_cast<int>(i >= k ? packed(i, k) : packed(k, i)));
  };
  for (int a = 1; a <= n; ++a) {
    for (int b = 1; b <= n; ++b) {
      double sum = 0;
      for (int c = 1; c <= n; ++c) sum += cov.at(a, c) * curvature(c, b);
      EXPECT_NEAR(sum, a == b ? 1.0 : 0.0, 1e-9) << a << ", " << b;
    }
  }
  // No solve at the end (a start without a finite chi-square): no matrix.
  EXPECT_TRUE(end_covariance(*fit.s.joint, *fit.fs, false).index.empty());
}

}  // namespace
}  // namespace tessaline::series
