// The two pictures of tessaline-posterior as gnuplot input: their data files
// and scripts, under fixed names relative to the output directory, in which
// gnuplot runs.  No text the user gave (a file name) enters a script: the
// titles are the program's parameter names and fixed words.
//
//   posterior.png  the marginal histogram of every free parameter (a density),
//                  with the Gaussian of the curvature fit over it when the
//                  run started from a results file, and the scatter of the
//                  four most strongly correlated pairs;
//   bands.png      the four channels: the measured points with their error
//                  bars over the median and the central 95 % band of the
//                  model curves of 200 samples spread evenly over the kept
//                  ones.
//
// Nothing here touches the file system; output.hpp writes the files and runs
// gnuplot.
#pragma once

#include <string>
#include <vector>

#include "tools/posterior/report.hpp"

namespace tessaline::posterior {

struct TextFile {
  std::string name;  // relative to the output directory
  std::string text;
};

struct PictureJob {
  std::vector<TextFile> files;  // data files and the script
  std::string script;           // the script's name among them
  std::string partial;          // the file gnuplot draws into
  std::string picture;          // the name it gets when gnuplot succeeded
};

// The directory, inside the output directory, of the scripts and data files.
inline constexpr const char* kPlotDir = "gnuplot";

PictureJob posterior_picture(const Problem& p, const SamplerResult& r, const Analysis& a);

// Model curves of `curves` samples spread evenly over the kept ones.
PictureJob band_picture(const Problem& p, const SamplerResult& r, const Analysis& a,
                        int curves = 200);

// The central interval of a set of model curves at every angle: q-quantiles
// over the curves (each curve one value per angle).
struct Band {
  std::vector<double> lo, median, hi;
};
Band band(const std::vector<std::vector<double>>& curves, double coverage);

}  // namespace tessaline::posterior
