// The iteration monitor: block layout column by column, the parameter states,
// the magnetization-angle spread, the normalized chi-square, the print interval
// and the console-only failure messages.  Expected lines are laid out by hand from
// the descriptor lists of the printout.
#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "report/report.hpp"
#include "report_fixture.hpp"

namespace tessaline {
namespace {

using testing::layout;
using testing::read_lines;

const std::string kStars = " " + std::string(73, '*');
const std::string kDLabel = "   D=<Cos(gam)^2>-<Cos(gam)>^2:";  // A31: three blanks, 28 characters
const std::string kSqrtLabel = std::string(23, ' ') + "sqrt(D):";

class MonitorTest : public testing::InTempDir {
 protected:
  void SetUp() override {
    InTempDir::SetUp();
    fs = make_fit_state();
    use_layers(0);
    console.create("console.txt");
    results.create("results.txt");
  }

  // A model with `nlay` layers, 40 points in the fit and nothing fixed.
  void use_layers(int nlay) {
    t = layout(nlay);
    set_classic_channels(*t, 10);
  }

  IterationMonitor& monitor() {
    if (!mon) mon = std::make_unique<IterationMonitor>(*t, *fs, console, results);
    return *mon;
  }

  void call(int ITER, int PRTFREQ, double S = 12) {
    monitor().MONITO(S, t->NPAR, ITER, PRTFREQ, 0.5, 0.25, 1.0, 4.0);
  }

  // Closes both streams and reads what they received.
  void finish() {
    console.close();
    results.close();
    con = read_lines("console.txt");
    res = read_lines("results.txt");
  }

  // Line of parameter i in a printed block of a model without layers.
  const std::string& param_line(int i) const {
    return res.at(static_cast<std::size_t>(i <= 5 ? 2 + i : i <= 11 ? 3 + i : 4 + i));
  }

  // ITER of every block in the results file, in order.
  std::vector<int> printed_iterations() const {
    std::vector<int> iters;
    for (const auto& line : res)
      if (line.size() > 12 && line.substr(4, 8) == " iterate")
        iters.push_back(std::stoi(line.substr(0, 4)));
    return iters;
  }

