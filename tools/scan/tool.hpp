// The run of tessaline-scan after its command line: the fits (or the tables to
// join), then the table, the report, the picture, the best fit's files and the
// entry file, with the progress and the messages on the console.
#pragma once

#include <atomic>

#include "tools/scan/scan.hpp"

namespace tessaline::scan {

// Exit statuses besides 0 (done) and 2 (bad command line, main's): an input
// that cannot be used, a file that cannot be written, or tables that do not
// make the whole grid.  A run stopped by a signal ends with 128 + the signal's
// number, after writing the table of the grid points fitted.
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// Runs what `o` asks for; `stop` is set (to a signal's number) by the signal
// handler.  Returns the exit status.
int run_tool(const Options& o, const std::atomic<int>* stop);

}  // namespace tessaline::scan
