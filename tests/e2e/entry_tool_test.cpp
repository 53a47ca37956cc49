// tessaline-entry with the program: the refinement loop on the shipped example
// (fit, update, fit again from where the first fit ended), a stopped run, a
// refusal, and the parameter table with the checks made before a fit.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "driver/driver.hpp"
#include "report/readers.hpp"
#include "tests/driver/scratch.hpp"
#include "tests/e2e/library_run.hpp"
#include "tests/e2e/run_program.hpp"
#include "tests/e2e/text_compare.hpp"

namespace tessaline {
namespace {

using testing::example_file;
using testing::Outcome;
using testing::run_in;
using testing::run_program;
using testing::ScratchDir;
using testing::split_lines;

Outcome entry_tool(const ScratchDir& dir, const std::vector<std::string>& args) {
  return run_in(dir, TESSALINE_ENTRY_EXE, args, "");
}

std::vector<std::string> words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> w;
  for (std::string s; in >> s;) w.push_back(s);
  return w;
}

std::string read_example(const std::string& name) {
  std::ifstream in(example_file(name), std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The first block of a results file (iteration 0).
ResultsBlock first_block(const std::string& results) {
  const std::string stars = " " + std::string(73, '*');
  const auto second = results.find(stars, results.find(stars) + 1);
  std::istringstream in(results.substr(0, second));
  return read_results(in, "first block").last;
}

class Refinement : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.write("film.ent", read_example("film.ent"));
    dir_.write("film.dat", read_example("film.dat"));
    const Outcome fit = run_program(dir_, "film.ent\nfilm.dat\n0\n0\n\n");
    ASSERT_EQ(fit.status, 0) << fit.err;
  }
  ScratchDir dir_;
};

TEST_F(Refinement, TheNextFitStartsWhereTheLastEnded) {
  const Outcome u = entry_tool(dir_, {"update", "film.ent", "VreloBag.dat", "-o", "next.ent"});
  ASSERT_EQ(u.status, 0) << u.err;
  EXPECT_EQ(u.err, "");
  const std::string old_text = read_example("film.ent");
  EXPECT_EQ(dir_.read("film.ent"), old_text);  // OLD untouched

  // NEW differs from OLD only in the number tokens of the free values.
  auto t = make_tables();
  auto src = std::make_unique<EntrySources>();
  textio::OutStream quiet;
  read_entry_file(*t, dir_.file("film.ent"), quiet, src.get());
  const auto old_lines = split_lines(old_text);
  const auto new_lines = split_lines(dir_.read("next.ent"));
  ASSERT_EQ(old_lines.size(), new_lines.size());
  std::vector<int> free_lines;
  for (int i = 1; i <= t->NPAR; ++i) {
    if (t->STEPLIM(i) > 0) free_lines.push_back(src->slot(i).token.line);
  }
  EXPECT_EQ(free_lines.size(), 7u);
  for (std::size_t k = 0; k < old_lines.size(); ++k) {
    const int line = static_cast<int>(k) + 1;
    const bool is_free = std::count(free_lines.begin(), free_lines.end(), line) > 0;
    const auto o = words(old_lines[k]);
    const auto n = words(new_lines[k]);
    if (!is_free) {
      EXPECT_EQ(new_lines[k], old_lines[k]) << "line " << line;
    } else {
      // The value is the first word; the comment after it stays word for word.
      ASSERT_FALSE(o.empty());
      EXPECT_EQ(std::vector<std::string>(o.begin() + 1, o.end()),
                std::vector<std::string>(n.begin() + 1, n.end()))
          << "line " << line;
    }
  }

  // A fit from NEW prints in its block 0 the values of the last block.
  const ResultsBlock last = read_results_file(dir_.file("VreloBag.dat")).last;
  ScratchDir again;
  again.write("next.ent", dir_.read("next.ent"));
  again.write("film.dat", dir_.read("film.dat"));
  ASSERT_EQ(run_program(again, "next.ent\nfilm.dat\n0\n0\n\n").status, 0);
  const ResultsBlock start = first_block(again.read("VreloBag.dat"));
  EXPECT_EQ(start.iteration, 0);
  ASSERT_EQ(start.parameters.size(), last.parameters.size());
  for (std::size_t i = 0; i < last.parameters.size(); ++i) {
    EXPECT_EQ(start.parameters[i].value_text, last.parameters[i].value_text)
        << "parameter " << i + 1;
  }
}

TEST_F(Refinement, AStoppedRunGivesItsLastCompleteBlockWithAWarning) {
  // The run stopped while it wrote the block of iteration 3.
  std::string results = dir_.read("VreloBag.dat");
  const auto last = results.rfind(" *****");
  dir_.write("stopped.dat", results.substr(0, last + 500));
  const Outcome u = entry_tool(dir_, {"update", "film.ent", "stopped.dat", "-o", "next.ent"});
  ASSERT_EQ(u.status, 0) << u.err;
  EXPECT_NE(u.err.find("warning: stopped.dat has no closing line: the run did not finish; its last "
                       "complete block (iteration 2"),
            std::string::npos)
      << u.err;
  EXPECT_NE(u.out.find("iteration 2 of stopped.dat"), std::string::npos) << u.out;
}

TEST_F(Refinement, ADamagedLastBlockOrAnAbsurdValueIsNamed) {
  const std::string results = dir_.read("VreloBag.dat");
  const auto last = results.rfind(" *****");
  const auto thickness = results.find("   1    thickness", last);
  ASSERT_NE(thickness, std::string::npos);
  const auto line_of = [&](std::size_t at) {
    return std::to_string(
        1 + std::count(results.begin(), results.begin() + static_cast<long>(at), '\n'));
  };
  // The last block loses its first parameter line; the closing line stays.
  std::string damaged = results;
  damaged.erase(thickness, results.find('\n', thickness) + 1 - thickness);
  dir_.write("damaged.dat", damaged);
  Outcome u = entry_tool(dir_, {"update", "film.ent", "damaged.dat", "-o", "next.ent"});
  ASSERT_EQ(u.status, 0) << u.err;
  EXPECT_NE(u.err.find("warning: damaged.dat ends with its closing line, but a block before it "
                       "is damaged; its last complete block (iteration 2"),
            std::string::npos)
      << u.err;
  EXPECT_NE(u.err.find("the block that begins on line " + line_of(last) + " breaks off at line " +
                       line_of(thickness)),
            std::string::npos)
      << u.err;
  EXPECT_NE(u.out.find("iteration 2 of damaged.dat"), std::string::npos) << u.out;

  // A value whose exponent no double has: refused, naming the file and line.
  for (const char* field : {"  0E2147483647", " 0E99999999999"}) {
    std::string absurd = results;
    absurd.replace(thickness + 24, 14, field);
    dir_.write("absurd.dat", absurd);
    u = entry_tool(dir_, {"update", "film.ent", "absurd.dat", "-o", "absurd.ent"});
    EXPECT_EQ(u.status, 1) << u.err;
    EXPECT_NE(u.err.find("tessaline-entry: absurd.dat line " + line_of(thickness) +
                         ": the value of parameter 1 (thickness) is"),
              std::string::npos)
        << u.err;
    EXPECT_EQ(u.err.find("does not belong"), std::string::npos) << u.err;
    EXPECT_FALSE(dir_.exists("absurd.ent"));
  }
}

TEST_F(Refinement, AResultsFileOfAnotherModelIsRefusedAndNothingWritten) {
  // The same model without its third layer: 29 parameters against 35.
  std::string entry = dir_.read("film.ent");
  entry.erase(entry.find("---------- layer 3"),
              entry.find("---------- substrate") - entry.find("---------- layer 3"));
  entry.replace(entry.find("3         nlay"), 1, "2");
  dir_.write("other.ent", entry);
  const Outcome u = entry_tool(dir_, {"update", "other.ent", "VreloBag.dat", "-o", "next.ent"});
  EXPECT_EQ(u.status, 1);
  EXPECT_NE(u.err.find("VreloBag.dat does not belong to other.ent"), std::string::npos) << u.err;
  EXPECT_NE(u.err.find("holds 35 parameters (nlay = 3), but other.ent has 29 (nlay = 2, line 21)"),
            std::string::npos)
      << u.err;
  EXPECT_FALSE(dir_.exists("next.ent"));
  // Without -o nothing is written either: a bad command line.
  const Outcome bad = entry_tool(dir_, {"update", "film.ent", "VreloBag.dat"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("usage: tessaline-entry"), std::string::npos);
}

// ---------------------------------------------------------------- show

TEST(EntryShow, TheExampleAndAFileWithoutLayers) {
  ScratchDir dir;
  dir.write("film.ent", read_example("film.ent"));
  Outcome o = entry_tool(dir, {"show", "film.ent"});
  ASSERT_EQ(o.status, 0) << o.err;
  const auto l = split_lines(o.out);
  ASSERT_GT(l.size(), 50u);
  EXPECT_EQ(l[0], "film.ent: 3 layers, 35 parameters, 7 free, 28 fixed");
  // Rows: index, name, value in physical units, unit, state, bounds, step limit.
  const auto row = [&](const std::string& index) {
    for (const auto& line : l) {
      const auto w = words(line);
      if (!w.empty() && w[0] == index) return w;
    }
    return std::vector<std::string>{};
  };
  EXPECT_EQ(row("1"),
            (std::vector<std::string>{"1", "thickness", "48", "A", "free", "0", "1e+06", "10"}));
  EXPECT_EQ(row("2"), (std::vector<std::string>{"2", "Re{Nb}", "4.5e-06", "A^-2", "fixed"}));
  EXPECT_EQ(row("10"), (std::vector<std::string>{"10", "N_p", "4.8e-06", "A^-2", "free", "0",
                                                 "0.0001", "1e-06"}));
  EXPECT_EQ(row("28"), (std::vector<std::string>{"28", "alpha_0", "0", "rad", "fixed"}));
  EXPECT_EQ(row("31"), (std::vector<std::string>{"31", "Pi(y)", "0.98", "fixed"}));
  EXPECT_EQ(l.back(), "Ready for a fit.");

  // No layers: the substrate's slots come first.
  std::string entry = read_example("film.ent");
  const auto from = entry.find("3         nlay");
  const auto to = entry.find("---------- substrate");
  dir.write("bare.ent", entry.substr(0, from) + "0\n" + entry.substr(to));
  o = entry_tool(dir, {"show", "bare.ent"});
  ASSERT_EQ(o.status, 0) << o.err;
  const auto b = split_lines(o.out);
  EXPECT_EQ(b[0], "bare.ent: 0 layers, 17 parameters, 3 free, 14 fixed");
  EXPECT_EQ(b[4], "    Substrate");
  EXPECT_EQ(words(b[5]), (std::vector<std::string>{"1", "Re{Nb}", "2.07e-06", "A^-2", "fixed"}));
}

TEST(EntryShow, StopsAndWarningsAsTheProgramWouldMeetThem) {
  ScratchDir dir;
  std::string entry = read_example("film.ent");
  // Layer 2: <cos(delta_gamma)> freed while N_p is free.
  std::string pair = entry;
  pair.replace(pair.find("F", pair.find("1.0       <cos(delta_gamma)>", pair.find("4.8"))), 1, "-");
  dir.write("pair.ent", pair);
  Outcome o = entry_tool(dir, {"show", "pair.ent"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out,
            "pair.ent: the program stops on this entry file:\n"
            ".......ERROR:......................................\n"
            "Np and <Cos(delta_gamma)> may not be fitted together.\n"
            "Please, correct entry file for layer   2\n");

  // The same file through the program: the same message and exit status.
  dir.write("film.dat", read_example("film.dat"));
  const Outcome run = run_program(dir, "pair.ent\n\n");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("Np and <Cos(delta_gamma)> may not be fitted together.\n"
                         "Please, correct entry file for layer   2\n"),
            std::string::npos);

  std::string limit = entry;
  limit.replace(limit.find("150       nn"), 3, "1001");
  dir.write("limit.ent", limit);
  o = entry_tool(dir, {"show", "limit.ent"});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.out.find("nn > maxpoint"), std::string::npos);

  o = entry_tool(dir, {"show", "missing.ent"});
  EXPECT_EQ(o.status, 2);
  EXPECT_NE(o.err.find("entry file \"missing.ent\" cannot be opened"), std::string::npos);

  // Accepted by the program, but the fit would meet them: polarization above
  // full and a free thickness below its lower bound.
  std::string odd = entry;
  odd.replace(odd.find("0.97      Pf(y)"), 4, "1.20");
  odd.replace(odd.find("48.0      thickness"), 4, "-5.0");
  dir.write("odd.ent", odd);
  o = entry_tool(dir, {"show", "odd.ent"});
  EXPECT_EQ(o.status, 0);
  EXPECT_NE(o.out.find("WARNING   analyser |Pf| = 1.2, above 1"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("WARNING   parameter 1 (thickness) starts at -5, below its lower bound 0"),
            std::string::npos)
      << o.out;
  EXPECT_NE(o.out.find("Ready for a fit, with the warnings above."), std::string::npos);
}

}  // namespace
}  // namespace tessaline
