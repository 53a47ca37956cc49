// The built tessaline-series with the program and the other tools, each run
// with a deadline in a scratch directory: one set with nothing shared writes
// the program's own files; a field series writes every set's files, which
// tessaline-entry and tessaline-plot take as they are, and the series results
// file, whose matrices agree with the printed errors; `update` writes the
// next entry files from which a refit starts where the fit ended; bad input
// fails with the file and the line and writes nothing.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "report/readers.hpp"
#include "tests/e2e/run_program.hpp"
#include "tests/series/series_fixture.hpp"

namespace tessaline::series {
namespace {

using testing::Film;
using testing::Outcome;
using testing::run_in;
using testing::ScratchDir;

Outcome run_series(const ScratchDir& dir, const std::vector<std::string>& args) {
  return run_in(dir, TESSALINE_SERIES_EXE, args, "");
}

// The names in dir, with the files every run leaves (its input and
// transcripts) left out.
std::set<std::string> outputs(const ScratchDir& dir) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir.path())) {
    const std::string n = std::filesystem::relative(e.path(), dir.path()).string();
    if (n != "answers.txt" && n != "stdout.txt" && n != "stderr.txt") names.insert(n);
  }
  return names;
}

const char* const kCurves[] = {"VreloFunctUU.dat", "VreloFunctDD.dat", "VreloFunctUD.dat",
                               "VreloFunctDU.dat"};

// The program's results and curve files and those the tool writes for a
// series of its one set, nothing shared, with exclusions: the same bytes.
TEST(SeriesTool, OneSetWithNothingSharedWritesTheProgramsFiles) {
  ScratchDir program, series, one_thread;
  for (const ScratchDir* d : {&program, &series, &one_thread}) {
    d->write("film.ent", d->read(testing::example_file("film.ent")));
    d->write("film.dat", d->read(testing::example_file("film.dat")));
    d->write("film.series", "set film film.ent film.dat 3 2\n");
  }
  const Outcome p = testing::run_program(program, "film.ent\nfilm.dat\n3\n2\n\n");
  ASSERT_EQ(p.status, 0) << p.err;
  const Outcome s = run_series(series, {"film.series"});
  ASSERT_EQ(s.status, 0) << s.err;
  const Outcome s1 = run_series(one_thread, {"film.series", "--threads", "1"});
  ASSERT_EQ(s1.status, 0) << s1.err;
  EXPECT_EQ(series.read("film_VreloBag.dat"), program.read("VreloBag.dat"));
  for (const char* c : kCurves) {
    EXPECT_EQ(series.read(std::string("film_") + c), program.read(c)) << c;
  }
  for (const std::string n : {"film_VreloBag.dat", "VreloSeries.dat"}) {
    EXPECT_EQ(one_thread.read(n), series.read(n)) << n;
  }
  // The console's series block ends on the program's normalized chi-square.
  const ResultsFile r = read_results_file(program.file("VreloBag.dat"));
  EXPECT_NE(s.out.find("   hi_sq.norm: " + r.last.chi_sq_text + "  set film: 580 points, 7 free"),
            std::string::npos)
      << s.out;
}

// The rows of the table under the line that holds `heading`, down to the next
// heading or rule: the numbers of each line after its first (the row number).
std::vector<std::vector<double>> rows_after(const std::string& text, const std::string& heading) {
  std::vector<std::vector<double>> rows;
  std::istringstream in(text.substr(text.find(heading)));
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    int n = 0;
    if (!(fields >> n)) {
      if (rows.empty()) continue;  // the column names
      break;
    }
    std::vector<double> row;
    for (std::string token; fields >> token;) {
      double v = 0;
      if (textio::parse_number(token, v)) row.push_back(v);
    }
    rows.push_back(row);
  }
  return rows;
}

class FieldSeries : public ::testing::Test {
 protected:
  void SetUp() override {
    Film a = film, b = film;
    b.cos_g = 0.5;
    b.sin2 = 0.5;
    b.bgr = 1e-6;
    testing::write_field_sets(dir, {{"a", a}, {"b", b}}, 11);
    for (auto [name, f] : std::vector<std::pair<std::string, Film>>{{"a", a}, {"b", b}}) {
      f.fe = 141.0;
      f.np = 4.9;
      write_entry_file(dir.file(name + ".ent"), testing::film_entry(f));
    }
    dir.write("field.series", testing::series_text({"a", "b"}, {"share 1 7 12 27"}));
  }
  ScratchDir dir;
  Film film = [] {
    Film f;
    f.nn = 40;
    return f;
  }();
};

