// Files and pictures of tessaline-posterior: see output.hpp.
#include "tools/posterior/output.hpp"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "textio/output_files.hpp"
#include "textio/textio.hpp"

extern char** environ;

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
  const char* env = std::getenv("TESSALINE_GNUPLOT");
  std::string program = env && *env ? env : "gnuplot";
  // gnuplot starts in `dir`: a program named by a relative path is found from here.
  if (program.find('/') != std::string::npos) program = fs::absolute(program).string();
  std::string script = job.script;
  char* argv[] = {program.data(), script.data(), nullptr};
  const fs::path partial = fs::path(dir) / job.partial;
  std::error_code ec;
  fs::remove(partial, ec);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
  pid_t pid = 0;
  const int err = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (err != 0) {
    throw PosteriorError("cannot run " + program + ": " + std::strerror(err) +
                         " (install gnuplot, e.g. the Debian package gnuplot-nox); " +
                         job.picture + " is not drawn");
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw PosteriorError(std::string("waiting for gnuplot: ") + std::strerror(errno));
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !fs::exists(partial, ec) ||
      fs::file_size(partial, ec) == 0) {
    fs::remove(partial, ec);
    const std::string how =
        WIFEXITED(status) && WEXITSTATUS(status) == 127
            ? "cannot run " + program + " (install gnuplot, e.g. gnuplot-nox)"
            : program + " failed" +
                  (WIFEXITED(status) ? " with exit status " + std::to_string(WEXITSTATUS(status))
                                     : std::string(" (killed by a signal)"));
    throw PosteriorError(how + "; " + job.picture + " is not drawn");
  }
  fs::rename(partial, fs::path(dir) / job.picture, ec);
  if (ec) {
    throw PosteriorError("cannot rename the picture to " + (fs::path(dir) / job.picture).string() +
                         ": " + ec.message());
  }
}

}  // namespace tessaline::posterior
