// Whole-program tests: the built tessaline binary runs in a fresh temporary
// directory with its answers piped into standard input; the console transcript,
// the error stream, the exit status and the files left behind are checked.
//
// Expected transcripts are written by hand from the line layouts.  With piped
// answers nothing is echoed, so a prompt left open is continued by the next line
// the program writes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/driver/scratch.hpp"
#include "tests/e2e/run_program.hpp"

namespace tessaline {
namespace {

using testing::lines;
using testing::Outcome;
using testing::run_program;
using testing::ScratchDir;
using Lines = std::vector<std::string>;

constexpr int kExitStop = 1;
constexpr int kExitTextError = 2;

const std::string kBanner = "***************Tessaline Corvennastral ******";  // first 45
const std::string kDots = "..................................................";
const std::string kPressEnter = "Press <ENT> to exit ... ";

// A two-layer model with two points per channel and seven free parameters.
Lines small_entry() {
  return {"1       Pi(x)",
          "F",
          "0",
          "F",
          "0",
          "F",
          "------- analyser",
          "-1      Pf(x)",
          "F",
          "0",
          "F",
          "0",
          "F",
          "------- instrument",
          "4.5     wavelength [A]",
          "2       points per channel",
          "3       collimation points",
          "0.15    step [mrad]",
          "0.3     sigma [mrad]",
          "------- layers",
          "2",
          "------- layer 1: Fe",
          "35.5",
          "",
          "8.02",
          "",
          "-0.0012",
          "F",
          "5.12",
          "",
          "1",
          "F",
          "4.25",
          "",
          "------- layer 2: Ag",
          "20",
          "F",
          "3.5",
          "F",
          "0.001",
          "F",
          "0",
          "F",
          "0.3",
          "F",
          "2.5",
          "",
          "------- substrate: MgO",
          "5.98",
          "F",
          "0",
          "F",
          "0",
          "F",
          "0",
          "F",
          "3",
          "F",
          "------- gamma",
          "1",
          "F",
          "0",
          "F",
          "1",
          "F",
          "------- scale, alpha_0, background",
          "1",
          "",
          "0.6",
          "F",
          "2e-6",
          "",
          "------- zero",
          "-0.05"};
}

// The echo of small_entry(), from the layouts.
Lines small_echo() {
  return {"Wavelength [A]  :  4.50",
          "Number of experimental points:      2",
          "Collimation function",
          "Number of points:   3",
          "Step [mrad]     :  0.1500E+00",
          "\"sigma\" [mrad]  :  0.3000E+00",
          "",
          "Number of layers:   2",
          "    Layer   1",
          "thickness [A]   :  35.50",
          "Re{Nb} [A^(-2)] :  0.8020E-05",
          "Im{Nb} [A^(-2)] : -0.1200E-08     fixed",
          "Np [A^(-2)]     :  0.5120E-05",
          "<cos(delta_gamma)>:  1.00           fixed",
          "Debye-Waller    :   4.25",
          "    Layer   2",
          "thickness [A]   :  20.00          fixed",
          "Re{Nb} [A^(-2)] :  0.3500E-05     fixed",
          "Im{Nb} [A^(-2)] :  0.1000E-08     fixed",
          "Np [A^(-2)]     :  0.0000E+00     fixed",
          "<cos(delta_gamma)>:  0.30           fixed",
          "Debye-Waller    :   2.50",
          "    Substrate",
          "Re{Nb} [A^(-2)]:   0.5980E-05     fixed",
          "Im{Nb} [A^(-2)] :  0.0000E+00     fixed",
          "Np [A^(-2)]     :  0.0000E+00     fixed",
          "<cos(delta_gamma)>:  0.00           fixed",
          "Debye-Waller    :   3.00          fixed",
          "",
          "<cos_gamma>     : 1.000           fixed",
          "<sin_gamma>     : 0.000           fixed",
          "<sin^2(gamma)>  : 1.000           fixed",
          "",
          "total scaling factor         :  0.1000E+01",
          "illumination parameter [mrad]:  0.6000E+00     fixed",
          "bgr                          :  0.2000E-05",
          "",
          "Correction of \"zero\"   [mrad]: -0.5000E-01",
          "",
          "Pi(x)           : 1.000     fixed",
          "Pi(y)           : 0.000     fixed",
          "Pi(z)           : 0.000     fixed",
          "Pf(x)           :-1.000     fixed",
          "Pf(y)           : 0.000     fixed",
          "Pf(z)           : 0.000     fixed"};
}

// Two points per channel; channel c has reflectivities of order 10^-c.
Lines small_points() {
  return {"0.9     0.05    0.004", "0.2     0.01    0.008", "0.8     0.05    0.004",
          "0.1     0.01    0.008", "0.01    0.001   0.004", "0.005   0.001   0.008",
          "0.01    0.001   0.004", "0.005   0.001   0.008"};
}

std::string with_line(Lines l, std::size_t index, const std::string& text) {
  l.at(index) = text;
  return lines(l);
}

// What the console shows before the data-file prompt for small_entry().
std::string head_transcript() {
  Lines l = {kBanner, "Entry file? " + kDots};
  for (const auto& e : small_echo()) l.push_back(e);
  l.push_back(kDots);
  l.push_back("");
  return lines(l);
}

bool no_output_files(const ScratchDir& dir) {
  for (const char* f : {"VreloBag.dat", "VreloFunctUU.dat", "VreloFunctDD.dat", "VreloFunctUD.dat",
                        "VreloFunctDU.dat"})
    if (dir.exists(f)) return false;
  return true;
}

// ---------------------------------------------------------------- echo, dialogues

TEST(EndToEnd, EchoOfTheEntryFileAndTheErrorBarDialogue) {
  ScratchDir dir;
  dir.write("small.ent", lines(small_entry()));
  dir.write("points.dat", with_line(small_points(), 1, "0.2 0 0.008"));
  const Outcome o = run_program(dir, "small.ent\npoints.dat\n\n");
  EXPECT_EQ(o.out, head_transcript() + "File with experimental points? \n" +
                       "Error bar for point   2 at UU is zero or negative!\n" + kPressEnter);
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(o.status, kExitStop);
  EXPECT_TRUE(no_output_files(dir));
}

TEST(EndToEnd, MagneticPairDialogueForALayer) {
  ScratchDir dir;
  Lines e = small_entry();
  e.at(31) = "-";  // <cos(delta_gamma)> of layer 1 free, like its N_p
  dir.write("small.ent", lines(e));
  const Outcome o = run_program(dir, "small.ent\n\n");
  const Lines tail = {"<cos(delta_gamma)>:  1.00",
                      "",
                      ".......ERROR:......................................",
                      "Np and <Cos(delta_gamma)> may not be fitted together.",
                      "Please, correct entry file for layer   1",
                      ""};
  const std::string expected_end = lines(tail) + kPressEnter;
  ASSERT_GE(o.out.size(), expected_end.size());
  EXPECT_EQ(o.out.substr(o.out.size() - expected_end.size()), expected_end) << o.out;
  EXPECT_EQ(o.out.find(kDots + "\n\n"), std::string::npos);  // the entry file was not finished
  EXPECT_EQ(o.status, kExitStop);
  EXPECT_TRUE(no_output_files(dir));
}

TEST(EndToEnd, MagneticPairDialogueForTheSubstrate) {
  ScratchDir dir;
  Lines e = small_entry();
  e.at(53) = "";  // substrate N_p free
  e.at(55) = "";  // and its <cos(delta_gamma)>
  dir.write("small.ent", lines(e));
  const Outcome o = run_program(dir, "small.ent\n");
  const Lines tail = {"Np [A^(-2)]     :  0.0000E+00",
                      "<cos(delta_gamma)>:  0.00",
                      "",
                      ".......ERROR:......................................",
                      "Np and <Cos(delta_gamma)> may not be fitted together.",
                      "Please, correct entry file for Substrate.",
                      ""};
  const std::string expected_end = lines(tail) + kPressEnter;
  ASSERT_GE(o.out.size(), expected_end.size());
  EXPECT_EQ(o.out.substr(o.out.size() - expected_end.size()), expected_end) << o.out;
  EXPECT_EQ(o.status, kExitStop);
  EXPECT_TRUE(no_output_files(dir));
}

// ---------------------------------------------------------------- limit stops

struct LimitCase {
  std::size_t line;  // 0-based line of small_entry() replaced
  const char* value;
  const char* echo;  // the last echo line before the stop
  const char* message;
};

TEST(EndToEnd, LimitStopsFollowTheEchoWithoutAKeyWait) {
  const LimitCase cases[] = {
      {15, "1001", "Number of experimental points:    ***", "nn > maxpoint"},
      {16, "102", "Number of points: 102", "j0 > maxj0"},
      {20, "501", "Number of layers: 501", "nlay > maxlay"},
      {15, "0", "Number of experimental points:      0", "nn < 1"},
      {16, "0", "Number of points:   0", "j0 < 1"},
      {20, "-1", "Number of layers:  -1", "nlay < 0"},
      // A wavelength that is not positive, one so small that the wave number
      // overflows, and a lone slash (which leaves it 0) would make every model
      // value NaN.
      {14, "0", "Wavelength [A]  :  0.00", "wavelength <= 0"},
      {14, "-4.5", "Wavelength [A]  : -4.50", "wavelength <= 0"},
      {14, "1e-320", "Wavelength [A]  :  0.00", "wavelength <= 0"},
      {14, "/", "Wavelength [A]  :  0.00", "wavelength <= 0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    ScratchDir dir;
    dir.write("small.ent", with_line(small_entry(), c.line, c.value));
    const Outcome o = run_program(dir, "small.ent\npoints.dat\n0\n0\n\n");
    const std::string expected_end = std::string(c.echo) + "\n" + c.message + "\n";
    ASSERT_GE(o.out.size(), expected_end.size());
    EXPECT_EQ(o.out.substr(o.out.size() - expected_end.size()), expected_end) << o.out;
    EXPECT_EQ(o.out.find(kPressEnter), std::string::npos);
    EXPECT_EQ(o.status, kExitStop);
    EXPECT_TRUE(no_output_files(dir));
  }
}

// ---------------------------------------------------------------- text-layer errors

TEST(EndToEnd, AMissingEntryFileEndsWithItsName) {
  ScratchDir dir;
  const Outcome o = run_program(dir, "absent.ent\n");
  EXPECT_EQ(o.out, lines({kBanner, "Entry file? " + kDots}));
  EXPECT_NE(o.err.find("absent.ent"), std::string::npos) << o.err;
  EXPECT_EQ(o.status, kExitTextError);
  EXPECT_TRUE(no_output_files(dir));
}

TEST(EndToEnd, AMissingDataFileEndsWithItsName) {
  ScratchDir dir;
  dir.write("small.ent", lines(small_entry()));
  const Outcome o = run_program(dir, "small.ent\nabsent.dat\n");
  EXPECT_EQ(o.out, head_transcript() + "File with experimental points? ");
  EXPECT_NE(o.err.find("absent.dat"), std::string::npos) << o.err;
  EXPECT_EQ(o.status, kExitTextError);
  EXPECT_TRUE(no_output_files(dir));
}

TEST(EndToEnd, AWordWhereANumberBelongsNamesFileLineAndValue) {
  ScratchDir dir;
  dir.write("small.ent", with_line(small_entry(), 14, "four and a half"));
  const Outcome o = run_program(dir, "small.ent\n");
  EXPECT_EQ(o.out, lines({kBanner, "Entry file? " + kDots}));
  EXPECT_NE(o.err.find("small.ent"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("line 15"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("wavelength"), std::string::npos) << o.err;
  EXPECT_EQ(o.status, kExitTextError);
}

TEST(EndToEnd, AfterBlankLinesAMessageGivesTheFilesOwnLine) {
  ScratchDir dir;
  Lines e = small_entry();
  e.insert(e.begin() + 14, {"", "", ""});  // three blank lines before the wavelength
  e[17] = "four and a half";
  dir.write("small.ent", lines(e));
  const Outcome o = run_program(dir, "small.ent\n");
  EXPECT_NE(o.err.find("line 18:"), std::string::npos) << o.err;
  EXPECT_EQ(o.err.find("line 15"), std::string::npos) << o.err;
  EXPECT_EQ(o.status, kExitTextError);
}

TEST(EndToEnd, AnIntegerWithADecimalPointIsRefused) {
  ScratchDir dir;
  dir.write("small.ent", with_line(small_entry(), 20, "2.0"));
  const Outcome o = run_program(dir, "small.ent\n");
  EXPECT_NE(o.err.find("line 21"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("number of layers"), std::string::npos) << o.err;
  EXPECT_EQ(o.status, kExitTextError);
  EXPECT_TRUE(no_output_files(dir));
}

TEST(EndToEnd, AnEntryFileEndingEarlyIsRefused) {
  ScratchDir dir;
  Lines e = small_entry();
  e.resize(40);
  dir.write("small.ent", lines(e));
  const Outcome o = run_program(dir, "small.ent\n");
  EXPECT_NE(o.err.find("small.ent"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("layer 2"), std::string::npos) << o.err;
  EXPECT_EQ(o.status, kExitTextError);
  EXPECT_TRUE(no_output_files(dir));
}

TEST(EndToEnd, ADataFileEndingEarlyIsRefused) {
  ScratchDir dir;
  dir.write("small.ent", lines(small_entry()));
  Lines p = small_points();
  p.pop_back();
  dir.write("points.dat", lines(p));
  const Outcome o = run_program(dir, "small.ent\npoints.dat\n0\n0\n");
  EXPECT_EQ(o.out, head_transcript() + "File with experimental points? ");
  EXPECT_NE(o.err.find("points.dat"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("point 2 of channel DU"), std::string::npos) << o.err;
  EXPECT_EQ(o.status, kExitTextError);
  EXPECT_TRUE(no_output_files(dir));
}

// ---------------------------------------------------------------- closed input

TEST(EndToEnd, InputEndingAtAnyPromptEndsTheRun) {
  const std::string first = "Number of first points to exclude? ";
  const std::string last = "Number of  last points to exclude? ";
  struct Case {
    const char* answers;
    std::string transcript;
  };
  const Case cases[] = {
      {"", lines({kBanner}) + "Entry file? "},
      {"small.ent\n", head_transcript() + "File with experimental points? "},
      {"small.ent\npoints.dat\n", head_transcript() + "File with experimental points? " + first},
      {"small.ent\npoints.dat\n0\n",
       head_transcript() + "File with experimental points? " + first + last},
      // 7 free parameters and 8 points: the limit is 1; 5 is refused, then input ends.
      {"small.ent\npoints.dat\n5\n",
       head_transcript() + "File with experimental points? " + first + " Not so many!\n" + first},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answers);
    ScratchDir dir;
    dir.write("small.ent", lines(small_entry()));
    dir.write("points.dat", lines(small_points()));
    const Outcome o = run_program(dir, c.answers);
    EXPECT_EQ(o.out, c.transcript);
    EXPECT_NE(o.err.find("standard input"), std::string::npos) << o.err;
    EXPECT_EQ(o.status, kExitTextError);
    EXPECT_TRUE(no_output_files(dir));
  }
}

// ---------------------------------------------------------------- file names

TEST(EndToEnd, AFileNameLongerThan256CharactersIsRefused) {
  ScratchDir dir;
  const Outcome o = run_program(dir, std::string(257, 'a') + "\n");
  EXPECT_EQ(o.out, lines({kBanner}) + "Entry file? ");
  EXPECT_NE(o.err.find("256"), std::string::npos) << o.err;
  EXPECT_EQ(o.status, kExitTextError);
}

TEST(EndToEnd, AFileNameOf256CharactersIsAccepted) {
  ScratchDir dir;
  const std::string sub(200, 'd');
  std::filesystem::create_directory(dir.path() / sub);
  const std::string name = sub + "/" + std::string(55, 'e');
  ASSERT_EQ(name.size(), 256u);
  dir.write(name, lines(small_entry()));
  // A path, typed without quotes.
  const Outcome o = run_program(dir, name + "\n");
  EXPECT_EQ(o.out, head_transcript() + "File with experimental points? ");
  EXPECT_EQ(o.status, kExitTextError);  // the answers end at the data-file prompt
}

TEST(EndToEnd, AQuotedFileNameMayHoldBlanks) {
  ScratchDir dir;
  dir.write("my model.ent", lines(small_entry()));
  const Outcome o = run_program(dir, "'my model.ent'\n");
  EXPECT_EQ(o.out, head_transcript() + "File with experimental points? ");
}

// ---------------------------------------------------------------- a whole run

TEST(EndToEnd, ANormalRunWritesItsFilesAndEndsAtTheKeyWait) {
  ScratchDir dir;
  dir.write("small.ent", lines(small_entry()));
  dir.write("points.dat", lines(small_points()));
  const Outcome o = run_program(dir, "small.ent\npoints.dat\n0\n0\n\n");
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err, "");
  const std::string head = head_transcript() + "File with experimental points? " +
                           "Number of first points to exclude? " +
                           "Number of  last points to exclude? ";
  EXPECT_EQ(o.out.substr(0, head.size()), head);
  const std::string names = lines({
      "Fit results are in file   : VreloBag.dat    ",
      "Fit functions are in files: VreloFunctUU.dat",
      "                            VreloFunctDD.dat",
      "                            VreloFunctUD.dat",
      "                            VreloFunctDU.dat",
  });
  const std::string end = std::string(73, '%') + "\n" + names + kPressEnter;
  ASSERT_GE(o.out.size(), end.size());
  EXPECT_EQ(o.out.substr(o.out.size() - end.size()), end) << o.out;
  for (const char* f :
       {"VreloFunctUU.dat", "VreloFunctDD.dat", "VreloFunctUD.dat", "VreloFunctDU.dat"}) {
    const std::string curve = dir.read(f);
    EXPECT_EQ(std::count(curve.begin(), curve.end(), '\n'), 200) << f;
  }
  const std::string results = dir.read("VreloBag.dat");
  EXPECT_EQ(results.substr(0, 23), "    Tessaline results:\n");
  EXPECT_NE(results.find("Correction of \"zero\" : -0.5000E-01 mrad\n"), std::string::npos)
      << results;
}

// ---------------------------------------------------------------- runs that must not look
// successful

TEST(Reliability, StandardOutputThatFailsIsNotSuccess) {
  ScratchDir dir;
  dir.write("small.ent", lines(small_entry()));
  dir.write("points.dat", lines(small_points()));
  dir.write("answers.txt", "small.ent\npoints.dat\n0\n0\n\n");
  // A full disk: the reason is given.
  testing::Child full(dir, TESSALINE_EXE, {}, "answers.txt", "/dev/full", "err.txt");
  int rc = full.wait();
  ASSERT_TRUE(WIFEXITED(rc));
  EXPECT_EQ(WEXITSTATUS(rc), kExitTextError);
  EXPECT_NE(dir.read("err.txt").find("No space left on device"), std::string::npos);
  // A closed descriptor: no file the run opens may take its place.
  testing::Child closed(dir, TESSALINE_EXE, {}, "answers.txt", testing::kClosed, "err.txt");
  rc = closed.wait();
  ASSERT_TRUE(WIFEXITED(rc));
  EXPECT_EQ(WEXITSTATUS(rc), kExitTextError);
  EXPECT_NE(dir.read("err.txt").find("standard output is closed"), std::string::npos);
  EXPECT_FALSE(dir.exists("VreloBag.dat"));
}

TEST(Reliability, AStartWithoutFiniteChiSquareIsNotSuccess) {
  ScratchDir dir;
  Lines e = small_entry();
  e[22] = "1e308";  // the thickness of layer 1: its phase factor overflows
  for (std::size_t i = 0; i < e.size(); ++i)
    if (e[i].empty()) e[i] = "F";  // every value fixed
  dir.write("small.ent", lines(e));
  dir.write("points.dat", lines(small_points()));
  const Outcome o = run_program(dir, "small.ent\npoints.dat\n0\n0\n\n");
  EXPECT_NE(o.out.find("Chi-square is not finite at the start values: first bad measured point 1 "
                       "(point 1 at UU)"),
            std::string::npos)
      << o.out;
  EXPECT_NE(o.out.find(kPressEnter), std::string::npos);  // the run still ends normally
  EXPECT_EQ(o.status, kExitStop);
}

// The 20-layer benchmark case: a fit that takes far longer than its first block.
void copy_realistic_case(const ScratchDir& dir) {
  const char* src = std::getenv("TESSALINE_SOURCE_DIR");
  ASSERT_NE(src, nullptr);
  for (const char* f : {"realistic.ent", "realistic.dat"}) {
    std::ifstream in(std::string(src) + "/bench/cases/" + f, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    dir.write(f, text.str());
  }
}

const Lines kCurveFiles = {"VreloFunctUU.dat", "VreloFunctDD.dat", "VreloFunctUD.dat",
                           "VreloFunctDU.dat"};
const std::string kResultsHead = "    Tessaline results:\n";

// The last whole line of a text that ends with a line end.
std::string last_line(const std::string& text) {
  if (text.size() < 2) return text;
  return text.substr(text.rfind('\n', text.size() - 2) + 1);
}

TEST(Reliability, AnInterruptedFitLeavesOutputsThatSayItDidNotFinish) {
  ScratchDir dir;
  copy_realistic_case(dir);
  for (const auto& f : kCurveFiles) dir.write(f, " 0.1 0.2\n");  // left by an earlier run
  dir.write("answers.txt", "realistic.ent\nrealistic.dat\n0\n0\n\n");
  testing::Child run(dir, TESSALINE_EXE, {}, "answers.txt", "out.txt", "err.txt");
  ASSERT_TRUE(run.started());
  // Interrupt once the first block is in the results file.
  ASSERT_TRUE(run.wait_until([&] {
    return dir.read("VreloBag.dat").find("hi_sq.norm") != std::string::npos;
  })) << "no first block";
  // The curve files of the earlier run went as soon as the output phase began:
  // until this run has written its own, none may pass for them.
  for (const auto& f : kCurveFiles) EXPECT_FALSE(dir.exists(f)) << f << " during the fit";
  const std::string before = dir.read("VreloBag.dat");
  run.signal(SIGINT);
  const int status = run.wait();
  ASSERT_TRUE(WIFSIGNALED(status)) << "the fit ended before it could be interrupted";
  EXPECT_EQ(WTERMSIG(status), SIGINT);
  const std::string results = dir.read("VreloBag.dat");
  ASSERT_FALSE(results.empty());
  EXPECT_EQ(results.back(), '\n');
  // The note follows what was there, from the head on; it covers none of it.
  EXPECT_EQ(results.compare(0, kResultsHead.size(), kResultsHead), 0) << results.substr(0, 80);
  EXPECT_EQ(results.compare(0, before.size(), before), 0);
  EXPECT_EQ(last_line(results),
            "Run interrupted by SIGINT before the fit ended: the last block is not a fitted "
            "result, and no curve files were written.\n");
  for (const auto& f : kCurveFiles) EXPECT_FALSE(dir.exists(f)) << f;
  EXPECT_NE(dir.read("err.txt").find("interrupted by SIGINT"), std::string::npos);
}

// After the output phase the finished files are the user's: Ctrl-C at the final
// key wait ends the run and leaves them as they are.
TEST(Reliability, ASignalAtTheFinalKeyWaitLeavesTheFinishedOutputs) {
  ScratchDir dir;
  dir.write("small.ent", lines(small_entry()));
  dir.write("points.dat", lines(small_points()));
  testing::Child run(dir, TESSALINE_EXE, {}, "", "", "err.txt");
  ASSERT_TRUE(run.started());
  run.write_input("small.ent\npoints.dat\n0\n0\n");  // the input stays open at the wait
  ASSERT_NE(run.read_until(kPressEnter).find(kPressEnter), std::string::npos)
      << dir.read("err.txt");
  run.signal(SIGINT);
  const int status = run.wait();
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGINT);
  for (const auto& f : kCurveFiles) {
    const std::string curve = dir.read(f);
    EXPECT_EQ(std::count(curve.begin(), curve.end(), '\n'), 200) << f;
  }
  EXPECT_EQ(last_line(dir.read("VreloBag.dat")), std::string(73, '%') + "\n");
}

// A reader of standard output that goes away during the fit: the run ends with
// a message and a non-zero status rather than silently by SIGPIPE, and the
// results file says why it ends before its closing line.
TEST(Reliability, AClosedPipeOnStandardOutputIsReportedInTheResultsFile) {
  ScratchDir dir;
  copy_realistic_case(dir);
  dir.write("answers.txt", "realistic.ent\nrealistic.dat\n0\n0\n\n");
  testing::Child run(dir, TESSALINE_EXE, {}, "answers.txt", "", "err.txt");
  ASSERT_TRUE(run.started());
  ASSERT_NE(run.read_until("hi_sq.norm").find("hi_sq.norm"), std::string::npos);
  run.close_output();
  const int status = run.wait();
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), kExitTextError);
  const std::string reason = "cannot write to standard output: Broken pipe";
  EXPECT_NE(dir.read("err.txt").find(reason), std::string::npos) << dir.read("err.txt");
  const std::string results = dir.read("VreloBag.dat");
  EXPECT_EQ(results.compare(0, kResultsHead.size(), kResultsHead), 0);
  EXPECT_EQ(last_line(results), "Run stopped before the fit ended: " + reason + "\n");
  for (const auto& f : kCurveFiles) EXPECT_FALSE(dir.exists(f)) << f;
}

// A file named at a prompt that is one of the run's own outputs would be
// replaced or removed by the run: refused before it is read, even through a
// link, and every file stays as it was.
TEST(Reliability, AnInputThatIsAnOutputOfTheRunIsRefused) {
  ScratchDir dir;
  dir.write("small.ent", lines(small_entry()));
  dir.write("points.dat", lines(small_points()));
  dir.write("VreloBag.dat", lines(small_entry()));  // an entry file under the results file's name
  std::filesystem::create_symlink("VreloBag.dat", dir.file("link.ent"));
  dir.write("VreloFunctDU.dat", lines(small_points()));
  struct Case {
    std::string answers;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"VreloBag.dat\n",
       "the results file to write, \"VreloBag.dat\", is the same file as the "
       "entry file \"VreloBag.dat\""},
      {"link.ent\n",
       "the results file to write, \"VreloBag.dat\", is the same file as the "
       "entry file \"link.ent\""},
      {"small.ent\nVreloFunctDU.dat\n",
       "the model-curve file to write, \"VreloFunctDU.dat\", "
       "is the same file as the data file \"VreloFunctDU.dat\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answers);
    const Outcome o = run_program(dir, c.answers + "0\n0\n\n");
    EXPECT_EQ(o.status, kExitTextError);
    EXPECT_NE(o.err.find(c.message), std::string::npos) << o.err;
    EXPECT_EQ(dir.read("VreloBag.dat"), lines(small_entry()));
    EXPECT_EQ(dir.read("VreloFunctDU.dat"), lines(small_points()));
    for (const char* f : {"VreloFunctUU.dat", "VreloFunctDD.dat", "VreloFunctUD.dat"}) {
      EXPECT_FALSE(dir.exists(f));
    }
  }
}

TEST(EndToEnd, NumbersAfterTheLastPointAreNotReadButWarnedAbout) {
  // The third line typed twice: every later point moves one place on, and the
  // last line of the file is left over.
  Lines points = small_points();
  points.insert(points.begin() + 2, points[2]);
  ScratchDir dir;
  dir.write("small.ent", lines(small_entry()));
  dir.write("points.dat", lines(points) + "end of data\n");
  const Outcome o = run_program(dir, "small.ent\npoints.dat\n0\n0\n\n");
  EXPECT_EQ(o.status, 0) << o.err;
  const std::string unread =
      "Warning: data file \"points.dat\", line 9: numbers after the last of the 4 x 2 "
      "points are not read; a repeated or missing line would shift every later point into "
      "the next channel\n";
  EXPECT_EQ(o.err.substr(0, unread.size()), unread);
  // The shift also puts a channel's second angle at or below its first.
  EXPECT_NE(o.err.find("line 4: the angles of channel DD do not increase at its point 2"),
            std::string::npos)
      << o.err;
  EXPECT_EQ(o.out.substr(0, head_transcript().size()), head_transcript());
}

}  // namespace
}  // namespace tessaline
