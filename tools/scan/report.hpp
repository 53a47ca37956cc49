// What a scan found, as text: the report for the console and the report file,
// the minima of a search from many starts, and the picture as gnuplot input
// (a script and its data files under fixed names, so that no name a user gave
// ever enters a script).  Nothing here touches the file system; output.hpp
// writes these texts and runs gnuplot.
#pragma once

#include <string>
#include <vector>

#include "tools/scan/analysis.hpp"
#include "tools/scan/fits.hpp"
#include "tools/scan/table.hpp"

namespace tessaline::scan {

// The report of a table: the grid, the best grid point, the parabola's (or the
// quadratic's) minimum, the interval of every setting and notes on what limits
// them (an interval that reaches the edge of the grid, another valley, grid
// points without a chi-square or without convergence, an incomplete table).
std::string report_text(const ScanTable& t, const Analysis& a);

// The minima that the starts of one grid point reached: for each its
// hi_sq.norm, the starts that reached it and its values (entry file's units).
std::string minima_text(const Problem& p, const PointResult& r, int starts);

struct TextFile {
  std::string name;  // a fixed name in the output directory
  std::string text;
};

// The picture of a scan: chi-square against the setting with the minimum and
// the interval(s) marked, or for a map delta(2S) in colour with contours at
// 2.30 and 6.18.  `picture` is the file gnuplot writes, `temporary` the name
// it writes it under first.
struct PictureJob {
  std::vector<TextFile> files;  // data files and the script
  std::string script;           // the script's name among the files
  std::string temporary;
  std::string picture;
};

// No picture for a search without a scan, or a table without a chi-square.
bool has_picture(const ScanTable& t, const Analysis& a);
PictureJob picture_job(const ScanTable& t, const Analysis& a);

}  // namespace tessaline::scan
