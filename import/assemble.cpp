// From data sets to the four channels of a data file: channel assignment, the
// wavelength, cleaning, a common length, the angles, the resolution and a
// starting entry file.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "import/import.hpp"
#include "import/text.hpp"
#include "tables/tables.hpp"

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
  if (s.channel != kNoChannel)
    return p + " = " + std::string(kChannelNames[static_cast<std::size_t>(s.channel)]);
  if (p == "po" || p == "mo") return p + " (polarizer only, no analyser)";
  if (p == "op" || p == "om") return p + " (analyser only, no polarizer)";
  if (p == "+" || p == "-") return p + " (polarizer only, no analyser)";
  if (p == "unpolarized") return "unpolarized";
  // ORSO's default when a header names no polarization.
  if (p.empty()) return "unpolarized (no polarization given)";
  return p;
}

// Every set with a channel, each channel exactly once.
std::array<const DataSet*, kChannels> assign_channels(const std::vector<DataSet>& sets,
                                                      std::vector<std::string>& problems) {
  std::array<const DataSet*, kChannels> chosen{};
  for (const DataSet& s : sets) {
    if (s.channel == kNoChannel) continue;
    const DataSet*& slot = chosen[static_cast<std::size_t>(s.channel)];
    if (slot != nullptr) {
      problems.push_back("channel " +
                         std::string(kChannelNames[static_cast<std::size_t>(s.channel)]) +
                         " is given twice: by " + slot->source() + " and by " + s.source());
    } else {
      slot = &s;
    }
  }
  std::vector<std::string> missing, found;
  for (int c = 0; c < kChannels; ++c)
    if (chosen[static_cast<std::size_t>(c)] == nullptr)
      missing.emplace_back(kChannelNames[static_cast<std::size_t>(c)]);
  if (!missing.empty()) {
    for (const DataSet& s : sets) found.push_back(s.source() + ": " + describe_polarization(s));
    problems.push_back(
        "the fit needs all four spin channels UU, DD, UD and DU, each measured with a polarizer "
        "and an analyser (ORSO polarization pp, mm, pm and mp; NCNR cross sections D, A, C and "
        "B, or ++, --, +- and -+). Found " +
        (found.empty() ? std::string("no data set") : join(found, "; ")) +
        ". Missing: " + join(missing, ", ") + ".");
  }
  return chosen;
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
  sum.polarization = s.polarization;
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

std::string channel_line(const ChannelSummary& s) {
  return s.source + " (" + std::to_string(s.read) + " points read, " + std::to_string(s.excluded) +
         " excluded by the file, " +
         std::to_string(s.dropped_qz + s.dropped_nonfinite + s.dropped_error) + " unusable)";
}

}  // namespace

