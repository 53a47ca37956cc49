// tessaline-plot: draws a fit, or the data before one.  Reads the data file
// named on the command line and, when the working directory holds a results
// file, that file and the four curve files of the fit; without a results file
// the model drawn is the start values of the entry file (--entry), or there is
// none and the picture shows the measured points alone.  The panels' data and a
// gnuplot script go into a temporary directory, in which gnuplot draws the
// picture; only when gnuplot succeeds is the picture written under the output
// name, so a failed run never leaves a partial picture there.
//
// With the entry file, the model of the fit is rebuilt: the entry file with the
// values of the last block of the results file (the same in-memory update that
// tessaline-entry writes), read by the program's own reader.  It gives the
// residuals at the data's own angles and the depth profile.
//
// An output that is one of the files read is refused before anything is read.
// Interrupted by SIGINT, SIGTERM, SIGHUP or SIGQUIT, the tool ends gnuplot and
// removes its temporary directory; only a SIGKILL can leave that directory
// behind (TMPDIR/tessaline-plot.XXXXXX).
//
// Exit status: 0 picture written, 1 unusable input, gnuplot failure or a
// standard output that fails, 2 bad command line.  The gnuplot program is taken
// from the PATH, or from the environment variable TESSALINE_GNUPLOT when that is
// set; it runs in the C.UTF-8 locale, which matches the script's encoding.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "driver/driver.hpp"
#include "driver/entry_update.hpp"
#include "model/profile.hpp"
#include "report/readers.hpp"
#include "textio/output_files.hpp"
#include "tools/plot/plot_data.hpp"
#include "tools/plot/plot_script.hpp"


namespace fs = std::filesystem;
using namespace tessaline::plot;

namespace {

using tessaline::textio::RemoveOnSignal;

// A directory created with mkdtemp, removed with its content on every way out:
// by the destructor, and by the signal handler for every file written into it
// through write() or named by reserve().
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string templ =
        fs::absolute(base && *base ? base : "/tmp").string() + "/tessaline-plot.XXXXXX";
    tessaline::textio::SignalsHeld held;  // known to the handler from the moment it exists
    if (mkdtemp(templ.data()) == nullptr) {
      throw PlotError("cannot create a temporary directory " + templ + ": " + std::strerror(errno));
    }
    path_ = templ;
    try {
      guards_.push_back(std::make_unique<RemoveOnSignal>(path_, RemoveOnSignal::Kind::kFolder));
    } catch (...) {
      rmdir(path_.c_str());
      throw;
    }
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

  // The full name of `name` in the directory, removed on a signal from now on.
  std::string reserve(const std::string& name) {
    const std::string file = path_ + "/" + name;
    guards_.push_back(std::make_unique<RemoveOnSignal>(file));
    return file;
  }
  void write(const std::string& name, const std::string& text) {
    const std::string file = reserve(name);
    std::ofstream f(file);
    f << text;
    f.close();
    if (!f) throw PlotError("cannot write " + file);
  }

 private:
  std::string path_;
  std::vector<std::unique_ptr<RemoveOnSignal>> guards_;
};

// Runs gnuplot on `script` inside `dir`; a failure is the picture's.
void run_gnuplot(const std::string& dir, const std::string& script) {
  int status = 0;
  try {
    status = tessaline::gnuplot::run_gnuplot(dir, script);
  } catch (const tessaline::gnuplot::GnuplotError& e) {
    throw PlotError(e.what());
  }
  if (status != 0) {
    throw PlotError(tessaline::gnuplot::gnuplot_program() + " failed with exit status " +
                    std::to_string(status));
  }
}

std::string read_bytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

// The model of the fit: the entry file, with the values of `block` when there
// is one, in tables with the collimation kernel built.
std::unique_ptr<tessaline::Tables> fitted_model(const std::string& entry,
                                                const tessaline::ResultsBlock* block) {
  std::string text = tessaline::read_entry_bytes(entry);
  if (block != nullptr) {
    text = tessaline::update_entry_text(text, entry, *block, std::string(kResultsFile)).text;
  }
  auto t = tessaline::make_tables();
  t->pi = tessaline::kPi;
  tessaline::textio::OutStream quiet;  // never opened: the echo is dropped
  std::istringstream in(text);
  tessaline::read_entry_file(*t, in, entry, quiet);
  tessaline::build_collimation(*t);
  return t;
}

std::string profile_source(const std::string& entry, const tessaline::ResultsBlock* block) {
  if (block == nullptr) return entry;
  return std::string(kResultsFile) + ", iteration " + std::to_string(block->iteration);
}

const char* extension(Format f) {
  switch (f) {
    case Format::svg:
      return "svg";
    case Format::pdf:
      return "pdf";
    case Format::png:
      break;
  }
  return "png";
}