  std::unique_ptr<Tables> t;
  std::unique_ptr<FitState> fs;
  textio::OutStream console;
  textio::OutStream results;
  std::unique_ptr<IterationMonitor> mon;
  std::vector<std::string> con, res;
};

// ------------------------------------------------------------ block structure

TEST_F(MonitorTest, TitleLineHasIterationAndColumnTitlesAtTheirColumns) {
  call(7, 1);
  finish();
  ASSERT_GE(res.size(), 2u);
  EXPECT_EQ(res[0], kStars);
  EXPECT_EQ(res[1], "   7 iterate              PARAMETERS       ERRORS     FACTORS");
  // The titles stand over the value (25-38), error (43-51) and factor (55-64) columns.
  EXPECT_EQ(res[1].substr(26, 10), "PARAMETERS");
  EXPECT_EQ(res[1].substr(43, 6), "ERRORS");
  EXPECT_EQ(res[1].substr(54, 7), "FACTORS");
}

TEST_F(MonitorTest, LayersSubstrateAndGroupsInIndexOrder) {
  use_layers(2);
  call(0, 1);
  finish();
  std::vector<std::string> heads;  // headings, empty lines and parameter indices
  for (std::size_t k = 2; k < res.size(); ++k) {
    const std::string& line = res[k];
    if (line.empty() || line.substr(0, 4) == "    ") {
      heads.push_back(line);
    } else if (line.size() > 4 && std::isdigit(static_cast<unsigned char>(line[3]))) {
      heads.push_back("#" + std::to_string(std::stoi(line.substr(0, 4))));
    } else {
      break;  // the spread lines follow the parameters
    }
  }
  const std::vector<std::string> want = {"    Layer   1", "#1",  "#2",  "#3",  "#4",  "#5",  "#6",
                                         "    Layer   2", "#7",  "#8",  "#9",  "#10", "#11", "#12",
                                         "    Substrate", "#13", "#14", "#15", "#16", "#17", "",
                                         "#18",           "#19", "#20", "#21", "#22", "#23", "",
                                         "#24",           "#25", "#26", "#27", "#28", "#29"};
  EXPECT_EQ(heads, want);
}

TEST_F(MonitorTest, WithoutLayersSubstrateComesFirstAndEmptyLinesBefore6And12) {
  call(0, 1);
  finish();
  ASSERT_GE(res.size(), 22u);
  EXPECT_EQ(res[2], "    Substrate");
  for (int i = 1; i <= 17; ++i) EXPECT_EQ(std::stoi(param_line(i).substr(0, 4)), i) << "slot " << i;
  EXPECT_EQ(res[8], "");
  EXPECT_EQ(res[15], "");
  EXPECT_EQ(
      std::count_if(res.begin(), res.end(),
                    [](const std::string& l) { return l.find("Layer") != std::string::npos; }),
      0);
}

TEST_F(MonitorTest, ConsoleAndResultsFileGetTheSameBlock) {
  use_layers(1);
  fs->PARERR(12) = 0.05;
  t->PARAM(12) = 0.6;
  call(3, 1);
  finish();
  EXPECT_EQ(con, res);
  EXPECT_EQ(res.size(), 2u + 1 + 6 + 1 + 5 + 1 + 6 + 1 + 6 + 2 + 1);
}

TEST_F(MonitorTest, EveryLineGoesToTheConsoleFirstThenToTheResultsFile) {
  // With one stream standing for both, a complete line shows up twice in a row;
  // the two-part sqrt(D) line shows the order of its parts: first part to both,
  // then the second part to both.
  textio::OutStream both;
  both.create("both.txt");
  t->NFIX = 1;
  t->PARAM(8) = 0.75;   // c = 0, D = 0.25
  fs->PARERR(8) = 0.1;  // eD = 0.1 < D
  IterationMonitor m(*t, *fs, both, both);
  m.MONITO(12, t->NPAR, 0, 1, 0, 0, 0, 0);
  both.close();
  const auto lines = read_lines("both.txt");
  // 23 lines before sqrt(D), each doubled; the sqrt(D) line; the chi-square line.
  ASSERT_EQ(lines.size(), 50u);
  for (std::size_t k = 0; k < 46; k += 2) EXPECT_EQ(lines[k], lines[k + 1]) << "line " << k;
  // sqrt(0.35) = 0.591608, sqrt(0.25) = 0.5, sqrt(0.15) = 0.387298.
  const std::string first = kSqrtLabel + "  0.5000E+00 + 0.92E-01 -";
  EXPECT_EQ(lines[46], first + first + " 0.11E+00");
  EXPECT_EQ(lines[47], " 0.11E+00");
  EXPECT_EQ(lines[48], "   hi_sq.norm: .1000E+01");
  EXPECT_EQ(lines[49], "   hi_sq.norm: .1000E+01");
}

// ------------------------------------------------------------ parameter lines

class ParameterLineTest : public MonitorTest {
 protected:
  // "total scaling" = 2.5 with error 0.25 and factor 1.5.
  void SetUp() override {
    MonitorTest::SetUp();
    t->PARAM(9) = 2.5;
    fs->PARERR(9) = 0.25;
    fs->FACTOR(9) = 1.5;
  }
  static constexpr const char* kHead = "   9    total scaling     0.250000E+01";
};

TEST_F(ParameterLineTest, FreeParameterShowsErrorAndFactor) {
  fs->WORKLIM(9) = 100;
  call(0, 1);
  finish();
  const std::string& line = param_line(9);
  EXPECT_EQ(line, std::string(kHead) + " +/- 0.25E+00    0.150E+01");
  EXPECT_EQ(line.substr(38, 4), " +/-");         // columns 39-42
  EXPECT_EQ(line.substr(42, 9), " 0.25E+00");    // columns 43-51
  EXPECT_EQ(line.substr(54, 10), " 0.150E+01");  // columns 55-64
}

TEST_F(ParameterLineTest, ScaledDensityIsPrintedInPhysicalUnits) {
  t->PARAM(1) = 2.07;  // substrate Re{Nb}, 2.07e-6 A^-2
  fs->PARERR(1) = 0.5;
  fs->FACTOR(1) = 12;
  fs->WORKLIM(1) = 1;
  t->PARAM(2) = -0.75;  // Im{Nb}, negative
  fs->WORKLIM(2) = 1;
  fs->PARERR(2) = 0.015;
  fs->FACTOR(2) = 1;
  call(0, 1);
  finish();
  EXPECT_EQ(param_line(1), "   1    Re{Nb}            0.207000E-05 +/- 0.50E-06    0.120E+02");
  EXPECT_EQ(param_line(2), "   2    Im{Nb}           -0.750000E-06 +/- 0.15E-07    0.100E+01");
}

TEST_F(ParameterLineTest, HeldOnBoundAndSetAsideOnBoundShowOnBound) {
  for (double state : {0.0, -1.0, -0.5}) {
    fs->WORKLIM(9) = state;
    call(0, 1);
  }
  finish();
  const std::string want = std::string(kHead) + " +/- 0.25E+00    0.150E+01  on bound";
  int blocks = 0;
  for (const auto& line : res)
    if (line.substr(0, 4) == "   9" && line.find("total scaling") != std::string::npos) {
      EXPECT_EQ(line, want);
      EXPECT_EQ(line.substr(64, 10), "  on bound");  // columns 65-74
      ++blocks;
    }
  EXPECT_EQ(blocks, 3);
}

TEST_F(ParameterLineTest, SetAsideByInversionShowsInfiniteError) {
  for (double state : {-2.0, -1.5}) {
    fs->WORKLIM(9) = state;
    call(0, 1);
  }
  finish();
  int blocks = 0;
  for (const auto& line : res)
    if (line.find("total scaling") != std::string::npos) {
      EXPECT_EQ(line, std::string(kHead) + " +/- infinite");
      ++blocks;
    }
  EXPECT_EQ(blocks, 2);
}

TEST_F(ParameterLineTest, FixedParameterShowsFixedWhateverItsWorkingState) {
  t->STEPLIM(9) = 0;
  for (double state : {0.0, 5.0, -1.0, -2.0}) {
    fs->WORKLIM(9) = state;
    call(0, 1);
  }
  finish();
  int blocks = 0;
  for (const auto& line : res)
    if (line.find("total scaling") != std::string::npos) {
      EXPECT_EQ(line, std::string(kHead) + "      fixed");
      EXPECT_EQ(line.substr(44, 5), "fixed");  // columns 45-49
      ++blocks;
    }
  EXPECT_EQ(blocks, 4);
}

// ------------------------------------------------------------ spread of the axis angle

class SpreadTest : public MonitorTest {
 protected:
  // One layer: "<Cos(gamma)>" is slot 12 and "<Sin^2(gamma)>" slot 14.
  void SetUp() override {
    MonitorTest::SetUp();
    use_layers(1);
  }
  void print(double c, double s2, double err_c, double err_s2) {
    t->PARAM(12) = c;
    t->PARAM(14) = s2;
    fs->PARERR(12) = err_c;
    fs->PARERR(14) = err_s2;
    call(0, 1);
    finish();
  }
  // The lines between the last parameter and the chi-square line.
  std::vector<std::string> spread_lines(const std::vector<std::string>& lines) const {
    const auto last = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
      return l.substr(0, 4) == "  23" && l.find("Pf(z)") != std::string::npos;
    });
    EXPECT_NE(last, lines.end());
    EXPECT_EQ(lines.back().substr(0, 15), "   hi_sq.norm: ");
    return {last + 1, lines.end() - 1};
  }
};

