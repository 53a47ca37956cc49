// tessaline-scan: profile scans of the zero correction, the collimation sigma
// and any parameter held at a series of values, alone or two at a time for a
// map, and fits from many starts; see tools/scan/scan.hpp and the README.
//
// This front end parses the command line, turns SIGINT and SIGTERM into a
// flag that the fits look at (the run then writes the table of what it has
// fitted, marked incomplete, within one iteration of every fit running) and
// runs the library.  Exit status: 0 done, 1 an input that cannot be used, a
// file that cannot be written or a standard output that fails, 2 a bad command
// line, 128 + the signal's number when stopped by one.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "textio/output_files.hpp"
#include "tools/scan/scan.hpp"
#include "tools/scan/tool.hpp"

namespace {

std::atomic<int> stop_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler stores into it");

extern "C" void on_signal(int sig) { stop_signal.store(sig); }

void catch_signals() {
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  // Every signal only asks the run to stop: a batch system or `timeout` may
  // deliver one to the process and again to its group, and the second must not
  // end the run before it has written its table.
  sa.sa_flags = SA_RESTART;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tessaline::scan;
  Options o;
  try {
    o = parse_options(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const UsageError& e) {
    std::fprintf(stderr, "tessaline-scan: %s\n%s", e.what(), usage().c_str());
    return kExitUsage;
  }
  if (o.help) {
    std::printf("%s", usage().c_str());
    return 0;
  }
  try {
    tessaline::textio::check_standard_streams();
  } catch (const tessaline::textio::TextError& e) {
    std::fprintf(stderr, "tessaline-scan: %s\n", e.what());
    return kExitFailure;
  }
  catch_signals();
  const int status = run_tool(o, &stop_signal);
  return tessaline::textio::finish_standard_output("tessaline-scan", status, kExitFailure);
}
