// The measured points: reading with the error-bar check, and the two exclusion
// prompts with their limits and the compaction of the point table.
//
// Points are labelled so that each value tells where it came from: reflectivity
// 1000*c + p for point p of channel c, angle p*1e-3 + c*1e-6.
#include <gtest/gtest.h>

#include <array>
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

namespace tessaline {
namespace {

// ------------------------------------------------------------ point lists

// The message of the TextError that reading `text` as a point list raises.
std::string point_list_error(const std::string& text) {
  std::istringstream in(text);
  try {
    read_measured_points(in, "list.dat", 7);
  } catch (const TextError& e) {
    return e.what();
  }
  return "(no error)";
}

// Channels of different lengths, one of them empty, in any order in the file
// with comments and blank lines between; each channel keeps the order of the
// file, and the entry file's nn (7) plays no part.
TEST(PointList, ChannelsOfAnyLengthKeepTheOrderOfTheFile) {
  std::istringstream in(
      "# tessaline points, from a test\n"
      "DD 0.5 0.05 0.003\n"
      "# a comment\n"
      "UU 0.9 0.09 0.002\n"
      "\n"
      "   \t\n"
      "DD 0.25 0.025 0.004\n"
      "UU 0.8 0.08 0.0035\n"
      "DU 1e-3 1e-4 0.005\n"
      "DD 0.125 0.0125 0.006\n");
  const MeasuredData d = read_measured_points(in, "list.dat", 7);
  EXPECT_TRUE(d.point_list);
  EXPECT_FALSE(d.has_resolution);
  ASSERT_EQ(d.channel[0].size(), 2u);
  ASSERT_EQ(d.channel[1].size(), 3u);
  EXPECT_EQ(d.channel[2].size(), 0u);
  ASSERT_EQ(d.channel[3].size(), 1u);
  EXPECT_EQ(d.total(), 6);
  EXPECT_EQ(d.channel[0][1].theta, 0.0035);
  EXPECT_EQ(d.channel[1][0].R, 0.5);
  EXPECT_EQ(d.channel[1][2].dR, 0.0125);
  EXPECT_EQ(d.channel[3][0].theta, 0.005);
  EXPECT_EQ(d.line[1][1], 7);  // the file's own line numbers
  EXPECT_LT(d.channel[0][0].resolution, 0);
  for (int u : d.unordered) EXPECT_EQ(u, 0);
}

// In the tables: the channels one after another, UU first, with their codes and
// each point's resolution as its fifth value; the curve files end on the
// largest angle, wherever it stands in the file.
TEST(PointList, FillsThePointTableWithResolutions) {
  ScratchDir dir;
  dir.write("list.dat", lines({"# tessaline points", "DU 4 0.4 0.004 0", "UU 1 0.1 0.001 1e-4",
                               "UU 2 0.2 0.009 2e-4", "UD 3 0.3 0.003 3e-4"}));
  auto t = make_tables();
  set_classic_channels(*t, 50);
  t->coll_sigma = 1e-4;
  OutStream quiet;
  read_data_file(*t, dir.file("list.dat"), quiet);
  EXPECT_TRUE(t->point_list);
  EXPECT_EQ(t->nvalues, 5);
  EXPECT_EQ(t->npoint, 4);
  const int counts[4] = {2, 0, 1, 1};
  for (int c = 1; c <= 4; ++c) EXPECT_EQ(t->channel_points(c), counts[c - 1]);
  const double expected[4][5] = {{1, 0.1, 0.001, 1, 1e-4},
                                 {2, 0.2, 0.009, 1, 2e-4},
                                 {3, 0.3, 0.003, 3, 3e-4},
                                 {4, 0.4, 0.004, 4, 0}};
  for (int q = 1; q <= 4; ++q)
    for (int v = 1; v <= 5; ++v) EXPECT_EQ(t->POINTS(5 * (q - 1) + v), expected[q - 1][v - 1]);
  EXPECT_EQ(t->theta_last, 0.009);
}

// Per-point resolutions stretch the entry's kernel: without a kernel shape (a
// collimation sigma of 0 or less) such a list is refused, and says why.
TEST(PointList, ResolutionsNeedAKernelShape) {
  ScratchDir dir;
  dir.write("list.dat", lines({"# tessaline points", "UU 1 0.1 0.001 1e-4"}));
  auto t = make_tables();
  t->coll_sigma = 0;
  OutStream quiet;
  try {
    read_data_file(*t, dir.file("list.dat"), quiet);
    FAIL() << "accepted";
  } catch (const TextError& e) {
    EXPECT_NE(std::string(e.what()).find("collimation sigma is 0 or less"), std::string::npos)
        << e.what();
  }
  // Without resolutions the same entry is fine.
  dir.write("plain.dat", lines({"# tessaline points", "UU 1 0.1 0.001"}));
  read_data_file(*t, dir.file("plain.dat"), quiet);
  EXPECT_EQ(t->nvalues, 4);
}

// Every refusal names the file and the line, and what was expected there.
TEST(PointList, BadLinesAreRefusedWithFileAndLine) {
  const std::string head = "# tessaline points\n# R dR theta\n";
  const struct {
    std::string body;
    std::string expected;
  } cases[] = {
      {"UU 1 0.1 0.01\nUP 1 0.1 0.01\n",
       "line 4: unknown channel \"UP\"; expected UU, DD, UD or DU"},
      {"uu 1 0.1 0.01\n", "line 3: unknown channel \"uu\""},
      {"UU 1 0.1\n", "line 3: 3 fields where a point has four or five"},
      {"UU 1 0.1 0.01 1e-4 7\n", "line 3: 6 fields where a point has four or five"},
      {"UU 1 0.1 0.01\nDD 1 0.1 0.02 1e-4\n",
       "line 4: this point gives a resolution (SIGMA_THETA) but the point on line 3 does not"},
      {"UU 1 0.1 0.01 1e-4\n\nDD 1 0.1 0.02\n",
       "line 5: this point gives no resolution (SIGMA_THETA) but the point on line 3 does"},
      {"UU 1 0.1 0.01 -1e-4\n", "line 3: resolution SIGMA_THETA \"-1e-4\" is negative"},
      {"UU 1 0 0.01\n", "line 3: error bar dR \"0\" of a UU point is below 1e-30"},
      {"DU 1 1e-31 0.01\n", "line 3: error bar dR \"1e-31\" of a DU point is below 1e-30"},
      {"DD 1 0.1 0.01x\n", "line 3: THETA \"0.01x\" is not a number"},
      {"DD 1 0.1 nan\n", "line 3: THETA \"nan\" is not a number"},
      {"", "is a point list without a point"},
      {"# only comments\n\n", "is a point list without a point"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    const std::string m = point_list_error(head + c.body);
    EXPECT_NE(m.find("data file \"list.dat\""), std::string::npos) << m;
    EXPECT_NE(m.find(c.expected), std::string::npos) << m;
  }
  // An error bar of exactly 1e-30 and a resolution of 0 (no smearing) pass.
  std::istringstream edge(head + "UU 1 1e-30 0.01 0\n");
  EXPECT_EQ(read_measured_points(edge, "list.dat", 1).channel[0][0].dR, 1e-30);
}

// 1000 points in a channel are accepted, the 1001st is refused at its line.
TEST(PointList, AChannelHoldsAtMost1000Points) {
  std::string text = "# tessaline points\n";
  for (int p = 1; p <= 1000; ++p) text += "UD 1 0.1 " + std::to_string(p * 1e-5) + "\n";
  text += "UU 1 0.1 0.001\n";
  std::istringstream full(text);
  EXPECT_EQ(read_measured_points(full, "list.dat", 1).channel[2].size(), 1000u);
  EXPECT_NE(point_list_error(text + "UD 1 0.1 0.5\n")
                .find("line 1003: channel UD holds more than 1000 points"),
            std::string::npos);
}

// A classic file whose first line is a comment is read as before: the comment
// is not a number.
TEST(PointList, OnlyItsOwnFirstLineMakesAPointList) {
  std::istringstream in("# tessaline, but not points\n1 0.1 0.01\n");
  try {
    read_measured_points(in, "old.dat", 1);
    FAIL() << "read";
  } catch (const TextError& e) {
    EXPECT_NE(std::string(e.what()).find("data file \"old.dat\", line 1: \"#\" is not a number"),
              std::string::npos)
        << e.what();
  }
  std::istringstream late("\n# tessaline points\nUU 1 0.1 0.01\n");
  EXPECT_THROW(read_measured_points(late, "late.dat", 1), TextError);
}

// What the writer writes, the reader reads back to the last bit.
TEST(PointList, TheWriterAndTheReaderAgreeToTheBit) {
  ScratchDir dir;
  std::array<std::vector<DataPoint>, 4> channels;
  channels[0] = {{0.1 / 3, 1e-30, 2.0 / 3e3, 1e-4 / 7}, {2.5e-7, 3e-9, 0.0311, 0}};
  channels[3] = {{-1e-6, 2e-7, 0.02, 1.5e-4}};
  write_point_list(dir.file("w.dat"), channels);
  const MeasuredData d = read_measured_points(dir.file("w.dat"), 0);
  ASSERT_TRUE(d.has_resolution);
  for (std::size_t c = 0; c < 4; ++c) {
    ASSERT_EQ(d.channel[c].size(), channels[c].size());
    for (std::size_t p = 0; p < channels[c].size(); ++p) {
      EXPECT_EQ(d.channel[c][p].R, channels[c][p].R);
      EXPECT_EQ(d.channel[c][p].dR, channels[c][p].dR);
      EXPECT_EQ(d.channel[c][p].theta, channels[c][p].theta);
      EXPECT_EQ(d.channel[c][p].resolution, channels[c][p].resolution);
    }
  }
  // Resolutions on some points only, or no point at all: not written.
  channels[3][0].resolution = -1;
  EXPECT_THROW(write_point_list(dir.file("x.dat"), channels), WriteError);
  EXPECT_THROW(write_point_list(dir.file("y.dat"), {}), WriteError);
  EXPECT_FALSE(dir.exists("x.dat") || dir.exists("y.dat"));
}

// The exclusion prompts drop points at both ends of every channel that holds
// any, leave an empty channel empty, and refuse a count that would empty the
// shortest channel.
TEST(PointList, ExclusionDropsTheEndsOfEveryChannelThatHoldsPoints) {
  ScratchDir dir;
  std::string text = "# tessaline points\n";
  const int counts[4] = {6, 0, 3, 5};
  for (int c = 1; c <= 4; ++c)
    for (int p = 1; p <= counts[c - 1]; ++p) {
      char line[96];
      std::snprintf(line, sizeof line, "%s %.17g 0.5 %.17g\n",
                    std::string(kChannelNames[static_cast<std::size_t>(c - 1)]).c_str(), refl(c, p),
                    angle(c, p));
      text += line;
    }
  dir.write("list.dat", text);
  dir.write("keys.txt", "3\n1\n2\n1\n");
  auto t = make_tables();
  t->NPAR = 17;
  t->NFIX = 17;
  OutStream console;
  console.create(dir.file("console.txt"));
  read_data_file(*t, dir.file("list.dat"), console);
  InStream keys;
  keys.open(dir.file("keys.txt"), "answers");
  // 3 would empty UD; 1 passes; then 2 would empty UD (2 points left); 1 passes.
  exclude_points(*t, keys, console);
  console.close();
  EXPECT_EQ(dir.read("console.txt"),
            "Number of first points to exclude?  Not so many!\n"
            "Number of first points to exclude? Number of  last points to exclude?  Not so many!\n"
            "Number of  last points to exclude? ");
  EXPECT_EQ(t->first_excluded, 1);
  EXPECT_EQ(t->last_excluded, 1);
  EXPECT_EQ(t->npoint, 8);
  const int kept[4] = {4, 0, 1, 3};
  for (int c = 1; c <= 4; ++c) EXPECT_EQ(t->channel_points(c), kept[c - 1]);
  // Table order: UU 2..5, UD 2, DU 2..4, with their channel codes.
  const int from[8][2] = {{1, 2}, {1, 3}, {1, 4}, {1, 5}, {3, 2}, {4, 2}, {4, 3}, {4, 4}};
  for (int q = 1; q <= 8; ++q) {
    SCOPED_TRACE(q);
    EXPECT_EQ(t->POINTS(4 * q - 3), refl(from[q - 1][0], from[q - 1][1]));
    EXPECT_EQ(t->POINTS(4 * q - 1), angle(from[q - 1][0], from[q - 1][1]));
    EXPECT_EQ(t->POINTS(4 * q), from[q - 1][0]);
  }
  // The same through drop_points, for the tools: 1 and 1 as above, 2 and 1 not.
  auto u = make_tables();
  read_data_file(*u, dir.file("list.dat"), console);
  EXPECT_FALSE(drop_points(*u, 2, 1));
  EXPECT_EQ(u->npoint, 14);
  EXPECT_TRUE(drop_points(*u, 1, 1));
  EXPECT_EQ(u->npoint, 8);
  for (int v = 1; v <= 32; ++v) EXPECT_EQ(u->POINTS(v), t->POINTS(v));
}

// A wrong nn that still gives the right total cuts the channels in the wrong
// places: the first point of the next channel is then below the last of its
// own, and a warning names the channel, the point and the line.
TEST(MeasuredPoints, AnglesThatDoNotIncreaseAreNamed) {
  // Four channels of three points, read with nn = 3 but written as 4, 2, 3, 3.
  std::istringstream in(
      "1 .1 .001\n1 .1 .002\n1 .1 .003\n1 .1 .004\n"
      "1 .1 .001\n1 .1 .002\n"
      "1 .1 .001\n1 .1 .002\n1 .1 .003\n"
      "1 .1 .001\n1 .1 .002\n1 .1 .003\n");
  const MeasuredData d = read_measured_points(in, "cut.dat", 3);
  EXPECT_EQ(d.unordered[0], 0);
  EXPECT_EQ(d.unordered[1], 2);  // DD's second point: .001 after .004
  EXPECT_EQ(d.unordered[2], 0);
  EXPECT_EQ(d.unordered[3], 0);
  const std::vector<std::string> w = data_warnings(d, "cut.dat");
  ASSERT_EQ(w.size(), 1u);
  EXPECT_NE(w[0].find("\"cut.dat\", line 5: the angles of channel DD do not increase at its "
                      "point 2 (0.001 rad after 0.004 rad)"),
            std::string::npos)
      << w[0];
  EXPECT_NE(w[0].find("nn in the entry file"), std::string::npos);
}

}  // namespace
}  // namespace tessaline
