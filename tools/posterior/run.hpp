// A whole run of tessaline-posterior, from the checked command line to the
// files: read and check the inputs and the output directory, sample (with a
// progress line on `err` for runs longer than a few seconds), print the
// summary on `out`, and write DIR/samples.txt, DIR/summary.txt and the two
// pictures.
#pragma once

#include <csignal>
#include <ostream>

#include "tools/posterior/options.hpp"

namespace tessaline::posterior {

// Exit statuses: 0 written; 1 an input that cannot be used, an output that
// cannot be written or a picture gnuplot could not draw (the message on `err`
// names the file and the reason); 128 + the signal number after an
// interruption, with the samples so far written and marked incomplete.
inline constexpr int kExitDone = 0;
inline constexpr int kExitRefused = 1;

// `signal` holds 0 until a signal handler stores the number of the signal
// that asks the run to stop; it is read between generations.
int run(const Options& o, std::ostream& out, std::ostream& err,
        const volatile std::sig_atomic_t& signal);

}  // namespace tessaline::posterior
