// The built tessaline-plot end to end: a small fit directory made in a fresh
// temporary directory, the picture's format and pixel size (from the PNG IHDR
// chunk), and bad inputs, which must fail with a message naming the file,
// a non-zero exit status and no picture (nor a left-over temporary file).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/driver/scratch.hpp"
#include "tests/e2e/run_program.hpp"

namespace {

namespace fs = std::filesystem;

const std::string kExe = TESSALINE_PLOT_EXE;

std::string read_all(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write(const fs::path& p, const std::string& text) { std::ofstream(p) << text; }

bool gnuplot_available() {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "");
  std::string d;
  while (std::getline(dirs, d, ':')) {
    if (!d.empty() && access((fs::path(d) / "gnuplot").c_str(), X_OK) == 0) return true;
  }
  return false;
}

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

// A fit directory: data file, four curve files, results file, entry file.
class PlotRun : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = scratch_.path();
    tmp_ = dir_ / "tmp";
    fs::create_directory(tmp_);
    write_case(nn_);
  }

  // nn points per channel: a falling reflectivity with a magnetic split.
  void write_case(int nn) {
    std::ostringstream data;
    data.precision(10);
    const double split[4] = {1.5, 0.7, 0.05, 0.05};
    for (int c = 0; c < 4; ++c) {
      for (int i = 1; i <= nn; ++i) {
        const double theta = i * 1e-3;
        const double r = split[c] * 1e-3 / std::pow(theta * 100, 4);
        data << r << ' ' << 0.05 * r << ' ' << theta << '\n';
      }
    }
    write(dir_ / "pts.dat", data.str());
    const char* names[4] = {"UU", "DD", "UD", "DU"};
    for (int c = 0; c < 4; ++c)
      write(dir_ / (std::string("VreloFunct") + names[c] + ".dat"),
            curve(split[c], nn * 1e-3, 200));
    write(dir_ / "VreloBag.dat", results(true, true));
    // A bare substrate; only the total scaling is free.
    write(dir_ / "pts.ent",
          "0.0\nf\n0.0\nf\n1.0\nf\n----\n0.0\nf\n0.0\nf\n1.0\nf\n----\n4.50\n20\n1\n0.1\n0.0\n"
          "----\n0\n----\n2.07\nf\n0.0\nf\n0.0\nf\n1.0\nf\n3.0\nf\n----\n1.0\nf\n0.0\nf\n0.0\nf\n"
          "----\n1.0\n-\n0.0\nf\n0.0\nf\n----\n0.0\n");
  }

  static std::string curve(double split, double theta_last, int lines) {
    std::ostringstream s;
    s.precision(15);
    s << std::scientific;
    for (int k = 1; k <= lines; ++k) {
      const double theta = k * theta_last / 200;
      s << ' ' << theta << "  " << split * 1e-3 / std::pow(theta * 100, 4) << '\n';
    }
    return s.str();
  }

  // Blocks of iterations 0, 1 and 2 of pts.ent, laid out as the monitor prints
  // them: (I4, A20, E14.6) and the state; the substrate's Re{Nb} as given.
  static std::string results(bool with_block, bool closed, const char* re_nb = "0.207000E-05") {
    const char* const names[17] = {
        "Re{Nb}",        "Im{Nb}",       "N_p",          "<Cos(delta_gamma",
        "Debye-Waller",  "<Cos(gamma)>", "<Sin(gamma)>", "<Sin^2(gamma)>",
        "total scaling", "alpha_0",      "background",   "Pi(x)",
        "Pi(y)",         "Pi(z)",        "Pf(x)",        "Pf(y)",
        "Pf(z)"};
    const std::string one = "0.100000E+01";
    const std::string zero = "0.000000E+00";
    const std::string values[17] = {re_nb, zero, zero, one,  "0.300000E+01", one,  zero,
                                    zero,  one,  zero, zero, zero,           zero, one,
                                    zero,  zero, one};
    std::string s = "    Tessaline results:\n";
    if (with_block) {
      for (const char* it : {"   0", "   1", "   2"}) {
        s += " " + std::string(73, '*') + "\n";
        s += std::string(it) + " iterate              PARAMETERS       ERRORS     FACTORS\n";
        s += "    Substrate\n";
        for (int i = 1; i <= 17; ++i) {
          if (i == 6 || i == 12) s += "\n";
          char line[128];
          std::snprintf(line, sizeof line, "%4d    %-16s  %s%s\n", i, names[i - 1],
                        values[i - 1].c_str(),
                        i == 9 ? " +/- 0.10E-01    0.100E+01" : "      fixed");
          s += line;
        }
        s += "   D=<Cos(gam)^2>-<Cos(gam)>^2:  0.0000E+00\n";
        s += "                       sqrt(D):  0.0000E+00\n";
        s += "   hi_sq.norm: .1234E+01\n";
      }
    }
    if (closed) s += std::string(73, '%') + "\n";
    return s;
  }

  // The tool with blank-separated `args` and `env` ("NAME=value ..."), in the
  // fit directory, TMPDIR pointed at its own folder; with a deadline.
  Result run(const std::string& args, const std::string& env = "") {
    std::vector<std::string> argv;
    std::istringstream a(args);
    for (std::string w; a >> w;) argv.push_back(w);
    return run_args(argv, env);
  }
  Result run_args(const std::vector<std::string>& args, const std::string& env = "") {
    std::vector<std::string> vars{"TMPDIR=" + tmp_.string()};
    std::istringstream e(env);
    for (std::string w; e >> w;) vars.push_back(w);
    const tessaline::testing::Outcome o =
        tessaline::testing::run_in(scratch_, kExe, args, "", vars);
    return {o.status, o.out, o.err};
  }

  // No hidden temporary picture beside the output, nothing left in TMPDIR.
  void expect_no_leftovers() {
    for (const auto& e : fs::directory_iterator(dir_)) {
      EXPECT_NE(e.path().filename().string().rfind(".fit.", 0), 0u) << e.path();
    }
    EXPECT_TRUE(fs::is_empty(tmp_)) << "temporary files left in " << tmp_;
  }

  static std::pair<unsigned, unsigned> png_size(const fs::path& p) {
    const std::string b = read_all(p);
    if (b.size() < 24 || b.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0 ||
        b.compare(12, 4, "IHDR") != 0) {
      return {0, 0};
    }
    const auto be32 = [&](std::size_t at) {
      unsigned v = 0;
      for (std::size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(b[at + i]);
      return v;
    };
    return {be32(16), be32(20)};
  }

  tessaline::testing::ScratchDir scratch_;
  fs::path dir_;
  fs::path tmp_;
  int nn_ = 20;
};

