// tessaline-import: reduced reflectivity files to the data file of a fit.
//
//   tessaline-import -o DATA [--entry ENTRY] [--wavelength L] [--merge] FILE...
//   tessaline-import -o DATA [...] --uu FILE --dd FILE --ud FILE --du FILE
//
// Reads one ORSO .ort file holding the four polarized data sets, NCNR reduced
// files (one cross section each, or the newer kind with a block per cross
// section), or four plain column files named by channel; writes DATA, and with --entry a starting
// entry file; prints what it kept and dropped per channel.  An output that names an input, or
// both outputs naming one file, is refused before anything is read; DATA and ENTRY are written
// together or not at all.  Exit status: 0 when DATA was written, 1 when the input cannot be used,
// a file cannot be written or standard output fails, 2 on a bad command line.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "driver/writers.hpp"
#include "import/import.hpp"
#include "textio/output_files.hpp"

namespace {

using namespace tessaline;
using namespace tessaline::importer;

constexpr const char* kUsage =
    "usage: tessaline-import -o DATA [--entry ENTRY] [--wavelength L] [--merge] FILE...\n"
    "       tessaline-import -o DATA [--entry ENTRY] [--wavelength L] [--merge]\n"
    "                        --uu FILE --dd FILE --ud FILE --du FILE\n";

constexpr const char* kHelp =
    "\n"
    "Reads reduced polarized reflectivity and writes DATA, the data file of a fit:\n"
    "the four spin channels UU, DD, UD, DU with the same number of points each,\n"
    "every point R, dR and the glancing angle theta = asin(Qz L / 4 pi) in rad.\n"
    "\n"
    "FILE...            one ORSO .ort file with the data sets pp, mm, pm and mp, or\n"
    "                   four NCNR reduced files (cross section from #polarization,\n"
    "                   else the last letter of the name: A = DD, B = DU, C = UD,\n"
    "                   D = UU), or NCNR files of the newer kind ('# \"key\": value'\n"
    "                   header lines), one block per cross section: \"++\" = UU,\n"
    "                   \"--\" = DD, \"+-\" = UD, \"-+\" = DU\n"
    "--uu/--dd/--ud/--du FILE\n"
    "                   plain column files Qz[1/A] R dR [dQz], one per channel\n"
    "-o DATA            the data file to write\n"
    "--entry ENTRY      also write a starting entry file for DATA\n"
    "--wavelength L     the wavelength in A, when the files give none or only a\n"
    "                   range (time of flight, or several wavelengths)\n"
    "--merge            when the channels have different numbers of points, merge\n"
    "                   neighbouring points (inverse-variance weighted means of R,\n"
    "                   Qz and the resolution) down to the shortest channel, or to\n"
    "                   1000; the default keeps the points whose Qz is present in\n"
    "                   all four channels and changes no point\n"
    "\n"
    "Points excluded by the file stay out; points with Qz <= 0, a value that is\n"
    "not finite, or an error bar below 1e-30 are left out and counted.\n";

int usage(const char* problem) {
  std::fprintf(stderr, "tessaline-import: %s\n%s", problem, kUsage);
  return 2;
}

void print_summary(const Imported& r) {
  std::printf("Wavelength %.10g A (%s); nn = %d points per channel\n", r.wavelength,
              r.wavelength_given ? "from --wavelength" : "from the files", r.nn());
  std::printf("%-7s %6s %9s %7s %11s %9s %11s %7s %6s  %s\n", "channel", "read", "excluded",
              "Qz out", "not finite", "dR<1e-30", "not in all", "merged", "kept", "from");
  for (int c = 0; c < kChannels; ++c) {
    const ChannelSummary& s = r.summary[static_cast<std::size_t>(c)];
    std::printf("%-7s %6d %9d %7d %11d %9d %11d %7d %6d  %s (%s)\n",
                std::string(kChannelNames[static_cast<std::size_t>(c)]).c_str(), s.read, s.excluded,
                s.dropped_qz, s.dropped_nonfinite, s.dropped_error, s.dropped_unmatched,
                s.merged_away, s.kept, s.source.c_str(), s.polarization.c_str());
  }
  std::printf(
      "  excluded: commented out in the file; Qz out: Qz <= 0 or above 4 pi / L;\n"
      "  not in all: Qz not present in all four channels (relative tolerance %g)\n",
      kQzTolerance);
  if (r.resolution) {
    const Resolution& res = *r.resolution;
    std::printf(
        "Resolution: sigma_theta = sigma_Qz L / (4 pi cos theta) from %.4g to %.4g mrad, "
        "median %.4g mrad (%d points)\n",
        res.min * 1000, res.max * 1000, res.median * 1000, res.points);
  } else {
    std::printf("Resolution: none in the files\n");
  }
  for (const std::string& note : r.notes) std::printf("Note: %s\n", note.c_str());
}

bool parse_positive(const char* s, double& v) {
  char* end = nullptr;
  v = std::strtod(s, &end);
  return end != s && *end == '\0' && std::isfinite(v) && v > 0;
}

int fail(const char* message) {
  std::fprintf(stderr, "tessaline-import: %s\n", message);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    textio::check_standard_streams();
  } catch (const textio::TextError& e) {
    return fail(e.what());
  }
  std::string data, entry;
  Options options;
  std::vector<std::string> files;
  std::optional<std::string> by_channel[kChannels];
  static constexpr const char* kChannelOptions[kChannels] = {"--uu", "--dd", "--ud", "--du"};

