// The posterior through the program's model: the sampler's evaluation against
// FUNCT on the shipped cases, a parameter the model holds linearly (Gaussian
// posterior known in closed form), one the data do not determine (flat between
// its bounds), the calibration of the intervals over noisy replicas, the
// inputs load() refuses, and the samples file read back.
#include <gtest/gtest.h>

#include "textio/output_files.hpp"

#include <algorithm>
#include <cmath>
#include <random>

#include "driver/problem.hpp"
#include "import/import.hpp"
#include "tests/posterior/posterior_setup.hpp"
#include "tools/posterior/diagnostics.hpp"
#include "tools/posterior/report.hpp"
#include "tools/posterior/sampler.hpp"

namespace tessaline::posterior::test {
namespace {

using testing::ScratchDir;

// The example cut down for the tests that sample: 40 points per channel and no
// collimation kernel, so that an evaluation is cheap.
const std::vector<std::pair<std::string, std::string>> kSmall = {{"nn:", "40        nn"},
                                                                  {"j0:", "1         j0"}};

// The data file of the spin valve, made from its reduced files as
// tessaline-import makes it.
void import_spinvalve(const ScratchDir& dir) {
  std::vector<importer::DataSet> sets;
  for (const char* c : {"A", "B", "C", "D"}) {
    const auto s =
        importer::read_reduced_file(source_file(std::string("examples/spinvalve/n101Gc1.refl") + c));
    sets.insert(sets.end(), s.begin(), s.end());
  }
  textio::StagedFiles files;
  importer::stage_imported_data(files, dir.file("spinvalve.dat"), importer::assemble(sets, {}));
  files.commit();
}

// The chi-square of the sampler's evaluation (lanes where the processor has
// them) against FUNCT's, point by point, at the files' values and at values
// moved by a few per cent: within 1e-12 relative.
TEST(PosteriorModel, TheSamplersModelValuesAreFunctsOnTheShippedCases) {
  ScratchDir dir;
  import_spinvalve(dir);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {source_file("examples/film.ent"), source_file("examples/film.dat")},
      {source_file("bench/cases/realistic.ent"), source_file("bench/cases/realistic.dat")},
      {source_file("bench/cases/realistic.ent"), source_file("bench/cases/tof.dat")},
      {source_file("bench/cases/large.ent"), source_file("bench/cases/large.dat")},
      {source_file("examples/spinvalve/spinvalve.ent"), dir.file("spinvalve.dat")}};
  for (const auto& [entry, data] : cases) {
    SCOPED_TRACE(data);
    const Problem p = load(input(entry, data));
    ChiSquare chi2(p);
    std::mt19937_64 rng(5);
    std::vector<double> x = p.start;
    for (int trial = 0; trial < 2; ++trial) {
      if (trial > 0)
        for (std::size_t k = 0; k < x.size(); ++k)
          x[k] = std::clamp(p.start[k] * (1 + 0.03 * std::normal_distribution<>()(rng)),
                            p.free[k].lower, p.free[k].upper);
      chi2(x.data());
      auto PARAM = std::make_unique<ParamVector>(p.t->PARAM);
      for (std::size_t k = 0; k < x.size(); ++k) (*PARAM)(p.free[k].slot) = x[k];
      const std::vector<double> want = point_values(*p.t, *PARAM);
      double worst = 0;
      for (std::size_t q = 0; q < want.size(); ++q)
        worst = std::max(worst, std::fabs(chi2.values()[q] - want[q]) / std::fabs(want[q]));
      EXPECT_LT(worst, 1e-12);
    }
  }
}

// The background enters every model value as scaling * background: with only
// the background free, chi^2 is a parabola in it and the posterior the
// Gaussian of weighted least squares, mean b0 + sum w r / sum w and standard
// deviation 1 / sqrt(sum w), w = (scaling / dR)^2, computed here from FUNCT's
// values at b0.  The data are the model at another background plus a wave,
// so that the mean is not the start.
TEST(PosteriorModel, TheBackgroundHasTheGaussianPosteriorOfLeastSquares) {
  ScratchDir dir;
  auto lines = kSmall;
  lines.push_back({"2.0e-6    background", "3.0e-4    background"});
  dir.write("true.ent", example_entry({}, lines));
  write_model_data(dir, "true.ent", "film.dat", 40, 0.002, 0.03, 0.05);
  {
    // A wave on the data, the same in every point's units of error bar.
    auto t = make_tables();
    std::vector<DataPoint> pts;
    const auto d = read_measured_points(dir.file("film.dat"), 40);
    for (const auto& c : d.channel)
      for (DataPoint q : c) {
        q.R += 0.3 * q.dR * std::sin(3000 * q.theta);
        pts.push_back(q);
      }
    write_data_file(dir.file("film.dat"), pts);
  }
  lines.back() = {"2.0e-6    background", "2.0e-4    background"};
  dir.write("fit.ent", example_entry({"background"}, lines));
  const Problem p = load(input(dir.file("fit.ent"), dir.file("film.dat")));
  ASSERT_EQ(p.free.size(), 1u);
  const Tables& t = *p.t;
  const int slot = p.free[0].slot;
  const double scaling = t.PARAM(slot - 2);  // total scaling: two slots before the background
  const std::vector<double> f = point_values(t, t.PARAM);
  double sw = 0, swr = 0;
  for (int q = 1; q <= t.npoint; ++q) {
    const double R = t.POINTS(4 * q - 3), dR = t.POINTS(4 * q - 2);
    const double w = (scaling / dR) * (scaling / dR);
    sw += w;
    swr += w * (R - f[static_cast<std::size_t>(q - 1)]) / scaling;
  }
  const double mean = t.PARAM(slot) + swr / sw, sd = 1 / std::sqrt(sw);
  ASSERT_GT(mean, 10 * sd);  // the bound at 0 is out of reach

  SamplerSettings s;
  s.chains = 4;
  s.burn = 200;
  s.kept = 3000;
  s.seed = 21;
  s.threads = 1;
  const SamplerResult r = run_sampler(p, start_spread(p, 1), s);
  const Marginal m = marginal(r.samples, 0, r.burn);
  EXPECT_GT(m.ess, 1200);
  EXPECT_NEAR(m.mean, mean, 0.1 * sd);  // Monte Carlo error below 0.03 sd
  EXPECT_NEAR(m.sd / sd, 1.0, 0.06);
  EXPECT_NEAR(m.hi95 - m.lo95, 2 * 1.959964 * sd, 0.15 * sd);
}

// With the polarization along y no intensity depends on <sin gamma>: the data
// do not determine it, the fit sets it aside (infinite error), and its
// posterior is the uniform prior, flat between -1 and 1.  A
// Kolmogorov-Smirnov test on samples spaced by the autocorrelation time.
TEST(PosteriorModel, AParameterTheDataDoNotDetermineIsFlatBetweenItsBounds) {
  ScratchDir dir;
  dir.write("true.ent", example_entry({}, kSmall));
  write_model_data(dir, "true.ent", "film.dat", 40, 0.002, 0.03);
  dir.write("fit.ent", example_entry({"<sin gamma>", "total scaling"}, kSmall));
  const Problem p = load(input(dir.file("fit.ent"), dir.file("film.dat")));
  ASSERT_EQ(p.free.size(), 2u);
  ASSERT_EQ(p.free[0].name, "<Sin(gamma)>");

  // The fit: set aside, infinite error.
  {
    auto t = make_tables();
    *t = *p.t;
    auto fs = make_fit_state();
    SilentMonitor monitor;
    run_program_fit(*t, *fs, monitor, 1);
    EXPECT_EQ(fs->WORKLIM(p.free[0].slot), -2.0);
  }
  const StartSpread spread = start_spread(p, 1);
  EXPECT_TRUE(spread.uniform[0]);
  EXPECT_FALSE(spread.uniform[1]);

  SamplerSettings s;
  s.chains = 4;
  s.burn = 100;
  s.kept = 2500;
  s.seed = 8;
  s.threads = 1;
  const SamplerResult r = run_sampler(p, spread, s);
  const double ess = effective_size(r.samples, 0, r.burn);
  const long rows = r.samples.rows() - r.burn * s.chains;
  const long step = std::max(1L, static_cast<long>(std::ceil(rows / ess)));
  std::vector<double> v;
  for (long row = r.burn * s.chains; row < r.samples.rows(); row += step)
    v.push_back(r.samples.x[static_cast<std::size_t>(row * 2)]);
  std::sort(v.begin(), v.end());
  double D = 0;
  const double n = static_cast<double>(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) {
    const double F = (v[i] + 1) / 2;  // uniform on [-1, 1]
    D = std::max({D, std::fabs(F - i / n), std::fabs(F - (i + 1) / n)});
  }
  EXPECT_GT(n, 300);
  EXPECT_LT(D, 1.63 / std::sqrt(n));  // 1 % level
  EXPECT_GT(v.front(), -1.0 - 1e-12);
  EXPECT_LT(v.back(), 1.0 + 1e-12);
  EXPECT_LT(v.front(), -0.9);  // it reaches both ends
  EXPECT_GT(v.back(), 0.9);
}

// Noisy replicas of a small film made by the model: over 40 replicas and three
// free parameters, the true value lies inside the central 68 % interval in
// 60-76 % of the cases and inside the 95 % interval in 88-100 %.
TEST(PosteriorModel, TheIntervalsAreCalibratedOverNoisyReplicas) {
  ScratchDir dir;
  dir.write("true.ent", example_entry({}, kSmall));
  write_model_data(dir, "true.ent", "clean.dat", 40, 0.003, 0.03, 0.08);
  const auto clean = read_measured_points(dir.file("clean.dat"), 40);
  dir.write("fit.ent", example_entry({"145.0     thickness", "5.1       N_p", "total scaling"}, kSmall));
  const double truth[3] = {145.0, 5.1e-6, 0.25};

  int inside68 = 0, inside95 = 0, cases = 0;
  for (int replica = 0; replica < 40; ++replica) {
    std::mt19937_64 rng(1000 + replica);
    std::normal_distribution<double> z;
    std::vector<DataPoint> noisy;
    for (const auto& c : clean.channel)
      for (DataPoint q : c) {
        q.R += q.dR * z(rng);
        noisy.push_back(q);
      }
    write_data_file(dir.file("noisy.dat"), noisy);
    const Problem p = load(input(dir.file("fit.ent"), dir.file("noisy.dat")));
    SamplerSettings s;
    s.chains = 6;
    s.burn = 100;
    s.kept = 400;
    s.seed = static_cast<std::uint64_t>(replica);
    s.threads = 1;
    const SamplerResult r = run_sampler(p, start_spread(p, 1), s);
    for (int k = 0; k < 3; ++k) {
      Marginal m = marginal(r.samples, k, r.burn);
      const double scale = p.free[static_cast<std::size_t>(k)].scale;
      ++cases;
      inside68 += m.lo68 / scale <= truth[k] && truth[k] <= m.hi68 / scale ? 1 : 0;
      inside95 += m.lo95 / scale <= truth[k] && truth[k] <= m.hi95 / scale ? 1 : 0;
    }
  }
  const double f68 = static_cast<double>(inside68) / cases, f95 = static_cast<double>(inside95) / cases;
  EXPECT_GE(f68, 0.60);
  EXPECT_LE(f68, 0.76);
  EXPECT_GE(f95, 0.88);
  RecordProperty("inside68", inside68);
  RecordProperty("inside95", inside95);
  std::printf("calibration: %d of %d inside the 68 %% interval, %d inside the 95 %% interval\n",
              inside68, cases, inside95);
}

TEST(PosteriorModel, LoadRefusesWhatCannotBeSampled) {
  ScratchDir dir;
  dir.write("true.ent", example_entry({}));
  write_model_data(dir, "true.ent", "film.dat", 150, 0.002, 0.03);
  const auto message = [&](const ProblemInput& in) {
    try {
      load(in);
    } catch (const PosteriorError& e) {
      return std::string(e.what());
    }
    return std::string("no refusal");
  };
  // Nothing free.
  EXPECT_NE(message(input(dir.file("true.ent"), dir.file("film.dat"))).find("every parameter is fixed"),
            std::string::npos);
  // A free start value outside the program's bounds (a negative thickness).
  dir.write("neg.ent", example_entry({"thickness"}, {{"145.0     thickness", "-5.0      thickness"}}));
  const std::string neg = message(input(dir.file("neg.ent"), dir.file("film.dat")));
  EXPECT_NE(neg.find("thickness (layer 2), -5 A, lies outside its bounds 0 .. 1e+06"),
            std::string::npos)
      << neg;
  // A narrower bound that leaves the start outside.
  dir.write("free.ent", example_entry({"145.0     thickness"}));
  ProblemInput narrow = input(dir.file("free.ent"), dir.file("film.dat"));
  narrow.bounds = {{7, 150.0, 160.0}};
  EXPECT_NE(message(narrow).find("lies outside its bounds 150 .. 160"), std::string::npos);
  narrow.bounds = {{8, 1.0, 2.0}};
  EXPECT_NE(message(narrow).find("parameter 8 of"), std::string::npos);
  narrow.bounds = {{7, -10.0, 160.0}};
  EXPECT_NE(message(narrow).find("can only be narrowed"), std::string::npos);
  narrow.bounds = {{7, 100.0, 160.0}};
  EXPECT_EQ(message(narrow), "no refusal");
  // No finite chi-square at the start: a substrate roughness of 1e4 A (its
  // upper bound), whose roughness factor overflows below the critical edges,
  // where both wave numbers at that interface are imaginary.
  dir.write("huge.ent", example_entry({"145.0     thickness"},
                                      {{"3.0       Debye-Waller", "1e4       Debye-Waller"}}));
  const std::string huge = message(input(dir.file("huge.ent"), dir.file("film.dat")));
  EXPECT_NE(huge.find("chi-square is not finite at the start values"), std::string::npos) << huge;
  // A results file of another entry file.
  dir.write("VreloBag.dat", "not a results file\n");
  ProblemInput from = input(dir.file("free.ent"), dir.file("film.dat"));
  from.from = dir.file("VreloBag.dat");
  EXPECT_NE(message(from).find(dir.file("VreloBag.dat")), std::string::npos);
  // A missing data file: the program's message, naming it.
  EXPECT_NE(message(input(dir.file("free.ent"), dir.file("missing.dat"))).find("missing.dat"),
            std::string::npos);
}

// --from: the start is the last block of the program's own fit, read back in
// the entry's units and carried in the sampler's internal ones.  The fit runs
// from a start moved off the truth of noise-free data, so the values read back
// are the truth: 145 A, and N_p = 5.1e-6 A^-2, carried as 5.1 (scale 1e6).
TEST(PosteriorModel, FromAResultsFileStartsAtTheFittedValuesInInternalUnits) {
  ScratchDir dir;
  dir.write("true.ent", example_entry({}, kSmall));
  write_model_data(dir, "true.ent", "film.dat", 40, 0.002, 0.03);
  dir.write("fit.ent", example_entry({"145.0     thickness", "5.1       N_p"},
                                     {{"nn:", "40        nn"},
                                      {"j0:", "1         j0"},
                                      {"145.0     thickness", "140.0     thickness"},
                                      {"5.1       N_p", "4.6       N_p"}}));
  dir.write("answers.txt", "fit.ent\nfilm.dat\n0\n0\n");
  {
    testing::WorkingDirectory here(dir.path());  // the program writes VreloBag.dat here
    textio::InStream keys;
    keys.open("answers.txt", "answers");
    textio::OutStream quiet;
    ASSERT_EQ(tessaline::run(keys, quiet), 0);
  }

  ProblemInput in = input(dir.file("fit.ent"), dir.file("film.dat"));
  in.from = dir.file("VreloBag.dat");
  const Problem p = load(in);
  ASSERT_EQ(p.free.size(), 2u);
  EXPECT_EQ(p.free[0].name, "thickness");
  EXPECT_NEAR(p.start[0], 145.0, 1e-3);
  EXPECT_EQ(p.free[1].name, "N_p");
  EXPECT_NEAR(p.start[1], 5.1, 1e-4);
  ASSERT_TRUE(p.free[1].fit_value.has_value());
  EXPECT_NEAR(*p.free[1].fit_value, 5.1e-6, 1e-10);
  ASSERT_TRUE(p.free[1].fit_error.has_value());
  EXPECT_GT(*p.free[1].fit_error, 0.0);
  EXPECT_LT(*p.free[1].fit_error, 1e-7);
  // The chi-square at the truth of noise-free data.
  EXPECT_LT(p.start_chi_square, 1e-6);
}

// The samples file holds every kept sample to the last bit, physical units,
// chain by chain within a generation, and says whether the run was complete.
TEST(PosteriorModel, TheSamplesFileReadsBackToTheBit) {
  ScratchDir dir;
  dir.write("true.ent", example_entry({}));
  write_model_data(dir, "true.ent", "film.dat", 150, 0.002, 0.03);
  dir.write("fit.ent", example_entry({"145.0     thickness", "5.1       N_p"}));
  const Problem p = load(input(dir.file("fit.ent"), dir.file("film.dat")));
  Options o;
  o.entry = "fit.ent";
  o.data = "film.dat";
  o.chains = 3;
  SamplerSettings s;
  s.chains = 3;
  s.burn = 4;
  s.kept = 7;
  const SamplerResult r = run_sampler(p, start_spread(p, 1), s);
  for (bool complete : {true, false}) {
    dir.write("samples.txt", samples_text(p, o, r, {complete, "interrupted by SIGINT"}));
    const SamplesFile f = read_samples(dir.file("samples.txt"));
    EXPECT_EQ(f.complete, complete);
    ASSERT_EQ(f.columns, (std::vector<std::string>{"chain", "generation", "chi2", "L2.thickness",
                                                   "L2.N_p"}));
    ASSERT_EQ(f.rows.size(), 21u);
    for (std::size_t i = 0; i < f.rows.size(); ++i) {
      const long g = 4 + static_cast<long>(i) / 3;
      const int c = static_cast<int>(i % 3);
      EXPECT_EQ(f.rows[i][0], c + 1);
      EXPECT_EQ(f.rows[i][1], g + 1);
      EXPECT_EQ(f.rows[i][2], r.samples.chi2[static_cast<std::size_t>(g * 3 + c)]);
      EXPECT_EQ(f.rows[i][3], r.samples.value(g, c, 0));                  // A
      EXPECT_EQ(f.rows[i][4], r.samples.value(g, c, 1) / 1e6);            // A^-2
    }
  }
}

}  // namespace
}  // namespace tessaline::posterior::test