TEST_F(SpreadTest, WithoutErrorsTheLinesHaveNoErrorPart) {
  print(0.6, 0.28, 0, 0);  // D = 0.72 - 0.36
  const std::vector<std::string> want = {kDLabel + "  0.3600E+00", kSqrtLabel + "  0.6000E+00"};
  EXPECT_EQ(spread_lines(res), want);
  EXPECT_EQ(spread_lines(con), want);
}

TEST_F(SpreadTest, WithErrorsBothSidesOfTheRootAreShown) {
  // e1 = 2 * 0.6 * 0.05 = 0.06, e2 = 0.08, eD = 0.1;
  // sqrt(0.46) - 0.6 = 0.0782330, 0.6 - sqrt(0.26) = 0.0900980.
  print(0.6, 0.28, 0.05, 0.08);
  const std::vector<std::string> want = {kDLabel + "  0.3600E+00 +/-  0.10E+00",
                                         kSqrtLabel + "  0.6000E+00 + 0.78E-01 - 0.90E-01"};
  EXPECT_EQ(spread_lines(res), want);
  EXPECT_EQ(spread_lines(con), want);
}

TEST_F(SpreadTest, OneErrorIsEnoughForTheErrorVariant) {
  // Only "<Cos(gamma)>" has an error: eD = 2 * 0.6 * 0.05 = 0.06;
  // sqrt(0.42) - 0.6 = 0.0480741, 0.6 - sqrt(0.30) = 0.0522774.
  print(0.6, 0.28, 0.05, 0);
  const std::vector<std::string> want = {kDLabel + "  0.3600E+00 +/-  0.60E-01",
                                         kSqrtLabel + "  0.6000E+00 + 0.48E-01 - 0.52E-01"};
  EXPECT_EQ(spread_lines(res), want);
}