// --profile-table: the profile of the last results block when the working
// directory has a results file, else of the entry file.
int write_profile_table(const Options& o, bool fitted) {
  std::vector<tessaline::textio::NamedFile> inputs{{*o.entry_file, "entry file"}};
  if (fitted) inputs.push_back(tessaline::output_files().front());
  tessaline::textio::check_outputs(inputs, {{*o.profile_table, "profile table"}});
  std::optional<tessaline::ResultsFile> results;
  if (fitted) results = tessaline::read_results_file(std::string(kResultsFile));
  const tessaline::ResultsBlock* block = results ? &results->last : nullptr;
  const auto t = fitted_model(*o.entry_file, block);
  const auto profile = tessaline::depth_profile(tessaline::profile_media(*t, t->PARAM));
  tessaline::textio::StagedFiles table;
  table.stage(*o.profile_table, profile_table_text(profile, profile_source(*o.entry_file, block)));
  table.commit();
  std::cout << "tessaline-plot: depth profile (" << profile_source(*o.entry_file, block)
            << ") written to " << *o.profile_table << "\n";
  return 0;
}

int run(const Options& o) {
  // A results file in the working directory means a fit to draw.
  const bool fitted = fs::exists(std::string(kResultsFile));
  if (o.profile_table) return write_profile_table(o, fitted);

  // No output may replace a file this run reads.
  std::vector<tessaline::textio::NamedFile> inputs{{o.data_file, "data file"}};
  if (o.entry_file) inputs.push_back({*o.entry_file, "entry file"});
  if (fitted) {
    for (auto& f : tessaline::output_files()) inputs.push_back(f);
  }
  tessaline::textio::check_outputs(inputs, {{o.out, "picture"}});
  const Format format = output_format(o);

  // Every input is read and checked before anything is created.
  PlotInput in;
  if (fitted) in.fit = tessaline::read_results_file(std::string(kResultsFile));
  const tessaline::ResultsBlock* block = in.fit ? &in.fit->last : nullptr;
  std::unique_ptr<tessaline::Tables> model;
  if (o.entry_file) model = fitted_model(*o.entry_file, block);
  in.data_name = o.data_file;
  in.data = read_data_file(o.data_file, o.nn > 0 ? o.nn : model ? model->nn : 0);
  if (fitted) {
    for (int c = 0; c < kChannels; ++c) {
      in.curves[static_cast<std::size_t>(c)] =
          tessaline::read_curve_file(std::string(tessaline::file_name(tessaline::OUTNAM(c + 1))));
    }
  } else if (model) {
    // The curves a fit from the entry file would start from, as the program
    // would write them: the data file read into the model's tables (its last
    // angle, its points' own resolutions), the same points dropped.
    tessaline::textio::OutStream quiet;
    if (o.nn > 0) tessaline::set_classic_channels(*model, o.nn);
    tessaline::read_data_file(*model, o.data_file, quiet);
    if (!tessaline::drop_points(*model, std::max(o.first, 0), std::max(o.last, 0))) {
      throw PlotError("excluding the first " + std::to_string(o.first) + " and the last " +
                      std::to_string(o.last) + " points leaves a channel without a point");
    }
    in.curves = model_curves(*model);
    in.start_model = *o.entry_file;
  }
  in.first = o.first;
  in.last = o.last;
  in.status = o.status;
  if (model) {
    in.wavelength = model->wavelength;
    in.residuals = residuals(*model, in.data, excluded_masks(in.data, o.first, o.last));
    in.profile = tessaline::depth_profile(tessaline::profile_media(*model, model->PARAM));
    in.profile_source = profile_source(*o.entry_file, block);
  }
  if (in.fit) {
    const std::string note = tessaline::unfinished_note(*in.fit, std::string(kResultsFile));
    if (!note.empty()) std::cerr << "tessaline-plot: warning: " << note << "\n";
  }

  const std::string picture_name = std::string("picture.") + extension(format);
  TempDir work;
  const std::string picture = work.reserve(picture_name);
  const PlotJob job = build_plot(in, picture_name, format, o.width, o.height);
  for (const TextFile& f : job.files) work.write(f.name, f.text);
  work.write("fit.gp", job.script);
  run_gnuplot(work.path(), "fit.gp");
  const std::string bytes = read_bytes(picture);
  if (bytes.empty()) throw PlotError("gnuplot wrote no picture; " + o.out + " is not written");
  tessaline::textio::StagedFiles out;
  out.stage(o.out, bytes);
  tessaline::textio::flush_standard_output();
  out.commit();
  std::cout << "tessaline-plot: picture written to " << o.out;
  if (!fitted) {
    std::cout << " (" << (model ? "start values of " + *o.entry_file : std::string("data alone"))
              << "; no results file " << kResultsFile << " in the working directory)";
  }
  std::cout << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    tessaline::textio::check_standard_streams();
  } catch (const tessaline::textio::TextError& e) {
    std::cerr << "tessaline-plot: " << e.what() << "\n";
    return 1;
  }
  Options o;
  try {
    o = parse_options(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const PlotError& e) {
    std::cerr << "tessaline-plot: " << e.what() << "\n" << usage();
    return 2;
  }
  if (o.help) {
    std::cout << usage();
    return tessaline::textio::finish_standard_output("tessaline-plot", 0, 1);
  }
  try {
    const int status = run(o);
    return tessaline::textio::finish_standard_output("tessaline-plot", status, 1);
  } catch (const UsageError& e) {
    std::cerr << "tessaline-plot: " << e.what() << "\n" << usage();
    return 2;
  } catch (const std::exception& e) {
    // Only the model of the entry file gives the program's refusals.
    std::cerr << "tessaline-plot: "
              << tessaline::update_failure_message(e, o.entry_file.value_or(""),
                                                   std::string(kResultsFile))
              << "\n";
    return 1;
  }
}
