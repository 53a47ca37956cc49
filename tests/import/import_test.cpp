// The readers and the assembly of reduced files, in process: the real NCNR spin
// valve and the real ORSO files, the selection of common Qz points, the merge
// option, and input that must be refused without a crash.
//
// Expected counts come from the files' own description and from reading them
// here line by line; expected merged values are computed by hand below.
#include "import/import.hpp"

#include <gtest/gtest.h>

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

TEST(RealNcnrSpinValve, EveryLetterGoesToItsChannelAndExcludedPointsStayOut) {
  // Cross sections A = --, B = -+, C = +-, D = ++ (polarizer, analyser); the
  // files keep 127, 92, 93 and 110 of their 139 point lines.
  const std::map<std::string, std::pair<int, int>> expected = {
      {"A", {1, 127}}, {"B", {3, 92}}, {"C", {2, 93}}, {"D", {0, 110}}};
  std::vector<DataSet> sets;
  for (const char* letter : {"B", "D", "A", "C"}) {  // not in channel order
    SCOPED_TRACE(letter);
    const std::vector<DataSet> read = read_reduced_file(spinvalve(letter));
    ASSERT_EQ(read.size(), 1u);
    const DataSet& s = read[0];
    EXPECT_EQ(s.polarization, letter);
    EXPECT_EQ(s.channel, expected.at(letter).first);
    EXPECT_EQ(static_cast<int>(s.points.size()), expected.at(letter).second);
    EXPECT_EQ(s.excluded, 139 - expected.at(letter).second);
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
  EXPECT_EQ(r.wavelength, 4.75);
  EXPECT_FALSE(r.resolution.has_value());
  // 77 Qz values are uncommented in all four files.
  ASSERT_EQ(r.nn(), 77);
  const char* letter_of[kChannels] = {"D", "A", "C", "B"};
  for (int c = 0; c < kChannels; ++c) {
    SCOPED_TRACE(letter_of[c]);
    const ChannelSummary& s = r.summary[c];
    EXPECT_TRUE(has(s.source, std::string("refl") + letter_of[c])) << s.source;
    EXPECT_EQ(s.read, 139);
    EXPECT_EQ(s.dropped_qz + s.dropped_nonfinite + s.dropped_error, 0);
    EXPECT_EQ(s.kept, 77);
    EXPECT_EQ(s.excluded + s.dropped_unmatched + s.kept, 139);
    // Every kept point is an uncommented line of its own file, R and dR to the
    // bit, at the angle of its Qz.
    const std::vector<ReducedPoint> file = plain_points(spinvalve(letter_of[c]));
    double last = 0;
    for (const DataPoint& p : r.channels[c]) {
      const double Qz = 4 * std::numbers::pi * std::sin(p.theta) / 4.75;
      bool found = false;
      for (const ReducedPoint& q : file) {
        if (std::fabs(q.Qz - Qz) > 1e-12 * Qz) continue;
        found = true;
        EXPECT_EQ(p.R, q.R);
        EXPECT_EQ(p.dR, q.dR);
      }
      EXPECT_TRUE(found) << "Qz " << Qz << " is not an uncommented point of the file";
      EXPECT_GT(p.theta, last);
      last = p.theta;
    }
  }
}

TEST(RealOrsoFiles, AreRefusedWithTheirReasons) {
  // Two data sets; the second overrides only the polarization and keeps the
  // columns of the first.
  const std::vector<DataSet> two = read_reduced_file(orso("test_example2.ort"));
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(two[0].name, "spin_up");
  EXPECT_EQ(two[0].polarization, "po");
  EXPECT_EQ(two[0].points.size(), 2u);
  EXPECT_EQ(two[1].name, "spin_down");
  EXPECT_EQ(two[1].polarization, "mo");
  EXPECT_EQ(two[1].points.size(), 4u);
  EXPECT_EQ(two[1].points[3].dQz, 5.33586471e-05);
  EXPECT_EQ(two[1].wavelength_range, "3 to 12.5 A");

  std::string m = message_of(two);
  for (const char* part :
       {"spin_up: po (polarizer only, no analyser)", "spin_down: mo (polarizer only, no analyser)",
        "all four spin channels", "Missing: UU, DD, UD, DU", "time of flight", "--wavelength"})
    EXPECT_TRUE(has(m, part)) << part << "\n" << m;

  m = message_of(read_reduced_file(orso("test_example.ort")));
  EXPECT_TRUE(has(m, "spin_up: po")) << m;

  // A real time-of-flight measurement without polarization: unpolarized, and
  // only a wavelength range; with --wavelength only the first reason remains.
  const std::vector<DataSet> amor = read_reduced_file(orso("prist5_10K_m_025.Rqz.ort"));
  ASSERT_EQ(amor.size(), 1u);
  EXPECT_EQ(amor[0].points.size(), 79u);
  m = message_of(amor);
  for (const char* part : {"unpolarized", "time of flight", "3 to 12 A", "--wavelength L"})
    EXPECT_TRUE(has(m, part)) << part << "\n" << m;
  Options with_wavelength;
  with_wavelength.wavelength = 6.0;
  m = message_of(amor, with_wavelength);
  EXPECT_TRUE(has(m, "unpolarized")) << m;
  EXPECT_FALSE(has(m, "time of flight")) << m;
}

// A data set for one channel with the given Qz values; R and dR tell the points
// apart.
DataSet set_of(int channel, const std::vector<double>& Qz, const std::vector<double>& dR = {}) {
  DataSet s;
  s.file = std::string(kChannelNames[channel]) + ".dat";
  s.channel = channel;
  s.wavelength = 5.0;
  for (std::size_t i = 0; i < Qz.size(); ++i)
    s.points.push_back(
        {Qz[i], 100.0 * channel + static_cast<double>(i), dR.empty() ? 0.5 : dR[i], std::nan("")});
  return s;
}

TEST(ChannelsOfUnequalLength, KeepThePointsWhoseQzIsInEveryChannel) {
  // UD's 0.03 differs from the others' by 1e-7 relative, inside the
  // tolerance; DU's 0.04 by 2e-6, outside it.  DD is given out of order.
  const std::vector<DataSet> sets = {set_of(0, {0.01, 0.02, 0.03, 0.04, 0.05}),
                                     set_of(1, {0.05, 0.03, 0.02, 0.04}),
                                     set_of(2, {0.01, 0.02, 0.03 * (1 + 1e-7), 0.04, 0.05}),
                                     set_of(3, {0.02, 0.03, 0.04 * (1 + 2e-6), 0.05})};
  const Imported r = assemble(sets, {});
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

  Options merge;
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
