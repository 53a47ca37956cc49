// Fits prepared without the console dialogue: see problem.hpp.
#include "driver/problem.hpp"

#include <limits>

#include "driver/driver.hpp"
#include "fit/parallel_sgz.hpp"

namespace tessaline {

std::unique_ptr<Tables> load_problem(const ProblemFiles& files, EntrySources* sources) {
  auto t = make_tables();
  t->pi = kPi;
  textio::OutStream quiet;  // never opened: the echo is dropped
  const std::string* reading = &files.entry;
  const auto where = [&reading](const std::string& what) {
    return (reading == nullptr ? std::string() : "\"" + *reading + "\": ") + what;
  };
  try {
    read_entry_file(*t, files.entry, quiet, sources);
    reading = &files.data;
    read_data_file(*t, files.data, quiet);
  } catch (const textio::TextError& e) {
    throw ProblemError(e.what());
  } catch (const RunStop& e) {
    throw ProblemError(where(std::string("the program stops here: ") + e.what()));
  } catch (const InputDialogueStop& e) {
    std::string text = e.what();
    if (!e.lines().empty()) text = e.lines().front();
    throw ProblemError(where(text));
  }
  if (files.first < 0 || files.last < 0) {
    throw ProblemError("the numbers of points to drop must not be negative");
  }
  if (!drop_points(*t, files.first, files.last)) {
    throw ProblemError(where("dropping the first " + std::to_string(files.first) +
                             " and the last " + std::to_string(files.last) +
                             " points of every channel would leave a channel without a point"));
  }
  build_collimation(*t);
  return t;
}

FitResult run_program_fit(Tables& t, FitState& fs, Monitor& monitor, int threads) {
  ParallelSGZ fast(t, threads);
  return run_program_fit(t, fs, monitor, fast);
}

FitResult run_program_fit(Tables& t, FitState& fs, Monitor& monitor, FastSGZ& fast) {
  FastSGZ* before = fs.fast;
  fs.fast = &fast;
  FitResult r;
  try {
    LSQFIT(t, fs, monitor, r.S, t.NPAR, kProgramMAXRED, kProgramNCALM, kProgramMAXITER, kProgramTOL,
           r.STEPERR, r.STEPSCALE, kProgramPRTFREQ, r.IEXIT);
  } catch (...) {
    fs.fast = before;
    throw;
  }
  fs.fast = before;
  return r;
}

int degrees_of_freedom(const Tables& t) { return t.npoint - t.NPAR + t.NFIX; }

double normalized_chi_square(const Tables& t, double S) {
  const int dof = degrees_of_freedom(t);
  return dof > 0 ? 2 * S / dof : std::numeric_limits<double>::quiet_NaN();
}

}  // namespace tessaline
