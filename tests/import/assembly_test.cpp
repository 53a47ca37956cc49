// The assembly of data sets into the channels of a data file: which points are
// left out and under which reason, the wavelength given against the files',
// the angular resolution of every point from its Qz resolution, the curves
// measured without an analyser or a polarizer and their starting entry, the
// sets that cannot be fitted together, and, for the classic form, the
// resolution of merged points and what the common-Qz rule says when it keeps
// few points.
//
// Expected values by hand: theta = asin(Qz lambda / 4 pi), sigma_theta =
// sigma_Qz lambda / (4 pi cos theta), inverse-variance weights 1/dR^2; the
// polarization vectors and scales from the plateau below the critical edge,
// t (4 + 2 bgr) per pair of analysed channels and t (2 + bgr) per curve
// without an analyser or a polarizer.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

#include "import/import.hpp"
#include "tests/import/import_support.hpp"

namespace tessaline::importer {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

using testing::has;
using testing::message_of;

// Four channels of the same points, at a wavelength of 5 A.
std::vector<DataSet> four(const std::vector<ReducedPoint>& points, double wavelength = 5.0) {
  std::vector<DataSet> sets;
  for (int c = 0; c < kChannels; ++c) {
    DataSet s;
    s.file = "f" + std::to_string(c);
    s.beam = Beam::kAnalysed;
    s.channel = c;
    s.wavelength = wavelength;
    s.points = points;
    sets.push_back(s);
  }
  return sets;
}

Options classic() {
  Options o;
  o.form = Form::kClassic;
  return o;
}

TEST(Cleaning, EveryUnusablePointIsCountedUnderItsOwnReason) {
  // 4 pi / lambda = 2.513 1/A at 5 A: a Qz above it has no angle.
  const std::vector<ReducedPoint> points = {
      {0.01, 0.5, 0.02, kNaN},   // kept
      {kNaN, 0.5, 0.02, kNaN},   // Qz not finite
      {kInf, 0.5, 0.02, kNaN},   // Qz not finite
      {0.02, kNaN, 0.02, kNaN},  // R not finite
      {0.03, 0.5, -kInf, kNaN},  // dR not finite
      {0.0, 0.5, 0.02, kNaN},    // Qz <= 0
      {-0.01, 0.5, 0.02, kNaN},  // Qz <= 0
      {2.6, 0.5, 0.02, kNaN},    // beyond 4 pi / lambda
      {0.04, 0.5, 1e-31, kNaN},  // error bar below 1e-30
      {0.05, 0.5, 0.0, kNaN},    // error bar 0
      {0.06, 0.5, 1e-30, kNaN},  // error bar exactly 1e-30: kept
      {0.07, -0.3, 0.02, kNaN},  // negative R: kept
  };
  const Imported r = assemble(four(points), {});
  for (int c = 0; c < kChannels; ++c) {
    const ChannelSummary& s = r.summary[c];
    EXPECT_EQ(s.read, 12);
    EXPECT_EQ(s.dropped_nonfinite, 4);
    EXPECT_EQ(s.dropped_qz, 3);
    EXPECT_EQ(s.dropped_error, 2);
    EXPECT_EQ(s.kept, 3);
  }
  ASSERT_EQ(r.nn(), 3);
  EXPECT_EQ(r.channels[0][1].dR, 1e-30);
  EXPECT_EQ(r.channels[0][2].R, -0.3);
  EXPECT_EQ(r.channels[0][0].theta, std::asin(0.01 * 5.0 / (4 * std::numbers::pi)));
}

TEST(Wavelength, GivenOnTheCommandLineMustAgreeWithTheFiles) {
  const std::vector<ReducedPoint> points = {{0.01, 0.5, 0.02, kNaN}};
  Options o;
  o.wavelength = 5.1;
  std::string m = message_of(four(points, 5.0), o);
  EXPECT_TRUE(has(m, "f0 declares the wavelength 5 A, but --wavelength gives 5.1 A")) << m;
  // Within the relative tolerance of 1e-6 the two agree, and the given value
  // converts the angles.
  o.wavelength = 5.0 * (1 + 5e-7);
  const Imported r = assemble(four(points, 5.0), o);
  EXPECT_TRUE(r.wavelength_given);
  EXPECT_EQ(r.wavelength, *o.wavelength);
  EXPECT_EQ(r.channels[0][0].theta, std::asin(0.01 * *o.wavelength / (4 * std::numbers::pi)));
  // The program's own rule applies to a given wavelength.
  o.wavelength = 1e-320;
  std::vector<DataSet> none = four(points);
  for (DataSet& s : none) s.wavelength.reset();
  m = message_of(none, o);
  EXPECT_TRUE(has(m, "--wavelength: the program refuses the wavelength 1e-320 A")) << m;
}

TEST(Wavelength, ADataSetWithoutOneIsNamedWithItsFile) {
  // A file of blocks whose second block gives no wavelength of its own.
  std::vector<DataSet> sets = four({{0.01, 0.5, 0.02, kNaN}});
  for (DataSet& s : sets) s.file = "all.refl";
  sets[0].name = "++";
  sets[1].name = "--";
  sets[1].wavelength.reset();
  const std::string m = message_of(sets);
  EXPECT_TRUE(has(m,
                  "all.refl, data set -- declares no wavelength (all.refl, data set ++ gives "
                  "5 A"))
      << m;
}

TEST(Resolution, IsTheAngularWidthWithItsCosine) {
  // At 5 A, Qz = 4 pi sin(30 deg) / 5 puts the point at 30 degrees, where
  // cos theta = 0.866 matters.
  const double lambda = 5.0;
  const double Qz = 4 * std::numbers::pi * 0.5 / lambda;
  const Imported r = assemble(four({{0.01, 0.5, 0.02, 0.0002}, {Qz, 0.5, 0.02, 0.01}}), {});
  ASSERT_TRUE(r.resolution.has_value());
  const double theta = std::numbers::pi / 6;
  EXPECT_NEAR(r.channels[0][1].theta, theta, 1e-15);
  const double wide = 0.01 * lambda / (4 * std::numbers::pi * std::cos(theta));
  const double narrow =
      0.0002 * lambda /
      (4 * std::numbers::pi * std::cos(std::asin(0.01 * lambda / 4 / std::numbers::pi)));
  EXPECT_NEAR(r.resolution->max, wide, 1e-15 * wide);
  EXPECT_NEAR(r.resolution->min, narrow, 1e-15 * narrow);
  EXPECT_EQ(r.resolution->points, 8);
  EXPECT_NEAR(r.resolution->median, (wide + narrow) / 2, 1e-15 * wide);
  // The point list carries each point's own value; the classic form one
  // kernel for all.
  EXPECT_TRUE(r.resolution->per_point);
  for (int c = 0; c < kChannels; ++c) {
    EXPECT_NEAR(r.channels[c][0].resolution, narrow, 1e-15 * narrow);
    EXPECT_NEAR(r.channels[c][1].resolution, wide, 1e-15 * wide);
  }
  const Imported one =
      assemble(four({{0.01, 0.5, 0.02, 0.0002}, {Qz, 0.5, 0.02, 0.01}}), classic());
  EXPECT_FALSE(one.resolution->per_point);
  EXPECT_EQ(one.channels[0][1].resolution, -1);
}

TEST(Resolution, APointListCarriesItOnlyWhenEveryPointHasOne) {
  // One point without a resolution: none is written, and a note says why.
  std::vector<DataSet> sets = four({{0.01, 0.5, 0.02, 0.0002}, {0.02, 0.5, 0.02, 0.0004}});
  sets[2].points[1].dQz = kNaN;
  Imported r = assemble(sets, {});
  ASSERT_TRUE(r.resolution.has_value());
  EXPECT_FALSE(r.resolution->per_point);
  EXPECT_EQ(r.resolution->missing, 1);
  EXPECT_EQ(r.resolution->points, 7);
  for (const auto& ch : r.channels)
    for (const DataPoint& p : ch) EXPECT_EQ(p.resolution, -1);
  bool said = false;
  for (const std::string& n : r.notes) said = said || has(n, "1 kept points have no usable");
  EXPECT_TRUE(said);
  // A resolution of 0 is a point without smearing, and is written as such;
  // a negative one is no resolution.
  sets[2].points[1].dQz = 0;
  r = assemble(sets, {});
  EXPECT_TRUE(r.resolution->per_point);
  EXPECT_EQ(r.resolution->zero, 1);
  EXPECT_EQ(r.channels[2][1].resolution, 0.0);
  sets[2].points[1].dQz = -1e-4;
  EXPECT_FALSE(assemble(sets, {}).resolution->per_point);
  // Zeros alone smear nothing: no column, and no kernel.
  for (DataSet& s : sets)
    for (ReducedPoint& p : s.points) p.dQz = 0;
  r = assemble(sets, {});
  EXPECT_FALSE(r.resolution.has_value());
  EXPECT_EQ(r.channels[0][0].resolution, -1);
  EXPECT_EQ(starting_entry(r).coll_sigma, 0.0);
}

TEST(Merge, TheResolutionOfAMergedPointIsTheWeightedMean) {
  // UU has four points, merged pairwise; the others two each.  Weights 1/dR^2:
  // 1 and 1/4 for the first pair.
  std::vector<DataSet> sets = four({{0.01, 0.5, 1.0, kNaN}, {0.03, 0.5, 1.0, kNaN}});
  sets[0].points = {{0.01, 1.0, 1.0, 0.001},
                    {0.02, 2.0, 2.0, 0.003},
                    {0.03, 3.0, 1.0, kNaN},
                    {0.04, 4.0, 1.0, kNaN}};
  Options o = classic();
  o.equalize = Equalize::kMerge;
  const Imported r = assemble(sets, o);
  ASSERT_EQ(r.nn(), 2);
  const double Qz = (0.01 + 0.02 / 4) / 1.25;
  const double dQz = (0.001 + 0.003 / 4) / 1.25;  // 0.0014, not the first point's 0.001
  EXPECT_DOUBLE_EQ(r.channels[0][0].R, (1.0 + 2.0 / 4) / 1.25);
  EXPECT_DOUBLE_EQ(r.channels[0][0].dR, 1 / std::sqrt(1.25));
  ASSERT_TRUE(r.resolution.has_value());
  EXPECT_EQ(r.resolution->points, 1);  // the second pair has no resolution
  const double theta = std::asin(Qz * 5.0 / (4 * std::numbers::pi));
  EXPECT_DOUBLE_EQ(r.resolution->median, dQz * 5.0 / (4 * std::numbers::pi * std::cos(theta)));
}

TEST(CommonQz, KeepingFewPointsPointsToTheMerge) {
  // 50, 50, 30 and 20 points on grids that share only two Qz values.
  std::vector<DataSet> sets = four({});
  const int counts[kChannels] = {50, 50, 30, 20};
  for (int c = 0; c < kChannels; ++c) {
    for (int i = 0; i < counts[c]; ++i) {
      // Every channel has 0.1 and 0.2; otherwise its own grid.
      const double Qz = i == 0 ? 0.1 : i == 1 ? 0.2 : 0.3 + 0.001 * i + 0.0001 * c;
      sets[c].points.push_back({Qz, 0.5, 0.02, kNaN});
    }
  }
  const Imported r = assemble(sets, classic());
  ASSERT_EQ(r.nn(), 2);
  EXPECT_EQ(r.summary[0].dropped_unmatched, 48);
  EXPECT_EQ(r.summary[3].dropped_unmatched, 18);
  bool pointed = false;
  for (const std::string& note : r.notes) {
    if (!has(note, "--merge")) continue;
    pointed = true;
    EXPECT_TRUE(has(note, "50, 50, 30, 20 usable points")) << note;
    EXPECT_TRUE(has(note, "2 points per channel are kept")) << note;
    EXPECT_TRUE(has(note, "--merge would keep 20 per channel")) << note;
  }
  EXPECT_TRUE(pointed);
  // Channels of equal length need no choice and get no such note.
  const Imported equal = assemble(four({{0.01, 0.5, 0.02, kNaN}}), classic());
  for (const std::string& note : equal.notes) EXPECT_FALSE(has(note, "--merge")) << note;
  // The point list keeps every point of the same sets.
  const Imported all = assemble(sets, {});
  for (int c = 0; c < kChannels; ++c) {
    EXPECT_EQ(all.channels[c].size(), static_cast<std::size_t>(counts[c]));
    EXPECT_EQ(all.summary[c].dropped_unmatched, 0);
  }
}

// One curve of the given spin state at 5 A, R = 0.5 + channel, so that a
// swapped channel shows.
DataSet curve(Beam beam, int channel, const std::string& polarization) {
  DataSet s;
  s.file = polarization + ".ort";
  s.polarization = polarization;
  s.beam = beam;
  s.channel = channel;
  s.wavelength = 5.0;
  s.points = {{0.01, 0.5 + channel, 0.02, kNaN}, {0.02, 0.4 + channel, 0.02, kNaN}};
  return s;
}

// The polarization vectors of a starting entry, as numbers.
std::array<double, 6> vectors(const EntryDescription& d) {
  return {d.Pi[0].value, d.Pi[1].value, d.Pi[2].value, d.Pf[0].value, d.Pf[1].value, d.Pf[2].value};
}

TEST(SpinStates, EachIsWrittenInItsChannelWithTheVectorsThatModelIt) {
  struct Case {
    const char* what;
    std::vector<DataSet> sets;
    Beam beam;
    std::array<int, kChannels> counts;  // points per channel written
    std::array<double, 6> vectors;      // Pi then Pf
    double scaling;                     // the plateau below the edge: 1 = 4 t or 2 t
  };
  const std::vector<Case> cases = {
      {"polarizer and analyser, non-spin-flip only",
       {curve(Beam::kAnalysed, 1, "mm"), curve(Beam::kAnalysed, 0, "pp")},
       Beam::kAnalysed,
       {2, 2, 0, 0},
       {0, 1, 0, 0, 1, 0},
       0.25},
      {"three analysed channels",
       {curve(Beam::kAnalysed, 3, "mp"), curve(Beam::kAnalysed, 0, "pp"),
        curve(Beam::kAnalysed, 1, "mm")},
       Beam::kAnalysed,
       {2, 2, 0, 2},
       {0, 1, 0, 0, 1, 0},
       0.25},
      {"half-polarized",
       {curve(Beam::kPolarizerOnly, 1, "mo"), curve(Beam::kPolarizerOnly, 0, "po")},
       Beam::kPolarizerOnly,
       {2, 2, 0, 0},
       {0, 1, 0, 0, 0, 0},
       0.5},
      {"half-polarized, the - state alone",
       {curve(Beam::kPolarizerOnly, 1, "-")},
       Beam::kPolarizerOnly,
       {0, 2, 0, 0},
       {0, 1, 0, 0, 0, 0},
       0.5},
      {"analyser only",
       {curve(Beam::kAnalyserOnly, 0, "op"), curve(Beam::kAnalyserOnly, 1, "om")},
       Beam::kAnalyserOnly,
       {2, 2, 0, 0},
       {0, 0, 0, 0, 1, 0},
       0.5},
      {"unpolarized",
       {curve(Beam::kUnpolarized, 0, "unpolarized")},
       Beam::kUnpolarized,
       {2, 0, 0, 0},
       {0, 0, 0, 0, 0, 0},
       0.5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Imported r = assemble(c.sets, {});
    EXPECT_EQ(r.beam, c.beam);
    for (int ch = 0; ch < kChannels; ++ch) {
      ASSERT_EQ(r.channels[ch].size(), static_cast<std::size_t>(c.counts[ch]));
      EXPECT_EQ(r.has(ch), c.counts[ch] > 0);
      // R = 0.5 + channel: every curve in the channel it names.
      if (c.counts[ch] > 0) {
        EXPECT_EQ(r.channels[ch][0].R, 0.5 + ch);
      }
    }
    const EntryDescription d = starting_entry(r);
    EXPECT_EQ(vectors(d), c.vectors);
    for (const EntryValue& v : d.Pi) EXPECT_TRUE(v.fixed);
    for (const EntryValue& v : d.Pf) EXPECT_TRUE(v.fixed);
    EXPECT_EQ(d.scaling.value, c.scaling);
    // The summary says what the zero vector does, in the program's channels.
    const std::string text = summary_text(r);
    if (c.beam == Beam::kPolarizerOnly) {
      EXPECT_TRUE(has(text, "Pf = (0, 0, 0)")) << text;
      EXPECT_TRUE(has(d.Pf[0].note, "no analyser")) << d.Pf[0].note;
    } else if (c.beam == Beam::kAnalyserOnly) {
      EXPECT_TRUE(has(text, "Pi = (0, 0, 0)")) << text;
      EXPECT_TRUE(has(d.Pi[0].note, "no polarizer")) << d.Pi[0].note;
    } else if (c.beam == Beam::kUnpolarized) {
      EXPECT_TRUE(has(text, "Pi = Pf = (0, 0, 0)")) << text;
      EXPECT_TRUE(has(d.Pi[0].note, "unpolarized")) << d.Pi[0].note;
    }
  }
}

TEST(SpinStates, SetsThatOneFitCannotHoldAreRefusedWithTheReason) {
  EXPECT_TRUE(
      has(message_of({curve(Beam::kAnalysed, 0, "pp"), curve(Beam::kPolarizerOnly, 1, "mo")}),
          "one polarizer vector Pi and one analyser vector Pf"));
  const std::string mixed = message_of(
      {curve(Beam::kPolarizerOnly, 0, "po"), curve(Beam::kUnpolarized, 0, "unpolarized")});
  EXPECT_TRUE(has(mixed, "po.ort: po (polarizer only, no analyser); unpolarized.ort: unpolarized"))
      << mixed;
  EXPECT_TRUE(has(mixed, "import them separately")) << mixed;
  DataSet vector = curve(Beam::kUnknown, kNoChannel, "vector");
  std::string m = message_of({vector});
  EXPECT_TRUE(has(m, "\"vector\", a polarization not known here")) << m;
  EXPECT_TRUE(has(m, "po, mo, op, om or unpolarized")) << m;
  m = message_of({curve(Beam::kPolarizerOnly, 0, "po"), curve(Beam::kPolarizerOnly, 0, "+")});
  EXPECT_TRUE(has(m,
                  "channel UU is given twice: by po.ort (po (polarizer only, no analyser)) "
                  "and by +.ort"))
      << m;
  // The classic form holds only the four analysed channels.
  m = message_of({curve(Beam::kPolarizerOnly, 0, "po"), curve(Beam::kPolarizerOnly, 1, "mo")},
                 classic());
  EXPECT_TRUE(has(m, "--classic")) << m;
  EXPECT_TRUE(has(m, "Without --classic the import writes a point list")) << m;
  m = message_of({curve(Beam::kAnalysed, 0, "pp"), curve(Beam::kAnalysed, 1, "mm")}, classic());
  EXPECT_TRUE(has(m, "Missing: UD, DU.")) << m;
}

TEST(PointList, AChannelHoldsAtMostTheProgramsLimit) {
  DataSet big = curve(Beam::kUnpolarized, 0, "unpolarized");
  big.points.clear();
  for (int i = 1; i <= maxpoint + 1; ++i) big.points.push_back({1e-4 * i, 0.5, 0.02, kNaN});
  std::string m = message_of({big});
  EXPECT_TRUE(has(m, "channel UU keeps 1001 usable points, more than the 1000")) << m;
  big.points.pop_back();
  const Imported r = assemble({big}, {});
  EXPECT_EQ(r.channels[0].size(), static_cast<std::size_t>(maxpoint));
  EXPECT_EQ(starting_entry(r).nn, maxpoint);
}

}  // namespace
}  // namespace tessaline::importer
