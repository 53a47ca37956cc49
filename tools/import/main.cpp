// tessaline-import: reduced reflectivity files to the data file of a fit.
//
//   tessaline-import -o DATA [--entry ENTRY] [--wavelength L] [--classic [--merge]] FILE...
//   tessaline-import -o DATA [...] --uu FILE --dd FILE ... (plain columns, by spin state)
//
// Reads ORSO .ort files, NCNR reduced files (one cross section each, or the
// newer kind with a block per cross section) or plain column files named by
// their spin state; writes DATA, a point list of every usable point (or with
// --classic the four equal channels of the classic data file), and with
// --entry a starting entry file; prints what it kept and dropped per channel.
// The reading, the physics and the file formats are the import library's; this
// parses the command line.  An output that names an input, or both outputs
// naming one file, is refused before anything is read; DATA and ENTRY are
// written together or not at all.  Exit status: 0 when DATA was written, 1 when
// the input cannot be used, a file cannot be written or standard output fails,
// 2 on a bad command line.
#include <array>
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
    "usage: tessaline-import -o DATA [--entry ENTRY] [--wavelength L] [--classic [--merge]]\n"
    "                        FILE...\n"
    "       tessaline-import -o DATA [--entry ENTRY] [--wavelength L] [--classic [--merge]]\n"
    "                        --uu FILE --dd FILE ... (plain columns, one per spin state)\n";

constexpr const char* kHelp =
    "\n"
    "Reads reduced reflectivity and writes DATA, the data file of a fit: by default a\n"
    "point list of every usable point, each channel with its own number of points\n"
    "and each point with its angular resolution when the files give a Qz\n"
    "resolution; every point R, dR and the glancing angle theta = asin(Qz L / 4 pi).\n"
    "\n"
    "FILE...            ORSO .ort files (data sets pp, mm, pm, mp with polarizer and\n"
    "                   analyser; po, mo half-polarized; op, om analyser only;\n"
    "                   unpolarized), NCNR reduced files (cross section from\n"
    "                   #polarization, else the last letter of the name: A = DD,\n"
    "                   B = DU, C = UD, D = UU; + and - half-polarized), or NCNR\n"
    "                   files of the newer kind ('# \"key\": value' header lines), one\n"
    "                   block per cross section: \"++\" = UU, \"--\" = DD, \"+-\" = UD,\n"
    "                   \"-+\" = DU, \"+\" and \"-\" half-polarized, \"\" unpolarized\n"
    "--uu/--dd/--ud/--du FILE, --po/--mo FILE, --op/--om FILE, --unpolarized FILE\n"
    "                   plain column files Qz[1/A] R dR [dQz], named by their spin\n"
    "                   state in the ORSO words (po: polarizer +, no analyser)\n"
    "-o DATA            the data file to write\n"
    "--entry ENTRY      also write a starting entry file for DATA\n"
    "--wavelength L     the wavelength in A, when the files give none or only a\n"
    "                   range (time of flight, or several wavelengths)\n"
    "--classic          write the classic data file instead: the four channels UU,\n"
    "                   DD, UD, DU with the same number of points, keeping the\n"
    "                   points whose Qz is present in all four channels, one kernel\n"
    "                   for every point\n"
    "--merge            with --classic (implied): merge neighbouring points\n"
    "                   (inverse-variance weighted means of R, Qz and the\n"
    "                   resolution) down to the shortest channel, or to 1000\n"
    "\n"
    "One import takes curves measured one way: with a polarizer and an analyser,\n"
    "half-polarized, with an analyser only, or unpolarized; the starting entry file\n"
    "sets the polarization vectors to match.  Points excluded by the file stay out;\n"
    "points with Qz <= 0, a value that is not finite, or an error bar below 1e-30\n"
    "are left out and counted.\n";

int usage(const char* problem) {
  std::fprintf(stderr, "tessaline-import: %s\n%s", problem, kUsage);
  return 2;
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

// The plain-column options and the spin state each names, in the ORSO words.
constexpr std::array<std::array<const char*, 2>, 9> kColumnOptions = {
    {{"--uu", "pp"},
     {"--dd", "mm"},
     {"--ud", "pm"},
     {"--du", "mp"},
     {"--po", "po"},
     {"--mo", "mo"},
     {"--op", "op"},
     {"--om", "om"},
     {"--unpolarized", "unpolarized"}}};
constexpr std::size_t kColumnOptionCount = kColumnOptions.size();

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
  std::optional<std::string> by_state[kColumnOptionCount];

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
    } else if (arg == "--classic") {
      options.form = Form::kClassic;
    } else if (arg == "--merge") {
      options.form = Form::kClassic;
      options.equalize = Equalize::kMerge;
    } else if (arg.size() > 1 && arg[0] == '-') {
      std::size_t k = 0;
      while (k < kColumnOptionCount && arg != kColumnOptions[k][0]) ++k;
      if (k == kColumnOptionCount) return usage(("unknown option " + arg).c_str());
      if (!has_value) return usage((arg + " needs a file name").c_str());
      if (by_state[k]) return usage((arg + " is given twice").c_str());
      by_state[k] = argv[++a];
    } else {
      files.push_back(arg);
    }
  }
  if (data.empty()) return usage("the data file to write is missing (-o DATA)");
  int named = 0;
  for (const auto& f : by_state) named += f ? 1 : 0;
  if (named > 0 && !files.empty())
    return usage("give either FILE... or plain column files (--uu, --po, ...), not both");
  if (named == 0 && files.empty()) return usage("no input files");

  try {
    std::vector<textio::NamedFile> inputs;
    for (const std::string& f : files) inputs.push_back({f, "reduced file"});
    for (const auto& f : by_state) {
      if (f) inputs.push_back({*f, "reduced file"});
    }
    std::vector<textio::NamedFile> outputs{{data, "data file"}};
    if (!entry.empty()) outputs.push_back({entry, "entry file"});
    textio::check_outputs(inputs, outputs);

    std::vector<DataSet> sets;
    for (std::size_t k = 0; k < kColumnOptionCount; ++k) {
      if (by_state[k]) sets.push_back(read_column_file(*by_state[k], kColumnOptions[k][1]));
    }
    for (const std::string& f : files) {
      std::vector<DataSet> more = read_reduced_file(f);
      sets.insert(sets.end(), more.begin(), more.end());
    }
    const Imported imported = assemble(sets, options);
    std::fputs(summary_text(imported).c_str(), stdout);
    textio::StagedFiles written;
    stage_imported_data(written, data, imported);
    if (!entry.empty()) stage_entry_file(written, entry, starting_entry(imported));
    textio::flush_standard_output();  // the summary was seen, or nothing is written
    commit_files(written);
    if (imported.form == Form::kClassic) {
      std::printf("Data file written: %s (4 x %d points)\n", data.c_str(), imported.nn());
    } else {
      std::size_t total = 0;
      for (const auto& c : imported.channels) total += c.size();
      std::printf("Point list written: %s (%zu point%s)\n", data.c_str(), total,
                  total == 1 ? "" : "s");
    }
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