Imported assemble(const std::vector<DataSet>& sets, const Options& options) {
  std::vector<std::string> problems;
  const auto chosen = assign_channels(sets, problems);
  // With a channel missing, every set's wavelength is checked, so that one
  // message tells all that stands in the way.
  std::vector<const DataSet*> use;
  const bool complete = problems.empty();
  for (const DataSet& s : sets)
    if (!complete || (s.channel != kNoChannel && chosen[s.channel] == &s)) use.push_back(&s);
  const double wavelength = settle_wavelength(use, options, problems);
  if (!problems.empty()) throw ImportError(join(problems, "\n"));

  Imported r;
  r.wavelength = wavelength;
  r.wavelength_given = options.wavelength.has_value();
  for (const DataSet& s : sets) {
    for (const std::string& note : s.notes) r.notes.push_back(s.source() + ": " + note);
    if (s.channel == kNoChannel)
      r.notes.push_back(s.source() + ": not used (" + describe_polarization(s) + ")");
  }

  std::array<std::vector<Work>, kChannels> ch;
  for (int c = 0; c < kChannels; ++c) {
    ch[c] = clean(*chosen[c], wavelength, r.summary[c]);
    if (ch[c].empty())
      problems.push_back("channel " + std::string(kChannelNames[c]) +
                         " is left with no point: " + channel_line(r.summary[c]));
  }
  if (!problems.empty()) throw ImportError(join(problems, "\n"));

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
      // Point to the alternative: the cost of this mode depends on how far the
      // channels' Qz grids differ, which only the counts show.
      std::vector<std::string> counts;
      for (int c = 0; c < kChannels; ++c) counts.push_back(std::to_string(before[c]));
      r.notes.push_back(
          "the channels have " + join(counts, ", ") + " usable points and " +
          std::to_string(ch[0].size()) + " Qz values present in all four, so " +
          std::to_string(ch[0].size()) + " points per channel are kept; --merge would keep " +
          std::to_string(std::min(shortest, static_cast<std::size_t>(maxpoint))) +
          " per channel, merging neighbouring points (inverse-variance weighted means)");
      if (ch[0].empty())
        throw ImportError(
            "no Qz is present in all four channels (within a relative 1e-6), so no point is "
            "left; --merge brings the channels to one length by merging neighbouring points "
            "instead");
    }
  }
  if (ch[0].size() > static_cast<std::size_t>(maxpoint))
    throw ImportError(std::to_string(ch[0].size()) +
                      " points per channel after cleaning are more than the " +
                      std::to_string(maxpoint) +
                      " the fit can hold; --merge merges neighbouring points (inverse-variance "
                      "weighted) down to " +
                      std::to_string(maxpoint));

  std::vector<double> sigma_theta;
  for (int c = 0; c < kChannels; ++c) {
    r.summary[c].kept = static_cast<int>(ch[c].size());
    for (const Work& p : ch[c]) {
      r.channels[c].push_back({p.R, p.dR, p.theta});
      if (std::isfinite(p.dQz) && p.dQz > 0)
        sigma_theta.push_back(p.dQz * wavelength / (4 * kPi * std::cos(p.theta)));
    }
  }
  if (!sigma_theta.empty()) {
    std::sort(sigma_theta.begin(), sigma_theta.end());
    Resolution res;
    res.points = static_cast<int>(sigma_theta.size());
    res.min = sigma_theta.front();
    res.max = sigma_theta.back();
    const std::size_t h = sigma_theta.size() / 2;
    res.median =
        sigma_theta.size() % 2 ? sigma_theta[h] : 0.5 * (sigma_theta[h - 1] + sigma_theta[h]);
    r.resolution = res;
  }
  return r;
}

std::vector<DataPoint> data_file_points(const Imported& imported) {
  std::vector<DataPoint> points;
  for (const auto& c : imported.channels) points.insert(points.end(), c.begin(), c.end());
  return points;
}

EntryDescription starting_entry(const Imported& imported) {
  EntryDescription d;
  d.Pi = {EntryValue{0.0, true, {}},
          EntryValue{1.0, true, "ideal polarizer; a polarizing efficiency e goes here as 2e - 1"},
          EntryValue{0.0, true, {}}};
  d.Pf = {EntryValue{0.0, true, {}},
          EntryValue{1.0, true, "ideal analyser; its efficiency e goes here as 2e - 1"},
          EntryValue{0.0, true, {}}};
  d.wavelength = imported.wavelength;
  d.wavelength_note = imported.wavelength_given ? "given on the command line" : "from the files";
  d.nn = imported.nn();
  if (imported.resolution) {
    const Resolution& res = *imported.resolution;
    // Four significant digits are plenty for a starting value.
    char text[32];
    std::snprintf(text, sizeof text, "%.4g", res.median * 1000);
    const double sigma = std::strtod(text, nullptr);
    d.j0 = kStartJ0;
    d.coll_sigma = sigma;
    d.coll_step = sigma / 2;
    char note[160];
    std::snprintf(note, sizeof note,
                  "median of the files' resolution, which spreads from %.3g to %.3g mrad",
                  res.min * 1000, res.max * 1000);
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
  d.scaling = {0.25, false,
               "non-spin-flip intensity = 4 x scaling x |r|^2: 0.25 for R near 1 at the edge"};
  d.background = {0.0, true, "free it to fit a flat background"};
  return d;
}

}  // namespace tessaline::importer
