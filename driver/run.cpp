// The run from banner to final key wait: entry file, measured points, trimming,
// collimation kernel, results-file head, one fit, results and curve files.
//
// The three ways a run ends before its output are exceptions caught here: a
// RunStop (a limit of the tables, or a channel code the model rejects) prints its
// message and ends at once; an input-error dialogue waits for the Enter key
// first; an error of the text layer is reported on standard error.  The tables
// and the minimizer's state are allocated once, on the heap, for the whole run.
#include <cstdio>
#include <string>

#include "driver/driver.hpp"
#include "fit/fit.hpp"
#include "fit/parallel_sgz.hpp"
#include "report/report.hpp"

namespace tessaline {
namespace {

using textio::OutStream;
using textio::Record;

constexpr std::string::size_type kMaxFileName = 256;
constexpr const char* kDots = "..................................................";

void write_press_enter(OutStream& console) {
  console.write_no_advance("Press <ENT> to exit ... ");
  console.flush();
}

// Results-file head, the fit, the closing line, the curve files.
void fit_and_report(Tables& t, OutStream& console) {
  auto fs = make_fit_state();
  // The fit evaluates S, G and Z on every hardware thread with cached optics;
  // the numbers are those of the straightforward evaluation, bit for bit.
  ParallelSGZ fast(t);
  fs->fast = &fast;
  OutStream results;
  write_results_head(results, t);

  IterationMonitor monitor(t, *fs, console, results);
  double S = 0;
  double STEPERR = 0;
  double STEPSCALE = 0;
  int IEXIT = 0;
  LSQFIT(t, *fs, monitor, S, t.NPAR, /*MAXRED=*/1, /*NCALM=*/2, /*MAXITER=*/200, /*TOL=*/0.1,
         STEPERR, STEPSCALE, /*PRTFREQ=*/1, IEXIT);

  write_closing_line(console, results);
  write_curve_files(t, console);
}

void run_steps(Tables& t, textio::InStream& keys, OutStream& console) {
  t.pi = kPi;
  console.write(Record().A("***************Tessaline Corvennastral ***************", 45));

  std::string name;
  console.write_no_advance("Entry file? ");
  keys.read_text(name, kMaxFileName, "the name of the entry file (at most 256 characters)");
  console.write(kDots);
  read_entry_file(t, name, console);
  console.write(kDots);
  console.write_free();

  console.write_no_advance("File with experimental points? ");
  keys.read_text(name, kMaxFileName,
                 "the name of the file with experimental points (at most 256 characters)");
  read_data_file(t, name, console);

  exclude_points(t, keys, console);
  build_collimation(t);
  fit_and_report(t, console);

  write_press_enter(console);
  textio::wait_for_enter();
}

}  // namespace

int run(textio::InStream& keys, OutStream& console) {
  auto t = make_tables();
  try {
    run_steps(*t, keys, console);
    return kExitNormal;
  } catch (const InputDialogueStop&) {
    write_press_enter(console);
    textio::wait_for_enter();
    return kExitStop;
  } catch (const RunStop& e) {
    console.write(e.what());
    console.flush();
    return e.status();
  } catch (const textio::TextError& e) {
    console.flush();
    std::fprintf(stderr, "%s\n", e.what());
    std::fflush(stderr);
    return kExitTextError;
  }
}

}  // namespace tessaline
