// The entry-file reader: one forward pass over the model description, echoing
// every value on the console as it is read.
//
// Each fit parameter is a value line followed by a mark line whose first
// character F or f fixes it.  Scattering-length densities arrive in units of
// 1e-6 A^-2 and angles in mrad; both are converted to A^-2 and rad before they
// are stored as physical value times SCALE.  The limits of the shared tables are
// checked right after each count has been echoed, so that the console shows the
// offending value before the stop.
//
// On request the reader also records where each value stands in the file (its
// number token), so that a tool can replace a value in place.
#include <cmath>
#include <istream>
#include <string>

#include "driver/driver.hpp"

namespace tessaline {
namespace {

using textio::InStream;
using textio::OutStream;
using textio::Record;

// How one parameter is echoed: label, number field, width of the fixed suffix.
struct Echo {
  const char* label;
  char form;  // 'F' or 'E'
  int w;
  int d;
  int suffix_w;
};

constexpr Echo kThickness{"thickness [A]   :", 'F', 7, 2, 15};
constexpr Echo kReNb{"Re{Nb} [A^(-2)] :", 'E', 12, 4, 10};
constexpr Echo kReNbSubstrate{"Re{Nb} [A^(-2)]: ", 'E', 12, 4, 10};
constexpr Echo kImNb{"Im{Nb} [A^(-2)] :", 'E', 12, 4, 10};
constexpr Echo kNp{"Np [A^(-2)]     :", 'E', 12, 4, 10};
constexpr Echo kCosDelta{"<cos(delta_gamma)>:", 'F', 6, 2, 16};
constexpr Echo kDebyeWaller{"Debye-Waller    :", 'F', 7, 2, 15};
constexpr Echo kCosGamma{"<cos_gamma>     :", 'F', 6, 3, 16};
constexpr Echo kSinGamma{"<sin_gamma>     :", 'F', 6, 3, 16};
constexpr Echo kSin2Gamma{"<sin^2(gamma)>  :", 'F', 6, 3, 16};
constexpr Echo kScaling{"total scaling factor         :", 'E', 12, 4, 10};
constexpr Echo kAlpha0{"illumination parameter [mrad]:", 'E', 12, 4, 10};
constexpr Echo kBackground{"bgr                          :", 'E', 12, 4, 10};

class EntryReader {
 public:
  EntryReader(Tables& t, OutStream& console, EntrySources* sources)
      : t_(t), console_(console), sources_(sources) {}

  InStream& in() { return in_; }
  // The whole file, from the opened stream.
  void read();

 private:
  // A parameter value at slot i: read, convert to physical units, store, echo
  // with the line left open, then read the mark and finish the line.  Returns
  // whether the mark fixes it.  Scattering-length densities are echoed as
  // physical values in A^-2, angles in mrad as entered.
  bool parameter(int i, const Echo& echo, const std::string& what,
                 EntryUnit unit = EntryUnit::kNone);
  bool mark(const std::string& what);
  void separator(const std::string& what);
  void fix(int i);
  void limit_stop(const char* message);
  // Six (layer) or five (substrate) values starting at slot `first`.
  void medium(int first, int k);
  [[noreturn]] void magnetic_pair_dialogue(int k);

