// The main program's side of a run: the console dialogue, the readers of the
// entry file and of the measured points, the trimming of the channels, the
// collimation kernel, and the run from banner to final key wait.
//
// Every routine here works on the shared tables of one run (tables/tables.hpp),
// which are sized once by the program's limits; the readers allocate nothing but
// the text lines of the text layer.  The console is passed in as a pair of
// streams so that the dialogue can be driven from files as well as from the
// terminal.
#pragma once

#include <array>
#include <iosfwd>
#include <stdexcept>
#include <string>
#include <vector>

#include "driver/writers.hpp"
#include "tables/tables.hpp"
#include "textio/textio.hpp"

namespace tessaline {

// An input error that the user must correct in a file (a magnetic pair both free,
// an error bar below 1e-30).  Its console lines have been written and the file
// closed when it is thrown; the run then waits for the Enter key and ends with
// kExitStop.  lines() holds the dialogue's text lines, for a tool that reads
// without the console.
class InputDialogueStop : public std::runtime_error {
 public:
  explicit InputDialogueStop(const std::string& what, std::vector<std::string> lines = {})
      : std::runtime_error(what), lines_(std::move(lines)) {}
  const std::vector<std::string>& lines() const { return lines_; }

 private:
  std::vector<std::string> lines_;
};

// Layout of the parameter tables for t.nlay layers: NPAR, SCALE, the six
// polarization components Pi = (x, y, z) and Pf, the default step limits and
// bounds, the names, and NFIX = 0.
void set_up_parameters(Tables& t, const double Pi[3], const double Pf[3]);

// The unit in which the entry file gives a value, and how the reader stores it.
enum class EntryUnit {
  kNone,      // a plain number, stored as written
  kAngstrom,  // a length in A, stored as written
  kMicro,     // a scattering-length density in 1e-6 A^-2, stored in A^-2
  kMilli,     // an angle in mrad, stored in rad
};

// The physical value of a number as the entry file gives it in `unit`
// (PARAM(i) = physical value * SCALE(i)), and back.
inline double entry_to_physical(double v, EntryUnit unit) {
  if (unit == EntryUnit::kMicro) return v * 1.0e-6;
  if (unit == EntryUnit::kMilli) return v / 1000.0;
  return v;
}
inline double physical_to_entry(double phys, EntryUnit unit) {
  if (unit == EntryUnit::kMicro) return phys * 1.0e6;
  if (unit == EntryUnit::kMilli) return phys * 1000.0;
  return phys;
}

// Where one value of the entry file stands: its number token (TokenPosition:
// line, byte column and length in the raw file), the unit it is given in, and
// the line of its mark.
struct ValueSource {
  textio::TokenPosition token;
  EntryUnit unit = EntryUnit::kNone;
  int mark_line = 0;  // the line of its fixed mark
};

// The sources of the values of an entry file: each PARAM slot it fills
// (1..NPAR), the number of layers, which fixes how many slots there are, and
// the settings that no fit moves (collimation step and sigma, zero
// correction, all in mrad).
struct EntrySources {
  Table<ValueSource, kMaxPar> slot;
  textio::TokenPosition nlay;
  textio::TokenPosition coll_step;
  textio::TokenPosition coll_sigma;
  textio::TokenPosition zero_correction;
};

// The unit of a value as the results file and `tessaline-entry show` print it
// (the physical unit of its PARAM slot over SCALE): "A", "A^-2", "rad" or "".
const char* physical_unit(EntryUnit unit);
// The unit the entry file gives a value in: "A", "1e-6 A^-2", "mrad" or "".
const char* entry_unit_name(EntryUnit unit);

// Reads the entry file `name`, echoes it on `console` and fills the parameter
// tables and the scalar settings (wavelength, nn, j0, collimation step and sigma in
// rad, nlay, zero correction in rad).  A limit stop throws RunStop with status
// kExitStop after the echo of the offending value; a magnetic pair both free
// throws InputDialogueStop; the text layer throws TextError.  With `sources`,
// the place of every value is recorded there as well.
void read_entry_file(Tables& t, const std::string& name, textio::OutStream& console,
                     EntrySources* sources = nullptr);
// The same from a stream; `name` names it in messages.
void read_entry_file(Tables& t, std::istream& in, const std::string& name,
                     textio::OutStream& console, EntrySources* sources = nullptr);

// The program's rule for the wavelength (A) of the entry file: positive, and
// not so small that the square of the largest wave number 2 pi / wavelength
// overflows.  The reader stops a run on any other value ("wavelength <= 0").
bool usable_wavelength(double wavelength);

// The points of a data file, channel by channel (UU, DD, UD, DU), as read.
//
// A data file has two forms.  The classic form holds 4*nn points of three
// free-form numbers (R, dR, theta), the nn points of UU first, then DD, UD and
// DU.  A point list begins with the line kPointListHeader; every other line is
// blank, a comment ('#' first) or one point "CHANNEL R dR THETA [SIGMA_THETA]",
// so that each channel holds the points it lists (0 to maxpoint, at least one
// point in all) and a point may carry its own angular resolution.
struct MeasuredData {
  bool point_list = false;      // the file is a point list
  bool has_resolution = false;  // a point list whose points carry SIGMA_THETA
  int nn = 0;                   // classic form: points per channel
  std::array<std::vector<DataPoint>, 4> channel;
  std::array<std::vector<int>, 4> line;  // the line on which each point ends
  // Classic form: the first point whose error bar is below 1e-30 (channel 1..4
  // and its number within the channel); reading stops there.  0: every error bar
  // passed.  A point list refuses such a point with a TextError instead.
  int bad_channel = 0;
  int bad_point = 0;
  // Classic form: the first line after the last point that holds a number,
  // which no point takes (a repeated or missing line shifts every later point);
  // 0: none.
  int unread_number_line = 0;
  // Per channel: the first point (1-based within the channel) whose angle is
  // not above the angle of the point before it; 0: the angles increase.
  std::array<int, 4> unordered{};

