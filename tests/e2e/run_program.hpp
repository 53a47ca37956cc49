// Runs a built program of the project in a scratch directory, with a given text
// on standard input, and collects its exit status, standard output and standard
// error.  Shared by the whole-program tests.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/driver/scratch.hpp"

namespace tessaline::testing {

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs the shell command `cmd` (which starts in `dir` and redirects its
// output to stdout.txt and stderr.txt there) and collects what it left.
inline Outcome run_command(const ScratchDir& dir, const std::string& cmd) {
  const int rc = std::system(cmd.c_str());
  Outcome o;
  o.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  o.out = dir.read("stdout.txt");
  o.err = dir.read("stderr.txt");
  return o;
}

// Runs `exe` with `args` in `dir`, `input` on standard input.  A run that does
// not end within a minute (a prompt loop spinning on closed input) is killed and
// reported as status 124.
inline Outcome run_in(const ScratchDir& dir, const std::string& exe,
                      const std::vector<std::string>& args, const std::string& input) {
  dir.write("answers.txt", input);
  std::string cmd = "cd '" + dir.path().string() + "' && timeout 60 '" + exe + "'";
  for (const auto& a : args) cmd += " '" + a + "'";
  cmd += " < answers.txt > stdout.txt 2> stderr.txt";
  return run_command(dir, cmd);
}

#ifdef TESSALINE_EXE
// The fitting program, answers piped into its prompts.
inline Outcome run_program(const ScratchDir& dir, const std::string& answers) {
  return run_in(dir, TESSALINE_EXE, {}, answers);
}
#endif

}  // namespace tessaline::testing
