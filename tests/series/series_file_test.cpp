// The series file as the reader takes it: sets with and without exclusions,
// quoted names, comments, CRLF line ends, file names taken from the series
// file's directory, share lists with ranges, bounds for every set and for one;
// and every line it refuses, each refusal naming the file and the line.
#include "tools/series/series_file.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "tests/driver/scratch.hpp"
#include "textio/textio.hpp"

namespace tessaline::series {
namespace {

SeriesDescription read_text(const std::string& text, const std::string& dir = "") {
  std::istringstream in(text);
  return read_series(in, "field.series", dir);
}

// The message of the refusal of `text`, or "" when it is read.
std::string refusal(const std::string& text) {
  try {
    read_text(text);
  } catch (const SeriesError& e) {
    return e.what();
  }
  return "";
}

TEST(SeriesFile, SetsSharesAndBounds) {
  const SeriesDescription d = read_text(
      "# tessaline series\r\n"
      "\r\n"
      "set 100mT  film_100mT.ent\tfilm_100mT.dat\r\n"
      "  # an indented comment\r\n"
      "set 800mT 'run 12/film.ent' \"/data/film 800.dat\" 3 2\r\n"
      "share 1-3 7\r\n"
      "share 27 2\r\n"
      "bound 10 0 6.5\r\n"
      "bound 800mT:24 0.5D0 1\r\n",
      "meas");
  ASSERT_EQ(d.sets.size(), 2u);
  EXPECT_EQ(d.file, "field.series");
  EXPECT_EQ(d.sets[0].name, "100mT");
  EXPECT_EQ(d.sets[0].entry, "meas/film_100mT.ent");
  EXPECT_EQ(d.sets[0].data, "meas/film_100mT.dat");
  EXPECT_EQ(d.sets[0].first, 0);
  EXPECT_EQ(d.sets[0].last, 0);
  EXPECT_EQ(d.sets[0].line, 3);
  EXPECT_EQ(d.sets[1].name, "800mT");
  EXPECT_EQ(d.sets[1].entry, "meas/run 12/film.ent");
  EXPECT_EQ(d.sets[1].data, "/data/film 800.dat");  // an absolute name stays
  EXPECT_EQ(d.sets[1].first, 3);
  EXPECT_EQ(d.sets[1].last, 2);
  EXPECT_EQ(d.sets[1].line, 5);

  std::vector<int> shared, lines;
  for (const SharedParameter& p : d.shared) {
    shared.push_back(p.parameter);
    lines.push_back(p.line);
  }
  EXPECT_EQ(shared, (std::vector<int>{1, 2, 3, 7, 27, 2}));
  EXPECT_EQ(lines, (std::vector<int>{6, 6, 6, 6, 7, 7}));

  ASSERT_EQ(d.bounds.size(), 2u);
  EXPECT_EQ(d.bounds[0].set, "");
  EXPECT_EQ(d.bounds[0].parameter, 10);
  EXPECT_EQ(d.bounds[0].lo, 0.0);
  EXPECT_EQ(d.bounds[0].hi, 6.5);
  EXPECT_EQ(d.bounds[0].line, 8);
  EXPECT_EQ(d.bounds[1].set, "800mT");
  EXPECT_EQ(d.bounds[1].parameter, 24);
  EXPECT_EQ(d.bounds[1].lo, 0.5);
  EXPECT_EQ(d.bounds[1].hi, 1.0);

  // From the working directory the names stay as written.
  EXPECT_EQ(read_text("set a a.ent a.dat\n", ".").sets[0].entry, "a.ent");
}

TEST(SeriesFile, TwentySetsAndNoMore) {
  std::string text;
  for (int k = 1; k <= kMaxSets; ++k) {
    text += "set s" + std::to_string(k) + " e.ent d.dat\n";
  }
  EXPECT_EQ(read_text(text).sets.size(), static_cast<std::size_t>(kMaxSets));
  const std::string e = refusal(text + "set s21 e.ent d.dat\n");
  EXPECT_NE(e.find("series file \"field.series\", line 21: a series holds at most 20 sets"),
            std::string::npos)
      << e;
}

TEST(SeriesFile, EveryRefusalNamesTheFileAndTheLine) {
  struct Case {
    std::string text;
    std::string expected;  // the message from its start
  };
  const std::string set = "set a a.ent a.dat\n";
  const Case cases[] = {
      {set + "sett b b.ent b.dat\n", "line 2: unknown key \"sett\""},
      {set + "Share 1\n", "line 2: unknown key \"Share\""},
      {"'set' a a.ent a.dat\n", "line 1: unknown key \"set\""},
      {set + "set b b.ent\n", "line 2: a set line is \"set NAME ENTRY DATA\""},
      {set + "set b b.ent b.dat 1\n", "line 2: a set line is"},
      {set + "set b/c b.ent b.dat\n", "line 2: the set name \"b/c\" is not a short label"},
      {set + "set abcdefghijklmnopqrstuvwxy b.ent b.dat\n", "line 2: the set name"},
      {set + "set .. b.ent b.dat\n", "line 2: the set name \"..\" is not a short label"},
      {set + "\nset a b.ent b.dat\n",
       "line 3: the set name \"a\" is given twice (first on line 1)"},
      {set + "set b b.ent b.dat -1 0\n", "line 2: FIRST and LAST"},
      {set + "set b b.ent b.dat 1 x\n", "line 2: FIRST and LAST"},
      {set + "share\n", "line 2: a share line names at least one parameter"},
      {set + "share 1 x\n", "line 2: expected a parameter number (1, 2, ...), found \"x\""},
      {set + "share 0\n", "line 2: expected a parameter number"},
      {set + "share 3-\n", "line 2: expected a parameter number (1, 2, ...), found \"\""},
      {set + "share 1,2\n", "line 2: expected a parameter number"},
      {set + "share 18-3\n", "line 2: the range \"18-3\" runs backwards; write it as 3-18"},
      {set + "bound 10 0\n", "line 2: a bound line is \"bound K LO HI\""},
      {set + "bound 10 zero 6\n", "line 2: LO and HI are numbers"},
      {set + "bound a:x 0 6\n", "line 2: expected a parameter number"},
      {set + "bound 10 6 6\n", "line 2: the lower bound 6 is not below the upper bound 6"},
      {set + "bound 10 0 6\nbound 10 1 5\n", "line 3: parameter 10 already has a bound on line 2"},
      {set + "bound a:10 0 6\nbound a:10 1 5\n",
       "line 3: parameter 10 of set a already has a bound on line 2"},
      {set + "bound b:10 0 6\n", "line 2: the bound names the set \"b\""},
      {set + "set b 'b.ent b.dat\n", "line 2: the quote ' opened in column 7 is not closed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const std::string e = refusal(c.text);
    EXPECT_EQ(e.rfind("series file \"field.series\", " + c.expected, 0), 0u) << e;
  }
  // A bound of one set and one of every set for the same parameter go together.
  EXPECT_EQ(refusal(set + "bound 10 0 6\nbound a:10 1 5\n"), "");
}

TEST(SeriesFile, NoSetAndNoFile) {
  const std::string e = refusal("# nothing but a comment\nshare 1\n");
  EXPECT_EQ(e.rfind("series file \"field.series\": no set line", 0), 0u) << e;

  testing::ScratchDir dir;
  try {
    read_series_file(dir.file("none.series"));
    ADD_FAILURE() << "a missing series file was read";
  } catch (const textio::TextError& err) {
    EXPECT_NE(std::string(err.what()).find("none.series"), std::string::npos) << err.what();
  }
  // A series file's directory is where its relative names are taken from.
  dir.write("field.series", "set a a.ent a.dat\n");
  EXPECT_EQ(read_series_file(dir.file("field.series")).sets[0].entry, dir.file("a.ent"));
}

}  // namespace
}  // namespace tessaline::series
