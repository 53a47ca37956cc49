// The command line of tessaline-scan and its grid: every malformed range and
// every combination that cannot run is refused with a message that names the
// option; the grid's values, its order and the shares of --part.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "tools/scan/scan.hpp"

namespace tessaline::scan {
namespace {

using Args = std::vector<std::string>;

Args with(Args extra) {
  Args a = {"film.ent", "film.dat"};
  a.insert(a.end(), extra.begin(), extra.end());
  return a;
}

// The message of the refusal of `args`; empty when they are accepted.
std::string refusal(const Args& args) {
  try {
    parse_options(args);
  } catch (const UsageError& e) {
    return e.what();
  }
  return "";
}

TEST(ScanOptions, MalformedRangesAreRefused) {
  const std::vector<std::pair<Args, std::string>> cases = {
      {with({"--zero", "0.2:0.1:11"}), "--zero 0.2:0.1:11: the first value must be below the last"},
      {with({"--zero", "0.1:0.1:11"}), "the first value must be below the last"},
      {with({"--sigma", "0.1:0.3:1"}), "the number of values N must lie between 2 and 10000, not 1"},
      {with({"--zero", "0:1:10001"}), "must lie between 2 and 10000, not 10001"},
      {with({"--zero", "a:1:5"}), "--zero a:1:5: \"a\" is not a number"},
      {with({"--zero", "0:1e999:5"}), "\"1e999\" is not a number"},
      {with({"--zero", "0:1:5.5"}), "\"5.5\" is not a whole number"},
      {with({"--zero", "0:1"}), "expected a range FIRST:LAST:N"},
      {with({"--zero", "0:1:2:3"}), "expected a range FIRST:LAST:N"},
      {with({"--zero"}), "--zero needs a range"},
      {with({"--param", "x", "0:1:3"}), "--param: the parameter number: \"x\" is not a whole number"},
      {with({"--param", "0", "0:1:3"}), "the parameter number must lie between 1"},
      {with({"--param", "7"}), "--param needs a range"},
  };
  for (const auto& [args, message] : cases) {
    const std::string m = refusal(args);
    EXPECT_NE(m.find(message), std::string::npos) << "got: " << m << "\nwanted: " << message;
  }
}

TEST(ScanOptions, CombinationsThatCannotRunAreRefused) {
  const std::vector<std::pair<Args, std::string>> cases = {
      {with({"--zero", "0:1:3", "--sigma", "0.1:0.2:3", "--param", "1", "40:50:3"}),
       "at most two scans at a time (a map); 3 given"},
      {with({"--zero", "0:1:3", "--zero", "0:2:3"}), "the same setting is scanned twice"},
      {with({"--param", "7", "0:1:3", "--param", "7", "2:3:3"}), "scanned twice"},
      {with({"--starts", "0"}), "--starts must lie between 1 and 1000000, not 0"},
      {with({}), "nothing to do"},
      {with({"--spread", "0.5", "--zero", "0:1:3"}), "--spread and --seed go with --starts"},
      {with({"--starts", "4", "--spread", "0"}), "--spread: \"0\" is not a number above 0"},
      {with({"--starts", "4", "--seed", "-3"}), "--seed: \"-3\" is not a whole number"},
      {with({"--follow", "--starts", "3"}), "--follow needs a scan"},
      {with({"--starts", "3", "--part", "1/2"}), "there is no scan"},
      {with({"--zero", "0:1:3", "--follow", "--part", "1/2"}), "it cannot run in parts"},
      {with({"--zero", "0:1:3", "--part", "4/3"}), "--part I must lie between 1 and 3, not 4"},
      {with({"--zero", "0:1:3", "--part", "1/4"}), "--part: 4 shares of 3 grid points"},
      {with({"--zero", "0:1:3", "--part", "2"}), "is not I/N"},
      {with({"--zero", "0:1:3", "--part", "1/2", "--write-entry", "x.ent"}),
       "--write-entry needs the whole grid"},
      {with({"--zero", "0:1:10000", "--sigma", "0:1:10000"}), "split the grid with --part I/N"},
      {with({"--zero", "0:1:3", "--threads", "0"}), "--threads must lie between 1"},
      {with({"--zero", "0:1:3", "--frobnicate"}), "unknown option --frobnicate"},
      {with({"--zero", "0:1:3", "third"}), "more than an entry file and a data file: third"},
      {{"film.ent", "--zero", "0:1:3"}, "an entry file and a data file are needed"},
      {{"--merge"}, "--merge needs at least one table"},
      {{"--merge", "t.txt", "--zero", "0:1:3"}, "--merge takes tables only"},
      {{"--merge", "t.txt", "--threads", "2"}, "--merge takes tables only"},
  };
  for (const auto& [args, message] : cases) {
    const std::string m = refusal(args);
    EXPECT_NE(m.find(message), std::string::npos) << "got: " << m << "\nwanted: " << message;
  }
}

TEST(ScanOptions, WhatIsAccepted) {
  const Options o = parse_options(with({"--param", "7", "130:160:31", "--zero", "-0.1:0.1:21",
                                        "--starts", "4", "--spread", "0.5", "--seed", "99",
                                        "--threads", "3", "--out", "d", "--first", "2", "--last",
                                        "1", "--part", "2/5", "--scaled"}));
  EXPECT_EQ(o.entry, "film.ent");
  EXPECT_EQ(o.data, "film.dat");
  ASSERT_EQ(o.axes.size(), 2u);
  EXPECT_EQ(o.axes[0].kind, AxisKind::kParam);
  EXPECT_EQ(o.axes[0].slot, 7);
  EXPECT_EQ(o.axes[0].first, 130);
  EXPECT_EQ(o.axes[0].last, 160);
  EXPECT_EQ(o.axes[0].n, 31);
  EXPECT_EQ(o.axes[1].kind, AxisKind::kZero);
  EXPECT_EQ(o.axes[1].first, -0.1);
  EXPECT_EQ(o.start_count(), 4);
  EXPECT_EQ(o.spread, 0.5);
  EXPECT_EQ(o.seed, 99u);
  EXPECT_EQ(o.threads, 3);
  EXPECT_EQ(o.out, "d");
  EXPECT_EQ(o.first, 2);
  EXPECT_EQ(o.last, 1);
  EXPECT_EQ(o.part.index, 2);
  EXPECT_EQ(o.part.count, 5);
  EXPECT_TRUE(o.scaled);

  const Options m = parse_options({"--merge", "a.txt", "b.txt", "--out", "d"});
  EXPECT_EQ(m.merge, (std::vector<std::string>{"a.txt", "b.txt"}));
}

TEST(ScanGrid, ValuesOrderAndShares) {
  Axis a;
  a.first = -0.1;
  a.last = 0.2;
  a.n = 16;
  // The ends exactly as typed, and the values a hand would type between them.
  EXPECT_EQ(a.value(0), -0.1);
  EXPECT_EQ(a.value(15), 0.2);
  EXPECT_EQ(a.value(5), 0.0);
  EXPECT_EQ(a.value(9), 0.08);
  EXPECT_EQ(a.value(1), -0.08);
  // A step that is no short decimal is still even to rounding.
  Axis b;
  b.first = 0;
  b.last = 1;
  b.n = 4;
  EXPECT_NEAR(b.value(1), 1.0 / 3, 1e-15);
  EXPECT_NEAR(b.value(2), 2.0 / 3, 1e-15);

  // A map: the second axis runs fastest.
  Grid g{{a, b}};
  EXPECT_EQ(g.size(), 64);
  EXPECT_EQ(g.coords(0), (std::vector<int>{0, 0}));
  EXPECT_EQ(g.coords(1), (std::vector<int>{0, 1}));
  EXPECT_EQ(g.coords(4), (std::vector<int>{1, 0}));
  EXPECT_EQ(g.coords(63), (std::vector<int>{15, 3}));
  for (int k = 0; k < g.size(); ++k) EXPECT_EQ(g.index(g.coords(k)), k);
  EXPECT_EQ(g.setting(6), (std::vector<double>{a.value(1), b.value(2)}));
  EXPECT_EQ(Grid{}.size(), 1);

  // Three interleaved shares hold every point once.
  std::multiset<int> seen;
  for (int i = 1; i <= 3; ++i) {
    const Share s{i, 3};
    for (int k = 0; k < g.size(); ++k)
      if (s.holds(k)) seen.insert(k);
  }
  EXPECT_EQ(seen.size(), 64u);
  for (int k = 0; k < g.size(); ++k) EXPECT_EQ(seen.count(k), 1u);
  EXPECT_TRUE((Share{2, 3}.holds(4)));
  EXPECT_FALSE((Share{2, 3}.holds(5)));
}

}  // namespace
}  // namespace tessaline::scan
