// Reduced reflectivity files to the four spin channels of a data file.
//
// Reduction programs write reflectivity against the momentum transfer Qz; the
// fit wants, for each of the channels UU, DD, UD and DU, the same number of
// points (R, dR, theta).  This library reads the reduced formats (the ORSO text
// format, NCNR reduced files with one cross section each, and plain columns),
// assigns every curve to its spin channel, leaves out the points the data file
// cannot hold, brings the channels to a common length and converts Qz to the
// glancing angle theta = asin(Qz lambda / 4 pi).  Reflectivity depends on Qz
// alone, so the same lambda written into the entry file gives the same model.
//
// Nothing here writes to the console: the readers and assemble() return what
// they found, and every refusal is an ImportError whose message names the file
// and, where there is one, the line.  The readers take a stream and a name, so
// that they can be driven by any bytes; they allocate only in proportion to what
// they actually read.
#pragma once

#include <array>
#include <iosfwd>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "driver/writers.hpp"
#include "tables/tables.hpp"

namespace tessaline::importer {

class ImportError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A data set whose spin state is not one of the four channels (kChannelNames).
inline constexpr int kNoChannel = -1;

// One point as the reduced file gives it, with Qz and its resolution in 1/A.
struct ReducedPoint {
  double Qz = 0;
  double R = 0;
  double dR = 0;                                          // one standard deviation
  double dQz = std::numeric_limits<double>::quiet_NaN();  // one standard deviation, or NaN
};

// One curve of one spin state, as read from a file.
struct DataSet {
  std::string file;                  // the file's name, as given
  std::string name;                  // ORSO data-set identifier; empty for one-curve files
  std::string polarization;          // as declared: ORSO pp/mm/pm/mp/po/..., NCNR A..D or ++/--/...
  int channel = kNoChannel;          // 0..3 in kChannelNames order, or kNoChannel
  std::vector<ReducedPoint> points;  // every point the file does not exclude, in file order
  int excluded = 0;                  // point lines the file itself excludes (commented out)
  std::optional<double> wavelength;  // A, when the file declares a single value
  std::string wavelength_range;      // "3 to 12.5 A" when it declares only a range
  std::vector<std::string> notes;    // conversions made on reading (units, FWHM)

  // "file" or "file, data set NAME", for messages.
  std::string source() const;
};

// ORSO text format (.ort): a YAML header in '# ' lines, then whitespace columns;
// further data sets begin with '# data_set: NAME' and may override the header.
std::vector<DataSet> read_orso(std::istream& in, const std::string& name);

// NCNR reduced file: '#key value' header lines, columns Qz R dR; a point line
// commented out with '#' was excluded by the experimenter.  The cross section
// comes from '#polarization A|B|C|D', else from the last letter of the name:
// A = --, B = -+, C = +-, D = ++ (polarizer, analyser).
DataSet read_ncnr(std::istream& in, const std::string& name);

// NCNR reduced file of the newer kind: '# "key": JSON value' header lines and
// one block per cross section (a file may hold all four), the cross section as
// "polarization": "++", "--", "+-" or "-+" (polarizer, analyser), the columns
// taken by the names "columns" gives them, in any order (Qz, R, its
// uncertainty, the Qz resolution as one standard deviation; another name is
// refused), with their "units".
std::vector<DataSet> read_ncnr_blocks(std::istream& in, const std::string& name);

// Plain columns Qz [1/A], R, dR [, dQz] for the given channel; '#' lines are
// comments.
DataSet read_columns(std::istream& in, const std::string& name, int channel);

// Reads a reduced file as ORSO (a name ending in .ort, or a first line naming
// the ORSO format), as an NCNR file of the newer kind (a '# "key": ...' line
// among the header lines before the first point), or else as an NCNR reduced
// file.  The stream is read once from where it stands to its end, so a pipe
// or a FIFO serves as well as a file.
std::vector<DataSet> read_reduced(std::istream& in, const std::string& name);
// The same from the file at `path`.
std::vector<DataSet> read_reduced_file(const std::string& path);
DataSet read_column_file(const std::string& path, int channel);

// How channels of unequal length are brought to one length nn.
enum class Equalize {
  kCommonQz,  // keep the points whose Qz is present in all four channels
  kMerge,     // merge neighbouring points, inverse-variance weighted
};

struct Options {
  std::optional<double> wavelength;  // A, given by the user
  Equalize equalize = Equalize::kCommonQz;
};

// Relative tolerance within which two Qz values count as the same.
inline constexpr double kQzTolerance = 1e-6;

struct ChannelSummary {
  std::string source;         // where the channel's curve came from
  std::string polarization;   // as declared there
  int read = 0;               // point lines, the excluded ones included
  int excluded = 0;           // excluded by the file
  int dropped_qz = 0;         // Qz <= 0, or beyond 4 pi / lambda
  int dropped_nonfinite = 0;  // a value that is not a finite number
  int dropped_error = 0;      // error bar below 1e-30
  int dropped_unmatched = 0;  // Qz not present in every channel
  int merged_away = 0;        // points merged into their neighbours
  int kept = 0;
};

// Angular resolution derived from the files' Qz resolution:
// sigma_theta = sigma_Qz lambda / (4 pi cos theta), over the kept points.
struct Resolution {
  int points = 0;  // kept points with a resolution
  double min = 0;  // rad
  double median = 0;
  double max = 0;
};

struct Imported {
  std::array<std::vector<DataPoint>, kChannels> channels;  // each in increasing angle
  std::array<ChannelSummary, kChannels> summary;
  double wavelength = 0;          // A
  bool wavelength_given = false;  // from Options rather than from the files
  std::optional<Resolution> resolution;
  std::vector<std::string> notes;  // what the reading converted or left unused

  int nn() const { return static_cast<int>(channels[0].size()); }
};

// Assigns the data sets to the four channels, settles the wavelength, cleans the
// points and brings the channels to one length.  Every set must name its
// channel, each channel exactly once; sets without a polarized channel are left
// unused when the four channels are complete.
Imported assemble(const std::vector<DataSet>& sets, const Options& options);

// The 4*nn points in data-file order (UU, DD, UD, DU).
std::vector<DataPoint> data_file_points(const Imported& imported);

// A starting entry file for the imported data: nn, the wavelength, the
// collimation from the resolution found, ideal polarization along y, one
// placeholder layer on a Si substrate.
EntryDescription starting_entry(const Imported& imported);

// Collimation kernel chosen from a resolution: j0 points spaced sigma/2, so the
// kernel spans +/-3 sigma.
inline constexpr int kStartJ0 = 13;

}  // namespace tessaline::importer
