// From data sets to the channels of a data file: what the instrument
// selected and the channel of every curve, the wavelength, cleaning, the
// angles and the resolution of every point, the classic form's common length,
// the console summary and a starting entry file.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "import/import.hpp"
#include "import/text.hpp"
#include "tables/tables.hpp"
#include "textio/output_files.hpp"
#include "textio/textio.hpp"

namespace tessaline::importer {
namespace {

// A cleaned point on its way to the data file.
struct Work {
  double Qz = 0, R = 0, dR = 0, dQz = 0, theta = 0;
};

// The glancing angle of Qz at the wavelength: Qz = 4 pi sin(theta) / lambda;
// NaN beyond 4 pi / lambda.
double theta_of(double Qz, double wavelength) { return std::asin(Qz * wavelength / (4 * kPi)); }

bool same_value(double a, double b, double rel) {
  return std::fabs(a - b) <= rel * std::max(std::fabs(a), std::fabs(b));
}

std::string number_text(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.10g", v);
  return buf;
}

std::string join(const std::vector<std::string>& parts, const std::string& sep) {
  std::string s;
  for (std::size_t i = 0; i < parts.size(); ++i) s += (i ? sep : "") + parts[i];
  return s;
}

// What a declared polarization means, for messages.
std::string describe_polarization(const DataSet& s) {
  const std::string& p = s.polarization;
  switch (s.beam) {
    case Beam::kAnalysed:
      return p + " = " + std::string(kChannelNames[static_cast<std::size_t>(s.channel)]);
    case Beam::kPolarizerOnly:
      return p + " (polarizer only, no analyser)";
    case Beam::kAnalyserOnly:
      return p + " (analyser only, no polarizer)";
    case Beam::kUnpolarized:
      return p.empty()            ? "unpolarized, no polarization named"
             : p == "unpolarized" ? p
                                  : p + " (unpolarized)";
    case Beam::kUnknown:
      break;
  }
  return p.empty() ? "no polarization given"
                   : textio::quoted(p) + ", a polarization not known here";
}

std::string channel_name(int c) { return std::string(kChannelNames[static_cast<std::size_t>(c)]); }

// The one Beam that all sets share.
Beam settle_beam(const std::vector<DataSet>& sets, std::vector<std::string>& problems) {
  std::vector<std::string> found;
  for (const DataSet& s : sets) found.push_back(s.source() + ": " + describe_polarization(s));
  const std::string listing =
      found.empty() ? std::string("no data set") : "Found " + join(found, "; ") + ".";
  if (sets.empty()) {
    problems.push_back("no data set to import");
    return Beam::kUnknown;
  }
  for (const DataSet& s : sets) {
    if (s.beam != Beam::kUnknown) continue;
    problems.push_back(
        s.source() + ": " + describe_polarization(s) +
        "; expected, with polarizer (first) and analyser (second), ORSO pp, mm, pm, mp, po, mo, "
        "op, om or unpolarized (p and m the two states, o no such device), or NCNR cross sections "
        "A, B, C, D or ++, --, +-, -+, and + or - for a polarizer without an analyser");
  }
  if (!problems.empty()) return Beam::kUnknown;
  const Beam beam = sets.front().beam;
  for (const DataSet& s : sets) {
    if (s.beam == beam) continue;
    problems.push_back(
        "the data sets were measured with different polarizing devices: " + listing +
        " A fit has one polarizer vector Pi and one analyser vector Pf for all of its points, so "
        "curves measured with an analyser and without one (or with a polarizer and without one) "
        "cannot be fitted together: import them separately");
    return Beam::kUnknown;
  }
  return beam;
}

// Each set in the channel it names, each channel at most once.
std::array<const DataSet*, kChannels> assign_channels(const std::vector<DataSet>& sets,
                                                      std::vector<std::string>& problems) {
  std::array<const DataSet*, kChannels> chosen{};
  for (const DataSet& s : sets) {
    if (s.channel == kNoChannel) continue;
    const DataSet*& slot = chosen[static_cast<std::size_t>(s.channel)];
    if (slot != nullptr) {
      problems.push_back("channel " + channel_name(s.channel) + " is given twice: by " +
                         slot->source() + " (" + describe_polarization(*slot) + ") and by " +
                         s.source() + " (" + describe_polarization(s) +
                         "); each channel takes one curve");
    } else {
      slot = &s;
    }
  }
  return chosen;
}

// The classic form holds the four channels measured with polarizer and analyser.
void check_classic(const std::vector<DataSet>& sets, Beam beam,
                   const std::array<const DataSet*, kChannels>& chosen,
                   std::vector<std::string>& problems) {
  std::vector<std::string> missing, found;
  for (int c = 0; c < kChannels; ++c)
    if (chosen[static_cast<std::size_t>(c)] == nullptr) missing.push_back(channel_name(c));
  if (beam == Beam::kAnalysed && missing.empty()) return;
  for (const DataSet& s : sets) found.push_back(s.source() + ": " + describe_polarization(s));
  problems.push_back(
      "the classic data file (--classic) holds all four spin channels UU, DD, UD and DU, each "
      "measured with a polarizer and an analyser (ORSO polarization pp, mm, pm and mp; NCNR "
      "cross sections D, A, C and B, or ++, --, +- and -+). Found " +
      join(found, "; ") + "." +
      (beam == Beam::kAnalysed ? " Missing: " + join(missing, ", ") + "." : std::string()) +
      " Without --classic the import writes a point list, which holds any of the channels");
}

// The wavelength of the sets in `use`, from the options or from the files.
double settle_wavelength(const std::vector<const DataSet*>& use, const Options& options,
                         std::vector<std::string>& problems) {
  std::vector<std::string> files_done;
  auto once = [&](const std::string& file) {
    if (std::find(files_done.begin(), files_done.end(), file) != files_done.end()) return false;
    files_done.push_back(file);
    return true;
  };
  if (options.wavelength) {
    if (const std::string problem = detail::wavelength_problem(*options.wavelength);
        !problem.empty())
      problems.push_back("--wavelength: " + problem);
  }
  // The wavelength another data set of the same file gives, for the message
  // about one that gives none.
  const auto elsewhere_in_file = [&](const DataSet* s) -> std::string {
    for (const DataSet* o : use)
      if (o->file == s->file && o->wavelength)
        return " (" + o->source() + " gives " + number_text(*o->wavelength) +
               " A, but each data set is read with its own header)";
    return "";
  };
  const DataSet* first = nullptr;
  bool disagree = false;
  for (const DataSet* s : use) {
    if (options.wavelength) {
      if (s->wavelength && !same_value(*s->wavelength, *options.wavelength, kQzTolerance) &&
          once(s->file))
        problems.push_back(s->file + " declares the wavelength " + number_text(*s->wavelength) +
                           " A, but --wavelength gives " + number_text(*options.wavelength) +
                           " A: leave out --wavelength to use the file's value");
    } else if (s->wavelength) {
      if (first == nullptr) first = s;
      if (!same_value(*s->wavelength, *first->wavelength, kQzTolerance)) disagree = true;
    } else if (!s->wavelength_range.empty()) {
      if (once(s->file))
        problems.push_back(
            s->file + " gives only a wavelength range, " + s->wavelength_range +
            " (time of flight, or several wavelengths): give the wavelength for the angles with "
            "--wavelength L; the "
            "reflectivity depends on Qz alone, so any L (say one inside the range) gives the same "
            "fit as long as the entry file holds the same L");
    } else if (once(s->source())) {
      problems.push_back(s->source() + " declares no wavelength" + elsewhere_in_file(s) +
                         ": give it with --wavelength L (in A)");
    }
  }
  if (disagree) {
    std::vector<std::string> said;
    for (const DataSet* s : use)
      if (s->wavelength)
        said.push_back(s->source() + " says " + number_text(*s->wavelength) + " A");
    problems.push_back("the files disagree on the wavelength: " + join(said, ", ") +
                       "; the four channels must come from one measurement");
  }
  if (options.wavelength) return *options.wavelength;
  return first != nullptr ? *first->wavelength : 0;
}

// The points the data file can hold, in increasing Qz.
std::vector<Work> clean(const DataSet& s, double wavelength, ChannelSummary& sum) {
  sum.source = s.source();
  sum.polarization = s.polarization.empty() ? describe_polarization(s) : s.polarization;
  sum.read = static_cast<int>(s.points.size()) + s.excluded;
  sum.excluded = s.excluded;
  std::vector<Work> out;
  for (const ReducedPoint& p : s.points) {
    const double theta = theta_of(p.Qz, wavelength);
    if (!std::isfinite(p.Qz) || !std::isfinite(p.R) || !std::isfinite(p.dR)) {
      ++sum.dropped_nonfinite;
    } else if (!(p.Qz > 0) || std::isnan(theta)) {
      ++sum.dropped_qz;
    } else if (!(p.dR >= kMinErrorBar)) {
      ++sum.dropped_error;
    } else {
      out.push_back({p.Qz, p.R, p.dR, p.dQz, theta});
    }
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const Work& a, const Work& b) { return a.Qz < b.Qz; });
  return out;
}

// Keeps the points whose Qz is present in all four channels, one for one.
void keep_common(std::array<std::vector<Work>, kChannels>& ch) {
  std::array<std::vector<Work>, kChannels> out;
  std::array<std::size_t, kChannels> i{};
  auto open = [&] {
    for (int c = 0; c < kChannels; ++c)
      if (i[c] >= ch[c].size()) return false;
    return true;
  };
  while (open()) {
    double top = 0;
    for (int c = 0; c < kChannels; ++c) top = std::max(top, ch[c][i[c]].Qz);
    bool all = true;
    // Every head below the largest one has no partner there: step past it.
    for (int c = 0; c < kChannels; ++c) {
      if (!same_value(ch[c][i[c]].Qz, top, kQzTolerance)) {
        ++i[c];
        all = false;
      }
    }
    if (!all) continue;
    for (int c = 0; c < kChannels; ++c) out[c].push_back(ch[c][i[c]++]);
  }
  ch = std::move(out);
}

// Merges runs of neighbouring points into m points, each the inverse-variance
// weighted mean of its run (R, Qz and dQz); a run of one point stays as it is.
std::vector<Work> merge_to(const std::vector<Work>& v, std::size_t m, double wavelength,
                           const std::string& source) {
  const std::size_t n = v.size();
  if (n <= m) return v;
  std::vector<Work> out;
  for (std::size_t g = 0; g < m; ++g) {
    const std::size_t lo = g * n / m, hi = (g + 1) * n / m;
    if (hi - lo == 1) {
      out.push_back(v[lo]);
      continue;
    }
    // Weights relative to the smallest error bar of the run, so that none
    // overflows or vanishes.
    double e0 = v[lo].dR;
    for (std::size_t k = lo; k < hi; ++k) e0 = std::min(e0, v[k].dR);
    double sw = 0, sr = 0, sq = 0, sdq = 0;
    for (std::size_t k = lo; k < hi; ++k) {
      const double w = (e0 / v[k].dR) * (e0 / v[k].dR);
      sw += w;
      sr += w * v[k].R;
      sq += w * v[k].Qz;
      sdq += w * v[k].dQz;
    }
    Work p;
    p.R = sr / sw;
    p.dR = e0 / std::sqrt(sw);
    p.Qz = sq / sw;
    p.dQz = sdq / sw;  // NaN when a point of the run has no resolution
    p.theta = theta_of(p.Qz, wavelength);
    if (!std::isfinite(p.R) || !std::isfinite(p.theta) || !(p.dR >= kMinErrorBar))
      throw ImportError(source + ": merging points " + std::to_string(lo + 1) + ".." +
                        std::to_string(hi) + " gives a value out of range");
    out.push_back(p);
  }
  return out;
}

// The classic form: channels of unequal length brought to one length nn.
void equalize(std::array<std::vector<Work>, kChannels>& ch, const Options& options,
              double wavelength, Imported& r) {
  std::size_t shortest = ch[0].size(), longest = ch[0].size();
  for (const auto& v : ch) {
    shortest = std::min(shortest, v.size());
    longest = std::max(longest, v.size());
  }
  if (shortest != longest || longest > static_cast<std::size_t>(maxpoint)) {
    std::array<std::size_t, kChannels> before{};
    for (int c = 0; c < kChannels; ++c) before[c] = ch[c].size();
    if (options.equalize == Equalize::kMerge) {
      const std::size_t m = std::min(shortest, static_cast<std::size_t>(maxpoint));
      for (int c = 0; c < kChannels; ++c) {
        ch[c] = merge_to(ch[c], m, wavelength, r.summary[c].source);
        r.summary[c].merged_away = static_cast<int>(before[c] - ch[c].size());
      }
    } else if (shortest != longest) {
      keep_common(ch);
      for (int c = 0; c < kChannels; ++c)
        r.summary[c].dropped_unmatched = static_cast<int>(before[c] - ch[c].size());
      // Point to the alternatives: the cost of this mode depends on how far the
      // channels' Qz grids differ, which only the counts show.
      std::vector<std::string> counts;
      for (int c = 0; c < kChannels; ++c) counts.push_back(std::to_string(before[c]));
      r.notes.push_back(
          "the channels have " + join(counts, ", ") + " usable points and " +
          std::to_string(ch[0].size()) + " Qz values present in all four, so " +
          std::to_string(ch[0].size()) + " points per channel are kept; --merge would keep " +
          std::to_string(std::min(shortest, static_cast<std::size_t>(maxpoint))) +
          " per channel, merging neighbouring points (inverse-variance weighted means), and a "
          "point list (without --classic) every usable point");
      if (ch[0].empty())
        throw ImportError(
            "no Qz is present in all four channels (within a relative 1e-6), so no point is "
            "left; --merge brings the channels to one length by merging neighbouring points "
            "instead, and a point list (without --classic) keeps every point");
    }
  }
  if (ch[0].size() > static_cast<std::size_t>(maxpoint))
    throw ImportError(std::to_string(ch[0].size()) +
                      " points per channel after cleaning are more than the " +
                      std::to_string(maxpoint) +
                      " the fit can hold; --merge merges neighbouring points (inverse-variance "
                      "weighted) down to " +
                      std::to_string(maxpoint));
}

// The angular resolution of every kept point, and whether the point list can
// carry one for each: every point needs a value >= 0, and one at least above 0
// (a list of zeros smears nothing and is written without the column).
void settle_resolution(const std::array<std::vector<Work>, kChannels>& ch, double wavelength,
                       Imported& r) {
  std::vector<double> positive;
  Resolution res;
  for (int c = 0; c < kChannels; ++c) {
    for (const Work& p : ch[c]) {
      const double s = p.dQz * wavelength / (4 * kPi * std::cos(p.theta));
      DataPoint point{p.R, p.dR, p.theta, -1};
      if (!std::isfinite(s) || s < 0) {
        ++res.missing;
      } else {
        point.resolution = s;
        if (s > 0) {
          positive.push_back(s);
        } else {
          ++res.zero;
        }
      }
      r.channels[c].push_back(point);
    }
  }
  res.per_point = r.form == Form::kPointList && res.missing == 0 && !positive.empty();
  if (!res.per_point)
    for (auto& channel : r.channels)
      for (DataPoint& p : channel) p.resolution = -1;
  if (positive.empty()) {
    if (res.zero > 0)
      r.notes.push_back("the files give a resolution of 0 for " + std::to_string(res.zero) +
                        " points and none for the others: no smearing");
    return;
  }
  std::sort(positive.begin(), positive.end());
  res.points = static_cast<int>(positive.size());
  res.min = positive.front();
  res.max = positive.back();
  const std::size_t h = positive.size() / 2;
  res.median = positive.size() % 2 ? positive[h] : 0.5 * (positive[h - 1] + positive[h]);
  if (r.form == Form::kPointList && !res.per_point)
    r.notes.push_back(std::to_string(res.missing) +
                      " kept points have no usable Qz resolution (none given, not finite or "
                      "negative), so the point list carries none; the entry file's kernel, from "
                      "the median of the others, serves every point");
  r.resolution = res;
}

std::string channel_line(const ChannelSummary& s) {
  return s.source + " (" + std::to_string(s.read) + " points read, " + std::to_string(s.excluded) +
         " excluded by the file, " +
         std::to_string(s.dropped_qz + s.dropped_nonfinite + s.dropped_error) + " unusable)";
}

}  // namespace

