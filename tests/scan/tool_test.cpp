// The built tessaline-scan end to end, each run with a deadline (a minute) in a
// fresh directory: bad input (a message, a non-zero status, nothing written), a scan
// with its table, report, picture and best fit (which the program, the entry
// tool and the picture tool take as their own), a run without gnuplot, a run
// stopped by a signal, and a scan run in shares and merged.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/e2e/run_program.hpp"
#include "tests/scan/scan_fixture.hpp"
#include "tools/scan/table.hpp"

namespace tessaline::scan {
namespace {

namespace fs = std::filesystem;
using testing::ScratchDir;

using tessaline::testing::Outcome;
using tessaline::testing::run_in;

// tessaline-scan with `args`, and `env` ("NAME=value") in its environment.
Outcome scan_tool(const ScratchDir& dir, const std::vector<std::string>& args,
                  const std::vector<std::string>& env = {}) {
  return run_in(dir, TESSALINE_SCAN_EXE, args, "", env);
}

// tessaline-scan with `args`, sent `sig` after `seconds` (and killed at the
// deadline if it is still running then).
Outcome scan_until(const ScratchDir& dir, const std::vector<std::string>& args, int sig,
                   double seconds) {
  dir.write("answers.txt", "");
  tessaline::testing::Child child(dir, TESSALINE_SCAN_EXE, args, "answers.txt", "stdout.txt",
                                  "stderr.txt");
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  child.signal(sig);
  return tessaline::testing::outcome_of(dir, child.wait());
}

// The example's entry file and its 600 points in dir.
void copy_example(const ScratchDir& dir) {
  dir.write("film.ent", dir.read(testing::example_file("film.ent")));
  dir.write("film.dat", dir.read(testing::example_file("film.dat")));
}

TEST(ScanTool, BadInputIsRefusedAndNothingIsWritten) {
  ScratchDir dir;
  copy_example(dir);
  dir.write("plain.txt", "not a directory\n");
  // Data whose points carry their own resolution.
  dir.write("own.dat", "# tessaline points\nUU 1 0.1 0.002 0.0001\nDD 1 0.1 0.003 0.0001\n");
  const std::vector<std::pair<std::vector<std::string>, std::pair<int, std::string>>> cases = {
      {{"film.ent", "film.dat", "--zero", "0.1:0.05:11"}, {2, "the first value must be below"}},
      {{"film.ent", "film.dat", "--zero", "0:0.1:1"}, {2, "between 2 and 10000, not 1"}},
      {{"film.ent", "film.dat", "--zero", "0:0.1:20000"}, {2, "between 2 and 10000, not 20000"}},
      {{"film.ent", "film.dat", "--zero", "zero:0.1:5"}, {2, "\"zero\" is not a number"}},
      {{"film.ent", "film.dat", "--zero", "0:1:3", "--sigma", "0.1:0.2:3", "--param", "1", "1:2:3"},
       {2, "at most two scans"}},
      {{"film.ent", "film.dat", "--starts", "0"}, {2, "--starts must lie between 1"}},
      {{"film.ent", "film.dat", "--param", "36", "0:1:3"},
       {1, "--param 36: film.ent has the parameters 1 to 35"}},
      {{"film.ent", "film.dat", "--param", "0", "0:1:3"}, {2, "the parameter number must lie"}},
      {{"film.ent", "own.dat", "--sigma", "0.1:0.2:3"}, {1, "carry their own resolution"}},
      {{"missing.ent", "film.dat", "--zero", "0:1:3"}, {1, "missing.ent"}},
      {{"film.ent", "film.dat", "--zero", "0:1:3", "--out", "plain.txt/sub"},
       {1, "cannot create the output directory plain.txt/sub"}},
      {{"film.ent", "film.dat", "--zero", "0:1:3", "--write-entry", "film.ent", "--out", "o"},
       {1, "the entry file of the best setting to write, \"film.ent\", is the same file as the "
           "entry file \"film.ent\""}},
      {{"film.ent", "film.dat", "--zero", "0:1:3", "--write-entry", "nodir/x.ent", "--out", "o"},
       {1, "its directory nodir does not exist"}},
      {{"--merge", "nothing.txt"}, {1, "nothing.txt"}},
      {{"--merge", "film.dat"}, {1, "scan table \"film.dat\" line 1: expected the first line"}},
  };
  for (const auto& [args, expect] : cases) {
    const Outcome o = scan_tool(dir, args);
    EXPECT_EQ(o.status, expect.first) << args[2] << "\n" << o.err;
    EXPECT_NE(o.err.find("tessaline-scan: "), std::string::npos);
    EXPECT_NE(o.err.find(expect.second), std::string::npos) << o.err;
    if (expect.first == 2) {
      EXPECT_NE(o.err.find("usage: tessaline-scan"), std::string::npos);
    }
    EXPECT_FALSE(dir.exists("scan")) << o.err;
    EXPECT_FALSE(dir.exists("o/table.txt")) << o.err;
  }
  EXPECT_EQ(dir.read("film.ent"), dir.read(testing::example_file("film.ent")));
}

TEST(ScanTool, AScanWritesItsTableReportPictureAndTheBestFit) {
  ScratchDir dir;
  copy_example(dir);
  const Outcome o = scan_tool(dir, {"film.ent", "film.dat", "--zero", "-0.06:0.06:7", "--out",
                                    "z", "--write-entry", "best.ent", "--threads", "2"});
  ASSERT_EQ(o.status, 0) << o.err;
  const ScanTable t = read_table(dir.file("z/table.txt"));
  EXPECT_TRUE(t.complete());
  EXPECT_EQ(t.rows.size(), 7u);
  // The report on the console is the report file.
  const std::string report = dir.read("z/report.txt");
  EXPECT_NE(o.out.find(report), std::string::npos);
  EXPECT_NE(report.find("Profile-likelihood interval at delta(2S) = 1: "), std::string::npos);
  const std::string png = dir.read("z/profile.png");
  ASSERT_GT(png.size(), 8u);
  EXPECT_EQ(png.substr(1, 3), "PNG");
  EXPECT_FALSE(dir.exists("z/profile.png.part"));

  // The best fit: the program, given its entry file, makes the same files.
  ScratchDir again;
  again.write("entry.ent", dir.read("z/best/entry.ent"));
  again.write("film.dat", dir.read("film.dat"));
  const Outcome p = run_in(again, TESSALINE_EXE, {}, "entry.ent\nfilm.dat\n0\n0\n\n");
  ASSERT_EQ(p.status, 0) << p.err;
  for (const char* f : {"VreloBag.dat", "VreloFunctUU.dat", "VreloFunctDD.dat",
                        "VreloFunctUD.dat", "VreloFunctDU.dat"}) {
    EXPECT_EQ(again.read(f), dir.read(std::string("z/best/") + f)) << f;
  }
  // The best grid point's zero correction is that of the lowest chi-square in
  // the table.
  const TableRow* best = &t.rows[0];
  for (const TableRow& r : t.rows)
    if (r.S < best->S) best = &r;
  auto entry = make_tables();
  textio::OutStream quiet;
  read_entry_file(*entry, again.file("entry.ent"), quiet);
  EXPECT_EQ(entry->zero_correction, best->setting[0] / 1000.0);
  EXPECT_EQ(2 * best->S / (600 - 7), best->chi);

  // The entry tool and the picture tool work on the best fit's files.
  ScratchDir work;
  for (const char* f : {"VreloBag.dat", "VreloFunctUU.dat", "VreloFunctDD.dat",
                        "VreloFunctUD.dat", "VreloFunctDU.dat", "entry.ent"}) {
    work.write(f, dir.read(std::string("z/best/") + f));
  }
  work.write("film.dat", dir.read("film.dat"));
  const Outcome u = run_in(work, TESSALINE_ENTRY_EXE,
                           {"update", "entry.ent", "VreloBag.dat", "-o", "next.ent"}, "");
  EXPECT_EQ(u.status, 0) << u.err;
  EXPECT_TRUE(work.exists("next.ent"));
  const Outcome pl =
      run_in(work, TESSALINE_PLOT_EXE, {"film.dat", "--entry", "entry.ent", "--out", "fit.png"}, "");
  EXPECT_EQ(pl.status, 0) << pl.err;
  EXPECT_TRUE(work.exists("fit.png"));

  // --write-entry: the best setting, as the program reads it.
  ASSERT_TRUE(dir.exists("best.ent"));
  const Outcome show = run_in(dir, TESSALINE_ENTRY_EXE, {"show", "best.ent"}, "");
  EXPECT_EQ(show.status, 0) << show.out;
  EXPECT_NE(o.out.find("best.ent written: zero correction [mrad] "), std::string::npos) << o.out;
}

TEST(ScanTool, WithoutGnuplotTheScanEndsWithoutAPicture) {
  ScratchDir dir;
  copy_example(dir);
  const Outcome o = scan_tool(dir, {"film.ent", "film.dat", "--sigma", "0.1:0.2:3", "--out", "s"},
                              {"TESSALINE_GNUPLOT=false"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.err.find("warning: no picture: false failed with exit status 1"), std::string::npos)
      << o.err;
  EXPECT_TRUE(dir.exists("s/table.txt"));
  EXPECT_TRUE(dir.exists("s/profile.gp"));
  EXPECT_FALSE(dir.exists("s/profile.png"));
  EXPECT_FALSE(dir.exists("s/profile.png.part"));
  const Outcome m = scan_tool(dir, {"film.ent", "film.dat", "--sigma", "0.1:0.2:3", "--out", "t"},
                              {"TESSALINE_GNUPLOT=/nonexistent/gnuplot"});
  EXPECT_EQ(m.status, 0);
  EXPECT_NE(m.err.find("cannot run /nonexistent/gnuplot"), std::string::npos) << m.err;
}

TEST(ScanTool, ASignalEndsTheRunWithTheTableSoFar) {
  ScratchDir dir;
  copy_example(dir);
  for (const auto& [signal, sig, status] :
       {std::tuple{"INT", SIGINT, 130}, std::tuple{"TERM", SIGTERM, 143}}) {
    const std::string out = std::string("stopped-") + signal;
    const Outcome o = scan_until(
        dir, {"film.ent", "film.dat", "--zero", "-0.5:0.5:3000", "--threads", "1", "--out", out},
        sig, 2.0);
    EXPECT_EQ(o.status, status) << o.err;
    const ScanTable t = read_table(dir.file(out + "/table.txt"));
    EXPECT_FALSE(t.complete());
    EXPECT_NE(t.incomplete.find(std::string("stopped by SIG") + signal), std::string::npos)
        << t.incomplete;
    EXPECT_LT(t.rows.size(), 3000u);
    EXPECT_NE(o.out.find("the table is marked incomplete"), std::string::npos) << o.out;
    EXPECT_TRUE(dir.exists(out + "/report.txt"));
    EXPECT_FALSE(dir.exists(out + "/best"));
  }
}

TEST(ScanTool, SharesMergeIntoTheTableOfOneRun) {
  ScratchDir dir;
  copy_example(dir);
  const std::vector<std::string> scan = {"film.ent", "film.dat", "--zero", "-0.04:0.04:5",
                                         "--param", "29", "0:4e-6:2"};
  std::vector<std::string> whole = scan;
  whole.insert(whole.end(), {"--out", "whole"});
  ASSERT_EQ(scan_tool(dir, whole).status, 0);
  std::vector<std::string> merge = {"--merge"};
  for (int i = 1; i <= 3; ++i) {
    std::vector<std::string> part = scan;
    part.insert(part.end(), {"--part", std::to_string(i) + "/3", "--out", "parts", "--threads", "1"});
    const Outcome o = scan_tool(dir, part);
    ASSERT_EQ(o.status, 0) << o.err;
    merge.push_back("parts/table-" + std::to_string(i) + "-of-3.txt");
  }
  EXPECT_FALSE(dir.exists("parts/report.txt"));
  merge.insert(merge.end(), {"--out", "merged"});
  const Outcome m = scan_tool(dir, merge);
  EXPECT_EQ(m.status, 0) << m.err;
  EXPECT_EQ(dir.read("merged/table.txt"), dir.read("whole/table.txt"));
  EXPECT_EQ(dir.read("merged/report.txt"), dir.read("whole/report.txt"));
  EXPECT_EQ(dir.read("merged/best/VreloBag.dat"), dir.read("whole/best/VreloBag.dat"));

  // The merged table may not replace one of the tables it joins.
  const std::string whole_table = dir.read("whole/table.txt");
  const Outcome self = scan_tool(dir, {"--merge", "whole/table.txt", "--out", "whole"});
  EXPECT_EQ(self.status, 1);
  EXPECT_NE(self.err.find("is the same file as the scan table"), std::string::npos) << self.err;
  EXPECT_EQ(dir.read("whole/table.txt"), whole_table);

  // A share missing: the table and the report say so, and the status too.
  const Outcome two = scan_tool(
      dir, {"--merge", "parts/table-1-of-3.txt", "parts/table-3-of-3.txt", "--out", "two"});
  EXPECT_EQ(two.status, 1);
  EXPECT_NE(two.err.find("no table for share 2/3"), std::string::npos) << two.err;
  EXPECT_NE(dir.read("two/table.txt").find("# end: incomplete: no table for share 2/3"),
            std::string::npos);
}

TEST(ScanTool, AStandardOutputThatFailsIsNoSuccess) {
  ScratchDir dir;
  copy_example(dir);
  dir.write("answers.txt", "");
  tessaline::testing::Child child(dir, TESSALINE_SCAN_EXE,
                                  {"film.ent", "film.dat", "--zero", "0:0.1:3", "--out", "f"},
                                  "answers.txt", "/dev/full", "stderr.txt");
  const int rc = child.wait();
  ASSERT_TRUE(WIFEXITED(rc));
  EXPECT_EQ(WEXITSTATUS(rc), 1);
  EXPECT_NE(dir.read("stderr.txt").find("cannot write to standard output"), std::string::npos)
      << dir.read("stderr.txt");
}

TEST(ScanTool, ASearchFromManyStartsListsItsMinima) {
  ScratchDir dir;
  copy_example(dir);
  const Outcome o =
      scan_tool(dir, {"film.ent", "film.dat", "--starts", "4", "--seed", "3", "--out", "m"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("reached from 4 starts (start 1 is the entry file's)"), std::string::npos)
      << o.out;
  EXPECT_NE(dir.read("m/report.txt").find("starts that reached it"), std::string::npos);
  EXPECT_TRUE(dir.exists("m/best/VreloBag.dat"));
  EXPECT_FALSE(dir.exists("m/profile.png"));
}

}  // namespace
}  // namespace tessaline::scan
