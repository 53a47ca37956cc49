// Files and pictures of tessaline-posterior: see output.hpp.
#include "tools/posterior/output.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "textio/output_files.hpp"
#include "tools/gnuplot/gnuplot.hpp"
#include "textio/textio.hpp"


namespace tessaline::posterior {

namespace fs = std::filesystem;

void prepare_output_directory(const std::string& dir) {
  std::error_code ec;
  if (fs::exists(dir, ec) && !fs::is_directory(dir, ec)) {
    throw PosteriorError("--out " + dir + ": exists and is not a directory");
  }
  fs::create_directories(dir, ec);
  if (ec) throw PosteriorError("--out " + dir + ": cannot be created: " + ec.message());
  // A directory that exists can still refuse new files (permissions, a
  // read-only file system): try one.
  std::string probe = (fs::path(dir) / ".tessaline-posterior.XXXXXX").string();
  const int fd = mkstemp(probe.data());
  if (fd < 0) {
    throw PosteriorError("--out " + dir + ": no file can be written there: " +
                         std::strerror(errno));
  }
  close(fd);
  unlink(probe.c_str());
}

void write_files(const std::string& dir, const std::vector<TextFile>& files) {
  for (const TextFile& f : files) {
    const fs::path path = fs::path(dir) / f.name;
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    if (ec) {
      throw PosteriorError(path.parent_path().string() + ": cannot be created: " + ec.message());
    }
    try {
      textio::replace_file(path.string(), f.text);
    } catch (const textio::TextError& e) {
      throw PosteriorError(e.what());
    }
  }
}

void draw(const std::string& dir, const PictureJob& job) {
  write_files(dir, job.files);
  const std::string program = gnuplot::gnuplot_program();
  const fs::path partial = fs::path(dir) / job.partial;
  std::error_code ec;
  fs::remove(partial, ec);
  int exit_status = 0;
  try {
    exit_status = gnuplot::run_gnuplot(dir, job.script);
  } catch (const gnuplot::GnuplotError& e) {
    fs::remove(partial, ec);
    throw PosteriorError(std::string(e.what()) + "; " + job.picture + " is not drawn");
  }
  if (exit_status != 0 || !fs::exists(partial, ec) || fs::file_size(partial, ec) == 0) {
    fs::remove(partial, ec);
    const std::string how =
        exit_status != 0 ? program + " failed with exit status " + std::to_string(exit_status)
                         : program + " wrote no picture";
    throw PosteriorError(how + "; " + job.picture + " is not drawn");
  }
  fs::rename(partial, fs::path(dir) / job.picture, ec);
  if (ec) {
    throw PosteriorError("cannot rename the picture to " + (fs::path(dir) / job.picture).string() +
                         ": " + ec.message());
  }
}

}  // namespace tessaline::posterior
