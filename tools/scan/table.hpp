// The table of a scan: one row per grid point, the file that a run (or one
// share of it) writes and that --merge joins.  Its one writer and its one
// reader are here.
//
// The file is text.  Comment lines starting with "# " hold the head: the files
// and exclusions of the problem, the axes of the grid, the starts, the points
// in the fit, the free parameters (the value columns) and the share.  Then one
// line of column names, and one row per grid point in grid order:
//
//   GRID SETTING... S HI_SQ_NORM STATUS START REACHED MINIMA VALUE...
//
// GRID counts from 1 (the second axis of a map runs fastest); SETTING is the
// value of each axis; S is chi-square / 2 at the end of the fit and
// HI_SQ_NORM the normalized chi-square, as the program prints it; STATUS is
// converged, no-decrease, infinite-error, iteration-limit, or no-finite-start
// (the start gave no finite chi-square: S and the values are those of the
// start); START is the start whose fit is given (1 the entry file's, 0 a
// neighbour's result); REACHED and MINIMA count the starts that reached this
// minimum and the minima found; the values are those of the free parameters.
// Settings and values are in the units the entry file gives them in (mrad,
// A, 1e-6 A^-2).  Numbers carry the fewest digits that read back to the last
// bit.  The last line says whether the table
// is complete: "# end: complete", or "# end: incomplete: " and why.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/scan/fits.hpp"
#include "tools/scan/scan.hpp"

namespace tessaline::scan {

struct TableColumn {
  int slot = 0;
  std::string name;
  std::string unit;
};

struct TableHead {
  std::string entry;
  std::string data;
  int first = 0;
  int last = 0;
  std::vector<Axis> axes;
  int starts = 1;
  double spread = 0.25;
  std::uint64_t seed = 1;
  bool follow = false;
  int points = 0;                  // points in every fit
  std::vector<TableColumn> free;  // the free parameters of every fit
  Share share;

  Grid grid() const { return Grid{axes}; }
  // Degrees of freedom of hi_sq.norm: points less free parameters.
  int degrees_of_freedom() const { return points - static_cast<int>(free.size()); }
};

struct TableRow {
  int grid = 0;  // grid index, 0-based
  std::vector<double> setting;
  double S = 0;
  double chi = 0;
  int status = 0;  // LSQFIT's end status; with S not finite: no finite start
  int start = 1;
  int reached = 0;
  int minima = 0;
  std::vector<double> values;  // in the entry file's units
};

struct ScanTable {
  TableHead head;
  std::vector<TableRow> rows;  // in grid order
  std::string incomplete;      // why the table is incomplete; "" when complete

  bool complete() const { return incomplete.empty(); }
};

// The word of an end status in the table.
std::string status_word(int status, double S);

// The table of a run's results: its head from the problem and the options,
// a row for every grid point of the share that was fitted, and whether the
// run ended early.
ScanTable make_table(const Problem& p, const Options& o, const ScanResult& r);

// The text of a table file.
std::string table_text(const ScanTable& t);

// Reads a table file; a file that is not a table, or a line that breaks the
// layout, throws ScanError naming the file, the line and what was expected.
ScanTable read_table(const std::string& path);

// The tables of the shares of one scan joined into the table of the whole
// grid: they must agree in everything but the share, every share once, no
// grid point twice.  The joined table is complete when every grid point is
// there; otherwise it says which are missing.  `names` names the tables in
// messages.  Throws ScanError.
ScanTable merge_tables(const std::vector<ScanTable>& tables, const std::vector<std::string>& names);

}  // namespace tessaline::scan
