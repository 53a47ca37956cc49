// The shipped example fitted by the program: examples/film.ent against
// examples/film.dat, no points excluded.  The numbers of a real fit are not
// known in advance, so this checks the structure of what the program writes and
// that the fit lands where the data were made: the data are the model of
// examples/film_true.ent with Gaussian noise of the error bars.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/driver/scratch.hpp"
#include "tests/e2e/library_run.hpp"
#include "tests/e2e/run_program.hpp"
#include "tests/e2e/text_compare.hpp"

namespace tessaline {
namespace {

using testing::example_file;
using testing::load_model;
using testing::Outcome;
using testing::run_program;
using testing::same_lines;
using testing::ScratchDir;
using testing::split_lines;
using Lines = std::vector<std::string>;

const std::string kStars = " " + std::string(73, '*');
const std::string kClosing = std::string(73, '%');
const std::string kLastPrompt = "Number of  last points to exclude? ";

// Monitor blocks split at their first line of asterisks.
std::vector<Lines> blocks_of(const std::string& text) {
  std::vector<Lines> blocks;
  for (const auto& line : split_lines(text)) {
    if (line == kStars) blocks.emplace_back();
    if (blocks.empty()) {
      ADD_FAILURE() << "text before the first block: [" << line << "]";
      continue;
    }
    blocks.back().push_back(line);
  }
  return blocks;
}

// A whole field read as one number (leading blanks allowed).
bool parse_number(const std::string& field, double& v) {
  char* end = nullptr;
  v = std::strtod(field.c_str(), &end);
  return end != field.c_str() && *end == '\0';
}

struct ParameterLine {
  int index = 0;
  double value = 0;
  bool fixed = false;
  double error = 0;  // free parameters only
};

// A parameter line: (I4, A20, E14.6) and then "      fixed" or
// (" +/-", E9.2, 3X, E10.3) for an active free parameter.
bool parse_parameter_line(const std::string& line, ParameterLine& p) {
  if (line.size() < 38) return false;
  if (!parse_number(line.substr(0, 4), p.value) || p.value < 1) return false;
  p.index = static_cast<int>(p.value);
  if (!parse_number(line.substr(24, 14), p.value)) return false;
  const std::string rest = line.substr(38);
  if (rest == "      fixed") {
    p.fixed = true;
    return true;
  }
  if (rest.size() != 26 || rest.substr(0, 4) != " +/-" || rest.substr(13, 3) != "   ") return false;
  p.fixed = false;
  double factor = 0;
  return parse_number(rest.substr(4, 9), p.error) && parse_number(rest.substr(16, 10), factor);
}

TEST(ExampleFit, StructureOfTheRunAndFittedValuesNearTheTruth) {
  ScratchDir dir;
  std::string answers = "'";
  answers += example_file("film.ent");
  answers += "'\n'";
  answers += example_file("film.dat");
  answers += "'\n0\n0\n\n";
  const Outcome o = run_program(dir, answers);
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err, "");

  // The results file: title and collimation line only (no exclusions, zero
  // correction 0), the blocks, the closing line.  Collimation: j0 = 7 in I4,
  // sigma 0.15 mrad in F5.2, region (7 div 2) * 0.1 / 0.15 = 2.0 in F3.1.
  const std::string results = dir.read("VreloBag.dat");
  const std::string head =
      "    Tessaline results:\n"
      "Collimation function:   7 points, sigma = 0.15mrad, region = +/-2.0 sigma\n";
  ASSERT_EQ(results.substr(0, head.size()), head);
  const std::string tail = kClosing + "\n";
  ASSERT_GE(results.size(), head.size() + tail.size());
  ASSERT_EQ(results.substr(results.size() - tail.size()), tail);
  const std::string file_blocks =
      results.substr(head.size(), results.size() - head.size() - tail.size());

  // The console: the blocks follow the last exclusion prompt, which they continue,
  // and end at the closing line.  A converged fit adds no end-status message, so
  // the console's blocks are the file's, character for character.
  const std::size_t from = o.out.find(kLastPrompt);
  ASSERT_NE(from, std::string::npos);
  const std::size_t begin = from + kLastPrompt.size();
  const std::size_t end = o.out.find("\n" + kClosing + "\n", begin);
  ASSERT_NE(end, std::string::npos);
  const std::string console_blocks = o.out.substr(begin, end + 1 - begin);
  EXPECT_TRUE(
      same_lines("console blocks against results-file blocks", file_blocks, console_blocks));
  for (const char* message :
       {"CHI-SQ. WANTS NOT DECREASE", "INFINIT ERROR ESTIMATIONS", "ITERATION LIMIT IS EXEDED"})
    EXPECT_EQ(o.out.find(message), std::string::npos) << message;