#define SKIP_WITHOUT_GNUPLOT()                                                       \
  if (!gnuplot_available())                                                          \
  GTEST_SKIP() << "gnuplot is not installed (Debian: apt-get install gnuplot-nox); " \
                  "the picture cannot be drawn"

TEST_F(PlotRun, DrawsAPngOfTheRequestedSize) {
  SKIP_WITHOUT_GNUPLOT();
  const Result r = run("pts.dat --entry pts.ent --exclude 2 3 --status -3 --size 900x700");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("fit.png"), std::string::npos);
  ASSERT_TRUE(fs::exists(dir_ / "fit.png"));
  EXPECT_GT(fs::file_size(dir_ / "fit.png"), 1000u);
  EXPECT_EQ(png_size(dir_ / "fit.png"), std::make_pair(900u, 700u));
  // The picture has the permissions of an ordinary new file, not mkstemp's 0600.
  struct stat st {};
  ASSERT_EQ(stat((dir_ / "fit.png").c_str(), &st), 0);
  EXPECT_NE(st.st_mode & S_IRGRP, 0u);
  expect_no_leftovers();

  // Default size, another name; an old picture is replaced.
  write(dir_ / "pic.png", "old");
  const Result d = run("pts.dat --out pic.png");
  ASSERT_EQ(d.status, 0) << d.err;
  EXPECT_EQ(png_size(dir_ / "pic.png"), std::make_pair(1200u, 1600u));
}

TEST_F(PlotRun, SvgAndPdfByExtension) {
  SKIP_WITHOUT_GNUPLOT();
  Result r = run("pts.dat --out fit.svg");
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string svg = read_all(dir_ / "fit.svg");
  EXPECT_NE(svg.find("<svg"), std::string::npos);
  EXPECT_NE(svg.find("</svg>"), std::string::npos);
  r = run("pts.dat --out fit.pdf");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_all(dir_ / "fit.pdf").compare(0, 5, "%PDF-"), 0);
  expect_no_leftovers();
}

TEST_F(PlotRun, UnfinishedResultsFileIsDrawnWithAWarning) {
  SKIP_WITHOUT_GNUPLOT();
  write(dir_ / "VreloBag.dat", results(true, false));
  const Result r = run("pts.dat");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("VreloBag.dat has no closing line"), std::string::npos) << r.err;
  EXPECT_GT(png_size(dir_ / "fit.png").first, 0u);
}

