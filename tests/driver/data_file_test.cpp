// The measured points: reading with the error-bar check, and the two exclusion
// prompts with their limits and the compaction of the point table.
//
// Points are labelled so that each value tells where it came from: reflectivity
// 1000*c + p for point p of channel c, angle p*1e-3 + c*1e-6.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>

#include "driver/driver.hpp"
#include "tests/driver/scratch.hpp"

namespace tessaline {
namespace {

using testing::lines;
using testing::ScratchDir;
using textio::InStream;
using textio::OutStream;
using textio::TextError;

double refl(int c, int p) { return 1000.0 * c + p; }
double angle(int c, int p) { return p * 1e-3 + c * 1e-6; }

// A data file of nn labelled points per channel, error bar 0.5, one per line.
std::string data_text(int nn) {
  std::string s;
  char buf[128];
  for (int c = 1; c <= 4; ++c)
    for (int p = 1; p <= nn; ++p) {
      std::snprintf(buf, sizeof buf, "%.17g 0.5 %.17g\n", refl(c, p), angle(c, p));
      s += buf;
    }
  return s;
}

class DataFileTest : public ::testing::Test {
 protected:
  void SetUp() override { console_.create(dir_.file("console.txt")); }
  void read(int nn, const std::string& content) {
    t_.nn = nn;
    t_.npoint = 4 * nn;
    dir_.write("points.dat", content);
    read_data_file(t_, dir_.file("points.dat"), console_);
  }
  // Runs the exclusion dialogue with `answers` typed at its prompts.
  void exclude(const std::string& answers) {
    dir_.write("keys.txt", answers);
    keys_.open(dir_.file("keys.txt"), "answers");
    exclude_points(t_, keys_, console_);
  }
  std::string transcript() {
    console_.close();
    return dir_.read("console.txt");
  }
  // Point (c, p) of the table as it stands, all four values.
  void expect_point(int c, int p, int c_from, int p_from) {
    const int q = (c - 1) * t_.nn + p;
    SCOPED_TRACE("point " + std::to_string(p) + " of channel " + std::to_string(c));
    EXPECT_EQ(t_.POINTS(4 * q - 3), refl(c_from, p_from));
    EXPECT_EQ(t_.POINTS(4 * q - 2), 0.5);
    EXPECT_EQ(t_.POINTS(4 * q - 1), angle(c_from, p_from));
    EXPECT_EQ(t_.POINTS(4 * q), c_from);
  }

