// The series file: several measurements of one sample, fitted together.
//
//   # tessaline series
//   set 100mT  film_100mT.ent  film_100mT.dat
//   set 800mT  film_800mT.ent  film_800mT.dat  2 1
//   share 1-18 27 28
//   bound 10 0 6
//   bound 800mT:24 0.5 1
//
// `set NAME ENTRY DATA [FIRST LAST]` is one measurement: an entry file and a
// data file as the program reads them, and the points to drop at the start and
// at the end of every channel.  `share LIST` names parameters (numbered as the
// results file numbers them; ranges a-b) that have one value for all sets.
// `bound [NAME:]K LO HI` narrows the bounds of parameter K, in the entry file's
// units, for every set or for one.  '#' starts a comment line.  Names and file
// names are single words, or quoted with ' or " when they hold blanks; a
// relative file name is taken from the series file's directory.
//
// This file holds the reader; what the lines mean for the fit is settled when
// the sets are loaded (series.hpp).
#pragma once

#include <iosfwd>
#include <stdexcept>
#include <string>
#include <vector>

namespace tessaline::series {

inline constexpr int kMaxSets = 20;
inline constexpr std::size_t kMaxSetName = 24;

// A series that cannot be fitted; the message names the file and the line.
class SeriesError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct SetLine {
  std::string name;
  std::string entry;  // resolved against the series file's directory
  std::string data;
  int first = 0;  // points dropped at the start and at the end of every channel
  int last = 0;
  int line = 0;
};

// One parameter number of a share line.
struct SharedParameter {
  int parameter = 0;
  int line = 0;
};

struct BoundLine {
  std::string set;  // empty: every set
  int parameter = 0;
  double lo = 0;  // in the entry file's units
  double hi = 0;
  int line = 0;
};

struct SeriesDescription {
  std::string file;  // the series file's name, for messages
  std::vector<SetLine> sets;
  std::vector<SharedParameter> shared;  // in the order given, repeats included
  std::vector<BoundLine> bounds;
};

// Reads a series file.  Throws SeriesError (a line that is not understood, a
// set name that is not a short label or is given twice, more than kMaxSets
// sets, a bound given twice for the same parameter and sets, a bound of a set
// that does not exist, no set at all) and textio::TextError (the file cannot
// be read).
SeriesDescription read_series_file(const std::string& name);
// The same from a stream; relative file names are taken from `directory`.
SeriesDescription read_series(std::istream& in, const std::string& name,
                              const std::string& directory);

// "NAME line N: " for messages about line N of the series file.
std::string at_line(const std::string& file, int line);

}  // namespace tessaline::series
