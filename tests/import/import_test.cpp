// The readers and the assembly of reduced files, in process: the real NCNR spin
// valve and the real ORSO files, the spin states the readers tell from their
// declarations, the classic form's selection of common Qz points and its merge
// option, and input that must be refused without a crash.
//
// Expected counts come from reading the files here line by line; expected
// merged values are computed by hand below.
#include "import/import.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <fstream>
#include <map>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

#include "tests/import/import_support.hpp"

namespace tessaline::importer {
namespace {

std::string spinvalve(const std::string& letter) {
  return std::string(TESSALINE_EXAMPLES_DIR) + "/spinvalve/n101Gc1.refl" + letter;
}
std::string orso(const std::string& name) {
  return std::string(TESSALINE_IMPORT_DATA) + "/orso/" + name;
}

using testing::has;
using testing::message_of;

// The uncommented points of an NCNR file, read here with the plainest rule: a
// line that does not start with '#' holds Qz R dR.
std::vector<ReducedPoint> plain_points(const std::string& path) {
  std::ifstream f(path);
  std::vector<ReducedPoint> points;
  std::string line;
  while (std::getline(f, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream s(line);
    ReducedPoint p;
    s >> p.Qz >> p.R >> p.dR;
    points.push_back(p);
  }
  return points;
}

// The point lines of an NCNR file, read here with the plainest rule: a line
// that does not start with '#' holds a point, and one that starts with '#'
// followed by a number is a point the experimenter excluded.
std::pair<int, int> point_lines(const std::string& path) {
  std::ifstream f(path);
  int points = 0, excluded = 0;
  std::string line;
  while (std::getline(f, line)) {
    if (line.empty()) continue;
    if (line[0] != '#') {
      ++points;
    } else {
      std::istringstream s(line.substr(1));
      std::string word;
      s >> word;
      excluded +=
          !word.empty() && (std::isdigit(static_cast<unsigned char>(word[0])) || word[0] == '-' ||
                            word[0] == '.' || word == "inf" || word == "nan");
    }
  }
  return {points, excluded};
}

TEST(RealNcnrSpinValve, EveryPointNotExcludedByTheFileIsKept) {
  // Cross sections A = --, B = -+, C = +-, D = ++ (polarizer, analyser).
  const std::map<std::string, int> channel_of = {{"A", 1}, {"B", 3}, {"C", 2}, {"D", 0}};
  std::vector<DataSet> sets;
  for (const char* letter : {"B", "D", "A", "C"}) {  // not in channel order
    SCOPED_TRACE(letter);
    const std::vector<DataSet> read = read_reduced_file(spinvalve(letter));
    ASSERT_EQ(read.size(), 1u);
    const DataSet& s = read[0];
    const auto [points, excluded] = point_lines(spinvalve(letter));
    EXPECT_EQ(s.polarization, letter);
    EXPECT_EQ(s.beam, Beam::kAnalysed);
    EXPECT_EQ(s.channel, channel_of.at(letter));
    EXPECT_EQ(static_cast<int>(s.points.size()), points);
    EXPECT_EQ(s.excluded, excluded);
    ASSERT_TRUE(s.wavelength.has_value());
    EXPECT_EQ(*s.wavelength, 4.75);
    // Behind a UTF-8 byte-order mark the file reads the same.
    std::ifstream f(spinvalve(letter), std::ios::binary);
    std::istringstream bom("\xEF\xBB\xBF" + std::string(std::istreambuf_iterator<char>(f), {}));
    const DataSet b = read_ncnr(bom, spinvalve(letter));
    EXPECT_EQ(b.points.size(), s.points.size());
    EXPECT_EQ(b.excluded, s.excluded);
    sets.push_back(s);
  }

  const Imported r = assemble(sets, {});
  EXPECT_EQ(r.form, Form::kPointList);
  EXPECT_EQ(r.wavelength, 4.75);
  EXPECT_FALSE(r.resolution.has_value());
  const char* letter_of[kChannels] = {"D", "A", "C", "B"};
  for (int c = 0; c < kChannels; ++c) {
    SCOPED_TRACE(letter_of[c]);
    const ChannelSummary& s = r.summary[c];
    const auto [points, excluded] = point_lines(spinvalve(letter_of[c]));
    EXPECT_TRUE(has(s.source, std::string("refl") + letter_of[c])) << s.source;
    EXPECT_EQ(s.read, points + excluded);
    EXPECT_EQ(s.excluded, excluded);
    EXPECT_EQ(s.dropped_qz + s.dropped_nonfinite + s.dropped_error, 0);
    EXPECT_EQ(s.kept, points);
    ASSERT_EQ(static_cast<int>(r.channels[c].size()), points);
    // Every point is an uncommented line of its own file, R and dR to the
    // bit, at the angle of its Qz, in increasing angle.
    std::vector<ReducedPoint> file = plain_points(spinvalve(letter_of[c]));
    std::stable_sort(file.begin(), file.end(),
                     [](const ReducedPoint& a, const ReducedPoint& b) { return a.Qz < b.Qz; });
    for (std::size_t i = 0; i < file.size(); ++i) {
      const DataPoint& p = r.channels[c][i];
      EXPECT_EQ(p.R, file[i].R);
      EXPECT_EQ(p.dR, file[i].dR);
      EXPECT_EQ(p.theta, std::asin(file[i].Qz * 4.75 / (4 * std::numbers::pi)));
      EXPECT_EQ(p.resolution, -1);
    }
  }

  // The classic form keeps the Qz values that all four files leave
  // uncommented, counted here from the files.
  std::vector<std::vector<double>> grids;
  for (const char* letter : letter_of) {
    grids.emplace_back();
    for (const ReducedPoint& p : plain_points(spinvalve(letter))) grids.back().push_back(p.Qz);
  }
  int common = 0;
  for (double q : grids[0]) {
    bool everywhere = true;
    for (const auto& g : grids)
      everywhere = everywhere && std::any_of(g.begin(), g.end(), [&](double x) {
                     return std::fabs(x - q) <= 1e-6 * q;
                   });
    common += everywhere;
  }
  Options classic;
  classic.form = Form::kClassic;
  const Imported c = assemble(sets, classic);
  EXPECT_EQ(c.nn(), common);
  EXPECT_EQ(common, 77);  // as the README reports it
  for (int ch = 0; ch < kChannels; ++ch)
    EXPECT_EQ(c.summary[ch].dropped_unmatched, r.summary[ch].kept - common);
}

TEST(RealOrsoFiles, ImportWithTheirSpinStatesAndResolutions) {
  // Two data sets; the second overrides only the polarization and keeps the
  // columns of the first.  No analyser: UU and DD, half-polarized.
  const std::vector<DataSet> two = read_reduced_file(orso("test_example2.ort"));
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(two[0].name, "spin_up");
  EXPECT_EQ(two[0].polarization, "po");
  EXPECT_EQ(two[0].beam, Beam::kPolarizerOnly);
  EXPECT_EQ(two[0].channel, 0);
  EXPECT_EQ(two[0].points.size(), 2u);
  EXPECT_EQ(two[1].name, "spin_down");
  EXPECT_EQ(two[1].polarization, "mo");
  EXPECT_EQ(two[1].beam, Beam::kPolarizerOnly);
  EXPECT_EQ(two[1].channel, 1);
  EXPECT_EQ(two[1].points.size(), 4u);
  EXPECT_EQ(two[1].points[3].dQz, 5.33586471e-05);
  EXPECT_EQ(two[1].wavelength_range, "3 to 12.5 A");

  // Time of flight: only a wavelength range, so --wavelength is needed.
  std::string m = message_of(two);
  for (const char* part : {"time of flight", "3 to 12.5 A", "--wavelength"})
    EXPECT_TRUE(has(m, part)) << part << "\n" << m;
  Options at6;
  at6.wavelength = 6.0;
  const Imported r = assemble(two, at6);
  EXPECT_EQ(r.beam, Beam::kPolarizerOnly);
  ASSERT_EQ(r.channels[0].size(), 2u);
  ASSERT_EQ(r.channels[1].size(), 4u);
  EXPECT_TRUE(r.channels[2].empty() && r.channels[3].empty());
  // The last point of spin_down: Qz 1.06717294e-02, sQz 5.33586471e-05.
  const double theta = std::asin(1.06717294e-02 * 6.0 / (4 * std::numbers::pi));
  EXPECT_EQ(r.channels[1][3].theta, theta);
  EXPECT_NEAR(r.channels[1][3].resolution,
              5.33586471e-05 * 6.0 / (4 * std::numbers::pi * std::cos(theta)), 1e-18);
  EXPECT_EQ(starting_entry(r).Pf[1].value, 0.0);

  const std::vector<DataSet> one = read_reduced_file(orso("test_example.ort"));
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].polarization, "po");
  EXPECT_EQ(assemble(one, at6).channels[0].size(), 2u);

