// tessaline-import as a whole program: data made by tessaline-sim, written as an
// ORSO file and as four NCNR files by the small writers below (Qz = 4 pi sin
// theta / lambda), imported back and fitted; and the refusals of bad input,
// each with a message naming the file and without touching the output.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

#include "driver/driver.hpp"
#include "tests/driver/scratch.hpp"
#include "tests/e2e/run_program.hpp"
#include "tests/e2e/text_compare.hpp"

namespace tessaline {
namespace {

using testing::Outcome;
using testing::run_in;
using testing::ScratchDir;
using testing::split_lines;

constexpr double kLambda = 5.25;  // A; not the entry file's, which plays no part here

using Channels = std::array<std::vector<DataPoint>, 4>;

bool same_bits(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

// The four channels of a data file, read as the program reads them.
Channels data_file_channels(const std::string& path) {
  return read_measured_points(path, 0).channel;
}

std::string num(double v) {
  char b[40];
  std::snprintf(b, sizeof b, "%.17g", v);
  return b;
}

double qz_of(double theta) { return 4 * std::numbers::pi * std::sin(theta) / kLambda; }

// Data-file channel c as reduced lines "Qz R dR [sQz]", with a resolution of 2%
// of Qz when `resolution` is set.
std::string rows(const std::vector<DataPoint>& ch, bool resolution) {
  std::string s;
  for (const DataPoint& p : ch) {
    const double q = qz_of(p.theta);
    s += num(q) + " " + num(p.R) + " " + num(p.dR) + (resolution ? " " + num(0.02 * q) : "") + "\n";
  }
  return s;
}

// An ORSO 1.0 file with one data set per channel, in the order given by
// `order` (channel indices); `extra[c]` are further data lines of channel c.
std::string orso_text(const Channels& ch, const std::array<int, 4>& order,
                      const std::array<std::string, 4>& extra) {
  static constexpr const char* kPol[4] = {"pp", "mm", "pm", "mp"};
  std::string s =
      "# # ORSO reflectivity data file | 1.0 standard | YAML encoding | "
      "https://www.reflectometry.org/\n"
      "# data_source:\n"
      "#   owner: {name: test writer}\n"
      "#   experiment: {title: round trip, instrument: none, start_date: 2026-01-01, "
      "probe: neutron}\n"
      "#   sample: {name: film}\n"
      "#   measurement:\n"
      "#     instrument_settings:\n"
      "#       incident_angle: {min: 0.1, max: 2.0, unit: deg}\n"
      "#       wavelength: {magnitude: " +
      num(kLambda) +
      ", unit: angstrom}\n"
      "#       polarization: " +
      kPol[order[0]] +
      "\n"
      "#     data_files: []\n"
      "# reduction: {software: {name: test writer}}\n"
      "# data_set: first\n"
      "# columns:\n"
      "# - {name: Qz, unit: 1/angstrom, physical_quantity: normal momentum transfer}\n"
      "# - {name: R, physical_quantity: specular reflectivity}\n"
      "# - {error_of: R, error_type: uncertainty, value_is: sigma}\n"
      "# - {error_of: Qz, error_type: resolution, value_is: sigma}\n"
      "# #     Qz      R      sR      sQz\n";
  for (std::size_t k = 0; k < 4; ++k) {
    const int c = order[k];
    if (k > 0) {
      s += "\n# data_set: " + std::string(kPol[c]) +
           "\n# data_source:\n#   measurement:\n#     instrument_settings:\n"
           "#       polarization: " +
           kPol[c] + "\n";
    }
    s += rows(ch[static_cast<std::size_t>(c)], true) + extra[static_cast<std::size_t>(c)];
  }
  return s;
}

// An NCNR reduced file of one cross section; `header_letter` empty leaves the
// letter to the file name.
std::string ncnr_text(const std::string& points, const std::string& header_letter,
                      double wavelength = kLambda, const std::string& columns = "Qz R dR") {
  std::string s = "#RRF 1 1 test\n#title \"round trip\"\n#wavelength " + num(wavelength) + "\n";
  if (!header_letter.empty()) s += "#polarization " + header_letter + "\n";
  return s + "#columns " + columns + "\n" + points;
}

// An NCNR file of the newer kind: JSON header lines, one block per channel in
// the order given; the DD block gives Qz and its resolution in 1/nm.
std::string ncnr_blocks_text(const Channels& ch, const std::array<int, 4>& order) {
  static constexpr const char* kSigns[4] = {"++", "--", "+-", "-+"};
  std::string s = "# \"template_data\": {\"steps\": [\"a\", {\"b\": 1}]}\n";
  for (const int c : order) {
    const bool nm = c == 1;
    s += "# \"name\": \"film\"\n# \"polarization\": \"" + std::string(kSigns[c]) +
         "\"\n# \"wavelength\": [" + num(kLambda) + ", " + num(kLambda) +
         "]\n# \"columns\": [\"Qz\", \"R\", \"uncertainty\", \"resolution\"]\n"
         "# \"units\": " +
         (nm ? "[\"1/nm\", null, null, \"1/nm\"]\n" : "[\"1/Ang\", \"\", \"\", \"1/Ang\"]\n");
    for (const DataPoint& p : ch[static_cast<std::size_t>(c)]) {
      const double q = qz_of(p.theta) * (nm ? 10 : 1);
      s += num(q) + " " + num(p.R) + " " + num(p.dR) + " " + num(0.02 * q) + "\n";
    }
    s += "\n\n";
  }
  return s;
}

// The film example's true model on an even grid, with noise of 5 % error bars.
Channels simulated(const ScratchDir& dir) {
  const Outcome o = run_in(dir, TESSALINE_SIM_EXE,
                           {std::string(TESSALINE_EXAMPLES_DIR) + "/film_true.ent", "--grid",
                            "0.002", "0.03", "sim.dat", "--noise", "11"},
                           "");
  EXPECT_EQ(o.status, 0) << o.err;
  return data_file_channels(dir.file("sim.dat"));
}

Outcome import(const ScratchDir& dir, const std::vector<std::string>& args) {
  return run_in(dir, TESSALINE_IMPORT_EXE, args, "");
}

// The numbers of the summary row of a channel: read, excluded, Qz out, not
// finite, dR < 1e-30, not in all, merged, kept.
std::vector<int> summary_row(const std::string& out, const std::string& channel) {
  for (const auto& line : split_lines(out)) {
    if (line.rfind(channel + " ", 0) != 0) continue;
    std::istringstream s(line.substr(channel.size()));
    std::vector<int> v(8);
    for (int& x : v) s >> x;
    return v;
  }
  ADD_FAILURE() << "no row for " << channel << " in\n" << out;
  return {};
}

void expect_same_points(const Channels& got, const Channels& expected) {
  for (std::size_t c = 0; c < 4; ++c) {
    SCOPED_TRACE("channel " + std::to_string(c + 1));
    ASSERT_EQ(got[c].size(), expected[c].size());
    for (std::size_t p = 0; p < got[c].size(); ++p) {
      const DataPoint &g = got[c][p], &e = expected[c][p];
      EXPECT_TRUE(same_bits(g.R, e.R)) << "point " << p << ": " << g.R << " " << e.R;
      EXPECT_TRUE(same_bits(g.dR, e.dR)) << "point " << p;
      // asin(sin(theta)) through Qz: a few units in the last place.
      EXPECT_NEAR(g.theta, e.theta, 1e-15 * e.theta) << "point " << p;
    }
  }
}

TEST(ImportRoundTrip, OrsoDataSetsInAnyOrderComeBackToTheBit) {
  ScratchDir dir;
  const Channels sim = simulated(dir);
  ASSERT_EQ(sim[0].size(), 150u);
  // Lines the data file cannot hold, each to be dropped and counted: an error
  // bar of 0, Qz <= 0, values that are not finite.
  const std::array<std::string, 4> bad = {"0.01 0.5 0 0.0002\n-0.01 0.5 0.1 0.0002\n",
                                          "0 0.5 0.1 0.0002\n0.02 nan 0.1 0.0002\n",
                                          "0.03 0.5 inf 0.0002\n", ""};
  dir.write("film.ort", orso_text(sim, {2, 3, 1, 0}, bad));
  const Outcome o = import(dir, {"-o", "film.dat", "--entry", "film.ent", "film.ort"});
  ASSERT_EQ(o.status, 0) << o.err;
  expect_same_points(data_file_channels(dir.file("film.dat")), sim);

  // read, excluded, Qz out, not finite, dR < 1e-30, not in all, merged, kept
  EXPECT_EQ(summary_row(o.out, "UU"), (std::vector<int>{152, 0, 1, 0, 1, 0, 0, 150}));
  EXPECT_EQ(summary_row(o.out, "DD"), (std::vector<int>{152, 0, 1, 1, 0, 0, 0, 150}));
  EXPECT_EQ(summary_row(o.out, "UD"), (std::vector<int>{151, 0, 0, 1, 0, 0, 0, 150}));
  EXPECT_EQ(summary_row(o.out, "DU"), (std::vector<int>{150, 0, 0, 0, 0, 0, 0, 150}));

  // The entry file: the collimation from sigma_theta = sQz lambda / (4 pi cos
  // theta) = 0.02 tan theta, whose median over the four equal grids lies
  // between grid angles 75 and 76.
  auto t = make_tables();
  textio::OutStream quiet;
  read_entry_file(*t, dir.file("film.ent"), quiet);
  EXPECT_EQ(t->nn, 150);
  EXPECT_EQ(t->wavelength, kLambda);
  const double median = 0.01 * (std::tan(sim[0][74].theta) + std::tan(sim[0][75].theta));
  EXPECT_NEAR(t->coll_sigma, median, 5e-4 * median);  // written to four digits
  EXPECT_NEAR(t->coll_step, t->coll_sigma / 2, 1e-12 * median);
  EXPECT_EQ(t->j0, 13);
}

TEST(ImportRoundTrip, NcnrFilesComeBackToTheBitAndTheirFitRunsToItsEnd) {
  ScratchDir dir;
  const Channels sim = simulated(dir);
  // Cross sections: A = DD, B = DU, C = UD, D = UU.  A and C say so in their
  // header, B and D only by their names; B and D have excluded points; C
  // declares its columns in another order.
  dir.write("run.reflA", ncnr_text(rows(sim[1], false), "A"));
  dir.write("run.reflB", ncnr_text("#0.0015 3 0.1\n# 0.0016 -2 0.1\n" + rows(sim[3], false), ""));
  std::string c_rows;
  for (const DataPoint& p : sim[2])
    c_rows += num(p.R) + " " + num(p.dR) + " " + num(qz_of(p.theta)) + "\n";
  dir.write("run.reflC", ncnr_text(c_rows, "C", kLambda, "R dR Qz"));
  dir.write("run.reflD", ncnr_text("#0.0 inf nan\n" + rows(sim[0], false), ""));
  const Outcome o = import(dir, {"run.reflC", "run.reflA", "-o", "run.dat", "run.reflD", "--entry",
                                 "run.ent", "run.reflB"});
  ASSERT_EQ(o.status, 0) << o.err;
  expect_same_points(data_file_channels(dir.file("run.dat")), sim);
  EXPECT_EQ(summary_row(o.out, "UU")[1], 1);
  EXPECT_EQ(summary_row(o.out, "DU")[1], 2);

  // The entry file as the program reads it: no resolution in these files.
  auto t = make_tables();
  textio::OutStream quiet;
  read_entry_file(*t, dir.file("run.ent"), quiet);
  EXPECT_EQ(t->nn, 150);
  EXPECT_EQ(t->wavelength, kLambda);
  EXPECT_EQ(t->coll_sigma, 0.0);

  // The fit of the imported data, from the written entry file as it stands.
  const Outcome fit = run_in(dir, TESSALINE_EXE, {}, "run.ent\nrun.dat\n0\n0\n\n");
  EXPECT_EQ(fit.status, 0) << fit.err;
  const auto results = split_lines(dir.read("VreloBag.dat"));
  ASSERT_FALSE(results.empty());
  EXPECT_EQ(results.back(), std::string(73, '%'));
  EXPECT_TRUE(dir.exists("VreloFunctDU.dat"));
}

TEST(ImportRoundTrip, NcnrBlocksOfTheFourChannelsInOneFileComeBackToTheBit) {
  ScratchDir dir;
  const Channels sim = simulated(dir);
  dir.write("film.refl", ncnr_blocks_text(sim, {3, 1, 0, 2}));
  const Outcome o = import(dir, {"-o", "film.dat", "--entry", "film.ent", "film.refl"});
  ASSERT_EQ(o.status, 0) << o.err;
  expect_same_points(data_file_channels(dir.file("film.dat")), sim);
  // The resolution column is one standard deviation of Qz, in 1/nm where the
  // units say so: sigma_theta = 0.02 tan theta, as for the ORSO file above.
  auto t = make_tables();
  textio::OutStream quiet;
  read_entry_file(*t, dir.file("film.ent"), quiet);
  const double median = 0.01 * (std::tan(sim[0][74].theta) + std::tan(sim[0][75].theta));
  EXPECT_NEAR(t->coll_sigma, median, 5e-4 * median);
}

TEST(ImportInputs, PipesFifosAndProcessSubstitutionReadAsFiles) {
  ScratchDir dir;
  const Channels sim = simulated(dir);
  dir.write("src.ort", orso_text(sim, {0, 1, 2, 3}, {}));
  dir.write("src.refl", ncnr_blocks_text(sim, {2, 0, 3, 1}));
  const std::string exe = std::string("timeout 60 ") + TESSALINE_IMPORT_EXE;
  // A command line of bash, under run_in's deadline; each program it starts
  // has its own.
  const auto shell_in = [](const ScratchDir& d, const std::string& command) {
    return run_in(d, "/bin/bash", {"-c", command}, "");
  };

  // A FIFO named like an ORSO file, fed by a writer with its own deadline.
  ASSERT_EQ(::mkfifo(dir.file("fifo.ort").c_str(), 0600), 0);
  Outcome o = shell_in(dir, "timeout 60 sh -c \"cat src.ort > fifo.ort\" & " + exe +
                                " -o fifo.dat fifo.ort; s=$?; wait; exit $s");
  ASSERT_EQ(o.status, 0) << o.err << o.out;
  expect_same_points(data_file_channels(dir.file("fifo.dat")), sim);

  // The newer NCNR kind through a pipe on standard input, and through <(...):
  // the format is told from the bytes, as for the file itself.
  o = shell_in(dir, "cat src.refl | " + exe + " -o pipe.dat /dev/stdin");
  ASSERT_EQ(o.status, 0) << o.err;
  o = shell_in(dir, exe + " -o subst.dat <(cat src.refl)");
  ASSERT_EQ(o.status, 0) << o.err;
  o = import(dir, {"-o", "file.dat", "src.refl"});
  ASSERT_EQ(o.status, 0) << o.err;
  expect_same_points(data_file_channels(dir.file("file.dat")), sim);
  EXPECT_EQ(dir.read("pipe.dat"), dir.read("file.dat"));
  EXPECT_EQ(dir.read("subst.dat"), dir.read("file.dat"));
}

TEST(ImportInputs, EmptyNamesAndWavelengthsTheProgramRefuses) {
  ScratchDir dir;
  const std::string three = "0.01 0.5 0.01\n0.02 0.2 0.01\n0.03 0.1 0.01\n";
  for (const char* c : {"uu", "dd", "ud", "du"}) dir.write(c, three);
  const std::vector<std::string> plain = {"--uu", "uu", "--dd", "dd", "--ud", "ud", "--du", "du"};
  const auto with = [&](std::vector<std::string> args) {
    args.insert(args.end(), plain.begin(), plain.end());
    return args;
  };
  // An empty name is refused, never taken for a missing option.
  for (const auto& args : {with({"-o", "out.dat", "--entry", "", "--wavelength", "5"}),
                           with({"-o", "", "--wavelength", "5"})}) {
    const Outcome o = import(dir, args);
    EXPECT_EQ(o.status, 2) << o.out;
    EXPECT_NE(o.err.find("needs the name of the"), std::string::npos) << o.err;
  }
  EXPECT_FALSE(dir.exists("out.dat"));
  // A wavelength the program would stop on is refused here as well.
  const Outcome o = import(dir, with({"-o", "out.dat", "--wavelength", "1e-320"}));
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("--wavelength: the program refuses the wavelength 1e-320 A"),
            std::string::npos)
      << o.err;
  EXPECT_FALSE(dir.exists("out.dat"));
}

// Refusals: each names the file (and line), exits 1, and leaves an existing
// output file as it was and no other file behind.
TEST(ImportRefusals, NameTheFileAndLeaveTheOutputUntouched) {
  const std::string three = "0.01 0.5 0.01\n0.02 0.2 0.01\n0.03 0.1 0.01\n";
  const std::string zero_errors = "0.01 0.5 0\n0.02 0.2 0\n";
  std::string plain_1001;
  for (int i = 1; i <= 1001; ++i) plain_1001 += num(1e-4 * i) + " 0.5 0.01\n";
  const std::string good_header =
      "# # ORSO reflectivity data file | 1.0 standard | YAML encoding\n"
      "# data_source:\n#   measurement:\n#     instrument_settings:\n"
      "#       wavelength: {magnitude: 5, unit: angstrom}\n"
      "#       polarization: pp\n";

  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> files;  // name, content
    std::vector<std::string> inputs;
    std::vector<std::string> expected;  // parts of the message
  };
  const std::vector<Case> cases = {
      {"missing file",
       {{"s.reflA", ncnr_text(three, "")},
        {"s.reflB", ncnr_text(three, "")},
        {"s.reflC", ncnr_text(three, "")}},
       {"s.reflA", "s.reflB", "s.reflC", "absent.reflD"},
       {"absent.reflD: cannot be opened"}},
      {"YAML error",
       {{"bad.ort", good_header + "# columns: [{name: Qz, unit: 1/angstrom\n"
                                  "# - broken: ]\n0.01 1 0.1\n"}},
       {"bad.ort"},
       {"bad.ort, line ", "YAML error"}},
      {"channel twice",
       {{"s.reflA", ncnr_text(three, "")},
        {"t.reflA", ncnr_text(three, "")},
        {"s.reflC", ncnr_text(three, "")},
        {"s.reflD", ncnr_text(three, "")}},
       {"s.reflA", "s.reflC", "s.reflD", "t.reflA"},
       {"channel DD is given twice: by s.reflA and by t.reflA", "Missing: DU"}},
      {"ORSO columns",
       {{"cols.ort", good_header + "# columns:\n# - {name: Qz, unit: 1/angstrom}\n"
                                   "# - {name: I, unit: 1/s}\n# - {error_of: I}\n0.01 1 0.1\n"}},
       {"cols.ort"},
       {"cols.ort, line 7: the second column is \"I\", not R"}},
      {"NCNR columns",
       {{"s.reflA", ncnr_text(three, "", kLambda, "Q R dR")}},
       {"s.reflA"},
       {"s.reflA, line 4: the columns are \"columns Q R dR\""}},
      {"newer NCNR columns",
       {{"s.refl",
         "# \"polarization\": \"++\"\n# \"columns\": [\"theta\", \"R\", \"dR\"]\n" + three}},
       {"s.refl"},
       {"s.refl, line 2: column 1 is named \"theta\", which is not a column this reader knows"}},
      {"channel left with no point",
       {{"s.reflA", ncnr_text(three, "")},
        {"s.reflB", ncnr_text(zero_errors, "")},
        {"s.reflC", ncnr_text(three, "")},
        {"s.reflD", ncnr_text(three, "")}},
       {"s.reflA", "s.reflB", "s.reflC", "s.reflD"},
       {"channel DU is left with no point: s.reflB"}},
      {"wavelengths that disagree",
       {{"s.reflA", ncnr_text(three, "")},
        {"s.reflB", ncnr_text(three, "")},
        {"s.reflC", ncnr_text(three, "")},
        {"s.reflD", ncnr_text(three, "", 4.75)}},
       {"s.reflA", "s.reflB", "s.reflC", "s.reflD"},
       {"disagree on the wavelength", "s.reflD says 4.75 A"}},
      {"more than 1000 points",
       {{"uu", plain_1001}, {"dd", plain_1001}, {"ud", plain_1001}, {"du", plain_1001}},
       {"--uu", "uu", "--dd", "dd", "--ud", "ud", "--du", "du", "--wavelength", "5"},
       {"1001 points per channel", "more than the 1000", "--merge"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir dir;
    for (const auto& [name, content] : c.files) dir.write(name, content);
    dir.write("out.dat", "old\n");
    std::vector<std::string> args = {"-o", "out.dat", "--entry", "out.ent"};
    args.insert(args.end(), c.inputs.begin(), c.inputs.end());
    const Outcome o = import(dir, args);
    EXPECT_EQ(o.status, 1) << o.err;
    for (const auto& part : c.expected) EXPECT_NE(o.err.find(part), std::string::npos) << o.err;
    EXPECT_EQ(dir.read("out.dat"), "old\n");
    EXPECT_FALSE(dir.exists("out.ent"));
    // The inputs, out.dat and the runner's three files: nothing else.
    const auto n = std::distance(std::filesystem::directory_iterator(dir.path()),
                                 std::filesystem::directory_iterator{});
    EXPECT_EQ(n, static_cast<long>(c.files.size()) + 4);
  }

  // The alternative the refusal points to.
  ScratchDir dir;
  for (const char* name : {"uu", "dd", "ud", "du"}) dir.write(name, plain_1001);
  const Outcome o = import(dir, {"-o", "out.dat", "--merge", "--wavelength", "5", "--uu", "uu",
                                 "--dd", "dd", "--ud", "ud", "--du", "du"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(split_lines(dir.read("out.dat")).size(), 4000u);

  // A bad command line: status 2 and the usage line.
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"s.reflA"},
                                             {"-o", "out.dat"},
                                             {"-o", "out.dat", "--bogus", "x"},
                                             {"-o", "out.dat", "--wavelength", "-1", "x.ort"},
                                             {"-o", "out.dat", "--uu", "uu"}}) {
    const Outcome bad = import(dir, args);
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("usage: tessaline-import"), std::string::npos) << bad.err;
  }
}

}  // namespace
}  // namespace tessaline