  ScratchDir dir_;
  OutStream console_;
  InStream keys_;
  std::unique_ptr<Tables> tp_ = make_tables();
  Tables& t_ = *tp_;
};

TEST_F(DataFileTest, ReadsTheChannelsInOrderWithTheirCodes) {
  read(3, data_text(3));
  for (int c = 1; c <= 4; ++c)
    for (int p = 1; p <= 3; ++p) expect_point(c, p, c, p);
  EXPECT_EQ(t_.theta_last, angle(4, 3));
  EXPECT_EQ(transcript(), "");
}

// A point spread over two lines; a fourth number on a line is ignored and the
// next point starts on the next line.
TEST_F(DataFileTest, APointMaySpreadOverLinesAndExtraNumbersAreIgnored) {
  read(1, lines({"0.1 0.01", "", "0.002", "0.2, 0.02, 0.003, 99 and words", "0.3 0.03 0.004", "0.4",
                 "0.04", "0.005 77"}));
  const double expected[4][3] = {
      {0.1, 0.01, 0.002}, {0.2, 0.02, 0.003}, {0.3, 0.03, 0.004}, {0.4, 0.04, 0.005}};
  for (int q = 1; q <= 4; ++q) {
    for (int v = 1; v <= 3; ++v) EXPECT_EQ(t_.POINTS(4 * q - 4 + v), expected[q - 1][v - 1]);
    EXPECT_EQ(t_.POINTS(4 * q), q);
  }
  EXPECT_EQ(t_.theta_last, 0.005);
}

TEST_F(DataFileTest, AnErrorBarOfExactly1e30IsAccepted) {
  read(1, lines({"1 1e-30 0.01", "1 1e-30 0.01", "1 1e-30 0.01", "1 1e-30 0.02"}));
  EXPECT_EQ(t_.POINTS(14), 1e-30);
  EXPECT_EQ(t_.theta_last, 0.02);
}

// The dialogue names the point within its channel; the first bad point in file
// order is reported, and the file is not read past it (here it ends there).
TEST_F(DataFileTest, AnErrorBarBelow1e30NamesChannelAndPoint) {
  std::string text = data_text(12);
  text.resize(text.rfind("2012 "));  // up to point 11 of DD
  text += "2012 1e-31 0.012\n";
  const std::string said = "Error bar for point  12 at DD is zero or negative!";
  try {
    read(12, text);
    ADD_FAILURE() << "no stop";
  } catch (const InputDialogueStop& e) {
    EXPECT_EQ(e.lines(), std::vector<std::string>{said});  // for a tool without the console
  }
  EXPECT_EQ(transcript(), lines({"", said}));
}

TEST_F(DataFileTest, ZeroAndNegativeErrorBarsAreRejected) {
  EXPECT_THROW(read(2, lines({"1 1 1", "1 1 1", "1 1 1", "1 1 1", "1 1 1", "1 0 1", "1 -1 1"})),
               InputDialogueStop);
  EXPECT_EQ(transcript(), lines({"", "Error bar for point   2 at UD is zero or negative!"}));
}

TEST_F(DataFileTest, ANegativeErrorBarInTheLastChannel) {
  EXPECT_THROW(read(1, lines({"1 1 1", "1 1 1", "1 1 1", "1 -0.5 1"})), InputDialogueStop);
  EXPECT_EQ(transcript(), lines({"", "Error bar for point   1 at DU is zero or negative!"}));
}

TEST_F(DataFileTest, AFileEndingEarlyIsATextError) {
  std::string text = data_text(3);
  text.resize(text.rfind("4003 "));
  try {
    read(3, text);
    FAIL() << "no error";
  } catch (const TextError& e) {
    const std::string m = e.what();
    EXPECT_NE(m.find("points.dat"), std::string::npos) << m;
    EXPECT_NE(m.find("point 3 of channel DU"), std::string::npos) << m;
  }
}

TEST_F(DataFileTest, AWordWhereANumberBelongsIsATextError) {
  EXPECT_THROW(read(1, lines({"1 1 0.01", "1 one 0.01"})), TextError);
}

TEST_F(DataFileTest, AMissingFileIsATextError) {
  t_.nn = 1;
  EXPECT_THROW(read_data_file(t_, dir_.file("absent.dat"), console_), TextError);
}

// nn = 100, 10 free parameters, first 5 and last 3: nn = 92 and every channel
// keeps its own points 6..97 in order.
TEST_F(DataFileTest, ExclusionKeepsTheMiddleOfEveryChannel) {
  read(100, data_text(100));
  t_.NPAR = 17;
  t_.NFIX = 7;
  exclude("5\n3\n");
  EXPECT_EQ(t_.nn, 92);
  EXPECT_EQ(t_.npoint, 368);
  EXPECT_EQ(t_.first_excluded, 5);
  EXPECT_EQ(t_.last_excluded, 3);
  for (int c = 1; c <= 4; ++c)
    for (int p = 1; p <= 92; ++p) expect_point(c, p, c, p + 5);
  EXPECT_EQ(t_.theta_last, angle(4, 100));
  EXPECT_EQ(transcript(), "Number of first points to exclude? Number of  last points to exclude? ");
}

TEST_F(DataFileTest, ZeroOrNegativeAnswersExcludeNothing) {
  read(4, data_text(4));
  t_.NPAR = 17;
  t_.NFIX = 17;
  exclude("0\n-3\n");
  EXPECT_EQ(t_.nn, 4);
  EXPECT_EQ(t_.npoint, 16);
  EXPECT_EQ(t_.first_excluded, 0);
  EXPECT_EQ(t_.last_excluded, 0);
  for (int c = 1; c <= 4; ++c)
    for (int p = 1; p <= 4; ++p) expect_point(c, p, c, p);
}

// nn = 10 and 35 free parameters: the limit is 5.  The first prompt accepts it;
// the second refuses its limit itself.  A refused answer is followed by
// "Not so many!" on the line the prompt left open.
TEST_F(DataFileTest, FirstPromptAcceptsItsLimit) {
  read(10, data_text(10));
  t_.NPAR = 41;
  t_.NFIX = 6;
  // At the second prompt the limit is 4*5 - 35 = -15: only -16 passes.
  exclude("6\n5\n-15\n-16\n");
  EXPECT_EQ(t_.nn, 5);
  EXPECT_EQ(t_.first_excluded, 5);
  EXPECT_EQ(t_.last_excluded, 0);
  for (int c = 1; c <= 4; ++c)
    for (int p = 1; p <= 5; ++p) expect_point(c, p, c, p + 5);
  const std::string first = "Number of first points to exclude? ";
  const std::string last = "Number of  last points to exclude? ";
  const std::string no = " Not so many!\n";
  EXPECT_EQ(transcript(), first + no + first + last + no + last);
}

TEST_F(DataFileTest, SecondPromptRefusesItsLimit) {
  read(10, data_text(10));
  t_.NPAR = 41;
  t_.NFIX = 6;
  exclude("0\n5\n4\n");
  EXPECT_EQ(t_.nn, 6);
  EXPECT_EQ(t_.first_excluded, 0);
  EXPECT_EQ(t_.last_excluded, 4);
  for (int c = 1; c <= 4; ++c)
    for (int p = 1; p <= 6; ++p) expect_point(c, p, c, p);
  EXPECT_EQ(transcript(),
            "Number of first points to exclude? Number of  last points to exclude?  Not so many!\n"
            "Number of  last points to exclude? ");
}

// More free parameters than points: the limit 4*2 - 17 = -9 is negative.  The
// first prompt passes only answers at or below it, the second only below it; none
// of them excludes anything.
TEST_F(DataFileTest, ANegativeLimitPassesOnlyAnswersThatExcludeNothing) {
  read(2, data_text(2));
  t_.NPAR = 17;
  t_.NFIX = 0;
  exclude("0\n-8\n-9\n-9\n-10\n");
  EXPECT_EQ(t_.nn, 2);
  EXPECT_EQ(t_.first_excluded, 0);
  EXPECT_EQ(t_.last_excluded, 0);
  const std::string first = "Number of first points to exclude? ";
  const std::string last = "Number of  last points to exclude? ";
  const std::string no = " Not so many!\n";
  EXPECT_EQ(transcript(), first + no + first + no + first + last + no + last);
}

// A count that passes the limit but would empty the channels is refused too,
// with the nn current at each prompt.
TEST_F(DataFileTest, ACountThatWouldEmptyTheChannelsIsRefused) {
  read(10, data_text(10));
  t_.NPAR = 17;
  t_.NFIX = 12;  // 5 free: limits 35, then 4*7 - 5 = 23
  exclude("10\n3\n7\n6\n");
  EXPECT_EQ(t_.nn, 1);
  EXPECT_EQ(t_.npoint, 4);
  EXPECT_EQ(t_.first_excluded, 3);
  EXPECT_EQ(t_.last_excluded, 6);
  for (int c = 1; c <= 4; ++c) expect_point(c, 1, c, 4);
  const std::string first = "Number of first points to exclude? ";
  const std::string last = "Number of  last points to exclude? ";
  const std::string no = " Not so many!\n";
  EXPECT_EQ(transcript(), first + no + first + last + no + last);
}

// Answers that end: the prompt loop does not spin, it ends in a text error.
TEST_F(DataFileTest, AnswersEndingAtARefusedCountEndTheDialogue) {
  read(10, data_text(10));
  t_.NPAR = 17;
  t_.NFIX = 17;
  EXPECT_THROW(exclude("50\n"), TextError);
  EXPECT_EQ(transcript(),
            "Number of first points to exclude?  Not so many!\n"
            "Number of first points to exclude? ");
}

TEST_F(DataFileTest, AnswersEndingAtTheSecondPromptEndTheDialogue) {
  read(10, data_text(10));
  t_.NPAR = 17;
  t_.NFIX = 17;
  EXPECT_THROW(exclude("2\n"), TextError);
  EXPECT_EQ(t_.nn, 8);
}

TEST_F(DataFileTest, AnAnswerWithADecimalPointIsATextError) {
  read(10, data_text(10));
  t_.NPAR = 17;
  t_.NFIX = 17;
  EXPECT_THROW(exclude("2.0\n"), TextError);
}

}  // namespace
}  // namespace tessaline

