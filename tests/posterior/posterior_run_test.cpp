// The built tessaline-posterior end to end, each run with a deadline in a
// scratch directory: the command line, every input it must refuse (a message
// naming the file, exit status 1, nothing written), the same samples for the
// same seed whatever the number of threads, the pictures, and an interrupted
// run that writes what it has, marked incomplete.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/run_program.hpp"
#include "tests/posterior/posterior_setup.hpp"
#include "tools/posterior/report.hpp"

namespace tessaline::posterior::test {
namespace {

using testing::Outcome;
using testing::ScratchDir;

const std::string kExe = TESSALINE_POSTERIOR_EXE;

Outcome run_tool(const ScratchDir& dir, const std::vector<std::string>& args) {
  return testing::run_in(dir, kExe, args, "");
}

// The example's true model cut down to 40 points per channel without a
// kernel, with three values free, and noise-free data.
const std::vector<std::pair<std::string, std::string>> kSmall = {{"nn:", "40        nn"},
                                                                  {"j0:", "1         j0"}};
// The film of the example with three free parameters, measured at n angles per
// channel without collimation.
void write_case(const ScratchDir& dir, int n = 40) {
  auto lines = kSmall;
  lines.front().second = std::to_string(n) + "        nn";
  dir.write("true.ent", example_entry({}, lines));
  write_model_data(dir, "true.ent", "film.dat", n, 0.002, 0.03);
  dir.write("fit.ent",
            example_entry({"145.0     thickness", "5.1       N_p", "total scaling"}, lines));
}

// A short run: 100 kept generations of 8 chains after 20 of burn-in.
std::vector<std::string> short_run(std::vector<std::string> args) {
  args.insert(args.end(), {"--samples", "800", "--burn", "20"});
  return args;
}

bool is_png(const ScratchDir& dir, const std::string& name) {
  return dir.read(name).rfind("\x89PNG\r\n\x1a\n", 0) == 0;
}

TEST(PosteriorRun, TheCommandLine) {
  ScratchDir dir;
  Outcome o = run_tool(dir, {"--help"});
  EXPECT_EQ(o.status, 0);
  EXPECT_NE(o.out.find("usage: tessaline-posterior ENTRY DATA"), std::string::npos);
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"fit.ent"},
           {"fit.ent", "film.dat", "extra"},
           {"fit.ent", "film.dat", "--threads", "two"},
           {"fit.ent", "film.dat", "--bound", "7", "10"},
           {"fit.ent", "film.dat", "--bound", "7", "10", "5"},
           {"fit.ent", "film.dat", "--chains", "2"},
           {"fit.ent", "film.dat", "--whatever", "1"}}) {
    o = run_tool(dir, args);
    EXPECT_EQ(o.status, 2) << args.back();
    EXPECT_NE(o.err.find("usage:"), std::string::npos);
  }
  // Too few samples to judge convergence: 100 generations of the chains and
  // 400 samples at least.
  o = run_tool(dir, {"fit.ent", "film.dat", "--samples", "500"});
  EXPECT_EQ(o.status, 2);
  EXPECT_NE(o.err.find("--samples 500 is too few to assess convergence: at least 800"),
            std::string::npos)
      << o.err;
  o = run_tool(dir, {"fit.ent", "film.dat", "--samples", "350", "--chains", "3"});
  EXPECT_NE(o.err.find("at least 400"), std::string::npos) << o.err;
}

TEST(PosteriorRun, InputsItRefusesWriteNothing) {
  ScratchDir dir;
  write_case(dir);
  dir.write("fixed.ent", example_entry({}, kSmall));
  auto lines = kSmall;
  lines.push_back({"145.0     thickness", "-3.0      thickness"});
  dir.write("outside.ent", example_entry({"145.0     thickness"}, lines));
  lines.back() = {"3.0       Debye-Waller", "1e4       Debye-Waller"};
  dir.write("overflow.ent", example_entry({"145.0     thickness"}, lines));
  dir.write("a_file", "not a directory\n");
  dir.write("VreloBag.dat", "    Tessaline results:\n");
  struct Case {
    std::vector<std::string> args;
    std::string says;
  };
  const std::vector<Case> cases = {
      {{"fixed.ent", "film.dat"}, "fixed.ent: every parameter is fixed"},
      {{"outside.ent", "film.dat"}, "outside.ent: the start value of thickness (layer 2), -3 A"},
      {{"fit.ent", "film.dat", "--bound", "7", "146", "150"}, "lies outside its bounds 146 .. 150"},
      {{"overflow.ent", "film.dat"}, "chi-square is not finite at the start values"},
      {{"fit.ent", "missing.dat"}, "missing.dat"},
      {{"fit.ent", "film.dat", "--from", "VreloBag.dat"}, "VreloBag.dat"},
      {{"fit.ent", "film.dat", "--out", "a_file"}, "--out a_file: exists and is not a directory"},
      {{"fit.ent", "film.dat", "--out", "a_file/below"}, "--out a_file/below: cannot be created"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.says);
    const Outcome o = run_tool(dir, short_run(c.args));
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find(c.says), std::string::npos) << o.err;
    EXPECT_FALSE(dir.exists("posterior"));
  }
}