TEST_F(PlotRun, BadInputsFailWithoutAPicture) {
  struct Case {
    std::string what;
    std::string args;
    std::string file;  // file to replace ("" none), with `text`
    std::string text;
    std::string message;
  };
  std::string thirteen;  // 4 points of 3 numbers and one number more
  for (int i = 0; i < 4; ++i) thirteen += "1 0.1 0.001\n";
  thirteen += "1\n";
  std::string six_points;
  for (int i = 0; i < 6; ++i) six_points += "1 0.1 0.001\n";
  std::string zero_bar;  // point 2 of UD (line 6 of 8) without an error bar
  for (int i = 1; i <= 8; ++i) zero_bar += i == 6 ? "1 0 0.002\n" : "1 0.1 0.001\n";
  const std::vector<Case> cases = {
      {"missing data file", "none.dat", "", "", "data file \"none.dat\" cannot be opened"},
      {"missing curve file", "pts.dat", "VreloFunctUD.dat", "",
       "model-curve file \"VreloFunctUD.dat\" cannot be opened"},
      {"curve file too short", "pts.dat", "VreloFunctDD.dat", curve(1, 0.02, 199),
       "model-curve file \"VreloFunctDD.dat\" ends early after line 199"},
      {"curve file too long", "pts.dat", "VreloFunctDU.dat", curve(1, 0.02, 201),
       "model-curve file \"VreloFunctDU.dat\", line 201: more than 200 lines"},
      {"numbers not a multiple of 3", "pts.dat", "pts.dat", thirteen,
       "data file \"pts.dat\" ends early after line 5; expected reflectivity, error bar and angle "
       "of "
       "point 5"},
      {"error bar of zero", "pts.dat", "pts.dat", zero_bar,
       "pts.dat: Error bar for point   2 at UD is zero or negative!"},
      {"points not divisible by four", "pts.dat", "pts.dat", six_points,
       "data file \"pts.dat\" holds 6 points, which do not make four channels"},
      {"results file without a block", "pts.dat", "VreloBag.dat", results(false, true),
       "results file \"VreloBag.dat\" holds no complete iteration block"},
      {"short entry file", "pts.dat --entry pts.ent", "pts.ent", "1\n\n2\n",
       "entry file \"pts.ent\" ends early after line 3"},
      {"results of another model", "pts.dat --entry pts.ent", "VreloBag.dat",
       results(true, true, "0.300000E-05"),
       "VreloBag.dat does not belong to pts.ent: parameter 1 (Re{Nb}) is fixed at "
       "0.207000E-05"},
      {"too few points for --nn", "pts.dat --nn 21", "", "",
       "data file \"pts.dat\" ends early after line 80"},
      {"exclusions leave nothing", "pts.dat --exclude 10 10", "", "",
       "excluding the first 10 and the last 10 points leaves none of the 20 points"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    write_case(nn_);
    if (!c.file.empty()) {
      if (c.text.empty()) {
        fs::remove(dir_ / c.file);
      } else {
        write(dir_ / c.file, c.text);
      }
    }
    const Result r = run(c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("tessaline-plot: " + c.message), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir_ / "fit.png"));
    expect_no_leftovers();
  }
}

// Before a fit (no results file in the directory) the picture shows the data
// with the start values of the entry file, or the data alone.
TEST_F(PlotRun, WithoutAResultsFileTheDataAloneOrWithTheStartValues) {
  SKIP_WITHOUT_GNUPLOT();
  fs::remove(dir_ / "VreloBag.dat");
  for (const char* c : {"UU", "DD", "UD", "DU"})
    fs::remove(dir_ / (std::string("VreloFunct") + c + ".dat"));
  Result r = run("pts.dat --entry pts.ent --out start.svg");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("start values of pts.ent; no results file VreloBag.dat"), std::string::npos)
      << r.out;
  std::string svg = read_all(dir_ / "start.svg");
  EXPECT_NE(svg.find("start values of pts.ent, before a fit"), std::string::npos);
  EXPECT_NE(svg.find("<text>start model</text>"), std::string::npos);  // the curves' legend
  r = run("pts.dat --out alone.svg");
  ASSERT_EQ(r.status, 0) << r.err;
  svg = read_all(dir_ / "alone.svg");
  EXPECT_NE(svg.find("measured points, no fit"), std::string::npos);
  EXPECT_EQ(svg.find("start model"), std::string::npos);
  expect_no_leftovers();
}

