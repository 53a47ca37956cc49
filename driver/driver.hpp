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

// Where one value of the entry file stands: its number token (TokenPosition:
// line, byte column and length in the raw file), and the unit it is given in.
struct ValueSource {
  textio::TokenPosition token;
  EntryUnit unit = EntryUnit::kNone;
};

// The sources of the values of an entry file: each PARAM slot it fills
// (1..NPAR), and the number of layers, which fixes how many slots there are.
struct EntrySources {
  Table<ValueSource, kMaxPar> slot;
  textio::TokenPosition nlay;
};

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
struct MeasuredData {
  int nn = 0;  // points per channel
  std::array<std::vector<DataPoint>, 4> channel;
  // The first point whose error bar is below 1e-30 (channel 1..4 and its number
  // within the channel); reading stops there.  0: every error bar passed.
  int bad_channel = 0;
  int bad_point = 0;
  // The first line after the last point that holds a number, which no point
  // takes (a repeated or missing line shifts every later point); 0: none.
  int unread_number_line = 0;
};

// Reads the measured points from `in`: 4*nn points of three free-form numbers,
// or, with nn = 0, every point up to the end of the input (a multiple of four,
// at most 4*maxpoint).  Errors of the text layer throw TextError.
MeasuredData read_measured_points(textio::InStream& in, int nn);
MeasuredData read_measured_points(std::istream& in, const std::string& name, int nn);
MeasuredData read_measured_points(const std::string& name, int nn);

// The program's words for the first error bar below 1e-30 of `d` (bad_channel
// set): "Error bar for point" I4 " at " channel " is zero or negative!".
std::string error_bar_line(const MeasuredData& d);

// Reads the 4*nn measured points of the data file `name` into POINTS, channel by
// channel (UU, DD, UD, DU), attaches the channel codes, checks every error bar and
// keeps the angle of the last point.  An error bar below 1e-30 writes its dialogue
// lines and throws InputDialogueStop with them.  Numbers after the last point are not read;
// a warning naming their line goes to standard error.
void read_data_file(Tables& t, const std::string& name, textio::OutStream& console);

// The two prompts for the numbers of points to drop at the start and at the end of
// every channel, answered on `keys`; shortens nn and compacts POINTS.
void exclude_points(Tables& t, textio::InStream& keys, textio::OutStream& console);

// The discrete Gaussian kernel of the angular resolution from j0, coll_step and
// coll_sigma; a sigma of zero or below leaves one point at offset 0.
void build_collimation(Tables& t);

// Makes sure that standard input, output and error are open descriptors (a
// closed one is held by /dev/null, so that no file the run opens takes its
// place) and that a closed pipe is reported as a write error.  Throws TextError
// when standard output was closed.  Called once, at program start.
void check_standard_streams();

// The whole run: prompts and answers on `keys` and `console`, errors of the text
// layer on standard error.  Returns the exit status (kExitNormal, kExitStop,
// kExitTextError or the status of a RunStop).
int run(textio::InStream& keys, textio::OutStream& console);

}  // namespace tessaline
