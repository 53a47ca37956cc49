// The two commands of tessaline-series, called by its main: the joint fit of
// a series, and the next entry file of every set.  Messages about input that
// cannot be used go to standard error, "tessaline-series: " first.
#pragma once

#include <string>

#include "textio/textio.hpp"
#include "tools/series/series_files.hpp"

namespace tessaline::series {

// Exit statuses of the tool.
inline constexpr int kSeriesDone = 0;    // the fit ended (whatever its end status); files written
inline constexpr int kSeriesFailed = 1;  // input refused, no finite start, a file not written
inline constexpr int kSeriesUsage = 2;   // a bad command line

// Reads the series file `name`, prints it back, fits every set together on
// `threads` threads (0: every hardware thread; the numbers do not depend on
// it), prints every iteration on `console` and writes the files, the sets'
// in `layout`.
int run_series(const std::string& name, int threads, SetFiles layout, textio::OutStream& console);

// Writes NAME_next.ent for every set of the series file `name` from the
// results files of its last fit, found in `layout`.
int run_update(const std::string& name, SetFiles layout, textio::OutStream& console);

}  // namespace tessaline::series
