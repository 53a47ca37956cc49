// Reduced reflectivity files to the data file of a fit.
//
// Reduction programs write reflectivity against the momentum transfer Qz, one
// curve per spin state.  This library reads the reduced formats (the ORSO text
// format, NCNR reduced files with one cross section each or a block per cross
// section, and plain columns), tells from each curve's declared polarization
// what the instrument selected of the neutron spin (polarizer and analyser, a
// polarizer only, an analyser only, or neither) and which channel of the data
// file it becomes, leaves out the points the data file cannot hold, and
// converts Qz to the glancing angle theta = asin(Qz lambda / 4 pi) and a Qz
// resolution to the angular one, sigma_theta = sigma_Qz lambda / (4 pi cos
// theta).  Reflectivity depends on Qz alone, so the same lambda written into
// the entry file gives the same model.
//
// By default every usable point goes into a point list, each channel with its
// own count and, where the files give one, each point with its own resolution.
// The classic data file, with the same number of points in all four channels,
// is the other form: channels of unequal length are then brought to one length
// by keeping the Qz values common to all four, or by merging neighbours.
//
// Nothing here writes to the console: the readers and assemble() return what
// they found, summary_text() says it in words for the tool to print, and every
// refusal is an ImportError whose message names the file and, where there is
// one, the line.  The readers take a stream and a name, so that they can be
// driven by any bytes; they allocate only in proportion to what they actually
// read.
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

// A data set whose spin state is not known here.
inline constexpr int kNoChannel = -1;

// What the instrument selected of the neutron spin for a curve.  One fit has one
// polarizer vector Pi and one analyser vector Pf, so the curves of one import
// must all share one of these.
enum class Beam {
  kUnknown,        // a polarization this importer does not know
  kAnalysed,       // polarizer and analyser: UU, DD, UD, DU (ORSO pp, mm, pm, mp)
  kPolarizerOnly,  // half-polarized, no analyser (ORSO po, mo; NCNR + and -): Pf = 0
  kAnalyserOnly,   // an analyser, no polarizer (ORSO op, om): Pi = 0
  kUnpolarized,    // neither: Pi = Pf = 0
};

// One point as the reduced file gives it, with Qz and its resolution in 1/A.
struct ReducedPoint {
  double Qz = 0;
  double R = 0;
  double dR = 0;                                          // one standard deviation
  double dQz = std::numeric_limits<double>::quiet_NaN();  // one standard deviation, or NaN
};