  int total() const {
    return static_cast<int>(channel[0].size() + channel[1].size() + channel[2].size() +
                            channel[3].size());
  }
};

// Reads the measured points from `in`.  A point list is recognised by its first
// line and read whole (nn plays no part).  Otherwise the classic form: 4*nn
// points, or, with nn = 0, every point up to the end of the input (a multiple
// of four, at most 4*maxpoint).  Errors throw TextError naming the file and the
// line.
MeasuredData read_measured_points(textio::InStream& in, int nn);
MeasuredData read_measured_points(std::istream& in, const std::string& name, int nn);
MeasuredData read_measured_points(const std::string& name, int nn);

// Warnings about a data file's points for standard error: numbers after the
// last point of a classic file, and channels whose angles do not increase
// (with a classic file, the sign of a wrong nn).  One line each, naming the
// file, the line, the channel and the point.
std::vector<std::string> data_warnings(const MeasuredData& d, const std::string& name);

// The program's words for the first error bar below 1e-30 of `d` (bad_channel
// set): "Error bar for point" I4 " at " channel " is zero or negative!".
std::string error_bar_line(const MeasuredData& d);

// Reads the measured points of the data file `name` into POINTS, channel by
// channel (UU, DD, UD, DU), attaches the channel codes (and, for a point list
// with resolutions, each point's resolution as its fifth value), checks every
// error bar and keeps the last angle of the curve files: the angle of the last
// point of a classic file, the largest angle of a point list, both before any
// exclusion.  A classic file takes its 4*nn points from the entry file's nn; a
// point list sets the channels' counts itself.  An error bar below 1e-30 in a
// classic file writes its dialogue lines and throws InputDialogueStop with them.
// Warnings (data_warnings) go to standard error.  A point list with resolutions
// needs a kernel shape to stretch: with a collimation sigma of 0 or less in the
// entry file it is refused (TextError).
void read_data_file(Tables& t, const std::string& name, textio::OutStream& console);

// The two prompts for the numbers of points to drop at the start and at the end of
// every channel, answered on `keys`; shortens the channels (nn too for a classic
// file) and compacts POINTS.
void exclude_points(Tables& t, textio::InStream& keys, textio::OutStream& console);

// Drops the first `first` and the last `last` points of every channel that holds
// points, as the two prompts do; false, with nothing changed, when that would
// leave such a channel without a point.  For the tools that take the counts
// from their command line.
bool drop_points(Tables& t, int first, int last);

// The discrete Gaussian kernel of the angular resolution from j0, coll_step and
// coll_sigma; a sigma of zero or below leaves one point at offset 0.
void build_collimation(Tables& t);

// The whole run: prompts and answers on `keys` and `console`, errors of the text
// layer on standard error.  Returns the exit status (kExitNormal, kExitStop,
// kExitTextError or the status of a RunStop).
int run(textio::InStream& keys, textio::OutStream& console);

}  // namespace tessaline
