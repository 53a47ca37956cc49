// The entry-file reader: echo layout, marks, unit conversions, stored values,
// limits of the tables, the magnetic-pair rule and the text layer's errors.
//
// Expected echoes are written by hand from the line layouts; expected stored
// values from the physical values and the unit of each slot.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "driver/driver.hpp"
#include "tests/driver/scratch.hpp"

namespace tessaline {
namespace {

using testing::lines;
using testing::ScratchDir;
using textio::OutStream;
using textio::TextError;
using Lines = std::vector<std::string>;

// Entry-file pieces in the canonical layout (no blank lines), so that a test can
// vary one value or mark at a time.
Lines head(const std::string& nn = "20", const std::string& j0 = "5",
           const std::string& nlay = "1") {
  return {"0.0",  "F", "0.0", "F",   "1.0",  "F",           "---- Pf",
          "0.0",  "F", "0.0", "F",   "-1.0", "F",           "---- instrument",
          "4.75", nn,  j0,    "0.1", "0.2",  "---- layers", nlay};
}

Lines layer(const std::string& np_mark = "F", const std::string& cos_mark = "") {
  return {"---- layer", "100", "", "6.36", "", "0.0", "", "1.5", np_mark, "0.5", cos_mark, "5", ""};
}

Lines substrate(const std::string& np_mark = "F", const std::string& cos_mark = "") {
  return {"---- substrate", "2.07", "", "0.0", "", "0.0", np_mark, "1.0", cos_mark, "3", ""};
}

Lines tail() {
  return {"---- gamma", "0.5", "",  "0.866", "",     "0.75", "",          "---- scale",
          "1.2",        "",    "3", "",      "1e-5", "",     "---- zero", "0.25"};
}

std::string join(std::initializer_list<Lines> parts) {
  Lines all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return lines(all);
}

// Runs the reader on `content`; the console echo goes to a file that the test
// reads back afterwards.
class EntryFileTest : public ::testing::Test {
 protected:
  void read(const std::string& content) {
    dir_.write("model.ent", content);
    console_.create(dir_.file("console.txt"));
    read_entry_file(t_, dir_.file("model.ent"), console_);
  }
  std::string echo() {
    console_.close();
    return dir_.read("console.txt");
  }
  // The last line of the echo.
  std::string last_line() {
    std::string e = echo();
    if (!e.empty() && e.back() == '\n') e.pop_back();
    return e.substr(e.rfind('\n') + 1);
  }
  // Expects a limit stop with `message` after the echo line `echoed`.
  void expect_stop(const std::string& content, const std::string& message,
                   const std::string& echoed) {
    try {
      read(content);
      FAIL() << "no stop for " << message;
    } catch (const RunStop& e) {
      EXPECT_EQ(e.what(), message);
      EXPECT_EQ(e.status(), kExitStop);
    }
    EXPECT_EQ(last_line(), echoed);
  }