namespace {

// Which curve of a single polarizing device went into which channel.
std::string curves_written(const Imported& r) {
  std::vector<std::string> parts;
  if (r.has(0)) parts.push_back("the + curve is written as UU");
  if (r.has(1)) parts.push_back("the - curve as DD");
  if (!r.has(0)) parts.front() = "the - curve is written as DD";
  return join(parts, " and ");
}

}  // namespace

int Imported::nn() const {
  std::size_t n = 0;
  for (const auto& c : channels) n = std::max(n, c.size());
  return static_cast<int>(n);
}

Imported assemble(const std::vector<DataSet>& sets, const Options& options) {
  std::vector<std::string> problems;
  const Beam beam = settle_beam(sets, problems);
  // Channels are compared only among curves measured one way: a curve that
  // cannot join the others is reason enough.
  const auto chosen =
      problems.empty() ? assign_channels(sets, problems) : std::array<const DataSet*, kChannels>{};
  if (options.form == Form::kClassic && problems.empty())
    check_classic(sets, beam, chosen, problems);
  // Every set's wavelength is checked even when the sets cannot be used, so
  // that one message tells all that stands in the way.
  std::vector<const DataSet*> use;
  for (const DataSet& s : sets) use.push_back(&s);
  const double wavelength = settle_wavelength(use, options, problems);
  if (!problems.empty()) throw ImportError(join(problems, "\n"));

  Imported r;
  r.form = options.form;
  r.beam = beam;
  r.wavelength = wavelength;
  r.wavelength_given = options.wavelength.has_value();
  for (const DataSet& s : sets)
    for (const std::string& note : s.notes) r.notes.push_back(s.source() + ": " + note);

  std::array<std::vector<Work>, kChannels> ch;
  for (int c = 0; c < kChannels; ++c) {
    if (chosen[c] == nullptr) continue;
    ch[c] = clean(*chosen[c], wavelength, r.summary[c]);
    if (ch[c].empty())
      problems.push_back("channel " + channel_name(c) +
                         " is left with no point: " + channel_line(r.summary[c]));
    else if (r.form == Form::kPointList && ch[c].size() > static_cast<std::size_t>(maxpoint))
      problems.push_back(
          "channel " + channel_name(c) + " keeps " + std::to_string(ch[c].size()) +
          " usable points, more than the " + std::to_string(maxpoint) +
          " a channel of the fit can hold: " + channel_line(r.summary[c]) +
          "; bin the curve more coarsely in its reduction, or, with all four channels, "
          "--classic --merge merges neighbouring points down to " +
          std::to_string(maxpoint));
  }
  if (!problems.empty()) throw ImportError(join(problems, "\n"));

  if (r.form == Form::kClassic) equalize(ch, options, wavelength, r);
  for (int c = 0; c < kChannels; ++c) r.summary[c].kept = static_cast<int>(ch[c].size());
  settle_resolution(ch, wavelength, r);
  return r;
}

