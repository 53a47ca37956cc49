// tessaline-sim: a synthetic data file from an entry file.
//
//   tessaline-sim ENTRY DATA OUT [--noise SEED]
//   tessaline-sim ENTRY --grid THETA_FIRST THETA_LAST OUT [--error REL] [--noise SEED]
//
// Reads the model of ENTRY (as the fitting program does, without its echo) and
// writes OUT in the data-file format: 4*nn points, channels UU, DD, UD, DU, one
// point per line: reflectivity, error bar, angle in rad; or, when DATA is a
// point list, a point list with DATA's channels, angles and resolutions.  The reflectivity is the
// model value of the entry file's parameters.  The angles and error bars come from
// DATA, or from an even grid of nn angles per channel with error bars REL times the
// model value plus 1e-7 (default REL 0.05).  With --noise, Gaussian noise of the error bars is
// added, drawn from the given seed (a 64-bit Mersenne twister), which is printed.
// Numbers are written with 17 significant digits, so that a file without noise
// holds the model values to the last bit.  An OUT that is ENTRY or DATA is
// refused before anything is read.  Exit status: 0 written, 1 a stop of the
// program on ENTRY or DATA, 2 a bad command line, a file that cannot be read or
// written, or a standard output that fails.
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "driver/driver.hpp"
#include "driver/writers.hpp"
#include "model/angle_groups.hpp"
#include "model/point_optics.hpp"
#include "tables/tables.hpp"
#include "textio/output_files.hpp"
#include "textio/textio.hpp"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: tessaline-sim ENTRY DATA OUT [--noise SEED]\n"
               "       tessaline-sim ENTRY --grid THETA_FIRST THETA_LAST OUT [--error REL] "
               "[--noise SEED]\n");
  return tessaline::kExitTextError;
}

bool parse_double(const char* s, double& v) {
  char* end = nullptr;
  v = std::strtod(s, &end);
  return end != s && *end == '\0' && std::isfinite(v);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tessaline;
  try {
    textio::check_standard_streams();
  } catch (const textio::TextError& e) {
    std::fprintf(stderr, "tessaline-sim: %s\n", e.what());
    return kExitTextError;
  }
  if (argc < 4) return usage();
  const std::string entry = argv[1];
  std::string data, out;
  bool grid = false, noise = false;
  double theta_first = 0, theta_last = 0, rel_error = 0.05;
  unsigned long long seed = 0;
  int a = 2;
  if (std::strcmp(argv[a], "--grid") == 0) {
    if (argc < 6 || !parse_double(argv[3], theta_first) || !parse_double(argv[4], theta_last) ||
        !(theta_first > 0) || !(theta_last > theta_first))
      return usage();
    grid = true;
    out = argv[5];
    a = 6;
  } else {
    data = argv[2];
    out = argv[3];
    a = 4;
  }
  for (; a < argc; ++a) {
    if (std::strcmp(argv[a], "--noise") == 0 && a + 1 < argc) {
      char* end = nullptr;
      seed = std::strtoull(argv[++a], &end, 10);
      if (*end != '\0') return usage();
      noise = true;
    } else if (std::strcmp(argv[a], "--error") == 0 && a + 1 < argc && grid) {
      if (!parse_double(argv[++a], rel_error) || !(rel_error > 0)) return usage();
    } else {
      return usage();
    }
  }

  auto t = make_tables();
  t->pi = kPi;
  textio::OutStream quiet;  // the entry file's echo is not wanted here
  try {
    std::vector<textio::NamedFile> inputs{{entry, "entry file"}};
    if (!grid) inputs.push_back({data, "data file"});
    textio::check_outputs(inputs, {{out, "new data file"}});
    read_entry_file(*t, entry, quiet);
    if (grid) {
      set_classic_channels(*t, t->nn);
      for (int c = 1; c <= 4; ++c) {
        for (int p = 1; p <= t->nn; ++p) {
          const int k = 1 + 4 * ((c - 1) * t->nn + p - 1);
          t->POINTS(k + 2) = t->nn == 1
                                 ? theta_first
                                 : theta_first + (theta_last - theta_first) * (p - 1) / (t->nn - 1);
          t->POINTS(k + 3) = c;
        }
      }
    } else {
      read_data_file(*t, data, quiet);
    }
  } catch (const textio::TextError& e) {
    std::fprintf(stderr, "tessaline-sim: %s\n", e.what());
    return kExitTextError;
  } catch (const RunStop& e) {
    std::fprintf(stderr, "tessaline-sim: %s\n", e.what());
    return e.status();
  } catch (const InputDialogueStop& e) {
    std::fprintf(stderr, "tessaline-sim: %s is not a valid input\n",
                 grid ? entry.c_str() : data.c_str());
    return kExitStop;
  }
  build_collimation(*t);

  std::mt19937_64 rng(seed);
  std::normal_distribution<double> gauss(0.0, 1.0);
  if (noise) std::printf("tessaline-sim: Gaussian noise of the error bars, seed %llu\n", seed);

  // The model value of every point, one optics evaluation per distinct angle.
  const std::vector<double> model_values = point_values(*t, t->PARAM);
  std::vector<DataPoint> points;
  std::array<std::vector<DataPoint>, kChannels> channels;
  points.reserve(static_cast<std::size_t>(t->npoint));
  for (int p = 1; p <= t->npoint; ++p) {
    const int k = 1 + t->nvalues * (p - 1);
    const double model = model_values[static_cast<std::size_t>(p - 1)];
    // Grid error bars: relative, with a floor for channels whose model is near zero.
    const double error = grid ? rel_error * (std::fabs(model) + 1e-7) : t->POINTS(k + 1);
    const double value = noise ? model + error * gauss(rng) : model;
    points.push_back({value, error, t->POINTS(k + 2), point_resolution(*t, p)});
    channels[static_cast<std::size_t>(channel_of(t->POINTS(k + 3)) - 1)].push_back(points.back());
  }
  try {
    textio::StagedFiles files;
    // A point list gives back a point list of the same channels and resolutions.
    if (t->point_list) {
      stage_point_list(files, out, channels);
    } else {
      stage_data_file(files, out, points);
    }
    textio::flush_standard_output();  // the seed was seen, or nothing is written
    commit_files(files);
  } catch (const std::runtime_error& e) {  // WriteError, textio::TextError
    std::fprintf(stderr, "tessaline-sim: %s\n", e.what());
    return kExitTextError;
  }
  if (t->point_list) {
    std::printf("tessaline-sim: a point list of %d points written to %s\n", t->npoint, out.c_str());
  } else {
    std::printf("tessaline-sim: %d points per channel written to %s\n", t->nn, out.c_str());
  }
  return textio::finish_standard_output("tessaline-sim", kExitNormal, kExitTextError);
}