// A point list with two channels of different lengths and a resolution for
// every point, before a fit: the two channels drawn, the empty ones with their
// start-model curves only, points dropped per channel.
TEST_F(PlotRun, APointListWithEmptyChannels) {
  SKIP_WITHOUT_GNUPLOT();
  fs::remove(dir_ / "VreloBag.dat");
  for (const char* c : {"UU", "DD", "UD", "DU"})
    fs::remove(dir_ / (std::string("VreloFunct") + c + ".dat"));
  // The entry's kernel gets a shape: 5 points, sigma 0.1 mrad.
  std::string entry = read_all(dir_ / "pts.ent");
  entry.replace(entry.find("1\n0.1\n0.0\n"), 12, "5\n0.05\n0.1\n");
  write(dir_ / "list.ent", entry);
  std::ostringstream list;
  list << "# tessaline points\n";
  for (int i = 1; i <= 9; ++i) list << "UU " << 1.0 / i << " 0.01 " << 0.002 * i << " 1e-4\n";
  for (int i = 1; i <= 5; ++i) list << "DD " << 0.5 / i << " 0.01 " << 0.003 * i << " 2e-4\n";
  write(dir_ / "list.dat", list.str());
  Result r = run("list.dat --entry list.ent --exclude 1 1 --out list.svg");
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string svg = read_all(dir_ / "list.svg");
  EXPECT_NE(svg.find("<text>start model</text>"), std::string::npos);
  // Dropping as many as the shorter channel holds is refused.
  r = run("list.dat --entry list.ent --exclude 3 2 --out bad.svg");
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("leaves a channel without a point"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(dir_ / "bad.svg"));
  expect_no_leftovers();
}

// File names reach the picture's titles; a line end in one must not end the
// string in the script and run what follows, and gnuplot's own warnings (the
// degree sign in the C locale) must not show.
TEST_F(PlotRun, NamesWithLineEndsRunNothingAndTheCLocaleGivesNoWarning) {
  SKIP_WITHOUT_GNUPLOT();
  fs::remove(dir_ / "VreloBag.dat");
  const std::string hostile = "p\n!touch pwned1\nsystem('touch pwned2')\n`touch pwned3`";
  fs::rename(dir_ / "pts.dat", dir_ / (hostile + ".dat"));
  fs::rename(dir_ / "pts.ent", dir_ / (hostile + ".ent"));
  const Result r =
      run_args({hostile + ".dat", "--entry", hostile + ".ent", "--out", hostile + ".svg"},
               "LC_ALL=C LANG=C");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  for (const char* p : {"pwned1", "pwned2", "pwned3"}) {
    EXPECT_FALSE(fs::exists(dir_ / p)) << p;
    EXPECT_FALSE(fs::exists(tmp_ / p)) << p;
  }
  const std::string svg = read_all(dir_ / (hostile + ".svg"));
  EXPECT_NE(svg.find("p\\x0A!touch pwned1"), std::string::npos);
  expect_no_leftovers();
}

TEST_F(PlotRun, BadCommandLineShowsUsage) {
  Result r = run("pts.dat --status 5");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("--status must be 1, -1, -2 or -3"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("usage: tessaline-plot DATAFILE"), std::string::npos);
  r = run("pts.dat --out fit.gif");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("give --format"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(dir_ / "fit.gif"));
  r = run("--help");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("--exclude FIRST LAST"), std::string::npos);
}

TEST_F(PlotRun, FailedGnuplotLeavesTheOldPictureAlone) {
  // A stand-in for gnuplot that starts writing the picture and then fails.
  const fs::path fake = dir_ / "fake-gnuplot";
  write(fake,
        "#!/bin/sh\n"
        "out=$(sed -n \"s/^set output '\\(.*\\)'$/\\1/p\" \"$1\")\n"
        "printf 'half a picture' > \"$out\"\n"
        "exit 3\n");
  fs::permissions(fake, fs::perms::owner_all);
  write(dir_ / "fit.png", "old picture");
  Result r = run("pts.dat", "TESSALINE_GNUPLOT=" + fake.string());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("failed with exit status 3"), std::string::npos) << r.err;
  EXPECT_EQ(read_all(dir_ / "fit.png"), "old picture");
  expect_no_leftovers();

  r = run("pts.dat", "TESSALINE_GNUPLOT=/nonexistent/gnuplot");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot run /nonexistent/gnuplot"), std::string::npos) << r.err;
  EXPECT_EQ(read_all(dir_ / "fit.png"), "old picture");
  expect_no_leftovers();
}

}  // namespace