// One curve of one spin state, as read from a file.
struct DataSet {
  std::string file;          // the file's name, as given
  std::string name;          // ORSO data-set identifier; empty for one-curve files
  std::string polarization;  // as declared: ORSO pp/mm/pm/mp/po/..., NCNR A..D or ++/--/...
  Beam beam = Beam::kUnknown;
  // The channel of the data file it becomes, 0..3 in kChannelNames order: the
  // channel itself with an analyser and a polarizer; UU for the + state and DD
  // for the - state of the one polarizing device otherwise; UU for an
  // unpolarized curve.  kNoChannel with Beam::kUnknown.
  int channel = kNoChannel;
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

// The spin state of a curve from its polarization in the ORSO words: first
// letter the polarizer, second the analyser, p and m their two states, o no
// such device (pp, mm, pm, mp, po, mo, op, om), or unpolarized (also when
// empty: a header without a polarization); Beam::kUnknown for anything else.
void set_orso_state(DataSet& set, const std::string& polarization);

// The spin state of a curve from its polarization written with signs,
// polarizer first ("++", "--", "+-", "-+"), or with one sign for a
// polarizer without an analyser ("+", "-"); Beam::kUnknown for anything else.
void set_sign_state(DataSet& set, const std::string& signs);

// Plain columns Qz [1/A], R, dR [, dQz] of the spin state `polarization`, in
// the ORSO words (set_orso_state); '#' lines are comments.
DataSet read_columns(std::istream& in, const std::string& name, const std::string& polarization);

// Reads a reduced file as ORSO (a name ending in .ort, or a first line naming
// the ORSO format), as an NCNR file of the newer kind (a '# "key": ...' line
// among the header lines before the first point), or else as an NCNR reduced
// file.  The stream is read once from where it stands to its end, so a pipe
// or a FIFO serves as well as a file.
std::vector<DataSet> read_reduced(std::istream& in, const std::string& name);
// The same from the file at `path`.
std::vector<DataSet> read_reduced_file(const std::string& path);
DataSet read_column_file(const std::string& path, const std::string& polarization);

// The form of the data file written.
enum class Form {
  kPointList,  // every usable point, channels of any length, a resolution per point
  kClassic,    // four channels of one length nn, one kernel for every point
};

// How a classic data file's channels of unequal length are brought to one
// length nn.
enum class Equalize {
  kCommonQz,  // keep the points whose Qz is present in all four channels
  kMerge,     // merge neighbouring points, inverse-variance weighted
};

struct Options {
  std::optional<double> wavelength;  // A, given by the user
  Form form = Form::kPointList;
  Equalize equalize = Equalize::kCommonQz;  // with Form::kClassic
};

// Relative tolerance within which two Qz values count as the same.
inline constexpr double kQzTolerance = 1e-6;

struct ChannelSummary {
  std::string source;         // where the channel's curve came from; empty: no curve
  std::string polarization;   // as declared there
  int read = 0;               // point lines, the excluded ones included
  int excluded = 0;           // excluded by the file
  int dropped_qz = 0;         // Qz <= 0, or beyond 4 pi / lambda
  int dropped_nonfinite = 0;  // a value that is not a finite number
  int dropped_error = 0;      // error bar below 1e-30
  int dropped_unmatched = 0;  // classic form: Qz not present in every channel
  int merged_away = 0;        // classic form: points merged into their neighbours
  int kept = 0;
};

// Angular resolution derived from the files' Qz resolution:
// sigma_theta = sigma_Qz lambda / (4 pi cos theta), over the kept points.
struct Resolution {
  int points = 0;  // kept points with a positive resolution
  double min = 0;  // rad, over those points
  double median = 0;
  double max = 0;
  int zero = 0;     // kept points whose resolution is 0 (no smearing)
  int missing = 0;  // kept points without a resolution (none given, not finite, negative)
  // Every point of the point list carries its own resolution (SIGMA_THETA):
  // a point list whose points all have one.
  bool per_point = false;
};

struct Imported {
  Form form = Form::kPointList;
  Beam beam = Beam::kAnalysed;
  // Each channel in increasing angle; with a resolution per point, every
  // point's DataPoint::resolution holds it.
  std::array<std::vector<DataPoint>, kChannels> channels;
  std::array<ChannelSummary, kChannels> summary;
  double wavelength = 0;          // A
  bool wavelength_given = false;  // from Options rather than from the files
  std::optional<Resolution> resolution;
  std::vector<std::string> notes;  // what the reading converted or left unused

  // Points of the channel that holds the most; the classic form's nn.
  int nn() const;
  bool has(int channel) const { return !summary[static_cast<std::size_t>(channel)].source.empty(); }
};

// Assigns the data sets to their channels, settles the wavelength, cleans the
// points and, for the classic form, brings the channels to one length.  The
// sets must share one Beam, and each channel is given at most once; the
// classic form needs the four channels with polarizer and analyser.
Imported assemble(const std::vector<DataSet>& sets, const Options& options);

// What the import did, for the console: the wavelength and the form, what the
// instrument selected and how that is written, per channel the points read,
// excluded by the file, dropped and why, and kept, the resolution found, and
// the notes.  Every line ends with a line end.
std::string summary_text(const Imported& imported);

// The classic form's 4*nn points in data-file order (UU, DD, UD, DU).
std::vector<DataPoint> data_file_points(const Imported& imported);

// Stages the data file of `imported` on `files`, in its form.
void stage_imported_data(textio::StagedFiles& files, const std::string& path,
                         const Imported& imported);

// A starting entry file for the imported data: nn, the wavelength, the
// collimation from the resolution found, polarization vectors for what the
// instrument selected, one placeholder layer on a Si substrate, and a scale
// for the plateau below the critical edge.
EntryDescription starting_entry(const Imported& imported);

// Collimation kernel chosen from a resolution: j0 points spaced sigma/2, so the
// kernel spans +/-3 sigma.  A point list stretches it to each point's own
// sigma, which keeps that sampling for every point.
inline constexpr int kStartJ0 = 13;

}  // namespace tessaline::importer