TEST_F(SpreadTest, LowerErrorIsZeroWhenDEqualsItsError) {
  // c = 0: D = 1 - 0.75 = 0.25 = eD; sqrt(0.5) - 0.5 = 0.207107.
  print(0, 0.75, 0, 0.25);
  const std::vector<std::string> want = {kDLabel + "  0.2500E+00 +/-  0.25E+00",
                                         kSqrtLabel + "  0.5000E+00 + 0.21E+00 -  0"};
  EXPECT_EQ(spread_lines(res), want);
  EXPECT_EQ(spread_lines(con), want);
}

TEST_F(SpreadTest, NegativeDHasNoRootLine) {
  print(0.9, 0.5, 0, 0);  // D = 0.5 - 0.81
  EXPECT_EQ(spread_lines(res), std::vector<std::string>{kDLabel + " -0.3100E+00"});
}

TEST_F(SpreadTest, NegativeDWithErrorsHasNoRootLine) {
  print(0.9, 0.5, 0.1, 0.1);  // eD = sqrt(0.18^2 + 0.1^2) = 0.205913
  EXPECT_EQ(spread_lines(res), std::vector<std::string>{kDLabel + " -0.3100E+00 +/-  0.21E+00"});
}

// ------------------------------------------------------------ normalized chi-square

TEST_F(MonitorTest, ChiSquareIsPrintedWithoutLeadingZero) {
  t->NFIX = 1;     // 40 points - 17 parameters + 1 fixed = 24 degrees of freedom
  call(0, 1, 12);  // 2 * 12 / 24 = 1
  call(1, 1, 3);   // 6 / 24 = 0.25
  call(2, 1, 30);  // 60 / 24 = 2.5
  finish();
  std::vector<std::string> chi;
  for (const auto& l : res)
    if (l.substr(0, 15) == "   hi_sq.norm: ") chi.push_back(l);
  const std::vector<std::string> want = {"   hi_sq.norm: .1000E+01", "   hi_sq.norm: .2500E+00",
                                         "   hi_sq.norm: .2500E+01"};
  EXPECT_EQ(chi, want);
}

TEST_F(MonitorTest, ChiSquareOfAPointListCountsThePointsThatExist) {
  // A point list leaves the entry's nn (10 here) out of play: channels of 10, 10,
  // 6 and 5 points give 31 - 17 + 1 = 15 degrees of freedom, not 40 - 16 = 24.
  t->NFIX = 1;
  t->channel_points(3) = 6;
  t->channel_points(4) = 5;
  t->npoint = 31;
  call(0, 1, 7.5);  // 2 * 7.5 / 15 = 1
  finish();
  EXPECT_EQ(res.back(), "   hi_sq.norm: .1000E+01");
  EXPECT_EQ(con.back(), "   hi_sq.norm: .1000E+01");
}

TEST_F(MonitorTest, ChiSquareWithoutDegreesOfFreedomIsAsterisks) {
  t->NFIX = 1;
  t->nn = 4;
  t->npoint = 16;  // 16 - 17 + 1 = 0
  call(0, 1);
  t->nn = 2;
  t->npoint = 8;  // negative
  call(1, 1);
  finish();
  EXPECT_EQ(res[res.size() - 1], "   hi_sq.norm: *********");
  EXPECT_EQ(con[con.size() - 1], "   hi_sq.norm: *********");
  EXPECT_EQ(std::count(res.begin(), res.end(), "   hi_sq.norm: *********"), 2);
}