  for (int a = 1; a < argc; ++a) {
    const std::string arg = argv[a];
    // An empty name is no name: '--entry ""' must not pass for no --entry.
    const bool has_value = a + 1 < argc && argv[a + 1][0] != '\0';
    if (arg == "--help" || arg == "-h") {
      std::printf("%s%s", kUsage, kHelp);
      return textio::finish_standard_output("tessaline-import", 0, 1);
    } else if (arg == "-o") {
      if (!has_value) return usage("-o needs the name of the data file");
      data = argv[++a];
    } else if (arg == "--entry") {
      if (!has_value) return usage("--entry needs the name of the entry file");
      entry = argv[++a];
    } else if (arg == "--wavelength") {
      double w;
      if (!has_value || !parse_positive(argv[++a], w))
        return usage("--wavelength needs a positive number (in A)");
      options.wavelength = w;
    } else if (arg == "--merge") {
      options.equalize = Equalize::kMerge;
    } else if (arg.size() > 1 && arg[0] == '-') {
      int c = 0;
      while (c < kChannels && arg != kChannelOptions[c]) ++c;
      if (c == kChannels) return usage(("unknown option " + arg).c_str());
      if (!has_value) return usage((arg + " needs a file name").c_str());
      if (by_channel[c]) return usage(("channel " + arg + " is given twice").c_str());
      by_channel[c] = argv[++a];
    } else {
      files.push_back(arg);
    }
  }
  if (data.empty()) return usage("the data file to write is missing (-o DATA)");
  int named = 0;
  for (const auto& f : by_channel) named += f ? 1 : 0;
  if (named > 0 && !files.empty())
    return usage("give either FILE... or the four --uu/--dd/--ud/--du files, not both");
  if (named > 0 && named < kChannels)
    return usage("plain column files need all four of --uu, --dd, --ud and --du");
  if (named == 0 && files.empty()) return usage("no input files");

  try {
    std::vector<textio::NamedFile> inputs;
    for (const std::string& f : files) inputs.push_back({f, "reduced file"});
    for (const auto& f : by_channel) {
      if (f) inputs.push_back({*f, "reduced file"});
    }
    std::vector<textio::NamedFile> outputs{{data, "data file"}};
    if (!entry.empty()) outputs.push_back({entry, "entry file"});
    textio::check_outputs(inputs, outputs);

    std::vector<DataSet> sets;
    if (named > 0) {
      for (int c = 0; c < kChannels; ++c) sets.push_back(read_column_file(*by_channel[c], c));
    } else {
      for (const std::string& f : files) {
        std::vector<DataSet> more = read_reduced_file(f);
        sets.insert(sets.end(), more.begin(), more.end());
      }
    }
    const Imported imported = assemble(sets, options);
    print_summary(imported);
    textio::StagedFiles written;
    stage_data_file(written, data, data_file_points(imported));
    if (!entry.empty()) stage_entry_file(written, entry, starting_entry(imported));
    textio::flush_standard_output();  // the summary was seen, or nothing is written
    commit_files(written);
    std::printf("Data file written: %s (4 x %d points)\n", data.c_str(), imported.nn());
    if (!entry.empty()) std::printf("Entry file written: %s\n", entry.c_str());
  } catch (const ImportError& e) {
    return fail(e.what());
  } catch (const WriteError& e) {
    return fail(e.what());
  } catch (const textio::TextError& e) {
    return fail(e.what());
  }
  return textio::finish_standard_output("tessaline-import", 0, 1);
}
