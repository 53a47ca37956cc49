// The picture of a fit as gnuplot input: command-line options of tessaline-plot,
// the title, the data files of the panels and the gnuplot script that draws
// them, and the depth profile as a text table.  Nothing here touches the file
// system; the front end (main.cpp) writes the texts into a temporary directory
// and runs gnuplot in it.  The script names its files relative to that
// directory and holds no other path; every text from outside (file names in
// the titles) stands in single quotes, where gnuplot substitutes nothing, with
// control characters shown as \xHH.
//
// Every range is set by the points that take part in the fit: excluded points
// are drawn in grey where they fall inside, and do not widen an axis.
//
// Layout: four panels of reflectivity against glancing angle in mrad (UU, DD
// on the first row, UD, DU on the second) with a logarithmic intensity axis,
// measured points with error bars under the fitted curve, and below them the
// spin asymmetry (UU - DD)/(UU + DD) of data and model.  With a wavelength every
// angle axis gets a second axis on top with Q in 1/A.  With the model of the fit
// (the entry file), every channel panel gets a strip of normalized residuals
// under it and the asymmetry shares the bottom row with the depth profile.
// Without a fit the model is the start values of the entry file, or there is
// none and the picture shows the measured points alone.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/gnuplot/gnuplot.hpp"
#include "model/profile.hpp"
#include "tools/plot/plot_data.hpp"

namespace tessaline::plot {

enum class Format { png, svg, pdf };

// A command line that cannot be used; the front end adds the usage text.
class UsageError : public PlotError {
 public:
  using PlotError::PlotError;
};

struct Options {
  std::string data_file;  // empty only with profile_table
  std::optional<std::string> entry_file;
  std::optional<std::string> profile_table;  // write the depth profile here, no picture
  int first = 0;                             // points excluded at the start of every channel
  int last = 0;                              // points excluded at the end of every channel
  int nn = 0;                                // points per channel; 0: from the data file
  std::string out = "fit.png";
  std::optional<Format> format;  // from --format, else from the extension of `out`
  std::optional<int> status;     // the fit's end status, 1, -1, -2 or -3
  int width = 1200;              // pixels (pdf: hundredths of an inch)
  int height = 1600;
  bool help = false;
};

// Parses the arguments after the program name.
Options parse_options(const std::vector<std::string>& args);
Format output_format(const Options& o);
std::string usage();

// The end-status message the program prints for a status that is not
// convergence; empty for 1 (converged).
std::string status_message(int status);

// Title lines.  After a fit: data-file name, last iteration and normalized
// chi-square from the results file, a note at the iteration limit, the
// end-status message.  Without one (fit == nullptr): the data-file name and
// what is drawn, the start values of the entry file `start_model` or, when it
// is empty, the measured points alone.
std::vector<std::string> plot_title(const std::string& data_name, const ResultsFile* fit,
                                    std::optional<int> status, const std::string& start_model = "");

struct PlotInput {
  std::string data_name;
  MeasuredData data;
  std::array<Curve, kChannels> curves;  // the model; empty without one
  std::optional<ResultsFile> fit;       // empty before a fit
  std::string start_model;              // without a fit: the entry file of the curves
  std::optional<double> wavelength;     // A
  int first = 0;
  int last = 0;
  std::optional<int> status;
  std::optional<ChannelResiduals> residuals;
  std::optional<DepthProfile> profile;
  std::string profile_source;  // where the profile's values come from
};

struct TextFile {
  std::string name;  // file name inside the work directory
  std::string text;
};

struct PlotJob {
  std::vector<TextFile> files;  // data files for gnuplot
  std::string script;           // gnuplot script reading them
};

// Builds the data files and the script.  `output` is the file gnuplot writes,
// named like the data files relative to the directory gnuplot runs in.
PlotJob build_plot(const PlotInput& in, const std::string& output, Format format, int width,
                   int height);

// The depth profile as text: a comment line naming the source, then one line
// per grid point with the columns depth[A] nuclear magnetic (1e-6 A^-2).
std::string profile_table_text(const DepthProfile& p, const std::string& source);

using gnuplot::gnuplot_quote;

}  // namespace tessaline::plot
