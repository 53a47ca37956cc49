// tessaline-entry: the entry file between two fits.
//
//   tessaline-entry update OLD RESULTS -o NEW
//       NEW is OLD with every free value replaced by the value of the last
//       complete block of the results file RESULTS, in the entry file's units,
//       and every other byte of OLD kept.  NEW is written under a temporary name
//       and renamed when complete; a NEW that is OLD or RESULTS is refused.
//       Exit status: 0 written, 1 refused, an input that cannot be used or a
//       standard output that fails, 2 bad command line.
//
//   tessaline-entry show ENTRY
//       The parameters of ENTRY as the program reads them, then the checks the
//       program makes before a fit.  Exit status as the program's for the same
//       entry file: 0 ready, 1 a stop, 2 a file the text layer refuses or a
//       standard output that fails.

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "driver/driver.hpp"
#include "driver/entry_checks.hpp"
#include "driver/entry_update.hpp"
#include "model/model.hpp"
#include "report/readers.hpp"
#include "textio/output_files.hpp"

namespace {

using namespace tessaline;

constexpr int kUsage = 2;

const char* const kUsageText =
    "usage: tessaline-entry update OLD RESULTS -o NEW\n"
    "       tessaline-entry show ENTRY\n"
    "  update  write NEW: OLD with its free values replaced by those of the last\n"
    "          complete block of the results file RESULTS (for example VreloBag.dat)\n"
    "  show    the parameter table of ENTRY and the checks made before a fit\n";

int usage_error(const std::string& message) {
  std::fprintf(stderr, "tessaline-entry: %s\n%s", message.c_str(), kUsageText);
  return kUsage;
}

int fail(const std::string& message) {
  std::fprintf(stderr, "tessaline-entry: %s\n", message.c_str());
  return 1;
}

int update(const std::string& old_name, const std::string& results_name,
           const std::string& new_name) {
  try {
    textio::check_outputs({{old_name, "entry file"}, {results_name, "results file"}},
                          {{new_name, "new entry file"}});
    const std::string old_text = read_entry_bytes(old_name);
    const ResultsFile results = read_results_file(results_name);
    const std::string note = unfinished_note(results, results_name);
    if (!note.empty()) std::fprintf(stderr, "tessaline-entry: warning: %s\n", note.c_str());
    const EntryUpdate u = update_entry_text(old_text, old_name, results.last, results_name);
    textio::replace_file(new_name, u.text);
    std::printf(
        "tessaline-entry: %s written: %d free values of %s set to those of iteration %d "
        "of %s\n",
        new_name.c_str(), u.replaced, old_name.c_str(), results.last.iteration,
        results_name.c_str());
    return textio::finish_standard_output("tessaline-entry", 0, 1);
  } catch (const std::exception& e) {
    return fail(update_failure_message(e, old_name, results_name));
  }
}

// ---------------------------------------------------------------- show

std::string num(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

void print_table(const Tables& t, const EntrySources& src, const std::string& name) {
  const int nfree = t.NPAR - t.NFIX;
  std::printf("%s: %d layers, %d parameters, %d free, %d fixed\n", name.c_str(), t.nlay, t.NPAR,
              nfree, t.NFIX);
  std::printf(
      "wavelength %s A, %d points per channel, collimation %d points, step %s mrad, "
      "sigma %s mrad, zero correction %s mrad\n\n",
      num(t.wavelength).c_str(), t.nn, t.j0, num(t.coll_step * 1000).c_str(),
      num(t.coll_sigma * 1000).c_str(), num(t.zero_correction * 1000).c_str());
  std::printf("%4s  %-17s %13s %-5s %-6s %13s %13s %13s\n", "i", "name", "value", "unit", "state",
              "lower bound", "upper bound", "step limit");
  const int n = t.nlay;
  for (int i = 1; i <= t.NPAR; ++i) {
    if ((i - 1) % 6 == 0 && i < 6 * n) std::printf("    Layer %d\n", (i - 1) / 6 + 1);
    if (i == 6 * n + 1) std::printf("    Substrate\n");
    if (i == 6 * n + 6 || i == 6 * n + 12) std::printf("\n");
    const double s = t.SCALE(i);
    std::printf("%4d  %-17s %13s %-5s ", i, std::string(trimmed_name(t.PARNAM(i))).c_str(),
                num(t.PARAM(i) / s).c_str(), physical_unit(src.slot(i).unit));
    if (t.STEPLIM(i) <= 0) {
      std::printf("fixed\n");
    } else {
      std::printf("%-6s %13s %13s %13s\n", "free", num(t.PARMIN(i) / s).c_str(),
                  num(t.PARMAX(i) / s).c_str(), num(t.STEPLIM(i) / s).c_str());
    }
  }
}

// The checks made before a fit (entry_checks), one line each; returns the
// number of warnings.
int print_checks(const Tables& t) {
  int warnings = 0;
  std::printf("\nChecks before a fit:\n");
  for (const EntryCheck& c : entry_checks(t)) {
    std::printf("  %-9s %s\n", c.ok ? "ok" : "WARNING", c.text.c_str());
    warnings += c.ok ? 0 : 1;
  }
  return warnings;
}

int show(const std::string& name) {
  auto t = make_tables();
  t->pi = kPi;
  const auto sources = std::make_unique<EntrySources>();
  textio::OutStream quiet;  // never opened: the echo is dropped
  try {
    read_entry_file(*t, name, quiet, sources.get());
  } catch (const InputDialogueStop& e) {
    std::printf("%s: the program stops on this entry file:\n", name.c_str());
    for (const auto& l : e.lines()) std::printf("%s\n", l.c_str());
    return kExitStop;
  } catch (const RunStop& e) {
    std::printf("%s: the program stops on this entry file:\n%s\n", name.c_str(), e.what());
    return e.status();
  } catch (const textio::TextError& e) {
    std::fprintf(stderr, "tessaline-entry: %s\n", e.what());
    return kExitTextError;
  }
  print_table(*t, *sources, name);
  const int warnings = print_checks(*t);
  std::printf("%s\n",
              warnings == 0 ? "Ready for a fit." : "Ready for a fit, with the warnings above.");
  return kExitNormal;
}

int show_checked(const std::string& name) {
  return textio::finish_standard_output("tessaline-entry", show(name), kExitTextError);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  try {
    textio::check_standard_streams();
  } catch (const textio::TextError& e) {
    std::fprintf(stderr, "tessaline-entry: %s\n", e.what());
    return !args.empty() && args[0] == "show" ? kExitTextError : 1;
  }
  for (const auto& a : args) {
    if (a == "--help" || a == "-h") {
      std::printf("%s", kUsageText);
      return textio::finish_standard_output("tessaline-entry", 0, 1);
    }
  }
  if (args.empty()) return usage_error("no command given");
  if (args[0] == "show") {
    if (args.size() != 2) return usage_error("show takes one entry file");
    return show_checked(args[1]);
  }
  if (args[0] == "update") {
    std::vector<std::string> files;
    std::string out;
    for (std::size_t i = 1; i < args.size(); ++i) {
      if (args[i] == "-o") {
        if (i + 1 >= args.size()) return usage_error("-o needs a file name");
        out = args[++i];
      } else if (args[i].size() > 1 && args[i][0] == '-') {
        return usage_error("unknown option " + args[i]);
      } else {
        files.push_back(args[i]);
      }
    }
    if (files.size() != 2) return usage_error("update takes OLD and RESULTS");
    if (out.empty()) return usage_error("update needs -o NEW");
    return update(files[0], files[1], out);
  }
  return usage_error("unknown command " + args[0]);
}
