// The run from banner to final key wait: entry file, measured points, trimming,
// collimation kernel, results-file head, one fit, results and curve files.
//
// The three ways a run ends before its output are exceptions caught here: a
// RunStop (a limit of the tables, or a channel code the model rejects) prints its
// message and ends at once; an input-error dialogue waits for the Enter key
// first; an error of the text layer is reported on standard error.  The tables
// and the minimizer's state are allocated once, on the heap, for the whole run.
#include <cmath>
#include <cstdio>
#include <string>

#include "driver/driver.hpp"
#include "driver/interruption.hpp"
#include "fit/fit.hpp"
#include "fit/parallel_sgz.hpp"
#include "report/report.hpp"
#include "textio/output_files.hpp"

namespace tessaline {
namespace {

using textio::OutStream;
using textio::Record;

constexpr std::string::size_type kMaxFileName = 256;
constexpr const char* kDots = "..................................................";

// A file named at a prompt must not be one that this run replaces (the results
// file) or removes (a curve file of an earlier run): refused before it is read.
void refuse_own_output(const std::string& name, const char* role) {
  textio::check_outputs({{name, role}}, output_files());
}

void write_press_enter(OutStream& console) {
  console.write_no_advance("Press <ENT> to exit ... ");
  console.flush();
}

// Results-file head, the fit, the closing line, the curve files.  Returns false
// when the start values gave no finite chi-square, so that the result is NaN.
bool fit_and_report(Tables& t, OutStream& console) {
  auto fs = make_fit_state();
  // The fit evaluates S, G and Z on every hardware thread with cached optics;
  // the numbers are those of the straightforward evaluation, bit for bit.
  ParallelSGZ fast(t);
  fs->fast = &fast;
  OutputGuard guard;
  OutStream results;
  write_results_head(results, t);
  guard.fitting(results.fd());

  IterationMonitor monitor(t, *fs, console, results);
  double S = 0;
  double STEPERR = 0;
  double STEPSCALE = 0;
  int IEXIT = 0;
  try {
    LSQFIT(t, *fs, monitor, S, t.NPAR, /*MAXRED=*/1, /*NCALM=*/2, /*MAXITER=*/200, /*TOL=*/0.1,
           STEPERR, STEPSCALE, /*PRTFREQ=*/1, IEXIT);
  } catch (const textio::TextError& e) {
    // The console (or the results file itself) could not be written: the
    // results file says why it ends before its closing line, if it still can.
    try {
      results.write(std::string("Run stopped before the fit ended: ") + e.what());
      results.close();
    } catch (const textio::TextError&) {
    }
    throw;
  }

  write_closing_line(console, results);
  guard.writing_curves();
  write_curve_files(t, console);
  // The fit ends with a chi-square that is not finite only when the start values
  // give one; every later iteration keeps a finite, accepted value.
  return std::isfinite(S);
}

// Returns the exit status of a run that reached its output.
int run_steps(Tables& t, textio::InStream& keys, OutStream& console) {
  t.pi = kPi;
  console.write(Record().A("***************Tessaline Corvennastral ***************", 45));

  std::string name;
  console.write_no_advance("Entry file? ");
  keys.read_text(name, kMaxFileName, "the name of the entry file (at most 256 characters)");
  refuse_own_output(name, "entry file");
  console.write(kDots);
  read_entry_file(t, name, console);
  console.write(kDots);
  console.write_free();

  console.write_no_advance("File with experimental points? ");
  keys.read_text(name, kMaxFileName,
                 "the name of the file with experimental points (at most 256 characters)");
  refuse_own_output(name, "data file");
  read_data_file(t, name, console);

  exclude_points(t, keys, console);
  build_collimation(t);
  // Output files hold NaN when the start values give no finite chi-square: the
  // run ends as usual, but does not report success.
  const int status = fit_and_report(t, console) ? kExitNormal : kExitStop;

  write_press_enter(console);
  textio::wait_for_enter();
  return status;
}

int report_text_error(OutStream& console, const textio::TextError& e) {
  try {
    console.flush();
  } catch (const textio::TextError&) {
    // Standard output has failed as well; the message below says what failed first.
  }
  std::fprintf(stderr, "%s\n", e.what());
  std::fflush(stderr);
  return kExitTextError;
}

}  // namespace

int run(textio::InStream& keys, OutStream& console) {
  auto t = make_tables();
  try {
    return run_steps(*t, keys, console);
  } catch (const InputDialogueStop&) {
    try {
      write_press_enter(console);
      textio::wait_for_enter();
    } catch (const textio::TextError& e) {
      return report_text_error(console, e);
    }
    return kExitStop;
  } catch (const RunStop& e) {
    try {
      console.write(e.what());
      console.flush();
    } catch (const textio::TextError& te) {
      report_text_error(console, te);
    }
    return e.status();
  } catch (const textio::TextError& e) {
    return report_text_error(console, e);
  }
}

}  // namespace tessaline