// The same seed gives the same samples file to the byte, with any number of
// threads; another seed gives other samples.
TEST(PosteriorRun, SameSeedSameSamplesWhateverTheThreads) {
  ScratchDir dir;
  write_case(dir);
  std::string first;
  for (const char* threads : {"2", "2", "1", "3"}) {
    SCOPED_TRACE(threads);
    const Outcome o = run_tool(dir, short_run({"fit.ent", "film.dat", "--seed", "5", "--threads", threads, "--out", "t"}));
    ASSERT_EQ(o.status, 0) << o.err;
    const std::string samples = dir.read("t/samples.txt");
    ASSERT_EQ(std::count(samples.begin(), samples.end(), '\n'), 6 + 800);
    if (first.empty()) first = samples;
    EXPECT_TRUE(samples == first);
  }
  const Outcome o = run_tool(dir, short_run({"fit.ent", "film.dat", "--seed", "6", "--out", "t"}));
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_FALSE(dir.read("t/samples.txt") == first);
}

// A whole run: summary, samples, and both pictures; then the same with a
// gnuplot that fails, which leaves the pictures out and says so.
TEST(PosteriorRun, SummarySamplesAndPictures) {
  ScratchDir dir;
  write_case(dir);
  Outcome o = run_tool(dir, short_run({"fit.ent", "film.dat", "--out", "out"}));
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("Marginals"), std::string::npos);
  EXPECT_EQ(dir.read("out/summary.txt"), o.out.substr(o.out.find("tessaline-posterior: the posterior"),
                                                      dir.read("out/summary.txt").size()));
  const SamplesFile f = read_samples(dir.file("out/samples.txt"));
  EXPECT_TRUE(f.complete);
  EXPECT_EQ(f.rows.size(), 800u);
  EXPECT_TRUE(is_png(dir, "out/posterior.png"));
  EXPECT_TRUE(is_png(dir, "out/bands.png"));
  EXPECT_FALSE(dir.exists("out/.posterior.png.part"));

  dir.write("fail.sh", "#!/bin/sh\nexit 3\n");
  ASSERT_EQ(std::system(("chmod +x '" + dir.file("fail.sh") + "'").c_str()), 0);
  o = testing::run_in(dir, "/usr/bin/env", {"TESSALINE_GNUPLOT=" + dir.file("fail.sh"), kExe,
                                            "fit.ent", "film.dat", "--samples", "800", "--burn",
                                            "20", "--out", "nopic"},
                      "");
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("failed with exit status 3; posterior.png is not drawn"), std::string::npos)
      << o.err;
  EXPECT_TRUE(dir.exists("nopic/samples.txt"));
  EXPECT_FALSE(dir.exists("nopic/posterior.png"));
  EXPECT_FALSE(dir.exists("nopic/.posterior.png.part"));
}

// SIGINT during the sampling: the samples so far are written, whole lines,
// marked incomplete, and the run ends with 128 + 2.  The film is measured at
// 1000 angles per channel, so that the longest run (400,000 samples) takes
// far longer than the 3 s before the signal even in an optimized build.
TEST(PosteriorRun, AnInterruptedRunWritesWhatItHasMarkedIncomplete) {
  ScratchDir dir;
  write_case(dir, 1000);
  const std::string cmd = "cd '" + dir.path().string() + "' && timeout -k 5 60 timeout " +
                          "--preserve-status -s INT 3 '" + kExe +
                          "' fit.ent film.dat --samples 400000 --burn 5 --out int" +
                          " > stdout.txt 2> stderr.txt";
  const int rc = std::system(cmd.c_str());
  ASSERT_TRUE(WIFEXITED(rc));
  EXPECT_EQ(WEXITSTATUS(rc), 130) << dir.read("stderr.txt");
  const SamplesFile f = read_samples(dir.file("int/samples.txt"));
  EXPECT_FALSE(f.complete);
  EXPECT_NE(dir.read("int/samples.txt").find("# incomplete: interrupted by SIGINT after generation"),
            std::string::npos);
  EXPECT_GT(f.rows.size(), 0u);
  EXPECT_EQ(f.rows.size() % 8, 0u);  // whole generations
  EXPECT_NE(dir.read("int/summary.txt").find("INCOMPLETE: interrupted by SIGINT"), std::string::npos);
  EXPECT_FALSE(dir.exists("int/posterior.png"));
}

}  // namespace
}  // namespace tessaline::posterior::test