// ------------------------------------------------------------ print interval

TEST_F(MonitorTest, IntervalOnePrintsEveryIteration) {
  for (int it = 0; it <= 3; ++it) call(it, 1);
  finish();
  EXPECT_EQ(printed_iterations(), (std::vector<int>{0, 1, 2, 3}));
}

TEST_F(MonitorTest, IntervalThreePrintsEveryThirdAndTheLast) {
  for (int it = 0; it <= 6; ++it) call(it, 3);
  fs->FITSTAT = 1;
  call(7, 3);
  finish();
  EXPECT_EQ(printed_iterations(), (std::vector<int>{0, 3, 6, 7}));
}

TEST_F(MonitorTest, IntervalZeroPrintsOnlyTheLastCall) {
  for (int it = 0; it <= 4; ++it) call(it, 0);
  fs->FITSTAT = -3;
  call(5, 0);
  finish();
  EXPECT_EQ(printed_iterations(), std::vector<int>{5});
}

TEST_F(MonitorTest, NegativeIntervalPrintsNoBlockEvenAtTheEnd) {
  for (int it = 0; it <= 2; ++it) call(it, -1);
  fs->FITSTAT = 1;
  call(3, -1);
  finish();
  EXPECT_TRUE(res.empty());
  EXPECT_TRUE(con.empty());
}

TEST_F(MonitorTest, PrintCounterIsKeptFromCallToCall) {
  call(0, 3);  // printed; the next two calls with interval 3 are skipped
  call(1, 3);
  // A negative interval sets the counter so that the next positive-interval
  // call prints although it would have been skipped.
  call(2, -1);
  call(3, 3);
  // Skipped calls with interval 0 advance the counter by one each.
  call(4, 3);
  call(5, 0);
  call(6, 0);
  call(7, 3);
  finish();
  EXPECT_EQ(printed_iterations(), (std::vector<int>{0, 3, 7}));
}

// ------------------------------------------------------------ end messages

TEST_F(MonitorTest, IterationLimitMessageGoesToTheConsoleOnlyAfterTheBlock) {
  fs->FITSTAT = -3;
  call(20, 1);
  finish();
  ASSERT_EQ(con.size(), res.size() + 1);
  EXPECT_TRUE(std::equal(res.begin(), res.end(), con.begin()));
  EXPECT_EQ(con.back(), " ITERATION LIMIT IS EXEDED");
  EXPECT_EQ(printed_iterations(), std::vector<int>{20});
}

TEST_F(MonitorTest, EachFailureStatusHasItsMessage) {
  for (double status : {-1.0, -2.0, -2.5, -3.0, -4.0, 1.0}) {
    fs->FITSTAT = status;
    call(1, -1);  // no block: only the messages remain
  }
  finish();
  const std::vector<std::string> want = {" CHI-SQ. WANTS NOT DECREASE, MAY BE DERIVATIVES ARE BAD",
                                         " INFINIT ERROR ESTIMATIONS CAN NOT BE SKIPPED",
                                         " INFINIT ERROR ESTIMATIONS CAN NOT BE SKIPPED",
                                         " ITERATION LIMIT IS EXEDED"};
  EXPECT_EQ(con, want);
  EXPECT_TRUE(res.empty());
}

TEST_F(MonitorTest, ConvergedAndRunningWriteNoMessage) {
  call(0, 1);
  fs->FITSTAT = 1;
  call(1, 1);
  finish();
  EXPECT_EQ(con, res);
}

TEST_F(MonitorTest, NonFiniteStartNamesThePointOnTheConsoleOnly) {
  monitor().nonfinite_start(12);  // nn = 10: point 2 of channel DD
  monitor().nonfinite_start(0);
  finish();
  ASSERT_EQ(con.size(), 2u);
  EXPECT_EQ(con[0][0], ' ');
  EXPECT_NE(con[0].find("not finite"), std::string::npos);
  EXPECT_NE(con[0].find("point 12 (point 2 at DD)"), std::string::npos) << con[0];
  EXPECT_EQ(con[1].find("point 1"), std::string::npos);
  EXPECT_TRUE(res.empty());
}

}  // namespace
}  // namespace tessaline