std::string summary_text(const Imported& r) {
  std::string text;
  char line[512];
  const auto add = [&](const char* format, auto... values) {
    std::snprintf(line, sizeof line, format, values...);
    text += line;
  };
  add("Wavelength %.10g A (%s)\n", r.wavelength,
      r.wavelength_given ? "from --wavelength" : "from the files");

  // What the instrument selected, and how the curves are written.
  std::vector<std::string> present, absent;
  for (int c = 0; c < kChannels; ++c) (r.has(c) ? present : absent).push_back(channel_name(c));
  switch (r.beam) {
    case Beam::kAnalysed:
      text += "Measured with a polarizer and an analyser: " + join(present, ", ") +
              (absent.empty() ? std::string()
                              : "; " + join(absent, ", ") +
                                    " not in the files: the fit computes their curves but "
                                    "fits no point there") +
              "\n";
      break;
    case Beam::kPolarizerOnly:
      text += "Half-polarized (a polarizer, no analyser): " + curves_written(r) +
              "; the entry file's analyser Pf = (0, 0, 0) makes the model record both analyser "
              "states, so that UU = UD and DD = DU\n";
      break;
    case Beam::kAnalyserOnly:
      text += "An analyser without a polarizer: " + curves_written(r) +
              "; the entry file's polarizer Pi = (0, 0, 0) makes the model average both "
              "polarizer states, so that UU = DU and DD = UD\n";
      break;
    case Beam::kUnpolarized:
      text +=
          "Unpolarized (neither polarizer nor analyser): the curve is written as UU; the entry "
          "file's Pi = Pf = (0, 0, 0) makes the model the unpolarized reflectivity t (bgr + "
          "|R+|^2 + |R-|^2)\n";
      break;
    case Beam::kUnknown:
      break;
  }

  const bool classic = r.form == Form::kClassic;
  if (classic) {
    add("Classic data file: nn = %d points per channel\n", r.nn());
  } else {
    std::vector<std::string> counts;
    int total = 0;
    for (int c = 0; c < kChannels; ++c) {
      if (!r.has(c)) continue;
      counts.push_back(channel_name(c) + " " + std::to_string(r.channels[c].size()));
      total += static_cast<int>(r.channels[c].size());
    }
    add("Point list of every usable point: %s (%d in all)\n", join(counts, ", ").c_str(), total);
  }
  add("%-7s %6s %9s %7s %11s %9s", "channel", "read", "excluded", "Qz out", "not finite",
      "dR<1e-30");
  if (classic) add(" %11s %7s", "not in all", "merged");
  add(" %6s  %s\n", "kept", "from");
  for (int c = 0; c < kChannels; ++c) {
    if (!r.has(c)) continue;
    const ChannelSummary& s = r.summary[static_cast<std::size_t>(c)];
    add("%-7s %6d %9d %7d %11d %9d", channel_name(c).c_str(), s.read, s.excluded, s.dropped_qz,
        s.dropped_nonfinite, s.dropped_error);
    if (classic) add(" %11d %7d", s.dropped_unmatched, s.merged_away);
    add(" %6d  %s (%s)\n", s.kept, s.source.c_str(), s.polarization.c_str());
  }
  text += "  excluded: commented out in the file; Qz out: Qz <= 0 or above 4 pi / L\n";
  if (classic)
    add("  not in all: Qz not present in all four channels (relative tolerance %g)\n",
        kQzTolerance);
  if (r.resolution) {
    const Resolution& res = *r.resolution;
    add("Resolution: sigma_theta = sigma_Qz L / (4 pi cos theta) from %.4g to %.4g mrad, "
        "median %.4g mrad (%d points",
        res.min * 1000, res.max * 1000, res.median * 1000, res.points);
    if (res.zero > 0) add(", and %d of 0", res.zero);
    if (res.missing > 0) add(", and %d without one", res.missing);
    text += res.per_point ? "); written for every point\n"
                          : "); one kernel of their median for every point\n";
  } else {
    text += "Resolution: none in the files\n";
  }
  for (const std::string& note : r.notes) text += "Note: " + note + "\n";
  return text;
}

