// tessaline-posterior: samples of the posterior of a fit (Markov-chain Monte
// Carlo).  The command line is parsed here; everything else is in the library
// of this directory (run.hpp).
//
// SIGINT, SIGTERM and SIGHUP only set a flag, which the sampler reads between
// generations; the run then writes the samples so far, marked incomplete, and
// ends with 128 + the signal number.  Exit status 2: a bad command line.
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "textio/output_files.hpp"
#include "tools/posterior/options.hpp"
#include "tools/posterior/run.hpp"

namespace {

volatile std::sig_atomic_t g_signal = 0;

extern "C" void on_signal(int sig) { g_signal = sig; }

}  // namespace

int main(int argc, char** argv) {
  using namespace tessaline::posterior;
  Options o;
  try {
    o = parse_options(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const UsageError& e) {
    std::cerr << "tessaline-posterior: " << e.what() << "\n" << usage();
    return 2;
  }
  if (o.help) {
    std::cout << usage();
    return 0;
  }
  try {
    tessaline::textio::check_standard_streams();
  } catch (const tessaline::textio::TextError& e) {
    std::cerr << "tessaline-posterior: " << e.what() << "\n";
    return 1;
  }
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
  const int status = run(o, std::cout, std::cerr, g_signal);
  return tessaline::textio::finish_standard_output("tessaline-posterior", status, 1);
}
