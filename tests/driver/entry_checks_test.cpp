// The checks made before a fit, on the shipped example's entry file with one
// value changed at a time: the boundaries (full polarization, a start value on
// its bound) that must pass, the values just beyond them that must be warned
// about, and a layer of thickness 0 with a roughness of its own.
#include "driver/entry_checks.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "driver/driver.hpp"

namespace tessaline {
namespace {

std::string example_entry() {
  std::ifstream in(std::string(TESSALINE_EXAMPLES_DIR) + "/film.ent", std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The example with the value at the start of the line that begins with
// `line_start` (which includes the value) replaced by `value`.
std::string with(std::string text, const std::string& line_start, const std::string& value) {
  const auto at = text.find("\n" + line_start);
  EXPECT_NE(at, std::string::npos) << line_start;
  const auto end = text.find_first_of(" \t", at + 1);
  text.replace(at + 1, end - at - 1, value);
  return text;
}

std::vector<EntryCheck> checks_of(const std::string& text) {
  auto t = make_tables();
  t->pi = kPi;
  std::istringstream in(text);
  textio::OutStream quiet;
  read_entry_file(*t, in, "film.ent", quiet);
  return entry_checks(*t);
}

std::vector<std::string> warnings(const std::vector<EntryCheck>& checks) {
  std::vector<std::string> w;
  for (const EntryCheck& c : checks)
    if (!c.ok) w.push_back(c.text);
  return w;
}

TEST(EntryChecks, TheExamplePassesEveryCheck) {
  const std::vector<EntryCheck> c = checks_of(example_entry());
  std::vector<std::string> texts;
  for (const EntryCheck& k : c) {
    EXPECT_TRUE(k.ok) << k.text;
    texts.push_back(k.text);
  }
  EXPECT_EQ(texts, (std::vector<std::string>{
                       "nn = 150 (1 to 1000), j0 = 7 (1 to 101), nlay = 3 (0 to 500), "
                       "wavelength > 0",
                       "N_p and <cos(delta_gamma)> never both free in a medium",
                       "polarizer |Pi| = 0.98 (at most 1)", "analyser |Pf| = 0.97 (at most 1)",
                       "every free value starts within its bounds",
                       "no layer of thickness 0 with a roughness of its own",
                       "7 free parameters, 600 points"}));
}

TEST(EntryChecks, FullPolarizationAndStartValuesOnTheirBoundsPass) {
  const std::string e = example_entry();
  // |P| = 1 exactly, along an axis or as (0.6, 0.8, 0), is ideal, not more.
  std::string full = with(with(with(e, "0.98      Pi(y)", "1.0"), "0.0       Pf(x)", "0.6"),
                          "0.97      Pf(y)", "0.8");
  EXPECT_TRUE(warnings(checks_of(full)).empty()) << warnings(checks_of(full)).at(0);
  const std::string over = with(e, "0.98      Pi(y)", "1.000001");
  EXPECT_EQ(
      warnings(checks_of(over)),
      std::vector<std::string>{"polarizer |Pi| = 1.000001, above 1: more than full polarization"});

  // The free Au thickness exactly on its lower bound 0 starts within its
  // bounds; just below it, it does not.
  EXPECT_TRUE(warnings(checks_of(with(e, "48.0      thickness", "0.0"))).size() == 1)
      << "only the layer of thickness 0 is warned about";
  EXPECT_EQ(warnings(checks_of(with(e, "48.0      thickness", "-1e-9"))).at(0),
            "parameter 1 (thickness) starts at -1e-09, below its lower bound 0: the fit holds "
            "it on that bound");
  // N_p of layer 2 on its upper bound 100 (1e-4 A^-2).
  EXPECT_TRUE(warnings(checks_of(with(e, "4.8       N_p", "100"))).empty());
  EXPECT_EQ(warnings(checks_of(with(e, "4.8       N_p", "100.001"))).size(), 1u);
}

TEST(EntryChecks, AZeroThicknessLayerWithItsOwnRoughnessIsFlagged) {
  const std::string e = example_entry();
  // The Cr layer (3, roughness 4 A) at thickness 0 on Si (3 A).
  std::string zero = with(e, "30.0      thickness", "0.0");
  EXPECT_EQ(warnings(checks_of(zero)),
            std::vector<std::string>{
                "layer 3 has thickness 0 but its own roughness, 4 A against 3 A below it: its two "
                "interfaces lie at one depth with different widths, so the layer still changes "
                "the reflectivity (give it the roughness below it, or remove it)"});
  // With the roughness of the medium below it, the layer is left alone.
  EXPECT_TRUE(warnings(checks_of(with(zero, "4.0       Debye-Waller", "3.0"))).empty());
  // Layer 2 (5 A) at thickness 0 is compared with layer 3 below it (4 A), not
  // with the layer above it.
  const std::string middle =
      with(with(e, "140.0     thickness", "0.0"), "6.0       Debye-Waller", "5.0");
  const std::vector<std::string> w = warnings(checks_of(middle));
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(w[0].substr(0, 60), "layer 2 has thickness 0 but its own roughness, 5 A against 4");
}

TEST(EntryChecks, MoreFreeParametersThanPointsAreWarnedAbout) {
  // nn = 1: 4 points for 7 free parameters.
  const std::vector<std::string> w =
      warnings(checks_of(with(example_entry(), "150       nn", "1")));
  EXPECT_EQ(w, std::vector<std::string>{
                   "7 free parameters, 4 points: no degree of freedom is left for the fit"});
  EXPECT_TRUE(warnings(checks_of(with(example_entry(), "150       nn", "2"))).empty());
}

}  // namespace
}  // namespace tessaline
