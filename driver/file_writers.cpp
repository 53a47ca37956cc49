// The data-file and entry-file writers.  Each builds the whole text in memory
// (a data file is at most 4000 short lines, an entry file about 6500) and stages
// it with the text layer's StagedFiles, which writes it under a temporary name
// beside the target and renames it into place at the commit.
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "driver/writers.hpp"
#include "tables/tables.hpp"
#include "textio/output_files.hpp"
#include "textio/textio.hpp"

namespace tessaline {
namespace {

std::string quoted(const std::string& path) { return "\"" + path + "\""; }

// The text layer's errors of staging and committing, as this library's.
template <class F>
void writing(F f) {
  try {
    f();
  } catch (const textio::TextError& e) {
    throw WriteError(e.what());
  }
}

// ---------------------------------------------------------------- entry file

constexpr std::size_t kLineWidth = 72;
constexpr std::size_t kValueWidth = 10;

// The shortest text that reads back as the same double; a whole number keeps a
// decimal point so that it reads as a real value.
std::string real_text(double v) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  std::string s(buf, r.ptr);
  if (s.find_first_of(".e") == std::string::npos) s += ".0";
  return s;
}

class EntryText {
 public:
  explicit EntryText(const std::string& path) : path_(path) {}

  void value(const std::string& number, std::string_view label, const std::string& note) {
    std::string line = number;
    line.append(line.size() < kValueWidth ? kValueWidth - line.size() : 2, ' ');
    line += label;
    if (!note.empty()) line += "  " + note;
    add(line);
  }
  void real(double v, std::string_view label, const std::string& note) {
    if (!std::isfinite(v)) fail(std::string(label) + " is not a finite number");
    value(real_text(v), label, note);
  }
  void fittable(const EntryValue& v, std::string_view label) {
    real(v.value, label, v.note);
    add(v.fixed ? "F         fixed" : "-         free");
  }
  void separator(const std::string& heading) {
    std::string line = "---------- " + heading + " ";
    if (line.size() < kLineWidth) line.append(kLineWidth - line.size(), '-');
    add(line);
  }
  void medium(const EntryMedium& m, bool substrate, const std::string& where) {
    if (!substrate) fittable(m.thickness, "thickness [A]");
    fittable(m.re_nb, "Re{Nb} [1e-6 A^-2]");
    fittable(m.im_nb, "Im{Nb} [1e-6 A^-2]");
    fittable(m.np, "N_p [1e-6 A^-2]");
    fittable(m.cos_delta_gamma, "<cos(delta_gamma)>");
    // The model uses only the product N_p * <cos(delta_gamma)>.
    if (!m.np.fixed && !m.cos_delta_gamma.fixed)
      fail("N_p and <cos(delta_gamma)> of " + where + " are both free");
    fittable(m.debye_waller, "Debye-Waller roughness [A]");
  }
  [[noreturn]] void fail(const std::string& why) const {
    throw WriteError("cannot write the entry file " + quoted(path_) + ": " + why);
  }
  const std::string& text() const { return text_; }

 private:
  void add(const std::string& line) {
    text_ += line;
    text_ += '\n';
  }
  std::string path_;
  std::string text_;
};

}  // namespace

void stage_data_file(textio::StagedFiles& files, const std::string& path,
                     const std::vector<DataPoint>& points) {
  if (points.empty() || points.size() % 4 != 0) {
    throw WriteError("cannot write the data file " + quoted(path) + ": " +
                     std::to_string(points.size()) +
                     " points do not fill four spin channels equally");
  }
  std::string text;
  text.reserve(points.size() * 72);
  char line[128];
  for (const DataPoint& p : points) {
    if (!std::isfinite(p.R) || !std::isfinite(p.dR) || !std::isfinite(p.theta)) {
      throw WriteError("cannot write the data file " + quoted(path) + ": point " +
                       std::to_string(&p - points.data() + 1) +
                       " holds a value that is not finite");
    }
    const int n = std::snprintf(line, sizeof line, " %.17g %.17g %.17g\n", p.R, p.dR, p.theta);
    text.append(line, static_cast<std::size_t>(n));
  }
  writing([&] { files.stage(path, text); });
}

