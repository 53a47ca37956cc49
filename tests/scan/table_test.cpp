// The table file of a scan: written and read back to the last bit, the
// refusals of a file that breaks its layout (naming the line), and the merge of
// the shares of one scan into the table of the whole grid.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "tests/driver/scratch.hpp"
#include "tools/scan/table.hpp"

namespace tessaline::scan {
namespace {

using testing::ScratchDir;

// A table of a 3 x 4 map of the zero correction and parameter 7, with numbers
// that need all their digits, a failed point and a row from a neighbour.
ScanTable example(const Share& share = Share{}) {
  ScanTable t;
  TableHead& h = t.head;
  h.entry = "film one.ent";
  h.data = "../data/film.dat";
  h.first = 2;
  h.last = 1;
  Axis z;
  z.first = -0.1;
  z.last = 0.2;
  z.n = 3;
  Axis p;
  p.kind = AxisKind::kParam;
  p.slot = 7;
  p.first = 130;
  p.last = 160;
  p.n = 4;
  p.unit = "A";
  p.name = "thickness";
  h.axes = {z, p};
  h.starts = 3;
  h.spread = 0.3;
  h.seed = 18446744073709551615ull;
  h.points = 588;
  h.free = {{1, "thickness", "A"}, {10, "N_p", "1e-6 A^-2"}, {27, "total scaling", ""}};
  h.share = share;
  const Grid grid = h.grid();
  for (int g = 0; g < grid.size(); ++g) {
    if (!share.holds(g)) continue;
    TableRow r;
    r.grid = g;
    r.setting = grid.setting(g);
    r.S = 300 + g / 7.0;
    r.chi = 2 * r.S / 585;
    r.status = g % 4 == 1 ? -2 : 1;
    r.start = g % 3;
    r.reached = 1 + g % 3;
    r.minima = 3 - g % 3;
    r.values = {50 + 1.0 / (g + 3), 5.1e-300 * g, 0.25 + g * 1e-17};
    if (g == 5) {
      r.S = std::numeric_limits<double>::quiet_NaN();
      r.chi = r.S;
      r.status = -1;
    }
    t.rows.push_back(r);
  }
  return t;
}

bool same_bits(double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

TEST(ScanTable, WrittenAndReadBackToTheLastBit) {
  ScratchDir dir;
  const ScanTable t = example();
  const std::string text = table_text(t);
  dir.write("table.txt", text);
  const ScanTable back = read_table(dir.file("table.txt"));
  EXPECT_EQ(table_text(back), text);
  EXPECT_TRUE(back.complete());
  EXPECT_EQ(back.head.entry, "film one.ent");
  EXPECT_EQ(back.head.seed, 18446744073709551615ull);
  ASSERT_EQ(back.head.axes.size(), 2u);
  EXPECT_EQ(back.head.axes[1].name, "thickness");
  EXPECT_EQ(back.head.free[1].unit, "1e-6 A^-2");
  EXPECT_EQ(back.head.free[2].unit, "");
  EXPECT_EQ(back.head.free[2].name, "total scaling");
  EXPECT_EQ(back.head.degrees_of_freedom(), 585);
  ASSERT_EQ(back.rows.size(), t.rows.size());
  for (std::size_t k = 0; k < t.rows.size(); ++k) {
    const TableRow& a = t.rows[k];
    const TableRow& b = back.rows[k];
    EXPECT_EQ(a.grid, b.grid);
    EXPECT_EQ(a.setting, b.setting);
    EXPECT_TRUE(same_bits(a.S, b.S)) << k;
    EXPECT_TRUE(same_bits(a.chi, b.chi)) << k;
    EXPECT_EQ(a.status, b.status) << k;
    EXPECT_EQ(a.start, b.start);
    EXPECT_EQ(a.reached, b.reached);
    EXPECT_EQ(a.minima, b.minima);
    EXPECT_EQ(a.values, b.values) << k;
  }
  // The rows as the layout says: grid point from 1, settings, S, hi_sq.norm,
  // status words.
  EXPECT_NE(text.find("\n1 -0.1 130 300 "), std::string::npos) << text;
  EXPECT_NE(text.find(" infinite-error "), std::string::npos);
  EXPECT_NE(text.find("\n5 0.05 130 "), std::string::npos);
  EXPECT_NE(text.find("\n6 0.05 140 nan nan no-finite-start "), std::string::npos);
  EXPECT_NE(text.find("# axis: param 7 130 160 4 thickness [A]\n"), std::string::npos);
  EXPECT_NE(text.find("# free: 10 N_p [1e-6 A^-2]\n"), std::string::npos);
  EXPECT_NE(text.find("# free: 27 total scaling\n"), std::string::npos);
  EXPECT_NE(text.find(" p1[A] p10[1e-6A^-2] p27\n"), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 16), "# end: complete\n");

  ScanTable stopped = t;
  stopped.incomplete = "stopped by SIGINT after 12 of 12 grid points";
  dir.write("stopped.txt", table_text(stopped));
  EXPECT_EQ(read_table(dir.file("stopped.txt")).incomplete, stopped.incomplete);
}

TEST(ScanTable, AFileThatBreaksTheLayoutIsRefusedNamingTheLine) {
  ScratchDir dir;
  const std::string good = table_text(example());
  const auto refusal = [&dir](const std::string& text) {
    dir.write("t.txt", text);
    try {
      read_table(dir.file("t.txt"));
    } catch (const ScanError& e) {
      return std::string(e.what());
    }
    return std::string();
  };
  const auto replaced = [&good](const std::string& from, const std::string& to) {
    std::string s = good;
    const std::size_t at = s.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? s : s.replace(at, from.size(), to);
  };
  const std::string head_end = good.substr(0, good.find("\n1 -0.1") + 1);
  const std::string row1 = good.substr(head_end.size(), good.find('\n', head_end.size()) + 1 -
                                                            head_end.size());
  const int first_row_line = static_cast<int>(std::count(head_end.begin(), head_end.end(), '\n')) + 1;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"results of another program\n", "line 1: expected the first line \"# tessaline scan table\""},
      {replaced("# share: 1/1", "# share: one/1"), "line 13: the share: \"one\" is not a whole number"},
      {replaced("# share: 1/1", "# share: 1"), "line 13: expected the share as I/N"},
      {replaced("# axis: zero", "# axis: wavelength"), "line 5: expected an axis"},
      {replaced("# follow: no", "# follow: perhaps"), "line 8: expected \"yes\" or \"no\""},
      {head_end + row1.substr(0, row1.rfind(' ')) + "\n",
       "line " + std::to_string(first_row_line) + ": expected a row of 12 columns, found 11"},
      {replaced(" converged ", " fine "), "the status \"fine\" is not one of a fit's"},
      {replaced("\n1 -0.1 130 ", "\n1 -0.1 131 "), "the setting 131 is not that of grid point 1"},
      {replaced("\n2 -0.1 ", "\n1 -0.1 "), "the grid points are not in increasing order"},
      {replaced("\n1 -0.1 130 300 ", "\n1 -0.1 130 3x0 "), "S: \"3x0\" is not a number"},
      {good.substr(0, good.size() - 16), "the table ends without its line \"# end: ...\""},
      {replaced("# end: complete", "# end: nearly"), "expected \"complete\" or \"incomplete: ...\""},
      {"", "line 0: expected the first line"},
  };
  for (const auto& [text, message] : cases) {
    const std::string m = refusal(text);
    EXPECT_NE(m.find("scan table \"" + dir.file("t.txt") + "\""), std::string::npos) << m;
    EXPECT_NE(m.find(message), std::string::npos) << "got: " << m << "\nwanted: " << message;
  }
  // A missing file is named.
  try {
    read_table(dir.file("none.txt"));
    ADD_FAILURE();
  } catch (const ScanError& e) {
    EXPECT_NE(std::string(e.what()).find("none.txt"), std::string::npos);
  }
}

