// The files of the series tool, all written here: after a joint fit, for
// every set a results file and four curve files in the program's own layouts
// under the set's name (NAME_VreloBag.dat, NAME_VreloFunctUU.dat, ..., or
// NAME/VreloBag.dat, ...), which the program's readers and tools take as they
// are, and the series results
// file VreloSeries.dat with the joint blocks, the correlation matrix and the
// covariance matrix of the free parameters at the end of the fit; for
// `update`, every set's next entry file.
//
// The files of one command are staged under hidden names beside their final
// names and renamed into place together only when every one of them is
// complete, so that a command that fails or is stopped leaves no file half
// written, and the files of an earlier run as they were.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tools/series/series.hpp"
#include "tools/series/series_file.hpp"
#include "tools/series/series_report.hpp"

namespace tessaline::series {

// The series results file.
inline constexpr std::string_view kSeriesResults = "VreloSeries.dat";

// Where a set's files go: beside each other in the working directory with the
// set's name in front (NAME_VreloBag.dat, ...), or each set in a directory
// of its own under the program's own names (NAME/VreloBag.dat, ...), where
// the tools that read the program's files in their working directory find
// them.
enum class SetFiles { kPrefixed, kDirectories };

// The prefix of a set's files: "NAME_" or "NAME/".
inline std::string set_prefix(const std::string& set, SetFiles layout) {
  return set + (layout == SetFiles::kDirectories ? "/" : "_");
}

// The files of the ended fit: every set's results file (its head, the block of
// every pass, the closing line) and curve files (at the last pass), and the
// series results file.  Returns the names written.  Throws textio::TextError
// when a file cannot be written; nothing is renamed then.
std::vector<std::string> write_series_files(Series& s, const SeriesMonitor& monitor,
                                            const Covariance& cov, SetFiles layout);

// The next entry file of every set, NAME_next.ent in the working directory:
// its entry file with the values of the last block of its results file (in
// `layout`), as tessaline-entry update
// writes it, and the shared values also where the set's entry file fixes them
// (the fit gave every set the first set's).  Returns one line per file
// written.  Throws SeriesError when a results file does not belong to its set
// or its entry file, and textio::TextError when a file cannot be read or
// written; nothing is renamed then.
std::vector<std::string> write_next_entries(const SeriesDescription& d, SetFiles layout);

}  // namespace tessaline::series