  // One block per iteration, numbered 0, 1, 2, ... Each has the same lines: the
  // asterisks, the title, 3 layer headings, "    Substrate", 2 empty lines,
  // NPAR = 6 * 3 + 17 = 35 parameter lines, the D line, the sqrt(D) line (D stays
  // near 1 - 0.3 - 0.8^2 = 0.06 > 0) and hi_sq.norm: 46 lines.
  const std::vector<Lines> blocks = blocks_of(file_blocks);
  ASSERT_GE(blocks.size(), 2u) << "the start values are not the truth: the fit must move";
  EXPECT_LT(blocks.size(), 201u);
  for (std::size_t k = 0; k < blocks.size(); ++k) {
    SCOPED_TRACE("block " + std::to_string(k));
    const Lines& b = blocks[k];
    ASSERT_EQ(b.size(), 46u);
    char title[80];
    std::snprintf(title, sizeof title,
                  "%4d iterate              PARAMETERS       ERRORS     FACTORS",
                  static_cast<int>(k));
    EXPECT_EQ(b[1], title);
    EXPECT_EQ(b[2], "    Layer   1");
    EXPECT_EQ(b[43].substr(0, 31), "   D=<Cos(gam)^2>-<Cos(gam)>^2:");
    EXPECT_EQ(b[44].substr(0, 31), std::string(23, ' ') + "sqrt(D):");
    ASSERT_EQ(b[45].substr(0, 15), "   hi_sq.norm: ");
    double chi = 0;
    EXPECT_TRUE(parse_number(b[45].substr(15), chi)) << b[45];
    EXPECT_TRUE(std::isfinite(chi) && chi > 0) << b[45];
  }

  // The last block: every parameter that film.ent fixes is printed "fixed" with
  // its entry value; every free one carries an error, and its fitted value lies
  // within four error bars of the value the data were made with.  With 600
  // points and 7 free parameters the normalized chi-square of the truth is
  // 1 +/- 0.06; the fit can only be lower.
  const auto start = load_model(example_file("film.ent"));
  const auto truth = load_model(example_file("film_true.ent"));
  const Lines& last = blocks.back();
  int parameters = 0, free = 0;
  for (const auto& line : last) {
    ParameterLine p;
    if (!parse_parameter_line(line, p)) continue;
    ++parameters;
    SCOPED_TRACE(line);
    ASSERT_LE(p.index, start->NPAR);
    const double start_value = start->PARAM(p.index) / start->SCALE(p.index);
    const double true_value = truth->PARAM(p.index) / truth->SCALE(p.index);
    if (start->STEPLIM(p.index) == 0) {
      EXPECT_TRUE(p.fixed);
      EXPECT_NEAR(p.value, start_value, 5e-7 * std::fabs(start_value));  // E14.6 rounding
    } else {
      ++free;
      ASSERT_FALSE(p.fixed);
      EXPECT_GT(p.error, 0);
      EXPECT_LE(std::fabs(p.value - true_value), 4 * p.error);
    }
  }
  EXPECT_EQ(parameters, 35);
  EXPECT_EQ(free, 35 - start->NFIX);
  EXPECT_EQ(free, 7);
  double chi = 0;
  ASSERT_TRUE(parse_number(last[45].substr(15), chi));
  EXPECT_GT(chi, 0.8);
  EXPECT_LT(chi, 1.2);

  // The curve files: 200 lines of the angle k * 0.03 / 200 (0.03 rad is the last
  // angle of film.dat) and a finite model value.
  for (const char* name :
       {"VreloFunctUU.dat", "VreloFunctDD.dat", "VreloFunctUD.dat", "VreloFunctDU.dat"}) {
    SCOPED_TRACE(name);
    const Lines curve = split_lines(dir.read(name));
    ASSERT_EQ(curve.size(), 200u);
    for (int k = 1; k <= 200; ++k) {
      double angle = 0, value = 0;
      ASSERT_EQ(
          std::sscanf(curve[static_cast<std::size_t>(k - 1)].c_str(), "%lf %lf", &angle, &value),
          2);
      // 16 significant digits are printed.
      EXPECT_NEAR(angle, k * 0.03 / 200, 1e-15 * angle);
      EXPECT_TRUE(std::isfinite(value));
      EXPECT_GT(value, 0);  // background 2e-6 and a positive scale
    }
  }
}

}  // namespace
}  // namespace tessaline