  ScratchDir dir_;
  OutStream console_;
  std::unique_ptr<Tables> tp_ = make_tables();
  Tables& t_ = *tp_;
};

// A file with every kind of mark line, comments after values and blank lines in
// front of values; its echo written out from the layouts.
TEST_F(EntryFileTest, EchoesEveryValueWithItsLayoutAndMarks) {
  read(lines({
      "0.0        Pi(x)",
      "F",
      "0.0",
      "f",
      "1.0",
      "fixed",
      "-------------- analyser",
      "0.0",
      "free",
      "0.0",
      " fixed",
      "-1.0",
      "-",
      "-------------- instrument",
      "",
      "   ",
      "4.75   wavelength, a comment",
      "20     points",
      "5",
      "0.1",
      "0.2",
      "-------------- layers",
      "1",
      "-------------- layer 1",
      "",
      "100.0 thickness with words",
      "F",
      "6.36",
      "",
      "0.0",
      "x",
      "1.5",
      "-",
      "0.5",
      "f",
      "5",
      "F",
      "-------------- substrate",
      "2.07",
      "F",
      "0",
      "F",
      "0",
      "fixed",
      "1",
      "F",
      "3",
      "f",
      "-------------- gamma",
      "0.5",
      "F",
      "0.866",
      "F",
      "0.75",
      "F",
      "-------------- scale",
      "1.2",
      "",
      "3",
      "F",
      "1e-5",
      "-",
      "-------------- zero",
      "0.25",
      "this line is never read",
  }));
  EXPECT_EQ(echo(), lines({
                        "Wavelength [A]  :  4.75",
                        "Number of experimental points:     20",
                        "Collimation function",
                        "Number of points:   5",
                        "Step [mrad]     :  0.1000E+00",
                        "\"sigma\" [mrad]  :  0.2000E+00",
                        "",
                        "Number of layers:   1",
                        "    Layer   1",
                        "thickness [A]   : 100.00          fixed",
                        "Re{Nb} [A^(-2)] :  0.6360E-05",
                        "Im{Nb} [A^(-2)] :  0.0000E+00",
                        "Np [A^(-2)]     :  0.1500E-05",
                        "<cos(delta_gamma)>:  0.50           fixed",
                        "Debye-Waller    :   5.00          fixed",
                        "    Substrate",
                        "Re{Nb} [A^(-2)]:   0.2070E-05     fixed",
                        "Im{Nb} [A^(-2)] :  0.0000E+00     fixed",
                        "Np [A^(-2)]     :  0.0000E+00     fixed",
                        "<cos(delta_gamma)>:  1.00           fixed",
                        "Debye-Waller    :   3.00          fixed",
                        "",
                        "<cos_gamma>     : 0.500           fixed",
                        "<sin_gamma>     : 0.866           fixed",
                        "<sin^2(gamma)>  : 0.750           fixed",
                        "",
                        "total scaling factor         :  0.1200E+01",
                        "illumination parameter [mrad]:  0.3000E+01     fixed",
                        "bgr                          :  0.1000E-04",
                        "",
                        "Correction of \"zero\"   [mrad]:  0.2500E+00",
                        "",
                        "Pi(x)           : 0.000     fixed",
                        "Pi(y)           : 0.000     fixed",
                        "Pi(z)           : 1.000     fixed",
                        "Pf(x)           : 0.000     fixed",
                        "Pf(y)           : 0.000",
                        "Pf(z)           :-1.000",
                    }));

  // Fixed marks: F, f, fixed and free fix; " fixed", "-", "x" and an empty line do
  // not.  Layer 3 fixed, substrate 5, gamma 3, alpha_0, Pi three times, Pf(x).
  EXPECT_EQ(t_.NFIX, 3 + 5 + 3 + 1 + 4);
  const std::vector<int> fixed_slots = {1, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 16, 18, 19, 20, 21};
  for (int i = 1; i <= t_.NPAR; ++i) {
    const bool fixed = std::find(fixed_slots.begin(), fixed_slots.end(), i) != fixed_slots.end();
    if (fixed)
      EXPECT_EQ(t_.STEPLIM(i), 0) << "slot " << i;
    else
      EXPECT_GT(t_.STEPLIM(i), 0) << "slot " << i;
  }
}

// Scalar settings, unit conversions and the values stored as physical value times
// SCALE (scattering-length densities carried in units of 1e-6 A^-2).  The
// conversions multiply by 1e-6 and then by 1e6, so the round trip may differ
// from the entered value in the last bit: compared within 4 ulp.
TEST_F(EntryFileTest, ConvertsUnitsAndStoresScaledValues) {
  read(join({head(), layer(), substrate(), tail()}));
  EXPECT_EQ(t_.wavelength, 4.75);
  EXPECT_EQ(t_.nn, 20);
  EXPECT_EQ(t_.npoint, 80);
  EXPECT_EQ(t_.nvalues, 4);
  EXPECT_EQ(t_.j0, 5);
  EXPECT_DOUBLE_EQ(t_.coll_step, 1.0e-4);
  EXPECT_DOUBLE_EQ(t_.coll_sigma, 2.0e-4);
  EXPECT_DOUBLE_EQ(t_.zero_correction, 2.5e-4);
  EXPECT_EQ(t_.nlay, 1);
  EXPECT_EQ(t_.NPAR, 23);

  EXPECT_EQ(t_.PARAM(1), 100.0);
  EXPECT_DOUBLE_EQ(t_.PARAM(2), 6.36);
  EXPECT_DOUBLE_EQ(t_.PARAM(2) / t_.SCALE(2), 6.36e-6);
  EXPECT_EQ(t_.PARAM(3), 0.0);
  EXPECT_DOUBLE_EQ(t_.PARAM(4), 1.5);
  EXPECT_EQ(t_.PARAM(5), 0.5);
  EXPECT_EQ(t_.PARAM(6), 5.0);
  EXPECT_DOUBLE_EQ(t_.PARAM(7), 2.07);  // substrate Re{Nb}
  EXPECT_EQ(t_.PARAM(10), 1.0);
  EXPECT_EQ(t_.PARAM(11), 3.0);
  EXPECT_EQ(t_.PARAM(12), 0.5);
  EXPECT_EQ(t_.PARAM(13), 0.866);
  EXPECT_EQ(t_.PARAM(14), 0.75);
  EXPECT_EQ(t_.PARAM(15), 1.2);
  EXPECT_EQ(t_.PARAM(16), 0.003);  // alpha_0: 3 mrad, one correctly rounded division
  EXPECT_EQ(t_.PARAM(17), 1e-5);
  const double pol[6] = {0, 0, 1, 0, 0, -1};
  for (int j = 0; j < 6; ++j) EXPECT_EQ(t_.PARAM(18 + j), pol[j]) << "component " << j;

  // A free scattering-length density: default step 1e-6 A^-2 stored as 1, bounds
  // as -100 and 100, N_p from 0.
  EXPECT_DOUBLE_EQ(t_.STEPLIM(2), 1.0);
  EXPECT_DOUBLE_EQ(t_.PARMIN(2), -100.0);
  EXPECT_DOUBLE_EQ(t_.PARMAX(2), 100.0);
  EXPECT_DOUBLE_EQ(t_.PARMIN(4), 0.0);
  EXPECT_DOUBLE_EQ(t_.PARMAX(4), 100.0);
  // head(), layer() and substrate() fix the six polarization components and the
  // N_p of the layer and of the substrate; nothing else.
  EXPECT_EQ(t_.NFIX, 8);
  EXPECT_EQ(t_.STEPLIM(4), 0);
  EXPECT_EQ(t_.STEPLIM(9), 0);
  EXPECT_EQ(t_.STEPLIM(5), 0.1);
  EXPECT_EQ(t_.STEPLIM(10), 0.5);
}

TEST_F(EntryFileTest, NoLayersPutsTheSubstrateRightAfterTheLayerCount) {
  read(join({head("20", "5", "0"), substrate(), tail()}));
  EXPECT_EQ(t_.nlay, 0);
  EXPECT_EQ(t_.NPAR, 17);
  EXPECT_DOUBLE_EQ(t_.PARAM(1), 2.07);
  EXPECT_EQ(t_.PARAM(4), 1.0);
  EXPECT_EQ(t_.PARAM(5), 3.0);
  EXPECT_EQ(t_.PARAM(10), 0.003);
  EXPECT_EQ(t_.PARAM(17), -1.0);
  const std::string e = echo();
  EXPECT_NE(e.find("Number of layers:   0\n    Substrate\n"), std::string::npos) << e;
  EXPECT_EQ(e.find("Layer"), std::string::npos);
}

TEST_F(EntryFileTest, AcceptsEveryCountAtItsLimit) {
  Lines all = head("1000", "101", "500");
  for (int k = 0; k < 500; ++k) {
    const Lines l = layer();
    all.insert(all.end(), l.begin(), l.end());
  }
  for (const auto& part : {substrate(), tail()}) all.insert(all.end(), part.begin(), part.end());
  read(lines(all));
  EXPECT_EQ(t_.nn, 1000);
  EXPECT_EQ(t_.npoint, 4000);
  EXPECT_EQ(t_.j0, 101);
  EXPECT_EQ(t_.nlay, 500);
  EXPECT_EQ(t_.NPAR, 3017);
  EXPECT_EQ(name_view(t_.PARNAM(3017)), "Pf(z)           ");
  EXPECT_EQ(t_.PARAM(3017), -1.0);
  EXPECT_EQ(t_.PARAM(6 * 500 - 5), 100.0);
  const std::string e = echo();
  // 1000 does not fit I3.
  EXPECT_NE(e.find("Number of experimental points:    ***\n"), std::string::npos);
  EXPECT_NE(e.find("Number of points: 101\n"), std::string::npos);
  EXPECT_NE(e.find("    Layer 500\n"), std::string::npos);
}

TEST_F(EntryFileTest, StopsRightAfterTheEchoOfACountAboveItsLimit) {
  expect_stop(join({head("1001")}), "nn > maxpoint", "Number of experimental points:    ***");
  EXPECT_EQ(t_.NPAR, 0);
}

TEST_F(EntryFileTest, StopsOnTooManyCollimationPoints) {
  expect_stop(join({head("20", "102")}), "j0 > maxj0", "Number of points: 102");
}

TEST_F(EntryFileTest, StopsOnTooManyLayersBeforeTouchingTheTables) {
  expect_stop(join({head("20", "5", "501")}), "nlay > maxlay", "Number of layers: 501");
  EXPECT_EQ(t_.NPAR, 0);
  EXPECT_EQ(t_.SCALE(1), 0);
}

TEST_F(EntryFileTest, StopsOnCountsBelowWhatTheModelAllows) {
  expect_stop(join({head("0")}), "nn < 1", "Number of experimental points:      0");
}

TEST_F(EntryFileTest, StopsOnNoCollimationPoint) {
  expect_stop(join({head("20", "-3")}), "j0 < 1", "Number of points:  -3");
}

TEST_F(EntryFileTest, StopsOnANegativeLayerCount) {
  expect_stop(join({head("20", "5", "-1")}), "nlay < 0", "Number of layers:  -1");
}

// The magnetic pair of a layer: either member fixed, or both, is accepted.
TEST_F(EntryFileTest, AcceptsAMagneticPairWithOneMemberHeld) {
  read(join({head("20", "5", "3"), layer("F", ""), layer("", "F"), layer("f", "f"), substrate(),
             tail()}));
  EXPECT_EQ(t_.STEPLIM(4), 0);
  EXPECT_GT(t_.STEPLIM(5), 0);
  EXPECT_GT(t_.STEPLIM(10), 0);
  EXPECT_EQ(t_.STEPLIM(11), 0);
  EXPECT_EQ(t_.STEPLIM(16), 0);
  EXPECT_EQ(t_.STEPLIM(17), 0);
}

// Both free in layer 2: the dialogue comes right after the <cos(delta_gamma)> echo
// of that layer, and nothing after its mark is read (the file ends there).
TEST_F(EntryFileTest, MagneticPairBothFreeInALayerEndsInTheDialogue) {
  Lines l2 = layer("", "-");
  l2.resize(11);
  EXPECT_THROW(read(join({head("20", "5", "3"), layer(), l2})), InputDialogueStop);
  const std::string e = echo();
  EXPECT_EQ(e.substr(e.find("    Layer   2")),
            lines({
                "    Layer   2",
                "thickness [A]   : 100.00",
                "Re{Nb} [A^(-2)] :  0.6360E-05",
                "Im{Nb} [A^(-2)] :  0.0000E+00",
                "Np [A^(-2)]     :  0.1500E-05",
                "<cos(delta_gamma)>:  0.50",
                "",
                ".......ERROR:......................................",
                "Np and <Cos(delta_gamma)> may not be fitted together.",
                "Please, correct entry file for layer   2",
                "",
            }));
}

TEST_F(EntryFileTest, MagneticPairBothFreeInTheSubstrateEndsInTheDialogue) {
  Lines s = substrate("", "");
  s.resize(9);
  EXPECT_THROW(read(join({head("20", "5", "1"), layer(), s})), InputDialogueStop);
  const std::string e = echo();
  EXPECT_EQ(e.substr(e.find("    Substrate")),
            lines({
                "    Substrate",
                "Re{Nb} [A^(-2)]:   0.2070E-05",
                "Im{Nb} [A^(-2)] :  0.0000E+00",
                "Np [A^(-2)]     :  0.0000E+00",
                "<cos(delta_gamma)>:  1.00",
                "",
                ".......ERROR:......................................",
                "Np and <Cos(delta_gamma)> may not be fitted together.",
                "Please, correct entry file for Substrate.",
                "",
            }));
}

// Errors of the text layer name the file and what was expected there.
TEST_F(EntryFileTest, AWordWhereANumberBelongsIsATextError) {
  Lines l = head();
  l[14] = "four";
  try {
    read(lines(l));
    FAIL() << "no error";
  } catch (const TextError& e) {
    const std::string m = e.what();
    EXPECT_NE(m.find("model.ent"), std::string::npos) << m;
    EXPECT_NE(m.find("wavelength"), std::string::npos) << m;
    EXPECT_NE(m.find("15"), std::string::npos) << m;
  }
}

TEST_F(EntryFileTest, AnIntegerWithADecimalPointIsATextError) {
  try {
    read(join({head("20.0")}));
    FAIL() << "no error";
  } catch (const TextError& e) {
    EXPECT_NE(std::string(e.what()).find("points per spin channel"), std::string::npos) << e.what();
  }
}

TEST_F(EntryFileTest, AFileEndingBeforeTheZeroCorrectionIsATextError) {
  Lines t = tail();
  t.pop_back();
  try {
    read(join({head(), layer(), substrate(), t}));
    FAIL() << "no error";
  } catch (const TextError& e) {
    EXPECT_NE(std::string(e.what()).find("zero correction"), std::string::npos) << e.what();
  }
}

TEST_F(EntryFileTest, AMissingFileIsATextError) {
  console_.create(dir_.file("console.txt"));
  EXPECT_THROW(read_entry_file(t_, dir_.file("absent.ent"), console_), TextError);
}

}  // namespace
}  // namespace tessaline