  // A real time-of-flight measurement without a polarization in its header:
  // unpolarized.  Its 79 points include some with R = 0 and sR = 0, which no
  // fit can weigh; every other point is kept.
  const std::vector<DataSet> amor = read_reduced_file(orso("prist5_10K_m_025.Rqz.ort"));
  ASSERT_EQ(amor.size(), 1u);
  EXPECT_EQ(amor[0].beam, Beam::kUnpolarized);
  EXPECT_EQ(amor[0].channel, 0);
  ASSERT_EQ(amor[0].points.size(), 79u);
  int zero_errors = 0;
  for (const ReducedPoint& p : amor[0].points) zero_errors += p.dR == 0;
  m = message_of(amor);
  for (const char* part : {"time of flight", "3 to 12 A", "--wavelength L"})
    EXPECT_TRUE(has(m, part)) << part << "\n" << m;
  const Imported u = assemble(amor, at6);
  EXPECT_EQ(u.summary[0].dropped_error, zero_errors);
  EXPECT_EQ(u.channels[0].size(), 79u - static_cast<std::size_t>(zero_errors));
  EXPECT_TRUE(u.resolution->per_point);
  const EntryDescription d = starting_entry(u);
  for (const EntryValue& v : d.Pi) EXPECT_EQ(v.value, 0.0);
  for (const EntryValue& v : d.Pf) EXPECT_EQ(v.value, 0.0);
}

TEST(SpinStates, TheReadersTellThemFromTheDeclarations) {
  const auto orso_set = [](const std::string& polarization) {
    std::istringstream in(
        "# # ORSO reflectivity data file | 1.0 standard | YAML encoding\n"
        "# data_source:\n#   measurement:\n#     instrument_settings:\n"
        "#       wavelength: {magnitude: 5, unit: angstrom}\n" +
        (polarization.empty() ? std::string() : "#       polarization: " + polarization + "\n") +
        "# columns:\n# - {name: Qz, unit: 1/angstrom}\n# - {name: R}\n# - {error_of: R}\n"
        "0.01 0.5 0.02\n");
    return read_orso(in, "s.ort").at(0);
  };
  // The ORSO words: first letter the polarizer, second the analyser, p and m
  // their states, o no such device.  The channel of a + state is U, of a -
  // state D; a single device's two states go into UU and DD.
  const std::string states = "pmo";
  for (const char polarizer : states) {
    for (const char analyser : states) {
      const std::string word{polarizer, analyser};
      SCOPED_TRACE("ORSO " + word);
      const DataSet s = orso_set(word);
      const auto letter = [](char state) { return state == 'p' ? 'U' : 'D'; };
      if (polarizer != 'o' && analyser != 'o') {
        EXPECT_EQ(s.beam, Beam::kAnalysed);
        const std::string name{letter(polarizer), letter(analyser)};
        ASSERT_GE(s.channel, 0);
        EXPECT_EQ(kChannelNames[static_cast<std::size_t>(s.channel)], name);
      } else if (polarizer != 'o' || analyser != 'o') {
        EXPECT_EQ(s.beam, polarizer != 'o' ? Beam::kPolarizerOnly : Beam::kAnalyserOnly);
        const char state = polarizer != 'o' ? polarizer : analyser;
        EXPECT_EQ(s.channel, state == 'p' ? 0 : 1);
      } else {
        EXPECT_EQ(s.beam, Beam::kUnknown);  // "oo" is no ORSO word
        EXPECT_EQ(s.channel, kNoChannel);
      }
    }
  }
  // Unpolarized, said so or by saying nothing; a vector is not read here.
  for (const std::string word : {"unpolarized", ""}) {
    EXPECT_EQ(orso_set(word).beam, Beam::kUnpolarized) << word;
    EXPECT_EQ(orso_set(word).channel, 0) << word;
  }
  EXPECT_EQ(orso_set("vector").beam, Beam::kUnknown);

  struct Case {
    std::string polarization;
    Beam beam;
    int channel;
  };
  // NCNR, the older kind: letters, or a sign for a polarizer alone.
  for (const Case& c : std::vector<Case>{{"A", Beam::kAnalysed, 1},
                                         {"D", Beam::kAnalysed, 0},
                                         {"+", Beam::kPolarizerOnly, 0},
                                         {"-", Beam::kPolarizerOnly, 1}}) {
    SCOPED_TRACE("NCNR #polarization " + c.polarization);
    std::istringstream in("#wavelength 5\n#polarization " + c.polarization + "\n0.01 0.5 0.02\n");
    const DataSet s = read_ncnr(in, "s.refl");
    EXPECT_EQ(s.beam, c.beam);
    EXPECT_EQ(s.channel, c.channel);
  }
  std::istringstream star("#wavelength 5\n#polarization *\n0.01 0.5 0.02\n");
  try {
    read_ncnr(star, "s.refl");
    FAIL() << "accepted";
  } catch (const ImportError& e) {
    EXPECT_TRUE(has(e.what(), "s.refl, line 2: expected #polarization A, B, C or D")) << e.what();
  }
  // The newer kind: signs, one for a polarizer alone, "" for none.
  for (const Case& c : std::vector<Case>{{"-+", Beam::kAnalysed, 3},
                                         {"+-", Beam::kAnalysed, 2},
                                         {"+", Beam::kPolarizerOnly, 0},
                                         {"-", Beam::kPolarizerOnly, 1},
                                         {"", Beam::kUnpolarized, 0},
                                         {"+0", Beam::kUnknown, kNoChannel}}) {
    SCOPED_TRACE("NCNR \"polarization\": \"" + c.polarization + "\"");
    std::istringstream in("# \"polarization\": \"" + c.polarization +
                          "\"\n# \"wavelength\": 5\n0.01 0.5 0.02\n");
    const DataSet s = read_ncnr_blocks(in, "s.refl").at(0);
    EXPECT_EQ(s.beam, c.beam);
    EXPECT_EQ(s.channel, c.channel);
  }
}

// A data set for one channel with the given Qz values; R and dR tell the points
// apart.
DataSet set_of(int channel, const std::vector<double>& Qz, const std::vector<double>& dR = {}) {
  DataSet s;
  s.file = std::string(kChannelNames[channel]) + ".dat";
  s.beam = Beam::kAnalysed;
  s.channel = channel;
  s.wavelength = 5.0;
  for (std::size_t i = 0; i < Qz.size(); ++i)
    s.points.push_back(
        {Qz[i], 100.0 * channel + static_cast<double>(i), dR.empty() ? 0.5 : dR[i], std::nan("")});
  return s;
}

TEST(ClassicChannelsOfUnequalLength, KeepThePointsWhoseQzIsInEveryChannel) {
  // UD's 0.03 differs from the others' by 1e-7 relative, inside the
  // tolerance; DU's 0.04 by 2e-6, outside it.  DD is given out of order.
  const std::vector<DataSet> sets = {set_of(0, {0.01, 0.02, 0.03, 0.04, 0.05}),
                                     set_of(1, {0.05, 0.03, 0.02, 0.04}),
                                     set_of(2, {0.01, 0.02, 0.03 * (1 + 1e-7), 0.04, 0.05}),
                                     set_of(3, {0.02, 0.03, 0.04 * (1 + 2e-6), 0.05})};
  Options classic;
  classic.form = Form::kClassic;
  const Imported r = assemble(sets, classic);
  ASSERT_EQ(r.nn(), 3);  // 0.02, 0.03 and 0.05
  const int unmatched[kChannels] = {2, 1, 2, 1};
  // Original positions of the kept points, in increasing Qz.
  const int kept[kChannels][3] = {{1, 2, 4}, {2, 1, 0}, {1, 2, 4}, {0, 1, 3}};
  for (int c = 0; c < kChannels; ++c) {
    SCOPED_TRACE(kChannelNames[c]);
    EXPECT_EQ(r.summary[c].dropped_unmatched, unmatched[c]);
    for (int p = 0; p < 3; ++p) EXPECT_EQ(r.channels[c][p].R, 100.0 * c + kept[c][p]);
  }
  // UD's point keeps its own angle.
  EXPECT_EQ(r.channels[2][1].theta, std::asin(0.03 * (1 + 1e-7) * 5.0 / (4 * std::numbers::pi)));

  Options merge = classic;
  merge.equalize = Equalize::kMerge;
  const std::vector<DataSet> uneven = {set_of(0, {0.01, 0.02, 0.03, 0.04}, {1, 2, 1, 1}),
                                       set_of(1, {0.01, 0.03}), set_of(2, {0.01, 0.03}),
                                       set_of(3, {0.02, 0.04})};
  const Imported m = assemble(uneven, merge);
  ASSERT_EQ(m.nn(), 2);
  EXPECT_EQ(m.summary[0].merged_away, 2);
  // Points (R 0, dR 1, Qz 0.01) and (R 1, dR 2, Qz 0.02): weights 1 and 1/4.
  EXPECT_DOUBLE_EQ(m.channels[0][0].R, (0 + 1 * 0.25) / 1.25);
  EXPECT_DOUBLE_EQ(m.channels[0][0].dR, 1 / std::sqrt(1.25));
  EXPECT_DOUBLE_EQ(m.channels[0][0].theta,
                   std::asin((0.01 + 0.02 * 0.25) / 1.25 * 5 / (4 * std::numbers::pi)));
  // Equal weights: plain means.
  EXPECT_DOUBLE_EQ(m.channels[0][1].R, 2.5);
  EXPECT_DOUBLE_EQ(m.channels[0][1].dR, 1 / std::sqrt(2.0));
  // A channel already at the target length is left as it was.
  EXPECT_EQ(m.channels[3][1].R, 301);
  EXPECT_EQ(m.channels[3][1].theta, std::asin(0.04 * 5.0 / (4 * std::numbers::pi)));
}

TEST(ArbitraryBytes, AreRefusedWithoutACrash) {
  // Brackets nested deeper than any header needs would drive the YAML parser's
  // recursion; they are refused before it sees them.
  std::istringstream deep("# a: " + std::string(100000, '[') + "\n0.01 1 0.1\n");
  try {
    read_orso(deep, "deep.ort");
    FAIL() << "accepted";
  } catch (const ImportError& e) {
    EXPECT_TRUE(has(e.what(), "deep.ort, line 1")) << e.what();
  }
  std::istringstream dashes("# " + std::string(20000, '-') + " x\n0.01 1 0.1\n");
  EXPECT_THROW(read_orso(dashes, "dashes.ort"), ImportError);

  // Nine lines of YAML aliases name 10^9 values: refused at once, not walked.
  std::string bomb = "# a0: &a0 [x, x, x, x, x, x, x, x, x, x]\n";
  for (int i = 1; i < 9; ++i) {
    bomb += "# a" + std::to_string(i) + ": &a" + std::to_string(i) + " [";
    for (int k = 0; k < 10; ++k) bomb += (k ? ", *a" : "*a") + std::to_string(i - 1);
    bomb += "]\n";
  }
  std::istringstream aliases(bomb + "0.01 1 0.1\n");
  EXPECT_THROW(read_orso(aliases, "aliases.ort"), ImportError);

  // A key given twice (here the polarization that picks the channel) is
  // refused: YAML readers differ on which of the two counts.
  std::istringstream twice(
      "# data_source:\n#   measurement:\n#     instrument_settings:\n"
      "#       polarization: pp\n#       polarization: mm\n0.01 1 0.1\n");
  try {
    read_orso(twice, "twice.ort");
    FAIL() << "accepted";
  } catch (const ImportError& e) {
    EXPECT_TRUE(has(e.what(), "twice.ort, line 5")) << e.what();
    EXPECT_TRUE(has(e.what(), "\"polarization\" twice")) << e.what();
  }

  // Every cut of a real file either reads or is refused with an ImportError.
  std::ifstream f(orso("test_example2.ort"), std::ios::binary);
  const std::string whole((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  ASSERT_GT(whole.size(), 2000u);
  for (std::size_t n = 0; n < whole.size(); n += 13) {
    for (auto* reader : {+[](std::istream& in) { read_orso(in, "cut.ort"); },
                         +[](std::istream& in) { read_ncnr(in, "cut.reflA"); },
                         +[](std::istream& in) { read_ncnr_blocks(in, "cut.refl"); }}) {
      std::istringstream in(whole.substr(0, n));
      try {
        reader(in);
      } catch (const ImportError&) {
      }
    }
  }
}

}  // namespace
}  // namespace tessaline::importer