std::vector<DataPoint> data_file_points(const Imported& imported) {
  std::vector<DataPoint> points;
  for (const auto& c : imported.channels) points.insert(points.end(), c.begin(), c.end());
  return points;
}

void stage_imported_data(textio::StagedFiles& files, const std::string& path,
                         const Imported& imported) {
  if (imported.form == Form::kClassic) {
    stage_data_file(files, path, data_file_points(imported));
  } else {
    stage_point_list(files, path, imported.channels);
  }
}

EntryDescription starting_entry(const Imported& imported) {
  EntryDescription d;
  const EntryValue zero{0.0, true, {}};
  const EntryValue ideal_polarizer{
      1.0, true, "ideal polarizer; a polarizing efficiency e goes here as 2e - 1"};
  const EntryValue ideal_analyser{1.0, true,
                                  "ideal analyser; its efficiency e goes here as 2e - 1"};
  d.Pi = {zero, ideal_polarizer, zero};
  d.Pf = {zero, ideal_analyser, zero};
  // Without an analyser (or polarizer) the zero vector records both of its
  // states; a zero vector is kept fixed, since the channels give it no sign.
  switch (imported.beam) {
    case Beam::kPolarizerOnly:
      d.Pf = {EntryValue{0.0, true,
                         "no analyser (half-polarized: ORSO po/mo, NCNR + and -): Pf = (0, 0, 0) "
                         "records both analyser states, so UU = UD and DD = DU"},
              EntryValue{0.0, true, "no analyser: keep Pf = (0, 0, 0) fixed"}, zero};
      break;
    case Beam::kAnalyserOnly:
      d.Pi = {EntryValue{0.0, true,
                         "no polarizer (ORSO op/om): Pi = (0, 0, 0) averages both polarizer "
                         "states, so UU = DU and DD = UD"},
              EntryValue{0.0, true, "no polarizer: keep Pi = (0, 0, 0) fixed"}, zero};
      break;
    case Beam::kUnpolarized:
      d.Pi = {EntryValue{0.0, true,
                         "unpolarized measurement: Pi = Pf = (0, 0, 0) gives the unpolarized "
                         "reflectivity, written as channel UU"},
              EntryValue{0.0, true, "no polarizer: keep Pi = (0, 0, 0) fixed"}, zero};
      d.Pf = {EntryValue{0.0, true, "no analyser either"},
              EntryValue{0.0, true, "no analyser: keep Pf = (0, 0, 0) fixed"}, zero};
      break;
    case Beam::kAnalysed:
    case Beam::kUnknown:
      break;
  }
  d.wavelength = imported.wavelength;
  d.wavelength_note = imported.wavelength_given ? "given on the command line" : "from the files";
  d.nn = std::clamp(imported.nn(), 1, maxpoint);
  if (imported.form == Form::kPointList)
    d.nn_note = "plays no part with a point list (here the largest channel's count)";
  if (imported.resolution) {
    const Resolution& res = *imported.resolution;
    // Four significant digits are plenty for a starting value.
    char text[32];
    std::snprintf(text, sizeof text, "%.4g", res.median * 1000);
    const double sigma = std::strtod(text, nullptr);
    d.j0 = kStartJ0;
    d.coll_sigma = sigma;
    d.coll_step = sigma / 2;
    char note[256];
    if (res.per_point) {
      std::snprintf(note, sizeof note,
                    "the kernel's shape: each point is smeared with it stretched to its own "
                    "sigma_theta (%.3g to %.3g mrad; this is their median), %d points "
                    "sigma_theta/2 apart",
                    res.min * 1000, res.max * 1000, kStartJ0);
    } else {
      std::snprintf(note, sizeof note,
                    "median of the files' resolution, which spreads from %.3g to %.3g mrad",
                    res.min * 1000, res.max * 1000);
    }
    d.collimation_note = note;
  } else {
    d.j0 = 1;
    d.collimation_note = "the files give no resolution: 0 means no smearing";
  }
  EntryMedium layer;
  layer.heading = "placeholder: replace with the layers of the sample";
  layer.thickness = {100.0, false, {}};
  layer.re_nb = {4.0, false, {}};
  layer.im_nb = {0.0, true, {}};
  layer.np = {0.0, true, "free it for a magnetic layer"};
  layer.cos_delta_gamma = {1.0, true, "keep it fixed while N_p is free"};
  layer.debye_waller = {5.0, false, {}};
  d.layers.push_back(layer);
  d.substrate.heading = "Si";
  d.substrate.re_nb = {2.07, true, "Si"};
  d.substrate.im_nb = {0.0, true, {}};
  d.substrate.np = {0.0, true, {}};
  d.substrate.cos_delta_gamma = {1.0, true, {}};
  d.substrate.debye_waller = {3.0, false, {}};
  d.cos_gamma = {1.0, true, "magnetization along y, the polarization axis"};
  // The plateau below the critical edge: t (4 + 2 bgr) for a pair of analysed
  // channels, t (2 + bgr) for each curve without an analyser or polarizer.
  if (imported.beam == Beam::kAnalysed) {
    d.scaling = {0.25, false,
                 "non-spin-flip intensity = 4 x scaling x |r|^2: 0.25 for R near 1 at the edge"};
  } else {
    d.scaling = {0.5, false,
                 "without an analyser or a polarizer the plateau below the edge is 2 x scaling: "
                 "0.5 for R near 1 there"};
  }
  d.background = {0.0, true, "free it to fit a flat background"};
  return d;
}

}  // namespace tessaline::importer
