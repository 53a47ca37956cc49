// Model data and entry files for the tests of scans: the shipped example's
// film with its settings and marks changed, and data made by the model itself
// at some of the example's angles (as a point list), with or without Gaussian
// noise of their error bars.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "driver/driver.hpp"
#include "driver/entry_update.hpp"
#include "driver/writers.hpp"
#include "model/point_optics.hpp"
#include "tests/driver/scratch.hpp"
#include "tests/scan/table_fixture.hpp"
#include "tools/scan/scan.hpp"

namespace tessaline::scan::testing {

using tessaline::testing::ScratchDir;

inline std::string example_file(const std::string& name) {
  return std::string(TESSALINE_EXAMPLES_DIR) + "/" + name;
}

// An example entry file with `edits` written in, saved as dir/name.
inline void write_entry(const ScratchDir& dir, const std::string& name,
                        const std::string& example, const EntryEdits& edits) {
  const std::string text = read_entry_bytes(example_file(example));
  dir.write(name, edit_entry_text(text, example, edits));
}

// The truth of the tests: the example's true film measured with a zero
// correction of 0.05 mrad and a resolution of 0.25 mrad (the kernel's step at
// the example's ratio of 2/3).
inline EntryEdits true_settings() {
  EntryEdits e;
  e.zero_correction = 0.05;
  e.coll_sigma = 0.25;
  e.coll_step = 0.1 * (0.25 / 0.15);
  return e;
}

// Data of the model of dir/entry at every `stride`-th angle of each channel of
// the example's data file, as a point list dir/data: error bars of 5 % (and
// 1e-7), and with `noise` Gaussian noise of them from that seed.
inline void write_model_data(const ScratchDir& dir, const std::string& entry,
                             const std::string& data, int stride,
                             std::optional<std::uint64_t> noise = std::nullopt) {
  const MeasuredData example = read_measured_points(example_file("film.dat"), 150);
  std::array<std::vector<DataPoint>, 4> c;
  for (std::size_t k = 0; k < 4; ++k)
    for (std::size_t i = 0; i < example.channel[k].size(); i += static_cast<std::size_t>(stride))
      c[k].push_back({1.0, 1.0, example.channel[k][i].theta, -1.0});
  write_point_list(dir.file(data), c);
  auto t = make_tables();
  t->pi = kPi;
  textio::OutStream quiet;
  read_entry_file(*t, dir.file(entry), quiet);
  read_data_file(*t, dir.file(data), quiet);
  build_collimation(*t);
  const std::vector<double> f = point_values(*t, t->PARAM);
  std::mt19937_64 rng(noise.value_or(0));
  std::normal_distribution<double> gauss(0.0, 1.0);
  std::size_t q = 0;
  for (auto& channel : c)
    for (DataPoint& p : channel) {
      p.dR = 0.05 * std::fabs(f[q]) + 1e-7;
      p.R = f[q] + (noise ? p.dR * gauss(rng) : 0.0);
      ++q;
    }
  write_point_list(dir.file(data), c);
}

inline Options options(const ScratchDir& dir, const std::string& entry, const std::string& data,
                       std::vector<Axis> axes) {
  Options o;
  o.entry = dir.file(entry);
  o.data = dir.file(data);
  o.axes = std::move(axes);
  o.out = dir.file("out");
  return o;
}

}  // namespace tessaline::scan::testing
