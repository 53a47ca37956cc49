// The results file: its head in every variant, replacement of an old file, the
// closing line, and the order head - monitor blocks - closing line.
#include <algorithm>
#include <string>
#include <vector>

#include "report/report.hpp"
#include "report_fixture.hpp"

namespace tessaline {
namespace {

using testing::layout;
using testing::read_lines;

const std::string kTitle = "    Tessaline results:";

class ResultsFileTest : public testing::InTempDir {
 protected:
  void SetUp() override {
    InTempDir::SetUp();
    t = layout(0);
    // Kernel of 41 points, sigma 0.5 mrad, step 0.1 mrad: half-width 20 steps = 4 sigma.
    t->j0 = 41;
    t->coll_sigma = 0.5e-3;
    t->coll_step = 0.1e-3;
  }
  std::vector<std::string> head() {
    textio::OutStream results;
    write_results_head(results, *t);
    EXPECT_TRUE(results.is_open());
    results.close();
    return read_lines("VreloBag.dat");
  }
  std::unique_ptr<Tables> t;
};

TEST_F(ResultsFileTest, NoExclusionNoZeroCorrectionGivesTitleAndCollimationOnly) {
  const std::vector<std::string> want = {
      kTitle, "Collimation function:  41 points, sigma = 0.50mrad, region = +/-4.0 sigma"};
  EXPECT_EQ(head(), want);
}

TEST_F(ResultsFileTest, AllFiveHeadLinesInOrder) {
  t->first_excluded = 5;
  t->last_excluded = 12;
  t->zero_correction = 1.2e-3;
  const std::vector<std::string> want = {
      kTitle, "Collimation function:  41 points, sigma = 0.50mrad, region = +/-4.0 sigma",
      "The first  5 experimental points are excluded",
      "The  last 12 experimental points are excluded", "Correction of \"zero\" :  0.1200E+01 mrad"};
  EXPECT_EQ(head(), want);
}

TEST_F(ResultsFileTest, EachOptionalLineAppearsOnItsOwn) {
  t->last_excluded = 3;
  t->zero_correction = -0.25e-3;
  const std::vector<std::string> want = {
      kTitle, "Collimation function:  41 points, sigma = 0.50mrad, region = +/-4.0 sigma",
      "The  last  3 experimental points are excluded", "Correction of \"zero\" : -0.2500E+00 mrad"};
  EXPECT_EQ(head(), want);
  t->last_excluded = 0;
  t->zero_correction = 0;
  t->first_excluded = 100;
  EXPECT_EQ(head().at(2), "The first100 experimental points are excluded");
}

TEST_F(ResultsFileTest, SinglePointKernelHasRegionZero) {
  t->j0 = 1;
  EXPECT_EQ(head().at(1),
            "Collimation function:   1 points, sigma = 0.50mrad, region = +/-0.0 sigma");
}

TEST_F(ResultsFileTest, SigmaZeroOrNegativeHasRegionZero) {
  t->j0 = 1;
  t->coll_sigma = 0;
  EXPECT_EQ(head().at(1),
            "Collimation function:   1 points, sigma = 0.00mrad, region = +/-0.0 sigma");
  t->coll_sigma = -0.3e-3;
  EXPECT_EQ(head().at(1),
            "Collimation function:   1 points, sigma =-0.30mrad, region = +/-0.0 sigma");
}

TEST_F(ResultsFileTest, HalfWidthOfTenSigmaOverflowsItsField) {
  t->j0 = 101;  // 50 steps of 0.1 mrad = 10 sigma
  EXPECT_EQ(head().at(1),
            "Collimation function: 101 points, sigma = 0.50mrad, region = +/-*** sigma");
}

TEST_F(ResultsFileTest, ASecondRunReplacesTheOldFile) {
  testing::write_lines("VreloBag.dat", 50, "an old run with a long line of text in it");
  const std::vector<std::string> want = {
      kTitle, "Collimation function:  41 points, sigma = 0.50mrad, region = +/-4.0 sigma"};
  EXPECT_EQ(head(), want);
}

TEST_F(ResultsFileTest, ClosingLineGoesToConsoleAndFileWhichIsClosed) {
  textio::OutStream console;
  console.create("console.txt");
  textio::OutStream results;
  write_results_head(results, *t);
  write_closing_line(console, results);
  EXPECT_FALSE(results.is_open());
  console.close();
  const std::string percent(73, '%');
  EXPECT_EQ(read_lines("console.txt"), std::vector<std::string>{percent});
  const auto file = read_lines("VreloBag.dat");
  ASSERT_EQ(file.size(), 3u);
  EXPECT_EQ(file[2], percent);
}

TEST_F(ResultsFileTest, MonitorBlocksStandBetweenHeadAndClosingLine) {
  auto fs = make_fit_state();
  t->nn = 10;
  t->npoint = 40;
  textio::OutStream console;
  console.create("console.txt");
  textio::OutStream results;
  write_results_head(results, *t);
  IterationMonitor monitor(*t, *fs, console, results);
  monitor.MONITO(1, t->NPAR, 0, 1, 0, 0, 0, 0);
  fs->FITSTAT = -1;
  monitor.MONITO(1, t->NPAR, 1, 1, 0, 0, 0, 0);
  write_closing_line(console, results);
  console.close();

  const auto file = read_lines("VreloBag.dat");
  const auto con = read_lines("console.txt");
  // Block: stars, title, substrate heading, 17 parameters, 2 empty lines, D and
  // sqrt(D), chi-square.
  constexpr std::size_t kBlock = 25;
  ASSERT_EQ(file.size(), 2 + 2 * kBlock + 1);
  EXPECT_EQ(file[0], kTitle);
  EXPECT_EQ(file[2], " " + std::string(73, '*'));
  EXPECT_EQ(file[3].substr(0, 12), "   0 iterate");
  EXPECT_EQ(file[2 + kBlock + 1].substr(0, 12), "   1 iterate");
  EXPECT_EQ(file.back(), std::string(73, '%'));
  // The console has the blocks without the head, the failure message, the closing line.
  ASSERT_EQ(con.size(), 2 * kBlock + 2);
  EXPECT_TRUE(std::equal(con.begin(), con.begin() + 2 * kBlock, file.begin() + 2));
  EXPECT_EQ(con[2 * kBlock], " CHI-SQ. WANTS NOT DECREASE, MAY BE DERIVATIVES ARE BAD");
  EXPECT_EQ(con.back(), std::string(73, '%'));
}

TEST(OutputNames, SixteenCharacterEntriesOpenedWithoutTrailingBlanks) {
  const char* const want[5] = {"VreloFunctUU.dat", "VreloFunctDD.dat", "VreloFunctUD.dat",
                               "VreloFunctDU.dat", "VreloBag.dat"};
  for (int i = 1; i <= 5; ++i) {
    EXPECT_EQ(OUTNAM(i).size(), 16u) << i;
    EXPECT_EQ(file_name(OUTNAM(i)), want[i - 1]) << i;
  }
  EXPECT_EQ(OUTNAM(5), "VreloBag.dat    ");
}

}  // namespace
}  // namespace tessaline
