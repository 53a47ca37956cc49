// Helpers of the sampler's tests: the source tree's files, entry files made
// from the shipped example by replacing lines, and model-made data.
#pragma once

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "driver/driver.hpp"
#include "driver/writers.hpp"
#include "model/point_optics.hpp"
#include "tests/driver/scratch.hpp"
#include "tools/posterior/problem.hpp"

namespace tessaline::posterior::test {

// The input of load() for an entry and a data file.
inline ProblemInput input(const std::string& entry, const std::string& data) {
  ProblemInput in;
  in.entry = entry;
  in.data = data;
  return in;
}

inline std::string source_file(const std::string& relative) {
  const char* dir = std::getenv("TESSALINE_SOURCE_DIR");
  return std::string(dir != nullptr ? dir : ".") + "/" + relative;
}

// The text of `entry` with lines replaced: each pair maps a text found on a
// line (its label) to the whole new line.
inline std::string replace_lines(std::string text,
                                 const std::vector<std::pair<std::string, std::string>>& lines) {
  for (const auto& [label, line] : lines) {
    const std::size_t at = text.find(label);
    if (at == std::string::npos) return "label not found: " + label;
    const std::size_t start = text.rfind('\n', at) + 1, end = text.find('\n', at);
    text.replace(start, end - start, line);
  }
  return text;
}

// The shipped example's true model (examples/film_true.ent) with every value
// fixed but those whose value line holds one of the texts in `free` (a value
// and its label, "145.0     thickness", to tell the layers apart), and with
// further lines replaced.
inline std::string example_entry(const std::vector<std::string>& free,
                                 const std::vector<std::pair<std::string, std::string>>& lines = {}) {
  testing::ScratchDir d;
  std::string text = d.read(source_file("examples/film_true.ent"));
  // A mark line is "F" (fixed) or "-" (free), after its value line.
  std::string out;
  std::size_t pos = 0;
  std::string previous;
  while (pos < text.size()) {
    const std::size_t end = text.find('\n', pos);
    std::string line = text.substr(pos, end - pos);
    if (line == "-" || line == "F") {
      line = "F";
      for (const std::string& f : free)
        if (previous.find(f) != std::string::npos) line = "-";
    }
    out += line + "\n";
    previous = line;
    pos = end == std::string::npos ? text.size() : end + 1;
  }
  return replace_lines(out, lines);
}

// Noise-free data of `entry` on an even grid of n angles per channel from a to
// b: the model values with error bars of `relative` times the value (and a
// floor), written as a classic data file; nn of the entry must be n.
inline void write_model_data(const testing::ScratchDir& dir, const std::string& entry,
                             const std::string& data, int n, double a, double b,
                             double relative = 0.05) {
  std::vector<DataPoint> points;
  for (int c = 0; c < 4; ++c)
    for (int i = 0; i < n; ++i) points.push_back({1.0, 1.0, a + (b - a) * i / (n - 1), -1});
  write_data_file(dir.file(data), points);
  auto t = make_tables();
  t->pi = kPi;
  textio::OutStream quiet;
  read_entry_file(*t, dir.file(entry), quiet);
  read_data_file(*t, dir.file(data), quiet);
  build_collimation(*t);
  const std::vector<double> f = point_values(*t, t->PARAM);
  for (std::size_t q = 0; q < points.size(); ++q) {
    points[q].R = f[q];
    points[q].dR = relative * f[q] + 1e-9;
  }
  write_data_file(dir.file(data), points);
}

}  // namespace tessaline::posterior::test
