// A series loaded for its joint fit: the joint vector (the shared free
// parameters once, then each set's own free ones), the values every set takes
// from it, the first set's values and marks for what is shared, bounds in the
// entry file's units; and every way a loaded series is refused, each naming
// the series file's line and, where it lies there, the set's file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/series/series_fixture.hpp"
#include "tools/series/series.hpp"

namespace tessaline::series {
namespace {

using testing::Film;
using testing::ScratchDir;
using testing::series_text;
using testing::write_field_sets;

Series load(const ScratchDir& dir, const std::string& text) {
  dir.write("field.series", text);
  return load_series(read_series_file(dir.file("field.series")));
}

std::string refusal(const ScratchDir& dir, const std::string& text) {
  try {
    load(dir, text);
  } catch (const SeriesError& e) {
    return e.what();
  }
  return "";
}

TEST(SeriesLoad, TheJointVectorAndWhatEverySetTakesFromIt) {
  ScratchDir dir;
  Film high, low;
  low.np = 3.0;
  low.cos_g = 0.5;
  write_field_sets(dir, {{"high", high}, {"low", low}});
  // 2 (Re{Nb} of Au) is fixed and shared; 7 is named twice.
  Series s = load(dir, series_text({"high", "low"}, {"share 27 7 2", "share 7 1 12"}));
  ASSERT_EQ(s.sets.size(), 2u);
  EXPECT_TRUE(s.warnings.empty());

  // Shared and free: 1, 7, 12, 27 in slot order; then each set's own.
  const std::vector<int> own = {testing::kNp, testing::kCosG, testing::kSin2, testing::kBgr};
  ASSERT_EQ(s.nshared, 4);
  ASSERT_EQ(s.joint->NPAR, 4 + 2 * 4);
  const int shared_slots[] = {1, 7, 12, 27};
  for (int j = 1; j <= 4; ++j) {
    EXPECT_EQ(s.slots[static_cast<std::size_t>(j - 1)].set, -1);
    EXPECT_EQ(s.slots[static_cast<std::size_t>(j - 1)].slot, shared_slots[j - 1]);
  }
  for (std::size_t k = 0; k < 2; ++k) {
    EXPECT_EQ(s.sets[k].nfree, 8);
    for (std::size_t n = 0; n < own.size(); ++n) {
      const int j = 5 + static_cast<int>(4 * k + n);
      EXPECT_EQ(s.slots[static_cast<std::size_t>(j - 1)].set, static_cast<int>(k));
      EXPECT_EQ(s.slots[static_cast<std::size_t>(j - 1)].slot, own[n]);
      EXPECT_EQ(s.sets[k].joint[static_cast<std::size_t>(own[n])], j);
    }
    for (int j = 1; j <= 4; ++j) {
      EXPECT_EQ(s.sets[k].joint[static_cast<std::size_t>(shared_slots[j - 1])], j);
    }
    EXPECT_EQ(s.sets[k].joint[2], 0);  // fixed: not in the joint vector
  }
  // The joint vector starts at the sets' start values, with their scales.
  EXPECT_DOUBLE_EQ(s.joint->PARAM(5) / s.joint->SCALE(5), 5.1e-6);
  EXPECT_DOUBLE_EQ(s.joint->PARAM(9) / s.joint->SCALE(9), 3.0e-6);
  EXPECT_EQ(s.joint->SCALE(5), s.sets[0].t->SCALE(testing::kNp));

  ParamVector P = s.joint->PARAM;
  for (int j = 1; j <= s.joint->NPAR; ++j) P(j) = 1000.0 + j;
  s.scatter(P);
  EXPECT_EQ(s.sets[0].t->PARAM(7), 1002.0);
  EXPECT_EQ(s.sets[1].t->PARAM(7), 1002.0);
  EXPECT_EQ(s.sets[0].t->PARAM(testing::kBgr), 1008.0);
  EXPECT_EQ(s.sets[1].t->PARAM(testing::kBgr), 1012.0);
  EXPECT_DOUBLE_EQ(s.sets[1].t->PARAM(2) / s.sets[1].t->SCALE(2), 4.5e-6);  // fixed, kept
  EXPECT_EQ(s.npoint(), 2 * 4 * 60);
}

// A shared parameter whose value or mark differs between the sets is a
// warning; every set takes the first set's.  The second set's tables are then
// those of its own fit with the shared value and mark.
TEST(SeriesLoad, ASharedValueOrMarkThatDiffersIsTheFirstSetsWithAWarning) {
  ScratchDir dir;
  Film a, b;
  b.fe = 150.0;
  write_field_sets(dir, {{"a", a}, {"b", b}});
  EntryDescription e = testing::film_entry(b);
  e.scaling.fixed = true;
  write_entry_file(dir.file("b.ent"), e);
  Series s = load(dir, series_text({"a", "b"}, {"share 7", "share 27"}));
  ASSERT_EQ(s.warnings.size(), 2u);
  EXPECT_NE(
      s.warnings[0].find("line 4: parameter 7 (thickness, layer 2) is shared, but set b "
                         "gives it 150 (free) in \"" +
                         dir.file("b.ent") + "\"; every set takes the first set's 145 (free)"),
      std::string::npos)
      << s.warnings[0];
  EXPECT_NE(s.warnings[1].find("line 5: parameter 27 (total scaling) is shared, but set b gives "
                               "it 0.25 (fixed)"),
            std::string::npos)
      << s.warnings[1];
  const Tables& tb = *s.sets[1].t;
  EXPECT_EQ(tb.PARAM(7), s.sets[0].t->PARAM(7));
  EXPECT_GT(tb.STEPLIM(27), 0.0);
  EXPECT_EQ(tb.NFIX, s.sets[0].t->NFIX);  // the marks are the first set's
  EXPECT_EQ(s.nshared, 2);
}

// Bounds are given in the entry file's units and narrow the program's: a
// start value written as the bound lies on it, one just beyond is refused.
TEST(SeriesLoad, BoundsInTheEntryFilesUnits) {
  ScratchDir dir;
  Film a, b;
  a.np = 6.0;  // 1e-6 A^-2
  write_field_sets(dir, {{"a", a}, {"b", b}});
  Series s =
      load(dir, series_text({"a", "b"}, {"bound 10 -5 6", "bound b:7 100 150", "bound 1 20 1e9"}));
  const Tables& ta = *s.sets[0].t;
  const Tables& tb = *s.sets[1].t;
  EXPECT_DOUBLE_EQ(ta.PARMAX(10) / ta.SCALE(10), 6e-6);
  EXPECT_EQ(ta.PARMIN(10), 0.0);  // the program's lower bound stays the outer limit
  EXPECT_EQ(tb.PARMIN(7), 100.0);
  EXPECT_EQ(tb.PARMAX(7), 150.0);
  EXPECT_EQ(ta.PARMIN(7), 0.0);  // a bound of one set only
  EXPECT_EQ(ta.PARMIN(1), 20.0);
  EXPECT_EQ(ta.PARMAX(1), 1e6);
  // The joint vector carries the bounds of its sets.
  EXPECT_EQ(s.joint->PARMAX(s.sets[0].joint[10]), ta.PARMAX(10));
  EXPECT_EQ(s.joint->PARMIN(s.sets[1].joint[7]), 100.0);

  std::string e = refusal(dir, series_text({"a", "b"}, {"bound 10 -5 5.999"}));
  EXPECT_NE(e.find("line 4: the start value 6 of parameter 10 (N_p, layer 2) in \"" +
                   dir.file("a.ent") + "\" (set a) lies outside the bounds 0 to 5.999"),
            std::string::npos)
      << e;

  // A shared start is the first set's: the refusal names that value and file,
  // though the second set's entry gives another (150, inside the bounds).
  Film wider;
  wider.fe = 150.0;
  write_field_sets(dir, {{"a", a}, {"b", wider}});
  e = refusal(dir, series_text({"a", "b"}, {"share 7", "bound 7 146 160"}));
  EXPECT_NE(e.find("line 5: the start value 145 of parameter 7 (thickness, layer 2) in \"" +
                   dir.file("a.ent") + "\" (set a) lies outside the bounds 146 to 160"),
            std::string::npos)
      << e;

  // alpha_0 is written in mrad: a free start of 2 mrad and the bound 0 2.
  EntryDescription d = testing::film_entry(b);
  d.alpha0 = EntryValue{2.0, false, {}};
  write_entry_file(dir.file("b.ent"), d);
  EXPECT_EQ(refusal(dir, series_text({"a", "b"}, {"bound b:28 0 2"})), "");
  e = refusal(dir, series_text({"a", "b"}, {"bound b:28 0 1.999"}));
  EXPECT_NE(e.find("the start value 2 of parameter 28 (alpha_0)"), std::string::npos) << e;

  e = refusal(dir, series_text({"a", "b"}, {"bound 10 -5 -1"}));
  EXPECT_NE(e.find("line 4: the bound -5 to -1 of parameter 10 (N_p, layer 2) lies outside the "
                   "program's bounds 0 to 100"),
            std::string::npos)
      << e;

  // A bound on a value fixed wherever it applies does nothing: a warning.
  s = load(dir, series_text({"a", "b"}, {"bound 2 0 5"}));
  ASSERT_EQ(s.warnings.size(), 1u);
  EXPECT_NE(s.warnings[0].find("line 4: parameter 2 (Re{Nb}, layer 1) is fixed wherever this "
                               "bound applies"),
            std::string::npos)
      << s.warnings[0];
}

TEST(SeriesLoad, RefusalsNameTheLineAndTheFile) {
  ScratchDir dir;
  write_field_sets(dir, {{"a", Film{}}, {"b", Film{}}});
  const auto expect = [&](const std::string& text, const std::string& fragment) {
    SCOPED_TRACE(text);
    const std::string e = refusal(dir, text);
    EXPECT_EQ(e.rfind("series file \"" + dir.file("field.series") + "\"", 0), 0u) << e;
    EXPECT_NE(e.find(fragment), std::string::npos) << e;
  };
  expect(series_text({"a", "b"}, {"share 1-36"}),
         "line 4: there is no parameter 36: the sets have 35 parameters (3 layers)");
  expect(series_text({"a", "b"}, {"bound 40 0 1"}),
         "line 4: there is no parameter 40: the sets have 35 parameters");
  expect(series_text({"a", "b"}, {"share 7", "bound b:7 100 150"}),
         "line 5: parameter 7 (thickness, layer 2) is shared, so it has one bound for every set: "
         "write \"bound 7 LO HI\"");
  expect("set a a.ent a.dat\nset b none.ent b.dat\n",
         "line 2: set b: entry file \"" + dir.file("none.ent") + "\"");
  expect("set a a.ent a.dat\nset b b.ent none.dat\n", "line 2: set b: ");
  expect("set a a.ent a.dat\nset b b.ent none.dat\n", dir.file("none.dat"));
  expect("set a a.ent a.dat\nset b b.ent b.dat 30 30\n",
         "line 2: set b: \"" + dir.file("b.dat") + "\": dropping the first 30 and the last 30");

  // Another number of layers.
  EntryDescription four = testing::film_entry(Film{});
  four.layers.push_back(four.layers.back());
  write_entry_file(dir.file("four.ent"), four);
  expect("set a a.ent a.dat\n\nset b four.ent b.dat\n",
         "line 3: set b: \"" + dir.file("four.ent") + "\" has 4 layers, but \"" +
             dir.file("a.ent") + "\" of the first set a has 3");

  // An entry file the program stops on.
  std::string big = dir.read("a.ent");
  big.replace(big.find("60 "), 3, "1001 ");
  dir.write("big.ent", big);
  expect("set a a.ent a.dat\nset b big.ent b.dat\n", "the program stops here: nn > maxpoint");
}

// N_p and <cos(delta_gamma)> of one medium may not both be free: a set whose
// own entry file frees the second while the first set frees the first, which
// is shared, is refused.
TEST(SeriesLoad, SharingMustNotFreeAMagneticPair) {
  ScratchDir dir;
  write_field_sets(dir, {{"a", Film{}}, {"b", Film{}}});
  EntryDescription d = testing::film_entry(Film{});
  d.layers[1].np.fixed = true;
  d.layers[1].cos_delta_gamma.fixed = false;
  write_entry_file(dir.file("b.ent"), d);
  EXPECT_EQ(refusal(dir, series_text({"a", "b"})), "");
  const std::string e = refusal(dir, series_text({"a", "b"}, {"share 10"}));
  EXPECT_NE(e.find("line 3: set b: N_p (parameter 10) and <cos(delta_gamma)> (parameter 11) of "
                   "layer 2 would both be free"),
            std::string::npos)
      << e;
}

// The joint vector must fit the minimizer's 3017 slots: seven sets of 500
// layers with every thickness and four global values free and nothing shared
// need 3528.
TEST(SeriesLoad, MoreFreeParametersThanTheMinimizerHoldsAreRefused) {
  ScratchDir dir;
  EntryDescription d = testing::film_entry(Film{});
  d.layers.assign(500, d.layers[0]);
  write_entry_file(dir.file("thick.ent"), d);
  write_point_list(dir.file("one.dat"), {{{{1.0, 0.1, 0.01}}, {}, {}, {}}});
  std::string text;
  for (int k = 1; k <= 7; ++k) text += "set s" + std::to_string(k) + " thick.ent one.dat\n";
  const std::string e = refusal(dir, text);
  EXPECT_NE(e.find("the joint fit would have 3528 free parameters (0 shared, 504 of s1, "),
            std::string::npos)
      << e;
  EXPECT_NE(e.find("more than the 3017 the minimizer holds"), std::string::npos) << e;
  // Shared, the thicknesses fit.
  EXPECT_EQ(refusal(dir, text + "share 1-3000\n"), "");
}

}  // namespace
}  // namespace tessaline::series
