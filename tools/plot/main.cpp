// tessaline-plot: draws a finished fit.  Reads the data file named on the
// command line and the curve and results files that the fit left in the working
// directory, writes the panels' data and a gnuplot script into a temporary
// directory, and lets gnuplot draw the picture into a temporary file next to
// the output.  Only when gnuplot succeeds is that file renamed to the output
// name, so a failed run never leaves a partial picture under it.
//
// With the entry file, the model of the fit is rebuilt: the entry file with the
// values of the last block of the results file (the same in-memory update that
// tessaline-entry writes), read by the program's own reader.  It gives the
// residuals at the data's own angles and the depth profile.
//
// Exit status: 0 picture written, 1 unusable input or gnuplot failure, 2 bad
// command line.  The gnuplot program is taken from the PATH, or from the
// environment variable TESSALINE_GNUPLOT when that is set.
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
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
#include "tools/plot/plot_data.hpp"
#include "tools/plot/plot_script.hpp"

extern char** environ;

namespace fs = std::filesystem;
using namespace tessaline::plot;

namespace {

// A directory created with mkdtemp and removed with its content on every way out.
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string templ =
        fs::absolute(base && *base ? base : "/tmp").string() + "/tessaline-plot.XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) {
      throw PlotError("cannot create a temporary directory " + templ + ": " + std::strerror(errno));
    }
    path_ = templ;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The file gnuplot draws into: a new, hidden name beside the output, removed
// again unless it has been renamed into place.
class TempOutput {
 public:
  explicit TempOutput(const fs::path& out) {
    const fs::path dir = out.has_parent_path() ? out.parent_path() : fs::path(".");
    std::string templ = (dir / ("." + out.filename().string() + ".XXXXXX")).string();
    const int fd = mkstemp(templ.data());
    if (fd < 0) {
      throw PlotError("cannot create a file in " + dir.string() + " for " + out.string() + ": " +
                      std::strerror(errno));
    }
    close(fd);
    path_ = templ;
  }
  ~TempOutput() {
    if (!kept_) {
      std::error_code ec;
      fs::remove(path_, ec);
    }
  }
  TempOutput(const TempOutput&) = delete;
  TempOutput& operator=(const TempOutput&) = delete;
  const std::string& path() const { return path_; }

  void rename_to(const fs::path& out) {
    std::error_code ec;
    if (fs::file_size(path_, ec) == 0 || ec) {
      throw PlotError("gnuplot wrote no picture; " + out.string() + " is not written");
    }
    // mkstemp made the file private; the picture gets the usual permissions.
    const mode_t mask = umask(0);
    umask(mask);
    chmod(path_.c_str(), 0666 & ~mask);
    fs::rename(path_, out, ec);
    if (ec) throw PlotError("cannot rename the picture to " + out.string() + ": " + ec.message());
    kept_ = true;
  }

 private:
  std::string path_;
  bool kept_ = false;
};

void write_text(const std::string& path, const std::string& text) {
  std::ofstream f(path);
  f << text;
  f.close();
  if (!f) throw PlotError("cannot write " + path);
}

void run_gnuplot(const std::string& script) {
  const char* env = std::getenv("TESSALINE_GNUPLOT");
  std::string program = env && *env ? env : "gnuplot";
  std::string arg = script;
  char* argv[] = {program.data(), arg.data(), nullptr};
  pid_t pid = 0;
  const int err = posix_spawnp(&pid, program.c_str(), nullptr, nullptr, argv, environ);
  if (err != 0) {
    throw PlotError("cannot run " + program + ": " + std::strerror(err) +
                    " (install gnuplot, e.g. the Debian package gnuplot-nox)");
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR)
      throw PlotError(std::string("waiting for gnuplot: ") + std::strerror(errno));
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 127) {
    throw PlotError("cannot run " + program + " (install gnuplot, e.g. gnuplot-nox)");
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw PlotError(program + " failed" +
                    (WIFEXITED(status) ? " with exit status " + std::to_string(WEXITSTATUS(status))
                                       : std::string(" (killed by a signal)")));
  }
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

// Writes a whole text file through the text layer, which renames it into place
// only when it is complete.
// --profile-table: the profile of the last results block when the working
// directory has a results file, else of the entry file.
int write_profile_table(const Options& o) {
  std::optional<tessaline::ResultsFile> results;
  if (fs::exists(std::string(kResultsFile))) {
    results = tessaline::read_results_file(std::string(kResultsFile));
  }
  const tessaline::ResultsBlock* block = results ? &results->last : nullptr;
  const auto t = fitted_model(*o.entry_file, block);
  const auto profile = tessaline::depth_profile(tessaline::profile_media(*t, t->PARAM));
  tessaline::textio::replace_file(
      *o.profile_table, profile_table_text(profile, profile_source(*o.entry_file, block)));
  std::cout << "tessaline-plot: depth profile (" << profile_source(*o.entry_file, block)
            << ") written to " << *o.profile_table << "\n";
  return 0;
}

int run(const Options& o) {
  if (o.profile_table) return write_profile_table(o);
  const Format format = output_format(o);

  // Every input is read and checked before anything is created.
  PlotInput in;
  in.fit = tessaline::read_results_file(std::string(kResultsFile));
  std::unique_ptr<tessaline::Tables> model;
  if (o.entry_file) model = fitted_model(*o.entry_file, &in.fit.last);
  in.data_name = o.data_file;
  in.data = read_data_file(o.data_file, o.nn > 0 ? o.nn : model ? model->nn : 0);
  for (int c = 0; c < kChannels; ++c) {
    in.curves[static_cast<std::size_t>(c)] =
        tessaline::read_curve_file(std::string(tessaline::file_name(tessaline::OUTNAM(c + 1))));
  }
  in.first = o.first;
  in.last = o.last;
  in.status = o.status;
  if (model) {
    in.wavelength = model->wavelength;
    in.residuals = residuals(*model, in.data, excluded_mask(in.data.nn, o.first, o.last));
    in.profile = tessaline::depth_profile(tessaline::profile_media(*model, model->PARAM));
    in.profile_source = profile_source(*o.entry_file, &in.fit.last);
  }
  const std::string note = tessaline::unfinished_note(in.fit, std::string(kResultsFile));
  if (!note.empty()) std::cerr << "tessaline-plot: warning: " << note << "\n";

  const fs::path out(o.out);
  TempDir work;
  TempOutput picture(out);
  const PlotJob job = build_plot(in, work.path(), picture.path(), format, o.width, o.height);
  for (const TextFile& f : job.files) write_text(work.path() + "/" + f.name, f.text);
  const std::string script = work.path() + "/fit.gp";
  write_text(script, job.script);
  run_gnuplot(script);
  picture.rename_to(out);
  std::cout << "tessaline-plot: picture written to " << o.out << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  try {
    o = parse_options(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const PlotError& e) {
    std::cerr << "tessaline-plot: " << e.what() << "\n" << usage();
    return 2;
  }
  if (o.help) {
    std::cout << usage();
    return 0;
  }
  try {
    return run(o);
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
