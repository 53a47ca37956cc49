// The files of tessaline-scan: see output.hpp.
#include "tools/scan/output.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "driver/problem.hpp"
#include "report/report.hpp"
#include "tools/gnuplot/gnuplot.hpp"
#include "textio/output_files.hpp"
#include "textio/textio.hpp"


namespace tessaline::scan {
namespace {

namespace fs = std::filesystem;

// A directory made with mkdtemp, removed with its content unless kept.
class TempDir {
 public:
  explicit TempDir(const std::string& parent) {
    std::string templ = parent + "/.best.XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr) {
      throw ScanError("cannot create a directory in " + parent + ": " + std::strerror(errno));
    }
    path_ = templ;
  }
  ~TempDir() {
    if (!kept_) {
      std::error_code ec;
      fs::remove_all(path_, ec);
    }
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  void keep() { kept_ = true; }

 private:
  std::string path_;
  bool kept_ = false;
};

}  // namespace

std::string table_file(const Share& share) {
  if (share.whole()) return "table.txt";
  return "table-" + std::to_string(share.index) + "-of-" + std::to_string(share.count) + ".txt";
}

void prepare_output_dir(const std::string& dir) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) throw ScanError("cannot create the output directory " + dir + ": " + ec.message());
  if (!fs::is_directory(dir, ec)) throw ScanError("the output " + dir + " is not a directory");
  std::string probe = dir + "/.probe.XXXXXX";
  const int fd = ::mkstemp(probe.data());
  if (fd < 0) {
    throw ScanError("cannot write into the output directory " + dir + ": " + std::strerror(errno));
  }
  ::close(fd);
  ::unlink(probe.c_str());
}

void check_names(const std::vector<textio::NamedFile>& inputs, const std::string& dir,
                 const Share& share, const std::optional<std::string>& write_entry) {
  std::vector<textio::NamedFile> outputs = {{dir + "/" + table_file(share), "scan table"},
                                            {dir + "/" + kReportFile, "report"}};
  if (write_entry) outputs.push_back({*write_entry, "entry file of the best setting"});
  try {
    textio::check_outputs(inputs, outputs);
  } catch (const textio::TextError& e) {
    throw ScanError(e.what());
  }
}

void check_output_file(const std::string& path) {
  std::error_code ec;
  const fs::path parent = fs::path(path).has_parent_path() ? fs::path(path).parent_path() : ".";
  if (fs::is_directory(path, ec)) throw ScanError(path + " is a directory, not a file");
  if (!fs::is_directory(parent, ec) || ::access(parent.c_str(), W_OK | X_OK) != 0) {
    throw ScanError("cannot write " + path + ": its directory " + parent.string() +
                    " does not exist or takes no new files");
  }
}

void write_text_file(const std::string& path, const std::string& text) {
  try {
    textio::replace_file(path, text);
  } catch (const textio::TextError& e) {
    throw ScanError(e.what());
  }
}

void draw_picture(const std::string& dir, const PictureJob& job) {
  for (const TextFile& f : job.files) write_text_file(dir + "/" + f.name, f.text);
  const std::string temporary = dir + "/" + job.temporary;
  std::error_code ec;
  fs::remove(temporary, ec);
  const std::string program = gnuplot::gnuplot_program();
  int status = 0;
  try {
    status = gnuplot::run_gnuplot(dir, job.script);
  } catch (const gnuplot::GnuplotError& e) {
    fs::remove(temporary, ec);
    throw ScanError(e.what());
  }
  if (status != 0 || !fs::exists(temporary, ec) || fs::file_size(temporary, ec) == 0) {
    fs::remove(temporary, ec);
    throw ScanError(program + (status != 0 ? " failed with exit status " + std::to_string(status)
                                           : std::string(" wrote no picture")) +
                    "; " + dir + "/" + job.picture + " is not written");
  }
  fs::rename(temporary, dir + "/" + job.picture, ec);
  if (ec) throw ScanError("cannot rename the picture to " + dir + "/" + job.picture + ": " + ec.message());
}

FitRecord write_best_fit(const Problem& p, int g, int start_number,
                         const std::vector<double>& start, const std::string& dir) {
  const std::string entry =
      entry_with_setting(p, p.grid.setting(g), start_number == 1 ? nullptr : &start);
  TempDir work(dir);
  const std::string prefix = work.path() + "/";
  auto t = make_tables();
  auto state = make_fit_state();
  prepare_fit(*t, p, g, start_number, start);
  FitResult r;
  try {
    textio::OutStream console;  // never opened: the iterations go to the results file only
    textio::OutStream results;
    write_results_head(results, *t, prefix);
    IterationMonitor monitor(*t, *state, console, results);
    r = run_program_fit(*t, *state, monitor);
    write_closing_line(console, results);
    write_curve_files(*t, console, prefix);
    textio::replace_file(prefix + kBestEntry, entry);
  } catch (const textio::TextError& e) {
    throw ScanError(e.what());
  }
  const std::string best = dir + "/" + kBestDir;
  std::error_code ec;
  fs::remove_all(best, ec);
  fs::rename(work.path(), best, ec);
  if (ec) throw ScanError("cannot rename " + work.path() + " to " + best + ": " + ec.message());
  work.keep();
  FitRecord rec = record_fit(*t, *state, p, r.S, r.IEXIT);
  rec.start = start_number;
  rec.start_values = start;
  return rec;
}

}  // namespace tessaline::scan