TEST(ScanTable, SharesMergeIntoTheTableOfTheWholeGrid) {
  ScratchDir dir;
  const ScanTable whole = example();
  std::vector<ScanTable> shares;
  std::vector<std::string> names;
  // Written and read back, in any order.
  for (const int i : {3, 1, 2}) {
    const std::string name = "part" + std::to_string(i) + ".txt";
    dir.write(name, table_text(example(Share{i, 3})));
    shares.push_back(read_table(dir.file(name)));
    names.push_back(name);
  }
  EXPECT_EQ(table_text(merge_tables(shares, names)), table_text(whole));

  // A share missing: the table says what is missing.
  const ScanTable two = merge_tables({shares[0], shares[1]}, {names[0], names[1]});
  EXPECT_FALSE(two.complete());
  EXPECT_NE(two.incomplete.find("no table for share 2/3"), std::string::npos) << two.incomplete;
  EXPECT_NE(two.incomplete.find("8 of 12 grid points"), std::string::npos) << two.incomplete;

  // An interrupted share.
  std::vector<ScanTable> cut = shares;
  cut[1].incomplete = "stopped by SIGTERM after 2 of 4 grid points";
  cut[1].rows.resize(2);
  const ScanTable m = merge_tables(cut, names);
  EXPECT_NE(m.incomplete.find("incomplete: part1.txt (stopped by SIGTERM"), std::string::npos)
      << m.incomplete;

  const auto refusal = [](const std::vector<ScanTable>& t, const std::vector<std::string>& n) {
    try {
      merge_tables(t, n);
    } catch (const ScanError& e) {
      return std::string(e.what());
    }
    return std::string();
  };
  EXPECT_NE(refusal({shares[1], shares[1]}, {"a.txt", "b.txt"})
                .find("b.txt and a.txt are both share 1/3"),
            std::string::npos);
  ScanTable other = shares[2];
  other.head.axes[0].last = 0.3;
  EXPECT_NE(refusal({shares[1], other}, {"a.txt", "b.txt"})
                .find("b.txt is not a share of the scan of a.txt"),
            std::string::npos);
  other = shares[2];
  other.head.seed = 5;
  EXPECT_NE(refusal({shares[1], other}, {"a.txt", "b.txt"}).find("their heads differ"),
            std::string::npos);
  const ScanTable half = example(Share{1, 2});
  EXPECT_NE(refusal({shares[1], half}, {"a.txt", "b.txt"}).find("b.txt is share 1 of 2"),
            std::string::npos);
}

}  // namespace
}  // namespace tessaline::scan
