// Field series of the examples' Au/Fe/Cr film for the tests, made in a scratch
// directory: entry files written with the project's entry-file writer, data
// files of the model itself (17 digits, so that the model values come back to
// the last bit) or with Gaussian noise of their error bars, the series file,
// and a joint fit run in-process as the tool runs it.
#pragma once

#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "driver/problem.hpp"
#include "driver/writers.hpp"
#include "model/point_optics.hpp"
#include "tests/driver/scratch.hpp"
#include "tests/e2e/library_run.hpp"
#include "tools/series/series.hpp"
#include "tools/series/series_file.hpp"
#include "tools/series/series_report.hpp"
#include "tools/series/series_sgz.hpp"

namespace tessaline::testing {

// The film: its structure and scale, which a field series shares, and its
// magnetic state and background, which belong to each field.  Free in the
// entry file: the thicknesses of Au and Fe, the roughness of Fe, the scale,
// N_p of Fe, <cos gamma>, <sin^2 gamma> and the background.
struct Film {
  double au = 50.0, fe = 145.0, fe_dw = 6.5, scale = 0.25;
  double np = 5.1, cos_g = 0.8, sin2 = 0.3, bgr = 2e-6;
  int nn = 60;  // points per channel
  int j0 = 7;
  double step = 0.1, sigma = 0.15;  // mrad
};

inline EntryDescription film_entry(const Film& f) {
  EntryDescription d;
  const auto free = [](double v) { return EntryValue{v, false, {}}; };
  const auto fixed = [](double v) { return EntryValue{v, true, {}}; };
  d.Pi = {fixed(0.0), fixed(0.98), fixed(0.0)};
  d.Pf = {fixed(0.0), fixed(0.97), fixed(0.0)};
  d.wavelength = 4.5;
  d.nn = f.nn;
  d.j0 = f.j0;
  d.coll_step = f.step;
  d.coll_sigma = f.sigma;
  d.layers.push_back(
      {"layer 1: Au", free(f.au), fixed(4.5), fixed(0.015), fixed(0.0), fixed(1.0), fixed(6.0)});
  d.layers.push_back(
      {"layer 2: Fe", free(f.fe), fixed(8.0), fixed(0.0), free(f.np), fixed(1.0), free(f.fe_dw)});
  d.layers.push_back(
      {"layer 3: Cr", fixed(30.0), fixed(3.0), fixed(0.0), fixed(0.0), fixed(1.0), fixed(4.0)});
  d.substrate = {"substrate: Si", {}, fixed(2.07), fixed(0.0), fixed(0.0), fixed(1.0), fixed(3.0)};
  d.cos_gamma = free(f.cos_g);
  d.sin_gamma = fixed(0.6);  // drops out with the polarization along y
  d.sin2_gamma = free(f.sin2);
  d.scaling = free(f.scale);
  d.alpha0 = fixed(0.0);
  d.background = free(f.bgr);
  return d;
}

// Parameter numbers of the film (3 layers).
inline constexpr int kAu = 1, kFe = 7, kNp = 10, kFeDW = 12, kCosG = 24, kSin2 = 26, kScale = 27,
                     kBgr = 29;

// Data of `entry` at f.nn angles per channel from 2 to 30 mrad: the model
// values with error bars of 5 % (and a floor), plus Gaussian noise of the
// error bars drawn from `seed` unless it is 0.
inline void write_model_data(const ScratchDir& dir, const std::string& entry,
                             const std::string& data, int nn, unsigned seed = 0) {
  std::vector<DataPoint> points;
  for (int c = 0; c < 4; ++c)
    for (int p = 0; p < nn; ++p) points.push_back({1.0, 1.0, 0.002 + 0.028 * p / (nn - 1)});
  write_data_file(dir.file("template.dat"), points);
  const auto t = load_model(dir.file(entry), dir.file("template.dat"));
  const std::vector<double> f = point_values(*t, t->PARAM);
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> gauss(0.0, 1.0);
  for (std::size_t q = 0; q < points.size(); ++q) {
    points[q].dR = 0.05 * std::fabs(f[q]) + 1e-7;
    points[q].R = seed == 0 ? f[q] : f[q] + points[q].dR * gauss(rng);
  }
  write_data_file(dir.file(data), points);
}

// Writes NAME.ent (from `f`) and NAME.dat (its model data) for every set.
inline void write_field_sets(const ScratchDir& dir,
                             const std::vector<std::pair<std::string, Film>>& sets,
                             unsigned seed = 0) {
  for (const auto& [name, film] : sets) {
    write_entry_file(dir.file(name + ".ent"), film_entry(film));
    write_model_data(dir, name + ".ent", name + ".dat", film.nn, seed == 0 ? 0 : seed++);
  }
}

// A series file of the sets NAME (NAME.ent, NAME.dat) and the further lines.
inline std::string series_text(const std::vector<std::string>& sets,
                               const std::vector<std::string>& more = {}) {
  std::string s = "# tessaline series\n";
  for (const auto& name : sets) s += "set " + name + " " + name + ".ent " + name + ".dat\n";
  for (const auto& line : more) s += line + "\n";
  return s;
}

// A joint fit run in-process as the tool runs it, its console dropped.
struct JointFit {
  series::Series s;
  std::unique_ptr<FitState> fs = make_fit_state();
  std::unique_ptr<series::SeriesSGZ> sgz;
  textio::OutStream quiet;
  std::unique_ptr<series::SeriesMonitor> monitor;
  FitResult result;

  explicit JointFit(const std::string& series_file, int threads = 2)
      : s(series::load_series(series::read_series_file(series_file))) {
    sgz = std::make_unique<series::SeriesSGZ>(s, threads);
    monitor = std::make_unique<series::SeriesMonitor>(s, *fs, *sgz, quiet);
    result = run_program_fit(*s.joint, *fs, *monitor, *sgz);
  }
  // The fitted physical value and error of joint parameter j.
  double value(int j) const { return s.joint->PARAM(j) / s.joint->SCALE(j); }
  double error(int j) const { return fs->PARERR(j) / s.joint->SCALE(j); }
  // The joint index of slot i of set k.
  int index(std::size_t k, int i) const { return s.sets[k].joint[static_cast<std::size_t>(i)]; }
  // 2S/dof of the series and of set k at pass n.
  double chi_square(std::size_t n) const {
    return 2 * monitor->passes()[n].S / (s.npoint() - s.joint->NPAR);
  }
  double set_chi_square(std::size_t n, std::size_t k) const {
    const series::SeriesSet& set = s.sets[k];
    return 2 * monitor->passes()[n].set_S[k] / (set.t->npoint - set.nfree);
  }
};

}  // namespace tessaline::testing
