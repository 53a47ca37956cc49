// Scans on data made by the model: the zero correction and the resolution the
// data were made with are found again (noise-free: to a tenth of the grid
// step; noisy: inside the interval), a parameter that enters linearly gives
// the curvature error of the fit as its interval, starts spread over a film
// with aliased thicknesses find its minima, and the table does not depend on
// the threads or the shares.  Also: how a grid point's setting reaches the
// tables (as the entry file's reader would store it), the starts, the grouping
// of minima, a grid point without a finite chi-square, and a run stopped.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <set>
#include <sstream>
#include <thread>

#include "driver/problem.hpp"
#include "tests/scan/scan_fixture.hpp"
#include "tools/scan/analysis.hpp"
#include "tools/scan/fits.hpp"
#include "tools/scan/table.hpp"

namespace tessaline::scan {
namespace {

using testing::axis;
using testing::options;
using testing::ScratchDir;
using testing::true_settings;
using testing::write_entry;
using testing::write_model_data;

// Slots of the example's film (three layers).
constexpr int kAuThickness = 1;
constexpr int kFeThickness = 7;
constexpr int kFeNp = 10;
constexpr int kFeRoughness = 12;
constexpr int kCosGamma = 24;
constexpr int kScaling = 27;
constexpr int kBackground = 29;

ScanTable scan(const Options& o, int threads = 2) {
  const Problem p = prepare_problem(o);
  RunControl c;
  c.threads = threads;
  return make_table(p, o, run_scan(p, o, c));
}

// The example's entry file (zero correction 0, sigma 0.15 mrad) in dir.
void copy_film(const ScratchDir& dir) {
  dir.write("film.ent", dir.read(testing::example_file("film.ent")));
}

// The fit of the problem's own tables, as the program makes it.
FitResult plain_fit(const Problem& p, FitState& fs) {
  auto t = make_tables();
  *t = *p.base;
  SilentMonitor m;
  return run_program_fit(*t, fs, m, 1);
}

TEST(ScanFits, NoiseFreeDataGiveTheZeroAndTheSigmaTheyWereMadeWith) {
  ScratchDir dir;
  write_entry(dir, "true.ent", "film_true.ent", true_settings());
  write_model_data(dir, "true.ent", "data.dat", 3);

  // The zero correction, with the right resolution: grid points 0.02 apart,
  // none of them on 0.05.
  EntryEdits right_sigma = true_settings();
  right_sigma.zero_correction = 0.0;
  write_entry(dir, "sigma_right.ent", "film.ent", right_sigma);
  const ScanTable zero =
      scan(options(dir, "sigma_right.ent", "data.dat", {axis(AxisKind::kZero, -0.013, 0.187, 11)}));
  const Analysis za = analyse(zero, false);
  ASSERT_TRUE(za.axes[0].vertex.found);
  EXPECT_NEAR(za.axes[0].vertex.x, 0.05, 0.002);
  EXPECT_LT(za.chi2_min, 1e-2);  // the model itself, refitted

  // The resolution, with the right zero correction: grid points 0.03 apart.
  EntryEdits right_zero;
  right_zero.zero_correction = 0.05;
  write_entry(dir, "zero_right.ent", "film.ent", right_zero);
  const ScanTable sigma =
      scan(options(dir, "zero_right.ent", "data.dat", {axis(AxisKind::kSigma, 0.105, 0.405, 11)}));
  const Analysis sa = analyse(sigma, false);
  ASSERT_TRUE(sa.axes[0].vertex.found);
  EXPECT_NEAR(sa.axes[0].vertex.x, 0.25, 0.003);

  // Both at once from the example's entry file (0 and 0.15 mrad).
  copy_film(dir);
  const ScanTable map = scan(options(dir, "film.ent", "data.dat",
                                     {axis(AxisKind::kZero, -0.035, 0.125, 9),
                                      axis(AxisKind::kSigma, 0.115, 0.355, 9)}));
  const Analysis ma = analyse(map, false);
  ASSERT_TRUE(ma.map_vertex.found);
  EXPECT_NEAR(ma.map_vertex.x, 0.05, 0.002);
  EXPECT_NEAR(ma.map_vertex.y, 0.25, 0.003);
}

TEST(ScanFits, TheIntervalsOfNoisyDataHoldTheTruth) {
  // Eight noisy measurements: a one-standard-deviation interval holds the
  // truth in 68 % of them (5.4 of 8; fewer than 3 has a chance of 1 %), and
  // every estimate lies within three half-widths of the truth.
  ScratchDir dir;
  write_entry(dir, "true.ent", "film_true.ent", true_settings());
  EntryEdits right_sigma = true_settings();
  right_sigma.zero_correction = 0.0;
  write_entry(dir, "fit.ent", "film.ent", right_sigma);
  int covered = 0;
  std::vector<double> widths;
  for (std::uint64_t seed = 1; seed <= 8; ++seed) {
    write_model_data(dir, "true.ent", "data.dat", 3, seed);
    const ScanTable t =
        scan(options(dir, "fit.ent", "data.dat", {axis(AxisKind::kZero, 0.0, 0.1, 11)}));
    const AxisResult r = analyse(t, false).axes[0];
    ASSERT_TRUE(r.vertex.found) << seed;
    ASSERT_FALSE(r.interval.low_open || r.interval.high_open) << seed;
    const double half = (r.interval.high - r.interval.low) / 2;
    widths.push_back(half);
    EXPECT_LT(std::fabs(r.vertex.x - 0.05), 3 * half) << seed;
    if (r.interval.low <= 0.05 && 0.05 <= r.interval.high) ++covered;
  }
  EXPECT_GE(covered, 3);
  // The width depends on the error bars, not on the noise drawn.
  const auto [lo, hi] = std::minmax_element(widths.begin(), widths.end());
  EXPECT_LT(*hi / *lo, 1.5);
}

TEST(ScanFits, ALinearParameterGivesTheCurvatureErrorOfTheFit) {
  // Only the scale and the background free: the model is t * (bgr + I), so
  // with c = t * bgr it is linear in (t, c), chi-square is quadratic, and its
  // profile in t (c refitted) is a parabola whose delta(2S) = 1 interval is the
  // error of t from the curvature matrix.  A large background keeps it off its
  // bound 0.
  ScratchDir dir;
  EntryEdits e;
  e.slots = {{kBackground, 5e-5}};
  e.fix = {kAuThickness, kFeThickness, kFeNp, kFeRoughness, kCosGamma};
  write_entry(dir, "linear.ent", "film_true.ent", e);
  write_model_data(dir, "linear.ent", "data.dat", 3, 11);

  Options o = options(dir, "linear.ent", "data.dat", {});
  const Problem p = prepare_problem(o);
  ASSERT_EQ(p.free, (std::vector<int>{kScaling, kBackground}));
  auto fs = make_fit_state();
  auto t = make_tables();
  *t = *p.base;
  SilentMonitor m;
  const FitResult free_fit = run_program_fit(*t, *fs, m, 1);
  ASSERT_EQ(free_fit.IEXIT, 1);
  const double scale = t->PARAM(kScaling), error = fs->PARERR(kScaling);
  ASSERT_GT(error, 0);

  o.axes = {axis(AxisKind::kParam, scale - 3 * error, scale + 3 * error, 31, kScaling)};
  const ScanTable table = scan(o);
  const AxisResult r = analyse(table, false).axes[0];
  ASSERT_TRUE(r.vertex.found);
  EXPECT_NEAR(r.vertex.x, scale, 0.01 * error);
  EXPECT_NEAR(r.vertex.chi2, 2 * free_fit.S, 0.01);
  EXPECT_NEAR(scale - r.interval.low, error, 0.02 * error);
  EXPECT_NEAR(r.interval.high - scale, error, 0.02 * error);
  // The held scale is not among the values, and hi_sq.norm counts it as fixed.
  EXPECT_EQ(table.head.free.size(), 1u);
  const TableRow& row = table.rows[15];
  EXPECT_DOUBLE_EQ(row.chi, 2 * row.S / (p.base->npoint - 1));
}

TEST(ScanFits, StartsSpreadOverAnAliasedFilmFindItsMinimaAndCountThem) {
  // The Au and Fe thicknesses and the scale free; starts within +/-90 % of
  // the true values reach the truth and minima where the two layers trade
  // thicknesses.
  ScratchDir dir;
  EntryEdits e;
  e.fix = {kFeNp, kFeRoughness, kCosGamma, kBackground};
  write_entry(dir, "three.ent", "film_true.ent", e);
  write_model_data(dir, "three.ent", "data.dat", 3);
  Options o = options(dir, "three.ent", "data.dat", {});
  o.starts = 12;
  o.spread = 0.9;
  const Problem p = prepare_problem(o);
  RunControl c;
  c.threads = 2;
  const ScanResult r = run_scan(p, o, c);
  const PointResult& point = r.points[0];
  ASSERT_TRUE(point.done);
  ASSERT_GE(point.minima.size(), 2u);

  // The best is the truth, fitted to rounding.
  const Minimum& best = point.minima[0];
  EXPECT_LT(best.best.S, 1e-6);
  const std::vector<double> v = entry_values(p, best.best.values);
  EXPECT_NEAR(v[0], 50.0, 1e-3);
  EXPECT_NEAR(v[1], 145.0, 1e-3);
  EXPECT_NEAR(v[2], 0.25, 1e-6);
  // The others are minima far above it, each counted once, every start in one.
  std::multiset<int> starts;
  for (const Minimum& m : point.minima) starts.insert(m.starts.begin(), m.starts.end());
  EXPECT_EQ(starts.size() + static_cast<std::size_t>(point.failed), 12u);
  for (int s = 1; s <= 12; ++s) EXPECT_LE(starts.count(s), 1u);
  EXPECT_EQ(point.reached, static_cast<int>(best.starts.size()));
  const Minimum& other = point.minima[1];
  EXPECT_GT(other.best.S, 50);
  // A fit started at the second minimum stays there: it is a minimum, not a
  // fit that stopped on its way.
  auto t = make_tables();
  auto fs = make_fit_state();
  prepare_fit(*t, p, 0, 0, entry_values(p, other.best.values));
  SilentMonitor m;
  const FitResult again = run_program_fit(*t, *fs, m, 1);
  EXPECT_NEAR(again.S, other.best.S, 1e-3 * other.best.S);
}

TEST(ScanFits, FitsOfOneMinimumAreGroupedTogether) {
  const auto fit = [](double S, std::vector<double> values, std::vector<double> errors,
                      int start) {
    FitRecord f;
    f.S = S;
    f.chi = S / 100;
    f.status = 1;
    f.values = std::move(values);
    f.errors = std::move(errors);
    f.start = start;
    return f;
  };
  const std::vector<FitRecord> fits = {
      fit(500.02, {10.0, 2.0}, {0.1, 0.5}, 1),
      fit(500.0, {10.05, 2.3}, {0.1, 0.4}, 2),    // the same: S to 1e-4, values within errors
      fit(500.0, {10.3, 2.0}, {0.1, 0.5}, 3),     // a value 3 errors away
      fit(512.0, {10.0, 2.0}, {0.1, 0.5}, 4),     // a higher chi-square
      fit(std::nan(""), {10.0, 2.0}, {0, 0}, 5),  // no finite start
      fit(500.0, {10.0, 2.0}, {0.1, std::numeric_limits<double>::infinity()}, 6),
  };
  const std::vector<Minimum> m = group_minima(fits);
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(m[0].best.start, 2);  // the lowest S first
  EXPECT_EQ(m[0].starts, (std::vector<int>{1, 2, 6}));
  EXPECT_EQ(m[1].starts, (std::vector<int>{3}));
  EXPECT_EQ(m[2].starts, (std::vector<int>{4}));
  // Data fitted to rounding: S near 0 agree absolutely, not relatively.
  const std::vector<Minimum> z =
      group_minima({fit(1e-12, {1.0}, {0.1}, 1), fit(3e-3, {1.01}, {0.1}, 2)});
  EXPECT_EQ(z.size(), 1u);
}

TEST(ScanFits, TheTableIsTheSameOnOneThreadOrTwoAndFromShares) {
  ScratchDir dir;
  write_entry(dir, "true.ent", "film_true.ent", true_settings());
  write_model_data(dir, "true.ent", "data.dat", 5, 3);
  copy_film(dir);
  Options o = options(dir, "film.ent", "data.dat",
                      {axis(AxisKind::kZero, 0.0, 0.1, 3), axis(AxisKind::kParam, 46, 52, 3, 1)});
  o.starts = 2;
  o.spread = 0.2;
  o.seed = 77;
  const std::string one = table_text(scan(o, 1));
  EXPECT_EQ(table_text(scan(o, 2)), one);
  std::vector<ScanTable> parts;
  for (int i = 1; i <= 3; ++i) {
    Options part = o;
    part.part = Share{i, 3};
    parts.push_back(scan(part, 2));
    EXPECT_EQ(parts.back().rows.size(), 3u);
  }
  EXPECT_EQ(table_text(merge_tables(parts, {"1", "2", "3"})), one);
  // The draws are those of the seed: another seed, other starts.
  o.seed = 78;
  EXPECT_NE(table_text(scan(o, 2)), one);
}

TEST(ScanFits, FollowingTheValleyNeverEndsWorseAndDoesNotDependOnThreads) {
  ScratchDir dir;
  write_entry(dir, "true.ent", "film_true.ent", true_settings());
  write_model_data(dir, "true.ent", "data.dat", 5, 5);
  copy_film(dir);
  Options o = options(dir, "film.ent", "data.dat", {axis(AxisKind::kParam, 100, 190, 10, 7)});
  const ScanTable plain = scan(o);
  o.follow = true;
  const Problem p = prepare_problem(o);
  RunControl c;
  c.threads = 1;
  const ScanResult r1 = run_scan(p, o, c);
  c.threads = 2;
  const ScanResult r2 = run_scan(p, o, c);
  const ScanTable followed = make_table(p, o, r1);
  EXPECT_EQ(table_text(make_table(p, o, r2)), table_text(followed));
  EXPECT_GE(r1.passes, 1);
  ASSERT_EQ(followed.rows.size(), plain.rows.size());
  for (std::size_t k = 0; k < plain.rows.size(); ++k) {
    EXPECT_LE(followed.rows[k].S, plain.rows[k].S) << k;
    // A row improved by a neighbour's result says so.
    if (followed.rows[k].S < plain.rows[k].S) {
      EXPECT_EQ(followed.rows[k].start, 0);
    }
  }
}

TEST(ScanFits, TheEntrysOwnSettingGivesTheProgramsFit) {
  // At the entry file's own zero correction, sigma and value the grid point's
  // fit is the program's, to the last bit.
  ScratchDir dir;
  write_entry(dir, "true.ent", "film_true.ent", true_settings());
  write_model_data(dir, "true.ent", "data.dat", 4, 9);
  copy_film(dir);
  EntryEdits fixed_fe;
  fixed_fe.fix = {kFeThickness};
  write_entry(dir, "fixed.ent", "film.ent", fixed_fe);
  auto fs = make_fit_state();
  for (const auto& [entry, a] :
       std::vector<std::pair<std::string, Axis>>{
           {"film.ent", axis(AxisKind::kZero, -0.1, 0.1, 3)},
           {"film.ent", axis(AxisKind::kSigma, 0.1, 0.2, 3)},
           {"fixed.ent", axis(AxisKind::kParam, 130, 150, 3, kFeThickness)}}) {
    const Options o = options(dir, entry, "data.dat", {a});
    const Problem p = prepare_problem(o);
    const FitResult program = plain_fit(p, *fs);
    const ScanTable t = scan(o);
    ASSERT_EQ(t.rows.size(), 3u);
    EXPECT_EQ(t.rows[1].S, program.S) << entry;
    EXPECT_NE(t.rows[0].S, program.S) << entry;
  }
}

TEST(ScanFits, AGridPointsSettingAsTheReaderWouldStoreIt) {
  ScratchDir dir;
  write_entry(dir, "true.ent", "film_true.ent", true_settings());
  write_model_data(dir, "true.ent", "data.dat", 10);
  copy_film(dir);
  const Options o = options(dir, "film.ent", "data.dat",
                            {axis(AxisKind::kSigma, 0.1, 0.3, 5),
                             axis(AxisKind::kParam, 4.0, 6.0, 5, kFeNp)});
  const Problem p = prepare_problem(o);
  auto t = make_tables();
  const int g = p.grid.index({3, 1});  // sigma 0.25 mrad, N_p 4.5 (1e-6 A^-2)
  set_grid_point(*t, p, g);
  // The entry file with that sigma, its step at the ratio 0.1/0.15, and N_p
  // fixed at 4.5: read by the program's reader, the same tables.
  EntryEdits e;
  e.coll_sigma = 0.25;
  e.coll_step = 0.1 * (0.25 / 0.15);
  e.slots = {{kFeNp, 4.5}};
  e.fix = {kFeNp};
  write_entry(dir, "same.ent", "film.ent", e);
  const Problem q = prepare_problem(options(dir, "same.ent", "data.dat", {}));
  EXPECT_EQ(t->coll_sigma, q.base->coll_sigma);
  EXPECT_EQ(t->coll_step, q.base->coll_step);
  EXPECT_EQ(t->j0, 7);
  for (int j = 1; j <= 7; ++j) {
    EXPECT_EQ(t->coll_offset(j), q.base->coll_offset(j)) << j;
    EXPECT_EQ(t->coll_weight(j), q.base->coll_weight(j)) << j;
    // A Gaussian of sigma 0.25 mrad sampled every 1/6 mrad, by hand.
    const double u = (j - 4) * (0.25 * 2 / 3) / 0.25;
    double sum = 0;
    for (int k = -3; k <= 3; ++k) sum += std::exp(-std::pow(k * 2.0 / 3, 2) / 2);
    EXPECT_NEAR(t->coll_weight(j), std::exp(-u * u / 2) / sum, 1e-15) << j;
  }
  EXPECT_EQ(t->PARAM(kFeNp), q.base->PARAM(kFeNp));

  EXPECT_EQ(t->STEPLIM(kFeNp), 0);
  EXPECT_EQ(t->NFIX, q.base->NFIX);
  EXPECT_EQ(t->NFIX, p.base->NFIX + 1);
  EXPECT_EQ(degrees_of_freedom(*t), degrees_of_freedom(*q.base));
  EXPECT_EQ(p.free.size(), 6u);
  // The entry file written for that grid point is the same, byte for byte.
  EXPECT_EQ(entry_with_setting(p, p.grid.setting(g), nullptr), dir.read("same.ent"));
}

TEST(ScanFits, TheEntrysOwnStartIsItsReadersToTheLastBit) {
  // N_p = 4.332: stored as 4.332e-6 * 1e6, it does not come back from a trip
  // through the entry file's units (1e-6 A^-2) to the same bits, and a long fit
  // from a start one bit away can end elsewhere.
  ScratchDir dir;
  write_entry(dir, "true.ent", "film_true.ent", true_settings());
  write_model_data(dir, "true.ent", "data.dat", 10);
  EntryEdits e;
  e.slots = {{kFeNp, 4.332}};
  write_entry(dir, "np.ent", "film.ent", e);
  const Problem p = prepare_problem(options(dir, "np.ent", "data.dat", {}));
  const double stored = p.base->PARAM(kFeNp);
  ASSERT_NE(p.to_param(kFeNp, p.to_entry(kFeNp, stored)), stored);
  auto t = make_tables();
  prepare_fit(*t, p, 0, 1, start_values(p, 0, 1, 0.25, 1));
  for (int i = 1; i <= p.base->NPAR; ++i) EXPECT_EQ(t->PARAM(i), p.base->PARAM(i)) << i;
  // A drawn start is stored as the reader stores the entry file written for it.
  const std::vector<double> drawn = start_values(p, 0, 2, 0.25, 1);
  prepare_fit(*t, p, 0, 2, drawn);
  dir.write("drawn.ent", entry_with_setting(p, {}, &drawn));
  const Problem q = prepare_problem(options(dir, "drawn.ent", "data.dat", {}));
  for (int i = 1; i <= p.base->NPAR; ++i) EXPECT_EQ(t->PARAM(i), q.base->PARAM(i)) << i;
}

TEST(ScanFits, StartsAreDrawnWithinTheSpreadAndTheBounds) {
  ScratchDir dir;
  write_entry(dir, "true.ent", "film_true.ent", true_settings());
  write_model_data(dir, "true.ent", "data.dat", 10);
  copy_film(dir);
  const Problem p = prepare_problem(options(dir, "film.ent", "data.dat", {}));
  // The entry file's start values in its own units: 48 A, 140 A, N_p 4.8, 5 A,
  // <cos gamma> 0.75, scale 0.3, background 1e-6.
  const std::vector<double> entry = {48, 140, 4.8, 5, 0.75, 0.3, 1e-6};
  const std::vector<double> s1 = start_values(p, 0, 1, 0.25, 1);
  ASSERT_EQ(s1.size(), entry.size());
  for (std::size_t k = 0; k < entry.size(); ++k) EXPECT_NEAR(s1[k], entry[k], 1e-12 * entry[k]);
  std::set<std::vector<double>> seen;
  for (int s = 2; s <= 40; ++s) {
    const std::vector<double> v = start_values(p, 3, s, 0.25, 1);
    EXPECT_EQ(v, start_values(p, 3, s, 0.25, 1));  // the same draw every time
    seen.insert(v);
    for (std::size_t k = 0; k < entry.size(); ++k) {
      EXPECT_GE(v[k], entry[k] * 0.75 - 1e-12) << k;
      EXPECT_LE(v[k], entry[k] * 1.25 + 1e-12) << k;
    }
  }
  EXPECT_EQ(seen.size(), 39u);
  EXPECT_NE(start_values(p, 4, 2, 0.25, 1), start_values(p, 3, 2, 0.25, 1));
  EXPECT_NE(start_values(p, 3, 2, 0.25, 2), start_values(p, 3, 2, 0.25, 1));
  // A spread of 3 reaches beyond <cos gamma>'s bounds of -1 and 1: clipped.
  bool low = false, high = false;
  for (int s = 2; s <= 60; ++s) {
    const double c = start_values(p, 0, s, 3.0, 5)[4];
    EXPECT_GE(c, -1.0);
    EXPECT_LE(c, 1.0);
    low = low || c == -1.0;
    high = high || c == 1.0;
  }
  EXPECT_TRUE(low && high);
}

TEST(ScanFits, AGridPointWithoutAFiniteStartIsRecordedAndTheScanGoesOn) {
  ScratchDir dir;
  write_entry(dir, "true.ent", "film_true.ent", true_settings());
  write_model_data(dir, "true.ent", "data.dat", 10);
  copy_film(dir);
  // A background of 1e308: the weighted residuals overflow.
  const ScanTable t = scan(
      options(dir, "film.ent", "data.dat", {axis(AxisKind::kParam, 0, 1e308, 3, kBackground)}));
  ASSERT_EQ(t.rows.size(), 3u);
  EXPECT_TRUE(t.complete());
  EXPECT_TRUE(std::isfinite(t.rows[0].S));
  EXPECT_FALSE(std::isfinite(t.rows[2].S));
  EXPECT_EQ(status_word(t.rows[2].status, t.rows[2].S), "no-finite-start");
  const Analysis a = analyse(t, false);
  EXPECT_GE(a.failed, 1);
  EXPECT_EQ(a.best, 0);
}

TEST(ScanFits, AStopEndsTheRunWithWholeGridPoints) {
  ScratchDir dir;
  write_entry(dir, "true.ent", "film_true.ent", true_settings());
  write_model_data(dir, "true.ent", "data.dat", 3);
  copy_film(dir);
  Options o = options(dir, "film.ent", "data.dat", {axis(AxisKind::kZero, -0.5, 0.5, 400)});
  o.starts = 2;
  const Problem p = prepare_problem(o);
  std::atomic<int> stop{0};
  RunControl c;
  c.threads = 2;
  c.stop = &stop;
  std::thread signal([&stop] {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    stop = 15;
  });
  const ScanResult r = run_scan(p, o, c);
  signal.join();
  EXPECT_EQ(r.stopped_by, 15);
  const ScanTable t = make_table(p, o, r);
  EXPECT_LT(t.rows.size(), 400u);
  EXPECT_FALSE(t.complete());
  EXPECT_NE(t.incomplete.find("stopped by SIGTERM after " + std::to_string(t.rows.size()) +
                              " of 400 grid points"),
            std::string::npos)
      << t.incomplete;
  // Every row is a whole grid point: both its starts ended.
  for (const TableRow& row : t.rows) {
    EXPECT_TRUE(std::isfinite(row.S));
    EXPECT_GE(row.reached, 1);
    EXPECT_GE(row.minima, 1);
    EXPECT_LE(row.reached, 2);
  }
  // Stopped before it began: nothing fitted.
  const ScanResult none = run_scan(p, o, c);
  EXPECT_EQ(none.fits, 0);
  EXPECT_EQ(make_table(p, o, none).rows.size(), 0u);
}

TEST(ScanFits, ScansTheProblemCannotTakeAreRefused) {
  ScratchDir dir;
  write_entry(dir, "true.ent", "film_true.ent", true_settings());
  write_model_data(dir, "true.ent", "data.dat", 10);
  copy_film(dir);
  EntryEdits no_kernel;
  no_kernel.coll_sigma = 0;
  write_entry(dir, "nokernel.ent", "film.ent", no_kernel);
  std::string one_point = dir.read("film.ent");
  one_point.replace(one_point.find("7         j0"), 1, "1");
  dir.write("onepoint.ent", one_point);
  // Points with their own resolution.
  const MeasuredData d = read_measured_points(dir.file("data.dat"), 0);
  std::array<std::vector<DataPoint>, 4> own = d.channel;
  for (auto& c : own)
    for (DataPoint& q : c) q.resolution = 0.01 * q.theta;
  write_point_list(dir.file("own.dat"), own);

  const auto refusal = [&](const std::string& entry, const std::string& data, const Axis& a) {
    try {
      prepare_problem(options(dir, entry, data, {a}));
    } catch (const ScanError& e) {
      return std::string(e.what());
    }
    return std::string();
  };
  const Axis sigma = axis(AxisKind::kSigma, 0.1, 0.2, 3);
  EXPECT_NE(refusal("film.ent", "own.dat", sigma).find("carry their own resolution"),
            std::string::npos);
  EXPECT_NE(refusal("nokernel.ent", "data.dat", sigma)
                .find("line 19: the collimation sigma is not positive"),
            std::string::npos);
  EXPECT_NE(refusal("onepoint.ent", "data.dat", sigma).find("a kernel of one point (j0 = 1)"),
            std::string::npos);
  EXPECT_NE(refusal("film.ent", "data.dat", axis(AxisKind::kSigma, -0.1, 0.2, 3))
                .find("a sigma below 0 mrad"),
            std::string::npos);
  EXPECT_NE(refusal("film.ent", "data.dat", axis(AxisKind::kParam, 0, 1, 3, 36))
                .find("--param 36: " + dir.file("film.ent") + " has the parameters 1 to 35"),
            std::string::npos);
  EXPECT_NE(refusal("film.ent", "missing.dat", sigma).find("missing.dat"), std::string::npos);
  // The zero correction and a parameter of points with their own resolution
  // are scanned as with any data.
  EXPECT_EQ(refusal("film.ent", "own.dat", axis(AxisKind::kZero, 0, 0.1, 3)), "");
}

}  // namespace
}  // namespace tessaline::scan