namespace tessaline {
namespace {

// ------------------------------------------------------------ without the tables

TEST(MeasuredPoints, GivenCountOrTheWholeFileAndWhatFollowsTheLastPoint) {
  // nn = 1: four points, then a line of words (not numbers) and a line with one.
  std::istringstream counted("1 .1 .01\n2 .2 .01 9\n3 .3\n .01\n4 .4 .01 7\n\nend of data\n5 .5\n");
  MeasuredData d = read_measured_points(counted, "pts.dat", 1);
  ASSERT_EQ(d.nn, 1);
  EXPECT_EQ(d.channel[1][0].R, 2.0);       // 9 did not start a point
  EXPECT_EQ(d.channel[2][0].theta, 0.01);  // a point over two lines
  EXPECT_EQ(d.channel[3][0].dR, 0.4);
  EXPECT_EQ(d.unread_number_line, 8);  // not 5 (the last point's own line), nor 7
  std::istringstream exact("1 .1 .01\n2 .2 .01\n3 .3 .01\n4 .4 .01\n\n");
  EXPECT_EQ(read_measured_points(exact, "pts.dat", 1).unread_number_line, 0);

  // nn = 0: every point of the file; the count must make four equal channels.
  std::istringstream all(
      "1 .1 .01\n2 .2 .02\n3 .3 .01\n4 .4 .02\n5 .5 .01\n6 .6 .02\n"
      "7 .7 .01\n8 0 .02\n\n");
  d = read_measured_points(all, "pts.dat", 0);
  ASSERT_EQ(d.nn, 2);
  EXPECT_EQ(d.channel[3][1].R, 8.0);
  EXPECT_EQ(d.bad_channel, 4);  // the zero error bar, point 2 of DU
  EXPECT_EQ(d.bad_point, 2);
  std::istringstream six("1 .1 .01\n2 .2 .01\n3 .3 .01\n4 .4 .01\n5 .5 .01\n6 .6 .01\n");
  try {
    read_measured_points(six, "pts.dat", 0);
    FAIL() << "six points were taken for four channels";
  } catch (const TextError& e) {
    EXPECT_NE(std::string(e.what()).find("\"pts.dat\" holds 6 points"), std::string::npos)
        << e.what();
  }
}

}  // namespace
}  // namespace tessaline
