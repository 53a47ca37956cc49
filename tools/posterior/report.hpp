// What tessaline-posterior reports: the analysis of the kept samples, the
// summary (console and DIR/summary.txt) and the samples file DIR/samples.txt
// with its reader.
//
// The samples file: comment lines starting with '#' (the first names the
// format, one says whether the run is complete, the last names the columns),
// then one line per kept sample, generation by generation and chain by chain
// within a generation: the chain (from 1), the generation (from 1, burn-in
// included), chi-square and the free values in physical units, as the results
// file shows them (A, A^-2, rad), each with 17 significant digits.
#pragma once

#include <string>
#include <vector>

#include "tools/posterior/diagnostics.hpp"
#include "tools/posterior/options.hpp"
#include "tools/posterior/problem.hpp"
#include "tools/posterior/sampler.hpp"

namespace tessaline::posterior {

// The first line of a samples file.
inline constexpr const char* kSamplesHeader = "# tessaline-posterior samples";

// The kept samples in figures.
struct Analysis {
  long from = 0;   // first kept generation (row index)
  long kept = 0;   // kept samples, all chains
  std::vector<Marginal> marginal;  // per free parameter, physical units
  std::vector<double> correlation;  // n x n
  double chi2_min = 0, chi2_median = 0;
  int not_converged = 0;  // parameters with R-hat above kMaxRhat or too few effective samples
};

Analysis analyze(const Problem& p, const SamplerResult& r);

// How the run ended: "" for a complete run, else the reason it stopped early
// ("interrupted by SIGINT after generation 812 of 5000").
struct RunEnd {
  bool complete = true;
  std::string reason;
};

// The summary.  With `matrix` false the correlation matrix is left out (the
// console of a run with many free parameters) and a line says where it is.
std::string summary_text(const Problem& p, const Options& o, const SamplerResult& r,
                         const Analysis& a, const RunEnd& end, bool matrix = true);

// Free parameters up to which the console shows the correlation matrix too.
inline constexpr int kConsoleMatrix = 12;

std::string samples_text(const Problem& p, const Options& o, const SamplerResult& r,
                         const RunEnd& end);

// A samples file as read back.
struct SamplesFile {
  bool complete = false;
  std::vector<std::string> columns;  // "chain", "generation", "chi2", then the labels
  std::vector<std::vector<double>> rows;
};

// Reads a samples file; throws PosteriorError naming the file and the line.
SamplesFile read_samples(const std::string& path);

}  // namespace tessaline::posterior
