// Line and number handling shared by the readers of the reduced formats.
#pragma once

#include <array>
#include <cstddef>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

#include "import/import.hpp"

namespace tessaline::importer::detail {

struct Line {
  int number = 0;  // 1-based
  std::string text;
};

// Longest file and longest line accepted.  A reduced file of four channels of
// a few thousand points each is a few megabytes, and a header line listing a
// value for every point stays far below the line limit; anything longer is not
// a reduced file (or is /dev/zero, or a pipe that never ends), and reading on
// would only exhaust the memory.
inline constexpr std::size_t kMaxFile = std::size_t{64} << 20;
inline constexpr std::size_t kMaxLine = std::size_t{4} << 20;

// Every byte of the stream, read once and in order, so that a pipe or a FIFO
// reads as well as a file.  A stream that fails other than by reaching its
// end, or one longer than kMaxFile, is an ImportError naming the file.
std::string read_bytes(std::istream& in, const std::string& name);

// The lines of a file's bytes, without their line ends and without a UTF-8
// byte-order mark before the first.  Lines end in LF or CRLF; a file without
// any LF whose lines end in CR alone (as old Mac editors write them) is split
// at its CRs.  UTF-16 or UTF-32 text, a NUL byte, or a line longer than
// kMaxLine is an ImportError naming the file and, where it has one, the line.
std::vector<Line> split_lines(std::string_view bytes, const std::string& name);

// split_lines(read_bytes(in, name), name).
std::vector<Line> read_lines(std::istream& in, const std::string& name);

// The readers of the formats on the lines of a whole file.
std::vector<DataSet> orso_sets(const std::vector<Line>& lines, const std::string& name);
DataSet ncnr_set(const std::vector<Line>& lines, const std::string& name);
std::vector<DataSet> ncnr_block_sets(const std::vector<Line>& lines, const std::string& name);

// A header line of the newer NCNR kind: '#', blanks, a JSON string, blanks and
// a colon.  On success `key` holds the string and `value` the rest of the line.
bool json_header_line(std::string_view text, std::string& key, std::string_view& value);

// Why the program would refuse `wavelength` (in A) as the wavelength of a fit,
// in words for a message; "" when it accepts it.
std::string wavelength_problem(double wavelength);

// Blank- or tab-separated words.
std::vector<std::string_view> split_words(std::string_view s);

// A whole word as a number ("nan" and "inf" included); false if it is not one.
bool parse_number(std::string_view word, double& v);

// How the point lines of a file are laid out: `ncols` numbers a line (0 until
// known), of which the file columns at[0..3] (0-based) hold Qz, R, dR and dQz;
// `used` is 4 when the dQz column is read, else 3.  The factors take Qz and dQz
// to 1/A and dR to one standard deviation.
struct PointColumns {
  std::size_t ncols = 0;
  std::size_t used = 3;
  std::array<std::size_t, 4> at = {0, 1, 2, 3};
  double qz = 1, dr = 1, dqz = 1;
};

// The point of one line of blank-separated words; every word must be a number.
ReducedPoint read_point(const std::vector<std::string_view>& words, const PointColumns& c,
                        const std::string& name, int line);

// The number of columns of a file that does not name them, from its first point
// line: Qz R dR, or Qz R dR dQz.
std::size_t unnamed_columns(std::size_t found, const std::string& name, int line);

// A wavelength range from a file's header: one wavelength when its ends agree
// within kQzTolerance, else the range as text for messages.
void set_wavelength(DataSet& set, double lo, double hi);

// "name, line N: what"
[[noreturn]] void fail_at(const std::string& name, int line, const std::string& what);

// The file name without its directories.
std::string_view base_name(std::string_view path);

}  // namespace tessaline::importer::detail
