// Fits prepared without the dialogue, for the tools that fit in-process: the
// example fitted through load_problem and run_program_fit ends where the
// program ends, and every way the program stops on its files is one message
// that names the file.
#include "driver/problem.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "report/readers.hpp"
#include "tests/driver/scratch.hpp"
#include "tests/e2e/library_run.hpp"
#include "tests/e2e/run_program.hpp"

namespace tessaline {
namespace {

using testing::example_file;
using testing::run_program;
using testing::ScratchDir;

TEST(Problem, TheExampleEndsWhereTheProgramEnds) {
  for (int first : {0, 3}) {
    SCOPED_TRACE(first);
    ScratchDir dir;
    const auto o =
        run_program(dir, "'" + example_file("film.ent") + "'\n'" + example_file("film.dat") +
                             "'\n" + std::to_string(first) + "\n2\n\n");
    ASSERT_EQ(o.status, 0) << o.err;
    const ResultsFile r = read_results_file(dir.file("VreloBag.dat"));

    auto t = load_problem({example_file("film.ent"), example_file("film.dat"), first, 2});
    EXPECT_EQ(t->npoint, 4 * (150 - first - 2));
    auto fs = make_fit_state();
    SilentMonitor monitor;
    const FitResult f = run_program_fit(*t, *fs, monitor, 1);
    EXPECT_EQ(monitor.passes, r.last.iteration + 1);
    // The monitor prints E9.4: the same number to its four digits.
    ASSERT_TRUE(r.last.chi_sq.has_value());
    EXPECT_NEAR(normalized_chi_square(*t, f.S), *r.last.chi_sq, 5e-5 * *r.last.chi_sq);
    // And every fitted value to the digits the results file shows.
    for (std::size_t i = 0; i < r.last.parameters.size(); ++i) {
      const auto& p = r.last.parameters[i];
      if (!p.value) continue;
      const int slot = static_cast<int>(i) + 1;
      const double v = t->PARAM(slot) / t->SCALE(slot);
      EXPECT_NEAR(v, *p.value, 1e-4 * std::fabs(*p.value) + 1e-12) << p.name;
    }
  }
}

TEST(Problem, EveryStopOfTheProgramIsOneMessageNamingTheFile) {
  ScratchDir dir;
  const std::string entry = example_file("film.ent"), data = example_file("film.dat");
  const auto message = [](const ProblemFiles& f) {
    try {
      load_problem(f);
    } catch (const ProblemError& e) {
      return std::string(e.what());
    }
    return std::string("(loaded)");
  };
  EXPECT_NE(message({dir.file("none.ent"), data}).find("none.ent"), std::string::npos);
  EXPECT_NE(message({entry, dir.file("none.dat")}).find("none.dat"), std::string::npos);

  std::string big = dir.read(entry);
  big.replace(big.find("150 "), 4, "1001");
  dir.write("big.ent", big);
  const std::string m = message({dir.file("big.ent"), data});
  EXPECT_NE(m.find("big.ent"), std::string::npos) << m;
  EXPECT_NE(m.find("nn > maxpoint"), std::string::npos) << m;

  std::string zero = dir.read(data);
  zero.replace(zero.find(' ', 1) + 1, zero.find(' ', zero.find(' ', 1) + 1) - zero.find(' ', 1) - 1,
               "0");
  dir.write("zero.dat", zero);
  const std::string z = message({entry, dir.file("zero.dat")});
  EXPECT_NE(z.find("zero.dat"), std::string::npos) << z;
  EXPECT_NE(z.find("Error bar for point   1 at UU is zero or negative!"), std::string::npos) << z;

  const std::string d = message({entry, data, 100, 50});
  EXPECT_NE(d.find("would leave a channel without a point"), std::string::npos) << d;
  EXPECT_EQ(message({entry, data, 100, 49}), "(loaded)");
}

}  // namespace
}  // namespace tessaline
