// The readers of the results file and of the curve files.  Results files are
// written by the real monitor from hand-set tables, so that the reader is held
// to the writer's layout; the expected values are the values set.
#include "report/readers.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

#include "report/report.hpp"
#include "report_fixture.hpp"

namespace tessaline {
namespace {

using testing::layout;

template <class F>
std::string error_of(F f) {
  try {
    f();
  } catch (const textio::TextError& e) {
    return e.what();
  }
  return "";
}

std::string read_text(const std::string& name) {
  std::ifstream in(name);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class ResultsReaderTest : public testing::InTempDir {
 protected:
  // One layer (23 parameters) in every state the monitor prints.
  void SetUp() override {
    InTempDir::SetUp();
    t = layout(1);
    t->nn = 10;
    t->npoint = 40;
    fs = make_fit_state();
    for (int i = 1; i <= t->NPAR; ++i) {
      t->PARAM(i) = 0.5 * i * t->SCALE(i);
      t->STEPLIM(i) = 0;  // fixed unless set below
    }
    t->PARAM(1) = 48.5;                  // thickness, free
    t->PARAM(2) = 4.5;                   // Re{Nb} 4.5e-6 A^-2, fixed
    t->PARAM(3) = 1e-120 * t->SCALE(3);  // a three-digit exponent, fixed
    t->PARAM(4) = -2.5;                  // N_p -2.5e-6 A^-2, on bound
    free(1, 1, 0.12, 1.5);
    free(4, 0, 0.25, 2.0);
    free(9, -1, 0.5, 3.0);  // N_p of the substrate, set aside on a bound
    free(15, -2, 0, 0);     // total scaling, set aside by the inversion
    t->NFIX = 19;
  }

  void free(int i, double worklim, double err, double factor) {
    t->STEPLIM(i) = 1;
    fs->WORKLIM(i) = worklim;
    fs->PARERR(i) = err * t->SCALE(i);
    fs->FACTOR(i) = factor;
  }

  // Blocks of iterations 0..last into VreloBag.dat, with or without the closing line.
  void write_blocks(int last, bool closed) {
    textio::OutStream console;
    textio::OutStream results;
    results.create("VreloBag.dat");
    results.write("    Tessaline results:");
    IterationMonitor mon(*t, *fs, console, results);
    for (int it = 0; it <= last; ++it) {
      t->PARAM(1) = 48.5 + it;
      mon.MONITO(20.0 + it, t->NPAR, it, 1, 0, 0, 0, 0);
    }
    if (closed) {
      write_closing_line(console, results);
    } else {
      results.close();
    }
  }

  std::unique_ptr<Tables> t;
  std::unique_ptr<FitState> fs;
};

TEST_F(ResultsReaderTest, LastBlockWithEveryParameterStateAndValue) {
  write_blocks(2, /*closed=*/true);
  const ResultsFile r = read_results_file("VreloBag.dat");
  EXPECT_TRUE(r.closed);
  EXPECT_EQ(unfinished_note(r, "VreloBag.dat"), "");
  const ResultsBlock& b = r.last;
  EXPECT_EQ(b.iteration, 2);
  ASSERT_EQ(b.parameters.size(), 23u);

  const ResultsParameter& thick = b.parameters[0];
  EXPECT_EQ(thick.name, "thickness");
  EXPECT_EQ(thick.value_text, "0.505000E+02");  // 48.5 + 2
  EXPECT_EQ(thick.value, 50.5);
  EXPECT_EQ(thick.state, ParameterState::kFree);
  EXPECT_DOUBLE_EQ(*thick.error, 0.12);
  EXPECT_DOUBLE_EQ(*thick.factor, 1.5);

  EXPECT_EQ(b.parameters[1].state, ParameterState::kFixed);
  EXPECT_EQ(b.parameters[1].value_text, "0.450000E-05");
  EXPECT_DOUBLE_EQ(*b.parameters[1].value, 4.5e-6);
  EXPECT_FALSE(b.parameters[1].error.has_value());
  // E14.6 of 1e-120 has no room for the letter E: 0.100000-119.
  EXPECT_EQ(b.parameters[2].value_text, "0.100000-119");
  EXPECT_DOUBLE_EQ(*b.parameters[2].value, 1e-120);
  EXPECT_EQ(b.parameters[3].state, ParameterState::kOnBound);
  EXPECT_DOUBLE_EQ(*b.parameters[3].value, -2.5e-6);
  EXPECT_DOUBLE_EQ(*b.parameters[3].error, 0.25);
  EXPECT_EQ(b.parameters[8].state, ParameterState::kOnBound);  // set aside on a bound
  EXPECT_EQ(b.parameters[14].state, ParameterState::kInfinite);
  EXPECT_FALSE(b.parameters[14].error.has_value());
  EXPECT_EQ(b.parameters[6].name, "Re{Nb}");  // the substrate's first
  EXPECT_EQ(b.parameters[9].name, "<Cos(delta_gamma");

  // hi_sq.norm = 2 S / (40 - 23 + 19 fixed) = 2 * 22 / 36 = 1.2222.
  EXPECT_EQ(b.chi_sq_text, ".1222E+01");
  EXPECT_DOUBLE_EQ(*b.chi_sq, 1.222);
}

TEST_F(ResultsReaderTest, AStoppedRunUsesItsLastCompleteBlockAndToleratesWhatFollows) {
  write_blocks(2, /*closed=*/false);
  // Cut the last block after its eighth line and add a note of the interruption.
  const std::string text = read_text("VreloBag.dat");
  std::size_t third = text.rfind(" *****");
  std::size_t cut = third;
  for (int k = 0; k < 8; ++k) cut = text.find('\n', cut) + 1;
  std::ofstream("VreloBag.dat") << text.substr(0, cut) << "The run was interrupted.\n";
  const int third_line =
      1 + static_cast<int>(std::count(text.begin(), text.begin() + static_cast<long>(third), '\n'));

  const ResultsFile r = read_results_file("VreloBag.dat");
  EXPECT_FALSE(r.closed);
  EXPECT_EQ(r.last.iteration, 1);
  EXPECT_EQ(r.last.parameters[0].value, 49.5);
  const std::string note = unfinished_note(r, "VreloBag.dat");
  EXPECT_NE(note.find("VreloBag.dat has no closing line"), std::string::npos) << note;
  EXPECT_NE(note.find("iteration 1"), std::string::npos) << note;
  EXPECT_NE(note.find("begins on line " + std::to_string(third_line)), std::string::npos) << note;

  // A file without one complete block is refused, naming the file and the line.
  std::ofstream("VreloBag.dat") << text.substr(0, text.find(" *****")) << text.substr(third, 300);
  const std::string e = error_of([] { read_results_file("VreloBag.dat"); });
  EXPECT_NE(e.find("results file \"VreloBag.dat\" holds no complete iteration block"),
            std::string::npos)
      << e;
  std::istringstream head_only("    Tessaline results:\n" + std::string(73, '%') + "\n");
  EXPECT_NE(error_of([&] { read_results(head_only, "r.dat"); }).find("\"r.dat\""),
            std::string::npos);
}

// The lines of the file with line `k` (0-based) removed, or written twice.
std::string without_line(const std::vector<std::string>& lines, std::size_t k, bool twice) {
  std::string s;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i != k || twice) s += lines[i] + "\n";
    if (i == k && twice) s += lines[i] + "\n";
  }
  return s;
}

TEST_F(ResultsReaderTest, AMissingOrRepeatedParameterLineBreaksItsBlock) {
  write_blocks(2, /*closed=*/true);
  const std::vector<std::string> lines = testing::read_lines("VreloBag.dat");
  // Parameter 2 of the last block (iteration 2), and the line number of that
  // block's row of asterisks.
  std::size_t stars = 0, second = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].rfind(" *****", 0) == 0) stars = i;
    if (lines[i].rfind("   2    Re{Nb}", 0) == 0) second = i;
  }
  ASSERT_GT(second, stars);
  for (const bool twice : {false, true}) {
    SCOPED_TRACE(twice ? "repeated" : "missing");
    std::istringstream in(without_line(lines, second, twice));
    const ResultsFile r = read_results(in, "VreloBag.dat");
    // The block of iteration 1 is used, and the note says why.
    EXPECT_EQ(r.last.iteration, 1);
    EXPECT_EQ(r.last.parameters.size(), 23u);
    const std::string note = unfinished_note(r, "VreloBag.dat");
    EXPECT_NE(note.find("VreloBag.dat ends with its closing line, but a block before it is "
                        "damaged; its last complete block (iteration 1"),
              std::string::npos)
        << note;
    EXPECT_NE(note.find("the block that begins on line " + std::to_string(stars + 1) +
                        " breaks off at line " + std::to_string(second + (twice ? 2 : 1)) +
                        ": expected parameter " + std::to_string(twice ? 3 : 2)),
              std::string::npos)
        << note;
  }
}

