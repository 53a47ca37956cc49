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

#include <stdexcept>
#include <string>

#include "tables/tables.hpp"
#include "textio/textio.hpp"

namespace tessaline {

// An input error that the user must correct in a file (a magnetic pair both free,
// an error bar below 1e-30).  Its console lines have been written and the file
// closed when it is thrown; the run then waits for the Enter key and ends with
// kExitStop.
class InputDialogueStop : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Layout of the parameter tables for t.nlay layers: NPAR, SCALE, the six
// polarization components Pi = (x, y, z) and Pf, the default step limits and
// bounds, the names, and NFIX = 0.
void set_up_parameters(Tables& t, const double Pi[3], const double Pf[3]);

// Reads the entry file `name`, echoes it on `console` and fills the parameter
// tables and the scalar settings (wavelength, nn, j0, collimation step and sigma in
// rad, nlay, zero correction in rad).  A limit stop throws RunStop with status
// kExitStop after the echo of the offending value; a magnetic pair both free
// throws InputDialogueStop; the text layer throws TextError.
void read_entry_file(Tables& t, const std::string& name, textio::OutStream& console);

// Reads the 4*nn measured points of the data file `name` into POINTS, channel by
// channel (UU, DD, UD, DU), attaches the channel codes, checks every error bar and
// keeps the angle of the last point.  An error bar below 1e-30 writes its dialogue
// lines and throws InputDialogueStop.
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
