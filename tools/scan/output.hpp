// Every file tessaline-scan writes, in one place: the output directory and its
// check before any fit, the table, the report, the picture (drawn by gnuplot
// in the output directory), the files of the best fit and the entry files.
//
// Each file is written whole under a temporary name and renamed into place
// when complete (textio::replace_file, the text layer's writer of whole
// files), so that an interrupted or failed run never leaves a file half
// written; the best fit's files are written into a temporary directory that
// replaces DIR/best when they are all there.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "textio/output_files.hpp"
#include "tools/scan/fits.hpp"
#include "tools/scan/report.hpp"
#include "tools/scan/table.hpp"

namespace tessaline::scan {

// The fixed names in the output directory.
inline constexpr const char* kReportFile = "report.txt";
inline constexpr const char* kBestDir = "best";
inline constexpr const char* kBestEntry = "entry.ent";

// The table file of a run: "table.txt" for the whole grid, "table-I-of-N.txt"
// for a share.
std::string table_file(const Share& share);

// Creates the directory (with its parents) when it does not exist and makes
// sure that files can be created in it.  Throws ScanError naming it.
void prepare_output_dir(const std::string& dir);

// Refuses (ScanError) a run whose files to write name one of its inputs or
// one another (textio::check_outputs): the table and the report in `dir`, and
// the entry file to write when there is one.
void check_names(const std::vector<textio::NamedFile>& inputs, const std::string& dir,
                 const Share& share, const std::optional<std::string>& write_entry);

// Makes sure that `path` can be written: its directory exists and takes new
// files.  Throws ScanError.
void check_output_file(const std::string& path);

// Writes a whole text file in place; throws ScanError.
void write_text_file(const std::string& path, const std::string& text);

// Writes the picture's script and data files into `dir` and runs gnuplot there
// (TESSALINE_GNUPLOT, or gnuplot on the PATH); the picture is renamed to its
// name only when gnuplot succeeded.  Throws ScanError.
void draw_picture(const std::string& dir, const PictureJob& job);

// Fits grid point g once more from `start` (the entry file's units) with the
// program's monitor and writes into DIR/best the results file and the four
// curve files under the program's names, as the program writes them, and
// entry.ent, the entry file with that setting (and that start, unless it is
// the entry file's), from which the program makes the same fit.  Returns the
// fit's record.  Throws ScanError.
FitRecord write_best_fit(const Problem& p, int g, int start_number,
                         const std::vector<double>& start, const std::string& dir);

}  // namespace tessaline::scan