TEST_F(ResultsReaderTest, ABlockCutByTheEndOfTheFileIsReported) {
  write_blocks(1, /*closed=*/false);
  const std::vector<std::string> lines = testing::read_lines("VreloBag.dat");
  std::size_t stars = 0;
  for (std::size_t i = 0; i < lines.size(); ++i)
    if (lines[i].rfind(" *****", 0) == 0) stars = i;
  // The file ends after the fifth parameter line of the block of iteration 1.
  std::string cut;
  for (std::size_t i = 0; i < stars + 8; ++i) cut += lines[i] + "\n";
  std::istringstream in(cut);
  const ResultsFile r = read_results(in, "VreloBag.dat");
  EXPECT_FALSE(r.closed);
  EXPECT_EQ(r.last.iteration, 0);
  EXPECT_EQ(r.broken_block, "the block that begins on line " + std::to_string(stars + 1) +
                                " ends with the file after line " + std::to_string(stars + 8));
  const std::string note = unfinished_note(r, "VreloBag.dat");
  EXPECT_NE(note.find("has no closing line"), std::string::npos) << note;
  EXPECT_NE(note.find(r.broken_block), std::string::npos) << note;
}

TEST(ResultsFields, MonitorNumberFields) {
  EXPECT_EQ(parse_e_field(".9778E+00"), 0.9778);
  EXPECT_EQ(parse_e_field("  -0.250000E+01"), -2.5);
  EXPECT_DOUBLE_EQ(*parse_e_field("0.123456+100"), 0.123456e100);
  EXPECT_FALSE(parse_e_field("*********").has_value());
  EXPECT_FALSE(parse_e_field("0.12E").has_value());
  EXPECT_FALSE(parse_e_field("fixed").has_value());
  // Exponents: at most three digits after leading zeros, as the monitor writes
  // them and as any double needs.
  EXPECT_DOUBLE_EQ(*parse_e_field("0.5E-0005"), 0.5e-5);
  EXPECT_DOUBLE_EQ(*parse_e_field("0.100000-307"), 1e-308);
  EXPECT_FALSE(parse_e_field("0E2147483647").has_value());
  EXPECT_FALSE(parse_e_field("0E99999999999").has_value());
  EXPECT_FALSE(parse_e_field("0.1E1000").has_value());
}