TEST_F(FieldSeries, EverySetsFilesAndTheSeriesResults) {
  const Outcome o = run_series(dir, {"field.series"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("Shared, free: 1 7 12 27\n"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("Free parameters: 4 shared, 4 of a, 4 of b; 12 in the joint fit, 320 "
                       "points, 308 degrees of freedom"),
            std::string::npos)
      << o.out;
  std::set<std::string> expected = {"a.ent",        "a.dat",        "b.ent",          "b.dat",
                                    "field.series", "template.dat", "VreloSeries.dat"};
  for (const std::string set : {"a", "b"}) {
    expected.insert(set + "_VreloBag.dat");
    for (const char* c : kCurves) expected.insert(set + "_" + c);
  }
  EXPECT_EQ(outputs(dir), expected);  // and no staged file left behind

  // Each set's results file: the joint values of the shared parameters, its
  // own chi-square as the console's last block gives it.
  const ResultsFile a = read_results_file(dir.file("a_VreloBag.dat"));
  const ResultsFile b = read_results_file(dir.file("b_VreloBag.dat"));
  EXPECT_TRUE(a.closed && b.closed);
  for (int i : {1, 7, 12, 27}) {
    const auto& pa = a.last.parameters[static_cast<std::size_t>(i - 1)];
    const auto& pb = b.last.parameters[static_cast<std::size_t>(i - 1)];
    EXPECT_EQ(pa.value_text, pb.value_text) << i;
    EXPECT_EQ(pa.error, pb.error) << i;
    EXPECT_EQ(pa.state, ParameterState::kFree);
  }
  EXPECT_NE(a.last.parameters[23].value_text, b.last.parameters[23].value_text);
  const std::size_t last_block = o.out.rfind(" *****");
  EXPECT_NE(
      o.out.find("hi_sq.norm: " + a.last.chi_sq_text + "  set a: 160 points, 8 free", last_block),
      std::string::npos);
  EXPECT_NE(
      o.out.find("hi_sq.norm: " + b.last.chi_sq_text + "  set b: 160 points, 8 free", last_block),
      std::string::npos);

  // The series results file: the blocks as on the console, then the
  // parameters of the matrices with their errors, the correlations (1 on the
  // diagonal) and the covariances, whose diagonal is the squared error in the
  // units of the values.
  const std::string text = dir.read("VreloSeries.dat");
  EXPECT_NE(text.find(o.out.substr(o.out.find(" *****"), last_block - o.out.find(" *****"))),
            std::string::npos);
  const auto params = rows_after(text, "The free parameters at the end of the fit");
  const auto corr = rows_after(text, "Correlation matrix");
  const auto cov = rows_after(text, "Covariance matrix");
  ASSERT_EQ(params.size(), 12u);
  ASSERT_EQ(corr.size(), 12u);
  ASSERT_EQ(cov.size(), 12u);
  for (std::size_t n = 0; n < 12; ++n) {
    SCOPED_TRACE(n);
    ASSERT_EQ(cov[n].size(), n + 1);
    EXPECT_EQ(corr[n].back(), 1.0);
    const double error = params[n].back();
    EXPECT_NEAR(std::sqrt(cov[n].back()), error, 2e-6 * error);
    for (double c : corr[n]) EXPECT_LE(std::fabs(c), 1.0);
  }
  // The first line of the table names the shared Au thickness with its value
  // as in the set's results file.
  EXPECT_NE(text.find("    1  shared"), std::string::npos);
  EXPECT_EQ(params[0][params[0].size() - 2], *a.last.parameters[0].value);
  EXPECT_TRUE(text.size() > 73 && text.substr(text.size() - 74) == std::string(73, '%') + "\n");
}

// tessaline-entry update takes a set's results file as the program's; the
// series' update writes the same next entry file for every set, and a refit
// from those starts where the fit ended.
TEST_F(FieldSeries, UpdateWritesTheNextEntryOfEverySet) {
  ASSERT_EQ(run_series(dir, {"field.series"}).status, 0);
  const Outcome e =
      run_in(dir, TESSALINE_ENTRY_EXE, {"update", "a.ent", "a_VreloBag.dat", "-o", "a2.ent"}, "");
  ASSERT_EQ(e.status, 0) << e.err;
  const Outcome u = run_series(dir, {"update", "field.series"});
  ASSERT_EQ(u.status, 0) << u.err;
  EXPECT_NE(u.out.find("a_next.ent written: 8 values of \"a.ent\" set to those of iteration "),
            std::string::npos)
      << u.out;
  EXPECT_EQ(dir.read("a_next.ent"), dir.read("a2.ent"));
  ASSERT_TRUE(dir.exists("b_next.ent"));

  const ResultsFile before = read_results_file(dir.file("b_VreloBag.dat"));
  dir.write("next.series", "set a a_next.ent a.dat\nset b b_next.ent b.dat\nshare 1 7 12 27\n");
  ASSERT_EQ(run_series(dir, {"next.series"}).status, 0);
  // Block 0 of the refit: the file cut before the row of asterisks of block 1.
  const std::string text = dir.read("b_VreloBag.dat");
  std::istringstream block0(text.substr(0, text.find(" *****", text.find(" *****") + 1)));
  const ResultsFile first = read_results(block0, "b_VreloBag.dat");
  EXPECT_EQ(first.last.iteration, 0);
  ASSERT_EQ(first.last.parameters.size(), before.last.parameters.size());
  for (std::size_t i = 0; i < before.last.parameters.size(); ++i) {
    EXPECT_EQ(first.last.parameters[i].value_text, before.last.parameters[i].value_text) << i;
  }
}

// A shared value that one set's entry file fixes at another value: the fit
// warns and takes the first set's, and update carries it into that set's
// next entry file, where tessaline-entry update would refuse.
TEST_F(FieldSeries, ASharedValueFixedElsewhereIsTheFirstSetsAndUpdateCarriesIt) {
  EntryDescription d = testing::film_entry(film);
  d.layers[2].thickness.value = 35.0;  // the Cr buffer, fixed: 30 in set a
  write_entry_file(dir.file("b.ent"), d);
  dir.write("field.series", testing::series_text({"a", "b"}, {"share 1 7 12 27 13"}));
  const Outcome o = run_series(dir, {"field.series"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("Warning: series file \"field.series\", line 4: parameter 13 (thickness, "
                       "layer 3) is shared, but set b "
                       "gives it 35 (fixed)"),
            std::string::npos)
      << o.out;
  EXPECT_NE(dir.read("b_VreloBag.dat").find("  13    thickness         0.300000E+02      fixed"),
            std::string::npos);
  EXPECT_NE(
      run_in(dir, TESSALINE_ENTRY_EXE, {"update", "b.ent", "b_VreloBag.dat", "-o", "x.ent"}, "")
          .status,
      0);
  ASSERT_EQ(run_series(dir, {"update", "field.series"}).status, 0);
  Tables t;
  t.pi = kPi;
  textio::OutStream quiet;
  read_entry_file(t, dir.file("b_next.ent"), quiet);
  EXPECT_EQ(t.PARAM(13), 30.0);
  EXPECT_LE(t.STEPLIM(13), 0.0);
}

// With --dirs every set's files are the program's names in a directory of
// the set's name, where tessaline-plot draws the set as it draws a fit.
TEST_F(FieldSeries, EverySetInADirectoryOfItsOwnForThePicture) {
  ASSERT_EQ(run_series(dir, {"field.series", "--dirs"}).status, 0);
  for (const std::string set : {"a", "b"}) {
    EXPECT_TRUE(dir.exists(set + "/VreloBag.dat"));
    for (const char* c : kCurves) EXPECT_TRUE(dir.exists(set + "/" + c));
  }
  EXPECT_FALSE(dir.exists("a_VreloBag.dat"));
  // tessaline-plot reads the program's files in its working directory.
  const auto plot_in = [&](const std::string& set, const std::string& args) {
    const std::string cmd = "cd '" + dir.file(set) + "' && timeout 60 '" TESSALINE_PLOT_EXE "' " +
                            args + " > plot.out 2> plot.err";
    const int rc = std::system(cmd.c_str());
    EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 0) << dir.read(set + "/plot.err");
  };
  plot_in("a", "--entry ../a.ent --profile-table profile.txt");
  EXPECT_TRUE(dir.exists("a/profile.txt"));
  if (std::system("command -v gnuplot > /dev/null 2>&1") != 0) GTEST_SKIP() << "no gnuplot";
  plot_in("b", "../b.dat --entry ../b.ent --out fit.png");
  EXPECT_GT(std::filesystem::file_size(dir.file("b/fit.png")), 1000u);
  // update finds the results in the directories too.
  ASSERT_EQ(run_series(dir, {"update", "field.series", "--dirs"}).status, 0);
  EXPECT_TRUE(dir.exists("a_next.ent"));
}

// Every bad input: exit status 1, one message naming the series file and
// the line (and the set's file where the fault lies there), no file written,
// and the files of an earlier run untouched.
TEST_F(FieldSeries, BadInputFailsWithTheLineAndWritesNothing) {
  EntryDescription four = testing::film_entry(film);
  four.layers.push_back(four.layers.back());
  write_entry_file(dir.file("four.ent"), four);
  dir.write("VreloSeries.dat", "an earlier run\n");
  std::string many;
  for (int k = 1; k <= 21; ++k) many += "set s" + std::to_string(k) + " a.ent a.dat\n";
  struct Case {
    std::string text, message;
  };
  const std::string head = "set a a.ent a.dat\n";
  const Case cases[] = {
      {head + "sets b b.ent b.dat\n", "line 2: unknown key \"sets\""},
      {head + "set b none.ent b.dat\n", "line 2: set b: entry file \"none.ent\""},
      {head + "set b b.ent none.dat\n", "line 2: set b: "},
      {head + "set b four.ent b.dat\n", "line 2: set b: \"four.ent\" has 4"},
      {head + "set b b.ent b.dat\nshare 36\n", "line 3: there is no parameter 36"},
      {head + "set b b.ent b.dat\nbound 0 1 2\n", "line 3: expected a parameter number"},
      {head + "set a b.ent b.dat\n", "line 2: the set name \"a\" is given twice"},
      {many, "line 21: a series holds at most 20 sets"},
      {head + "set b b.ent b.dat\nbound 7 0 100\n", "line 3: the start value 141 of parameter 7"},
  };
  dir.write("bad.series", "");
  const std::set<std::string> before = outputs(dir);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    dir.write("bad.series", c.text);
    const Outcome o = run_series(dir, {"bad.series"});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err.rfind("tessaline-series: series file \"bad.series\", " + c.message, 0), 0u)
        << o.err;
    EXPECT_EQ(outputs(dir), before);
    EXPECT_EQ(dir.read("VreloSeries.dat"), "an earlier run\n");
  }
  const Outcome none = run_series(dir, {"none.series"});
  EXPECT_EQ(none.status, 1);
  EXPECT_NE(none.err.find("series file \"none.series\" cannot be opened"), std::string::npos)
      << none.err;
  // update without the results of a fit.
  const Outcome u = run_series(dir, {"update", "field.series"});
  EXPECT_EQ(u.status, 1);
  EXPECT_NE(u.err.find("line 2: set a: "), std::string::npos) << u.err;
  EXPECT_NE(u.err.find("a_VreloBag.dat"), std::string::npos) << u.err;
  EXPECT_EQ(outputs(dir), before);
}