void stage_point_list(textio::StagedFiles& files, const std::string& path,
                      const std::array<std::vector<DataPoint>, 4>& channels) {
  const auto fail = [&path](const std::string& why) {
    throw WriteError("cannot write the point list " + quoted(path) + ": " + why);
  };
  std::size_t total = 0;
  std::size_t with_resolution = 0;
  for (std::size_t c = 0; c < channels.size(); ++c) {
    if (channels[c].size() > static_cast<std::size_t>(maxpoint)) {
      fail("channel " + std::string(kChannelNames[c]) + " holds " +
           std::to_string(channels[c].size()) + " points, more than " + std::to_string(maxpoint));
    }
    total += channels[c].size();
    for (const DataPoint& p : channels[c]) with_resolution += p.resolution >= 0 ? 1 : 0;
  }
  if (total == 0) fail("no channel holds a point");
  if (with_resolution != 0 && with_resolution != total)
    fail("some points have a resolution and others not");
  const bool resolution = with_resolution != 0;

  std::string text(kPointListHeader);
  text += resolution ? "\n# channel  R  dR  theta[rad]  sigma_theta[rad]\n"
                     : "\n# channel  R  dR  theta[rad]\n";
  text.reserve(text.size() + total * 96);
  char line[160];
  for (std::size_t c = 0; c < channels.size(); ++c) {
    for (const DataPoint& p : channels[c]) {
      if (!std::isfinite(p.R) || !std::isfinite(p.dR) || !std::isfinite(p.theta) ||
          !std::isfinite(p.resolution)) {
        fail("point " + std::to_string(&p - channels[c].data() + 1) + " of channel " +
             std::string(kChannelNames[c]) + " holds a value that is not finite");
      }
      const std::string_view name = kChannelNames[c];
      const int n = resolution ? std::snprintf(line, sizeof line, "%.2s %.17g %.17g %.17g %.17g\n",
                                               name.data(), p.R, p.dR, p.theta, p.resolution)
                               : std::snprintf(line, sizeof line, "%.2s %.17g %.17g %.17g\n",
                                               name.data(), p.R, p.dR, p.theta);
      text.append(line, static_cast<std::size_t>(n));
    }
  }
  writing([&] { files.stage(path, text); });
}

void stage_entry_file(textio::StagedFiles& files, const std::string& path,
                      const EntryDescription& d) {
  EntryText e(path);
  if (d.nn < 1 || d.nn > maxpoint)
    e.fail("nn = " + std::to_string(d.nn) + " is outside 1.." + std::to_string(maxpoint));
  if (d.j0 < 1 || d.j0 > maxj0)
    e.fail("j0 = " + std::to_string(d.j0) + " is outside 1.." + std::to_string(maxj0));
  if (d.layers.size() > static_cast<std::size_t>(maxlay))
    e.fail(std::to_string(d.layers.size()) + " layers are more than " + std::to_string(maxlay));
  if (!(d.wavelength > 0) || !std::isfinite(d.wavelength))
    e.fail("the wavelength must be a positive number");

  static constexpr const char* kAxes[3] = {"(x)", "(y)", "(z)"};
  for (int j = 0; j < 3; ++j) {
    EntryValue v = d.Pi[j];
    // The first line of the file says what it begins with.
    if (j == 0) v.note = "polarizer polarization vector" + (v.note.empty() ? "" : "; " + v.note);
    e.fittable(v, std::string("Pi") + kAxes[j]);
  }
  e.separator("analyser polarization vector Pf");
  for (int j = 0; j < 3; ++j) e.fittable(d.Pf[j], std::string("Pf") + kAxes[j]);
  e.separator("instrument");
  e.real(d.wavelength, "wavelength [A]", d.wavelength_note);
  e.value(std::to_string(d.nn), "nn: points per spin channel", "");
  e.value(std::to_string(d.j0), "j0: points of the collimation function", "");
  e.real(d.coll_step, "collimation step [mrad]", "");
  e.real(d.coll_sigma, "collimation sigma [mrad]", d.collimation_note);
  e.separator("layers, from the vacuum down");
  e.value(std::to_string(d.layers.size()), "nlay: number of layers", "");
  for (std::size_t k = 0; k < d.layers.size(); ++k) {
    const std::string where = "layer " + std::to_string(k + 1);
    const EntryMedium& m = d.layers[k];
    e.separator(m.heading.empty() ? where : where + ": " + m.heading);
    e.medium(m, false, where);
  }
  e.separator(d.substrate.heading.empty() ? "substrate" : "substrate: " + d.substrate.heading);
  e.medium(d.substrate, true, "the substrate");
  e.separator("magnetization axis: averages over the angle gamma");
  e.fittable(d.cos_gamma, "<cos gamma>");
  e.fittable(d.sin_gamma, "<sin gamma>");
  e.fittable(d.sin2_gamma, "<sin^2 gamma>");
  e.separator("scale, illumination, background");
  e.fittable(d.scaling, "total scaling factor");
  e.fittable(d.alpha0, "alpha_0: illumination parameter [mrad]");
  e.fittable(d.background, "background");
  e.separator("angle zero");
  e.real(d.zero_correction, "zero correction [mrad], never fitted", "");
  writing([&] { files.stage(path, e.text()); });
}

void commit_files(textio::StagedFiles& files) {
  writing([&] { files.commit(); });
}

void write_data_file(const std::string& path, const std::vector<DataPoint>& points) {
  textio::StagedFiles files;
  stage_data_file(files, path, points);
  commit_files(files);
}

void write_point_list(const std::string& path,
                      const std::array<std::vector<DataPoint>, 4>& channels) {
  textio::StagedFiles files;
  stage_point_list(files, path, channels);
  commit_files(files);
}

void write_entry_file(const std::string& path, const EntryDescription& d) {
  textio::StagedFiles files;
  stage_entry_file(files, path, d);
  commit_files(files);
}

}  // namespace tessaline
