// The writers of the two input files of a fit: the data file of measured points
// and the entry file of the model.  Every tool that makes such a file (the
// simulator, the importer of reduced data) writes it through these, so that each
// format has one writer beside its one reader (read_data_file, read_entry_file).
//
// Both write the whole file under a temporary name in the target's directory and
// rename it into place only when every byte has been written and closed: a
// failed write never leaves a partial file, and an older file of the same name
// stays as it was.  A tool that writes several files stages each of them on one
// textio::StagedFiles (textio/output_files.hpp) and commits them together, so
// that either all of them replace their targets or none does:
//
//   textio::StagedFiles files;
//   stage_data_file(files, data, points);
//   stage_entry_file(files, entry, description);
//   commit_files(files);
#pragma once

#include <array>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tessaline {

namespace textio {
class StagedFiles;
}

// A file could not be written (or a description cannot be written as a file the
// program accepts); the message names the file and the reason.
class WriteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// ---------------------------------------------------------------- data file

// One measured point of a data file, as read_measured_points (driver.hpp) reads
// it and write_data_file writes it: reflectivity, its error bar (one standard
// deviation) and the glancing angle in rad.
struct DataPoint {
  double R = 0;
  double dR = 0;
  double theta = 0;
  // The point's own angular resolution (one standard deviation, rad), which
  // only a point list carries; negative: none.
  double resolution = -1;
};

// The first line of a point list, the second form of the data file.
inline constexpr std::string_view kPointListHeader = "# tessaline points";

// Writes 4*nn points, the nn points of UU, then DD, UD and DU, one point per
// line as " R dR theta" with 17 significant digits, so that the reader gets every
// number back to the last bit.  The size of `points` must divide by four, and
// every number must be finite.
void write_data_file(const std::string& path, const std::vector<DataPoint>& points);
// The same, staged on `files` to be written by commit_files().
void stage_data_file(textio::StagedFiles& files, const std::string& path,
                     const std::vector<DataPoint>& points);

// Writes a point list: the header line, a comment line naming the columns, then
// one line "CHANNEL R dR THETA [SIGMA_THETA]" per point, channel UU's points
// first, then DD, UD and DU, each channel in the order given.  A channel may be
// empty, but not all four, and none may hold more than maxpoint points.  Either
// every point has a resolution (>= 0), written as the fifth column, or none
// has.  Numbers with 17 significant digits, as in write_data_file.
void write_point_list(const std::string& path,
                      const std::array<std::vector<DataPoint>, 4>& channels);
// The same, staged on `files` to be written by commit_files().
void stage_point_list(textio::StagedFiles& files, const std::string& path,
                      const std::array<std::vector<DataPoint>, 4>& channels);

// ---------------------------------------------------------------- entry file

// A fittable value: the number as the file gives it (SLDs in 1e-6 A^-2, angles
// in mrad), its mark, and a note written after the standard label of the line.
struct EntryValue {
  double value = 0;
  bool fixed = true;
  std::string note;
};

// A layer, or the substrate (whose thickness is not written).
struct EntryMedium {
  std::string heading;  // text of the separator line above it
  EntryValue thickness;
  EntryValue re_nb;
  EntryValue im_nb;
  EntryValue np;
  EntryValue cos_delta_gamma{1.0, true, {}};
  EntryValue debye_waller;
};

// Everything an entry file holds, in the units of the file.
struct EntryDescription {
  std::array<EntryValue, 3> Pi{};  // polarizer polarization vector (x, y, z)
  std::array<EntryValue, 3> Pf{};  // analyser polarization vector
  double wavelength = 0;           // A
  std::string wavelength_note;
  int nn = 0;             // points per spin channel in the data file
  int j0 = 1;             // points of the collimation kernel
  double coll_step = 0;   // mrad
  double coll_sigma = 0;  // mrad; 0 or less: no smearing
  std::string collimation_note;
  std::vector<EntryMedium> layers;  // from the vacuum down
  EntryMedium substrate;
  EntryValue cos_gamma{1.0, true, {}};
  EntryValue sin_gamma{0.0, true, {}};
  EntryValue sin2_gamma{0.0, true, {}};
  EntryValue scaling{0.25, false, {}};
  EntryValue alpha0{0.0, true, {}};  // mrad
  EntryValue background{0.0, true, {}};
  double zero_correction = 0;  // mrad, never fitted
};

// Writes a complete entry file: every value line with its standard label and
// note, every mark line (F fixed, - free), every separator.  Refuses (WriteError)
// a description the program would stop on: nn outside 1..1000, j0 outside 1..101,
// more than 500 layers, a wavelength that is not positive, or N_p and
// <cos(delta_gamma)> both free in one medium.
void write_entry_file(const std::string& path, const EntryDescription& d);
// The same, staged on `files` to be written by commit_files().
void stage_entry_file(textio::StagedFiles& files, const std::string& path,
                      const EntryDescription& d);

// Commits every file staged on `files` (StagedFiles::commit), with the text
// layer's errors as WriteError.
void commit_files(textio::StagedFiles& files);

}  // namespace tessaline
