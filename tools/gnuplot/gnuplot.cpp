// gnuplot for the tools: see gnuplot.hpp.
#include "tools/gnuplot/gnuplot.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "textio/output_files.hpp"

extern char** environ;

namespace tessaline::gnuplot {

std::string gnuplot_quote(const std::string& s) {
  std::string q = "'";
  for (const char c : s) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", byte);
      q += hex;
      continue;
    }
    q += c;
    if (c == '\'') q += '\'';
  }
  return q + "'";
}

std::string gnuplot_program() {
  const char* custom = std::getenv("TESSALINE_GNUPLOT");
  if (custom == nullptr || *custom == '\0') return "gnuplot";
  // gnuplot starts in another directory: a relative path is taken from here.
  const std::string path = custom;
  if (path.find('/') == std::string::npos) return path;
  return std::filesystem::absolute(path).string();
}

int run_gnuplot(const std::string& dir, const std::string& script) {
  std::string program = gnuplot_program();
  std::string arg = script;
  char* argv[] = {program.data(), arg.data(), nullptr};
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "LC_ALL=", 7) != 0) env.emplace_back(*e);
  }
  env.emplace_back("LC_ALL=C.UTF-8");
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
  // gnuplot starts with no signal held, while the tool holds them until it
  // knows gnuplot's process, so that a handler never misses it.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  pid_t pid = 0;
  int err = 0;
  {
    textio::SignalsHeld held;
    err = posix_spawnp(&pid, program.c_str(), &actions, &attr, argv, envp.data());
    if (err == 0) textio::end_child_on_signal(pid);
  }
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (err != 0) {
    throw GnuplotError("cannot run " + program + ": " + std::strerror(err) +
                       " (install gnuplot, e.g. the Debian package gnuplot-nox)");
  }
  int status = 0;
  int waited = 0;
  while ((waited = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
  }
  textio::end_child_on_signal(0);
  if (waited < 0) throw GnuplotError(std::string("waiting for gnuplot: ") + std::strerror(errno));
  if (WIFEXITED(status) && WEXITSTATUS(status) == 127) {
    throw GnuplotError("cannot run " + program + " (install gnuplot, e.g. gnuplot-nox)");
  }
  if (!WIFEXITED(status)) throw GnuplotError(program + " was killed by a signal");
  return WEXITSTATUS(status);
}

}  // namespace tessaline::gnuplot