  Tables& t_;
  OutStream& console_;
  EntrySources* sources_;
  InStream in_;
};

bool EntryReader::mark(const std::string& what) {
  const char c = in_.read_char("the fixed mark of " + what);
  return c == 'F' || c == 'f';
}

void EntryReader::separator(const std::string& what) {
  in_.skip_line("the separator line before " + what);
}

void EntryReader::fix(int i) {
  t_.STEPLIM(i) = 0;
  ++t_.NFIX;
}

void EntryReader::limit_stop(const char* message) {
  in_.close();
  throw RunStop(message, kExitStop);
}

bool EntryReader::parameter(int i, const Echo& echo, const std::string& what, EntryUnit unit) {
  double v = 0;
  in_.read(v, what);
  if (sources_ != nullptr) sources_->slot(i) = {in_.last_token(), unit};
  const double phys = entry_to_physical(v, unit);
  t_.PARAM(i) = phys * t_.SCALE(i);

  const double shown = unit == EntryUnit::kMicro ? v * 1.0e-6 : v;
  Record r;
  r.A(echo.label);
  if (echo.form == 'E')
    r.E(shown, echo.w, echo.d);
  else
    r.F(shown, echo.w, echo.d);
  console_.write_no_advance(r);

  const bool fixed = mark(what);
  if (sources_ != nullptr) sources_->slot(i).mark_line = in_.line_number();
  if (fixed) {
    fix(i);
    console_.write(Record().A("fixed", echo.suffix_w));
  } else {
    console_.write(std::string_view{});
  }
  return fixed;
}

void EntryReader::medium(int first, int k) {
  // k = 0 is the substrate, which has no thickness slot.
  const std::string of = k > 0 ? " of layer " + std::to_string(k) : " of the substrate";
  int i = first;
  if (k > 0) {
    parameter(i++, kThickness, "the thickness in A" + of, EntryUnit::kAngstrom);
  }
  parameter(i++, k > 0 ? kReNb : kReNbSubstrate, "Re{Nb} in 1e-6 A^-2" + of, EntryUnit::kMicro);
  parameter(i++, kImNb, "Im{Nb} in 1e-6 A^-2" + of, EntryUnit::kMicro);
  const bool np_fixed = parameter(i++, kNp, "N_p in 1e-6 A^-2" + of, EntryUnit::kMicro);
  const bool cos_fixed = parameter(i++, kCosDelta, "<cos(delta_gamma)>" + of);
  // The model uses only the product N_p * <cos(delta_gamma)>, so at least one of
  // the two must be held.
  if (!np_fixed && !cos_fixed) magnetic_pair_dialogue(k);
  parameter(i, kDebyeWaller, "the Debye-Waller roughness in A" + of, EntryUnit::kAngstrom);
}

void EntryReader::magnetic_pair_dialogue(int k) {
  in_.close();
  const std::vector<std::string> lines = {
      ".......ERROR:......................................",
      "Np and <Cos(delta_gamma)> may not be fitted together.",
      k > 0 ? Record().A("Please, correct entry file for layer ").I(k, 3).str()
            : std::string("Please, correct entry file for Substrate.")};
  console_.write_free();
  for (const auto& line : lines) console_.write(line);
  console_.write_free();
  throw InputDialogueStop("magnetic pair both free", lines);
}

void EntryReader::read() {
  // Polarization vectors: values and marks are held until the end of the file,
  // because their slots exist only once nlay is known.
  static constexpr const char* kPolNames[6] = {"Pi(x)", "Pi(y)", "Pi(z)",
                                               "Pf(x)", "Pf(y)", "Pf(z)"};
  double pol[6] = {};
  bool pol_fixed[6] = {};
  ValueSource pol_source[6];
  for (int j = 0; j < 6; ++j) {
    const std::string what = std::string("the polarization component ") + kPolNames[j];
    in_.read(pol[j], what);
    pol_source[j].token = in_.last_token();
    pol_fixed[j] = mark(what);
    pol_source[j].mark_line = in_.line_number();
    if (j == 2) separator("the analyser polarization Pf");
  }
  separator("the wavelength");

  in_.read(t_.wavelength, "the wavelength in A");
  console_.write(Record().A("Wavelength [A]  : ").F(t_.wavelength, 5, 2));
  if (!usable_wavelength(t_.wavelength)) limit_stop("wavelength <= 0");

  in_.read(t_.nn, "the number of points per spin channel, an integer");
  console_.write(Record().A("Number of experimental points:    ").I(t_.nn, 3));
  if (t_.nn > maxpoint) limit_stop("nn > maxpoint");
  if (t_.nn < 1) limit_stop("nn < 1");
  set_classic_channels(t_, t_.nn);
  t_.nvalues = 4;

  console_.write("Collimation function");
  in_.read(t_.j0, "the number of collimation points, an integer");
  console_.write(Record().A("Number of points: ").I(t_.j0, 3));
  if (t_.j0 > maxj0) limit_stop("j0 > maxj0");
  if (t_.j0 < 1) limit_stop("j0 < 1");

  double step = 0;
  in_.read(step, "the collimation step in mrad");
  if (sources_ != nullptr) sources_->coll_step = in_.last_token();
  console_.write(Record().A("Step [mrad]     : ").E(step, 11, 4));
  t_.coll_step = step / 1000.0;
  double sigma = 0;
  in_.read(sigma, "the collimation sigma in mrad");
  if (sources_ != nullptr) sources_->coll_sigma = in_.last_token();
  console_.write(Record().A("\"sigma\" [mrad]  : ").E(sigma, 11, 4));
  t_.coll_sigma = sigma / 1000.0;

  separator("the number of layers");
  console_.write_free();
  in_.read(t_.nlay, "the number of layers, an integer");
  if (sources_ != nullptr) sources_->nlay = in_.last_token();
  console_.write(Record().A("Number of layers: ").I(t_.nlay, 3));
  if (t_.nlay > maxlay) limit_stop("nlay > maxlay");
  if (t_.nlay < 0) limit_stop("nlay < 0");
  set_up_parameters(t_, pol, pol + 3);
  if (sources_ != nullptr) {
    for (int j = 0; j < 6; ++j) sources_->slot(6 * t_.nlay + 12 + j) = pol_source[j];
  }

  const int n = t_.nlay;
  for (int k = 1; k <= n; ++k) {
    separator("layer " + std::to_string(k));
    console_.write(Record().A("    Layer ").I(k, 3));
    medium(6 * k - 5, k);
  }

  separator("the substrate");
  console_.write_free("   Substrate");
  medium(6 * n + 1, 0);

  separator("the magnetization-angle averages");
  console_.write_free();
  parameter(6 * n + 6, kCosGamma, "<cos gamma>");
  parameter(6 * n + 7, kSinGamma, "<sin gamma>");
  parameter(6 * n + 8, kSin2Gamma, "<sin^2 gamma>");

  separator("the total scaling factor");
  console_.write_free();
  parameter(6 * n + 9, kScaling, "the total scaling factor");
  parameter(6 * n + 10, kAlpha0, "the illumination parameter alpha_0 in mrad", EntryUnit::kMilli);
  parameter(6 * n + 11, kBackground, "the background");

  console_.write_free();
  separator("the zero correction");
  double zero = 0;
  in_.read(zero, "the zero correction in mrad");
  if (sources_ != nullptr) sources_->zero_correction = in_.last_token();
  console_.write(Record().A("Correction of \"zero\"   [mrad]:").E(zero, 12, 4));
  t_.zero_correction = zero / 1000.0;
  in_.close();
  console_.write_free();

  // The polarization echo closes the model; its fixed marks are applied last.
  for (int j = 0; j < 6; ++j) {
    const int i = 6 * n + 12 + j;
    console_.write_no_advance(Record().A(name_view(t_.PARNAM(i))).A(":").F(pol[j], 6, 3));
    if (pol_fixed[j]) {
      fix(i);
      console_.write(Record().A("fixed", 10));
    } else {
      console_.write(std::string_view{});
    }
  }
}

// The names of each unit: as the results file prints the value, as the entry
// file gives it.
struct UnitNames {
  const char* physical;
  const char* entry;
};

UnitNames unit_names(EntryUnit unit) {
  switch (unit) {
    case EntryUnit::kAngstrom:
      return {"A", "A"};
    case EntryUnit::kMicro:
      return {"A^-2", "1e-6 A^-2"};
    case EntryUnit::kMilli:
      return {"rad", "mrad"};
    case EntryUnit::kNone:
      break;
  }
  return {"", ""};
}

}  // namespace

const char* physical_unit(EntryUnit unit) { return unit_names(unit).physical; }

const char* entry_unit_name(EntryUnit unit) { return unit_names(unit).entry; }

bool usable_wavelength(double wavelength) {
  // Every wave number is 2 pi sin(theta) / wavelength, and the optics square it:
  // a wavelength that is not positive (or a lone slash, which leaves it 0), or
  // one so close to zero that the square overflows, makes every model value NaN.
  const double k_max = 2 * kPi / wavelength;
  return wavelength > 0 && std::isfinite(k_max * k_max);
}

void read_entry_file(Tables& t, const std::string& name, textio::OutStream& console,
                     EntrySources* sources) {
  EntryReader reader(t, console, sources);
  reader.in().open(name, "entry file");
  reader.read();
}

void read_entry_file(Tables& t, std::istream& in, const std::string& name,
                     textio::OutStream& console, EntrySources* sources) {
  EntryReader reader(t, console, sources);
  reader.in().open(in, name, "entry file");
  reader.read();
}

}  // namespace tessaline
