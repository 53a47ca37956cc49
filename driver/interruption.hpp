// What a run leaves behind when it is interrupted (SIGINT, SIGTERM, SIGHUP,
// SIGQUIT) while it writes its outputs.
//
// The results file is written line by line during the fit, so an interrupted run
// would leave it cut after some block, beside curve files of an earlier run: a
// mix that looks like one run's output.  While an OutputGuard is alive, such a
// signal ends the run with a complete last line in the results file that says
// the run was interrupted and what that means, removes every curve file that is
// not this run's complete output, and tells the user on standard error.  The
// handler does only what is safe in a signal handler (write, open, unlink),
// then ends the process with the signal's default action.
#pragma once

namespace tessaline {

class OutputGuard {
 public:
  // Old curve files are removed at once: the fit that follows replaces them,
  // and until it has, none of them may pass for this run's.
  OutputGuard();
  ~OutputGuard();
  OutputGuard(const OutputGuard&) = delete;
  OutputGuard& operator=(const OutputGuard&) = delete;

  // The results file is open on `fd` and the fit runs.
  void fitting(int results_fd);
  // The results file is complete and closed; the curve files are being written.
  void writing_curves();
};

}  // namespace tessaline