// No output may replace an input: a data file under the name of its set's
// results file, or the series file under the name of the series results, is
// refused before anything is read or written.
TEST_F(FieldSeries, AnOutputThatNamesAnInputIsRefused) {
  dir.write("b_VreloBag.dat", dir.read("b.dat"));
  dir.write("own.series", "set a a.ent a.dat\nset b b.ent b_VreloBag.dat\n");
  const std::string data_before = dir.read("b_VreloBag.dat");
  Outcome o = run_series(dir, {"own.series"});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("b_VreloBag.dat"), std::string::npos) << o.err;
  EXPECT_EQ(dir.read("b_VreloBag.dat"), data_before);
  EXPECT_FALSE(dir.exists("a_VreloBag.dat"));
  dir.write("VreloSeries.dat", "set a a.ent a.dat\n");
  o = run_series(dir, {"VreloSeries.dat"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(dir.read("VreloSeries.dat"), "set a a.ent a.dat\n");
}

// Start values whose model overflows: the run says which set and which
// point, writes its files as the program does and ends with status 1.
TEST_F(FieldSeries, AStartWithoutFiniteChiSquareIsNotSuccess) {
  EntryDescription d = testing::film_entry(film);
  d.scaling = EntryValue{1e308, true, {}};  // below the edge the model is 4e308
  write_entry_file(dir.file("b.ent"), d);
  dir.write("field.series", testing::series_text({"a", "b"}, {"share 1 7 12"}));
  const Outcome o = run_series(dir, {"field.series"});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.out.find("Set b:\n Chi-square is not finite at the start values: first bad measured "
                       "point 1 (point 1 at UU)"),
            std::string::npos)
      << o.out;
  EXPECT_TRUE(dir.exists("b_VreloBag.dat"));
  EXPECT_NE(dir.read("VreloSeries.dat").find("No covariance matrix"), std::string::npos);
}

TEST(SeriesTool, ABadCommandLineIsStatusTwo) {
  ScratchDir dir;
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{},
                                             {"a.series", "b.series"},
                                             {"a.series", "--thread", "2"},
                                             {"a.series", "--threads", "0"},
                                             {"update", "a.series", "--threads", "2"}}) {
    const Outcome o = run_series(dir, args);
    EXPECT_EQ(o.status, 2);
    EXPECT_NE(o.err.find("usage: tessaline-series SERIES"), std::string::npos) << o.err;
  }
  const Outcome help = run_series(dir, {"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("usage:"), std::string::npos);
}

}  // namespace
}  // namespace tessaline::series