// ------------------------------------------------------------ curve files

std::string curve_text(int lines) {
  std::string s;
  for (int k = 1; k <= lines; ++k) {
    // Angle k * 1e-4 in exponent form, intensity in fixed-point form with five
    // blanks where the exponent would stand.
    s += "  " + std::to_string(k) + ".000000000000000E-004  0.500000000000000     \n";
  }
  return s;
}

TEST(CurveReader, TwoHundredLinesAndNothingElse) {
  std::istringstream in(curve_text(200) + "\n\n");  // trailing empty lines are no lines
  const Curve c = read_curve(in, "VreloFunctUU.dat");
  ASSERT_EQ(c.size(), 200u);
  EXPECT_DOUBLE_EQ(c[0].theta, 1e-4);
  EXPECT_DOUBLE_EQ(c[199].theta, 200e-4);
  EXPECT_DOUBLE_EQ(c[199].y, 0.5);

  std::istringstream short_file(curve_text(199));
  std::string e = error_of([&] { read_curve(short_file, "VreloFunctDD.dat"); });
  EXPECT_NE(e.find("\"VreloFunctDD.dat\" ends early after line 199"), std::string::npos) << e;
  std::istringstream long_file(curve_text(201));
  e = error_of([&] { read_curve(long_file, "VreloFunctDU.dat"); });
  EXPECT_NE(e.find("\"VreloFunctDU.dat\", line 201: more than 200 lines"), std::string::npos) << e;
  std::istringstream word(" 0.1 abc\n");
  e = error_of([&] { read_curve(word, "VreloFunctUD.dat"); });
  EXPECT_NE(e.find("\"VreloFunctUD.dat\", line 1: \"abc\" is not a number"), std::string::npos)
      << e;
}

}  // namespace
}  // namespace tessaline
