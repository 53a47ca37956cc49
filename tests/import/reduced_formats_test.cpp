// The readers of reduced files on small hand-written files: the units and
// widths they declare (1/nm, nm, FWHM), columns taken by their names, numbers
// and lines that must be refused, repeated header values, how the format is
// told from the bytes of a stream that cannot seek, and text encodings and line
// ends.
//
// Expected values come from the formats' definitions: 1 1/nm = 0.1 1/A, 1 nm =
// 10 A, FWHM = 2 sqrt(2 ln 2) sigma for a Gaussian, and from the numbers
// written into each file here.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "driver/driver.hpp"
#include "import/import.hpp"
#include "tests/import/import_support.hpp"

namespace tessaline::importer {
namespace {

using testing::has;

template <class F>
std::string refusal(F f) {
  try {
    f();
  } catch (const ImportError& e) {
    return e.what();
  }
  return "(accepted)";
}

std::vector<DataSet> reduced(const std::string& text, const std::string& name) {
  std::istringstream in(text);
  return read_reduced(in, name);
}

// ------------------------------------------------------------------ ORSO

// An ORSO file of one data set (polarization pp) with the given column
// declarations and data lines.
std::string orso_text(const std::string& columns, const std::string& rows,
                      const std::string& wavelength = "{magnitude: 5.0, unit: angstrom}") {
  return "# # ORSO reflectivity data file | 1.0 standard | YAML encoding\n"
         "# data_source:\n"
         "#   measurement:\n"
         "#     instrument_settings:\n"
         "#       wavelength: " +
         wavelength +
         "\n"
         "#       polarization: pp\n"
         "# columns:\n" +
         columns + rows;
}

const char* const kOrsoAngstrom =
    "# - {name: Qz, unit: 1/angstrom}\n"
    "# - {name: R}\n"
    "# - {error_of: R, value_is: sigma}\n"
    "# - {error_of: Qz, value_is: sigma}\n";

TEST(OrsoUnits, PerNanometreAndNanometreAreConvertedToAngstrom) {
  // The same points in 1/A and in 1/nm (every Qz and sQz ten times larger).
  const double Qz[3] = {0.0123, 0.0456, 0.0789};
  const double sQz[3] = {0.0003, 0.0007, 0.0011};
  std::string per_a, per_nm;
  for (int i = 0; i < 3; ++i) {
    char line[160];
    std::snprintf(line, sizeof line, "%.17g 0.5 0.01 %.17g\n", Qz[i], sQz[i]);
    per_a += line;
    std::snprintf(line, sizeof line, "%.17g 0.5 0.01 %.17g\n", 10 * Qz[i], 10 * sQz[i]);
    per_nm += line;
  }
  const DataSet a = reduced(orso_text(kOrsoAngstrom, per_a), "a.ort").at(0);
  const std::string nm_columns =
      "# - {name: Qz, unit: 1/nm}\n# - {name: R}\n# - {error_of: R}\n"
      "# - {error_of: Qz, unit: 1/nm}\n";
  const DataSet nm =
      reduced(orso_text(nm_columns, per_nm, "{magnitude: 0.5, unit: nm}"), "nm.ort").at(0);
  ASSERT_EQ(nm.points.size(), 3u);
  // 0.5 nm is 5 A, the wavelength of the 1/A file.
  ASSERT_TRUE(nm.wavelength.has_value());
  EXPECT_DOUBLE_EQ(*nm.wavelength, 5.0);
  // Ten times a number, printed, read and multiplied by 0.1: within a few
  // units in the last place of the 1/A value.
  const double tol = 4 * std::numeric_limits<double>::epsilon();
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR(nm.points[i].Qz, a.points[i].Qz, tol * a.points[i].Qz) << i;
    EXPECT_NEAR(nm.points[i].dQz, a.points[i].dQz, tol * a.points[i].dQz) << i;
    EXPECT_EQ(nm.points[i].R, a.points[i].R);
    EXPECT_EQ(nm.points[i].dR, 0.01);
  }
  EXPECT_EQ(a.points[1].Qz, 0.0456);
  EXPECT_EQ(a.points[1].dQz, 0.0007);

  // sQz without a unit of its own is in the unit of Qz; a unit that is not a
  // reciprocal length is refused.
  const DataSet inherit =
      reduced(orso_text("# - {name: Qz, unit: 1/nm}\n# - {name: R}\n# - {error_of: R}\n"
                        "# - {error_of: Qz}\n",
                        per_nm),
              "inherit.ort")
          .at(0);
  EXPECT_NEAR(inherit.points[2].dQz, sQz[2], tol * sQz[2]);
  const std::string m = refusal([&] {
    reduced(orso_text("# - {name: Qz, unit: 1/angstrom}\n# - {name: R}\n# - {error_of: R}\n"
                      "# - {error_of: Qz, unit: deg}\n",
                      per_a),
            "deg.ort");
  });
  EXPECT_TRUE(has(m, "deg.ort, line 7: sQz is in \"deg\"")) << m;
}

TEST(OrsoUnits, WidthsGivenAsFwhmBecomeStandardDeviations) {
  // A Gaussian's FWHM is 2 sqrt(2 ln 2) = 2.3548... standard deviations; a
  // rectangle of full width w has the standard deviation w / sqrt(12).
  const double k = 2 * std::sqrt(2 * std::log(2.0));
  const std::string fwhm =
      "# - {name: Qz, unit: 1/angstrom}\n"
      "# - {name: R}\n"
      "# - {error_of: R, value_is: FWHM}\n"
      "# - {error_of: Qz, value_is: FWHM, distribution: uniform}\n";
  const DataSet s = reduced(orso_text(fwhm, "0.02 0.5 0.0235 0.0012\n"), "fwhm.ort").at(0);
  ASSERT_EQ(s.points.size(), 1u);
  EXPECT_NEAR(s.points[0].dR, 0.0235 / k, 1e-15 * 0.0235);
  EXPECT_NEAR(s.points[0].dQz, 0.0012 / std::sqrt(12.0), 1e-15 * 0.0012);
  EXPECT_EQ(s.points[0].Qz, 0.02);
  EXPECT_EQ(s.points[0].R, 0.5);
}

TEST(OrsoUnits, ColumnsThatAreNotQzRAndTheErrorOfRAreRefused) {
  const std::string rows = "0.02 0.5 0.01 0.001\n";
  struct Case {
    std::string columns, message;
  };
  for (const Case& c : std::vector<Case>{
           // The third column is the resolution, not the error of R.
           {"# - {name: Qz, unit: 1/angstrom}\n# - {name: R}\n# - {error_of: Qz}\n"
            "# - {error_of: R}\n",
            "x.ort, line 7: the third column is not the error of R"},
           {"# - {name: Qz, unit: 1/angstrom}\n# - {name: R}\n# - {name: sR}\n"
            "# - {name: sQz, value_is: HWHM}\n",
            "x.ort, line 7: the resolution of Qz is \"HWHM\"; expected sigma or FWHM"},
           {"# - {name: Qz, unit: 1/angstrom}\n# - {name: R}\n"
            "# - {error_of: R, value_is: variance}\n# - {error_of: Qz}\n",
            "the error of R is \"variance\"; expected sigma or FWHM"},
           {"# - {name: Qz, unit: deg}\n# - {name: R}\n# - {error_of: R}\n", "Qz is in \"deg\""},
       }) {
    SCOPED_TRACE(c.columns);
    const std::string m = refusal([&] { reduced(orso_text(c.columns, rows), "x.ort"); });
    EXPECT_TRUE(has(m, c.message)) << m;
  }
}

// -------------------------------------------------- newer NCNR: columns

std::string block(const std::string& polarization, const std::string& columns,
                  const std::string& units, const std::string& rows) {
  std::string s = "# \"polarization\": \"" + polarization + "\"\n# \"wavelength\": 4.75\n";
  if (!columns.empty()) s += "# \"columns\": " + columns + "\n";
  if (!units.empty()) s += "# \"units\": " + units + "\n";
  return s + rows;
}

TEST(NewerNcnrColumns, AreTakenByTheirNamesInAnyOrder) {
  // One point: Qz 0.01, R 0.5, uncertainty 0.02, resolution 0.0003, in the
  // order the "columns" line gives.
  struct Case {
    std::string columns, row;
  };
  for (const Case& c : std::vector<Case>{
           {R"(["Qz", "R", "uncertainty", "resolution"])", "0.01 0.5 0.02 0.0003\n"},
           {R"(["Qz", "R", "resolution", "uncertainty"])", "0.01 0.5 0.0003 0.02\n"},
           {R"(["uncertainty", "Qz", "resolution", "R"])", "0.02 0.01 0.0003 0.5\n"},
           {R"(["Q", "R", "dR", "dQ"])", "0.01 0.5 0.02 0.0003\n"},
       }) {
    SCOPED_TRACE(c.columns);
    const std::vector<DataSet> sets = reduced(block("++", c.columns, "", c.row), "n.refl");
    ASSERT_EQ(sets.size(), 1u);
    ASSERT_EQ(sets[0].points.size(), 1u);
    const ReducedPoint& p = sets[0].points[0];
    EXPECT_EQ(p.Qz, 0.01);
    EXPECT_EQ(p.R, 0.5);
    EXPECT_EQ(p.dR, 0.02);
    EXPECT_EQ(p.dQz, 0.0003);
  }
  // Without a resolution column the point has none.
  const DataSet three =
      reduced(block("--", R"(["R", "Qz", "uncertainty"])", "", "0.5 0.01 0.02\n"), "n.refl").at(0);
  EXPECT_EQ(three.points.at(0).Qz, 0.01);
  EXPECT_EQ(three.points[0].dR, 0.02);
  EXPECT_TRUE(std::isnan(three.points[0].dQz));
}

TEST(NewerNcnrColumns, UnitsFollowTheirColumns) {
  // Qz and the resolution in 1/nm, the resolution listed before Qz; a
  // resolution without a unit of its own is in the unit of Qz.
  const DataSet s = reduced(block("+-", R"(["resolution", "R", "uncertainty", "Qz"])",
                                  R"(["1/nm", "", "", "1/nm"])", "0.003 0.5 0.02 0.1\n"),
                            "n.refl")
                        .at(0);
  const double tol = 4 * std::numeric_limits<double>::epsilon();
  EXPECT_NEAR(s.points.at(0).Qz, 0.01, tol * 0.01);
  EXPECT_NEAR(s.points[0].dQz, 0.0003, tol * 0.0003);
  const DataSet inherit = reduced(block("+-", R"(["Qz", "R", "uncertainty", "resolution"])",
                                        R"(["1/nm", null, null, null])", "0.1 0.5 0.02 0.003\n"),
                                  "n.refl")
                              .at(0);
  EXPECT_NEAR(inherit.points.at(0).dQz, 0.0003, tol * 0.0003);
  // R and its uncertainty are never scaled.
  EXPECT_EQ(inherit.points[0].R, 0.5);
  EXPECT_EQ(inherit.points[0].dR, 0.02);
}

TEST(NewerNcnrColumns, NamesThatAreNotKnownMissingOrRepeatedAreRefused) {
  struct Case {
    std::string columns, units, message;
  };
  for (const Case& c : std::vector<Case>{
           {R"(["Qz", "R", "sigma", "resolution"])", "",
            "n.refl, line 3: column 3 is named \"sigma\", which is not a column this reader knows"},
           {R"(["Qz", "R", null])", "", "column 3 is named null"},
           {R"(["Qz", "R", "resolution"])", "",
            "n.refl, line 3: no column holds the uncertainty of R"},
           {R"(["Qz", "R", "dR", "uncertainty"])", "", "column 4 is the uncertainty of R again"},
           {R"(["Qz", "R", "dR"])", R"(["1/nm"])",
            "n.refl, line 4: \"units\" lists 1 units for the 3 columns of line 3"},
           {R"(["Qz", "R", "dR"])", R"(["1/s", "", ""])", "the unit of Qz is \"1/s\""},
       }) {
    SCOPED_TRACE(c.columns);
    const std::string m =
        refusal([&] { reduced(block("++", c.columns, c.units, "0.01 0.5 0.02\n"), "n.refl"); });
    EXPECT_TRUE(has(m, c.message)) << m;
  }
}

// ------------------------------------------- numbers, lines and headers

TEST(PointLines, NumbersWithGarbageAndSurplusNumbersAreRefused) {
  struct Case {
    const char* what;
    std::string text, name, message;
  };
  const std::string ncnr = "#wavelength 5\n#polarization A\n#columns Qz R dR\n";
  const std::string newer = block("++", R"(["Qz", "R", "uncertainty"])", "", "");
  for (const Case& c : std::vector<Case>{
           {"NCNR garbage", ncnr + "0.01 0.5x 0.02\n", "f.reflA",
            "f.reflA, line 4: expected a number in column 2, found \"0.5x\""},
           {"NCNR surplus", ncnr + "0.01 0.5 0.02\n0.02 0.4 0.02 0.001\n", "f.reflA",
            "f.reflA, line 5: expected 3 numbers, one per column, found 4"},
           {"newer garbage", newer + "0.01 0.5 0.02\n0.02 0.4 2e-2e\n", "f.refl",
            "f.refl, line 5: expected a number in column 3, found \"2e-2e\""},
           {"newer surplus", newer + "0.01 0.5 0.02 0.001\n", "f.refl",
            "f.refl, line 4: expected 3 numbers, one per column, found 4"},
       }) {
    SCOPED_TRACE(c.what);
    EXPECT_TRUE(has(refusal([&] { reduced(c.text, c.name); }), c.message))
        << refusal([&] { reduced(c.text, c.name); });
  }
  // Plain columns: the first point line sets the number of columns.
  for (const auto& [text, message] : std::vector<std::pair<std::string, std::string>>{
           {"# Qz R dR\n0.01 0.5 0.02\n0.02 0.4 0.02 0.0003\n",
            "c.dat, line 3: expected 3 numbers, one per column, found 4"},
           {"0.01 0.5 0.02\n0.02 0.5x 0.02\n", "c.dat, line 2: expected a number in column 2"},
           {"0.01 0.5 0.02 0.001 7\n",
            "c.dat, line 1: expected the columns Qz R dR or Qz R dR "
            "dQz, found 5 numbers"}}) {
    std::istringstream in(text);
    const std::string m = refusal([&] { read_columns(in, "c.dat", 0); });
    EXPECT_TRUE(has(m, message)) << m;
  }
}

TEST(WavelengthLists, EqualEndsAreOneWavelengthAndSwappedEndsARange) {
  const auto wavelength_of = [](const std::string& value) {
    return reduced("# \"polarization\": \"++\"\n# \"wavelength\": " + value + "\n0.01 0.5 0.02\n",
                   "w.refl")
        .at(0);
  };
  DataSet s = wavelength_of("[4.75, 4.75, 4.75]");
  ASSERT_TRUE(s.wavelength.has_value());
  EXPECT_EQ(*s.wavelength, 4.75);
  EXPECT_EQ(s.wavelength_range, "");
  // Within the relative tolerance the smaller end is the wavelength.
  s = wavelength_of("[4.7500001, 4.75]");
  EXPECT_EQ(s.wavelength, 4.75);
  // The ends in either order are the same range.
  for (const char* list : {"[5, 4]", "[4, 5]", "[4.5, 5, 4]"}) {
    s = wavelength_of(list);
    EXPECT_FALSE(s.wavelength.has_value()) << list;
    EXPECT_EQ(s.wavelength_range, "4 to 5 A") << list;
  }
  // The same for an ORSO range given as its two ends.
  const auto orso_wavelength_of = [](const std::string& value) {
    return reduced(orso_text(kOrsoAngstrom, "0.02 0.5 0.01 0.001\n", value), "w.ort").at(0);
  };
  s = orso_wavelength_of("{min: 0.5, max: 0.5, unit: nm}");
  EXPECT_EQ(s.wavelength, 5.0);
  EXPECT_EQ(s.wavelength_range, "");
  for (const char* range : {"{min: 5, max: 4, unit: angstrom}", "{min: 4, max: 5}"}) {
    s = orso_wavelength_of(range);
    EXPECT_FALSE(s.wavelength.has_value()) << range;
    EXPECT_EQ(s.wavelength_range, "4 to 5 A") << range;
  }
}

TEST(HeaderValues, GivenTwiceWithDifferentValuesAreRefused) {
  const std::string points = "0.01 0.5 0.02\n";
  struct Case {
    std::string text, name, message;
  };
  for (const Case& c : std::vector<Case>{
           {"#wavelength 4.75\n#polarization A\n#wavelength 5\n" + points, "f.reflA",
            "f.reflA, line 3: #wavelength \"5\" contradicts line 1, #wavelength \"4.75\""},
           {"#polarization A\n#title x\n#polarization D\n" + points, "f.reflA",
            "f.reflA, line 3: #polarization \"D\" contradicts line 1"},
           {"# \"polarization\": \"++\"\n# \"wavelength\": 4.75\n# \"polarization\": \"--\"\n" +
                points,
            "f.refl",
            "f.refl, line 3: the key \"polarization\" is given again, with another value than on "
            "line 1"},
           {"# \"wavelength\": 4.75\n# \"polarization\": \"++\"\n# \"wavelength\": [4, 5]\n" +
                points,
            "f.refl", "f.refl, line 3: the key \"wavelength\" is given again"},
       }) {
    const std::string m = refusal([&] { reduced(c.text, c.name); });
    EXPECT_TRUE(has(m, c.message)) << m;
  }
  // The same value again is no contradiction; the next block may differ.
  const std::vector<DataSet> sets =
      reduced("#wavelength 4.75\n#polarization A\n#wavelength 4.75\n" + points, "f.reflA");
  EXPECT_EQ(sets.at(0).wavelength, 4.75);
  const std::vector<DataSet> two =
      reduced("# \"polarization\": \"++\"\n# \"polarization\": \"++\"\n" + points +
                  "# \"polarization\": \"--\"\n" + points,
              "f.refl");
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(two[0].channel, 0);
  EXPECT_EQ(two[1].channel, 1);
}

// ------------------------------------------------ telling the format

// A stream that can only be read forward, as a pipe: seeking fails.
class ForwardOnly : public std::streambuf {
 public:
  explicit ForwardOnly(std::string text) : text_(std::move(text)) {}

 protected:
  int_type underflow() override {
    if (given_) return traits_type::eof();
    given_ = true;
    setg(text_.data(), text_.data(), text_.data() + text_.size());
    return traits_type::to_int_type(text_[0]);
  }

 private:
  std::string text_;
  bool given_ = false;
};

TEST(TellingTheFormat, FromTheBytesOfAStreamThatCannotSeek) {
  const std::string newer =
      "# written by hand\n# \"polarization\": \"-+\"\n"
      "# \"columns\": [\"Qz\", \"R\", \"uncertainty\"]\n0.01 0.5 0.02\n";
  const std::string orso = orso_text(kOrsoAngstrom, "0.02 0.5 0.01 0.001\n");
  const std::string older = "#wavelength 4.75\n#polarization C\n0.01 0.5 0.02\n";
  struct Case {
    std::string text, polarization;
    std::size_t points;
  };
  for (const Case& c : std::vector<Case>{{newer, "-+", 1}, {orso, "pp", 1}, {older, "C", 1}}) {
    SCOPED_TRACE(c.polarization);
    ForwardOnly buf(c.text);
    std::istream in(&buf);
    const std::vector<DataSet> sets = read_reduced(in, "/dev/fd/63");
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].polarization, c.polarization);
    EXPECT_EQ(sets[0].points.size(), c.points);
  }
  // A plain comment before the first "key": value line does not make a file
  // of the newer kind the older kind; a point ends the header.
  const std::vector<DataSet> s = reduced(newer, "x.reflD");
  EXPECT_EQ(s.at(0).polarization, "-+");
  const std::string old_with_json_late =
      "#polarization D\n0.01 0.5 0.02\n# \"comment\": \"after the points\"\n";
  EXPECT_EQ(reduced(old_with_json_late, "y").at(0).polarization, "D");
}

TEST(TextOfAFile, WideEncodingsAreNamedAndCarriageReturnsEndLines) {
  // UTF-16 with its byte-order mark, and without one (a NUL after every
  // ASCII byte): named as such, never as a fault at "line 0".
  std::string wide = "\xFF\xFE";
  for (char ch : std::string("# # ORSO\n0.01 0.5 0.02\n")) wide += std::string{ch, '\0'};
  std::string m = refusal([&] { reduced(wide, "wide.ort"); });
  EXPECT_TRUE(has(m, "wide.ort: is UTF-16 text")) << m;
  EXPECT_FALSE(has(m, "line 0")) << m;
  m = refusal([&] { reduced(wide.substr(2), "wide.reflA"); });
  EXPECT_TRUE(has(m, "wide.reflA, line 1: holds a NUL byte")) << m;
  m = refusal([&] { reduced("0.01 0.5 0.02\n", "data-first.ort"); });
  EXPECT_TRUE(has(m, "data-first.ort, line 1: a data line before any header")) << m;

  // Lines ended by CR alone read as those ended by LF or CRLF.
  const std::string lf = orso_text(kOrsoAngstrom, "0.02 0.5 0.01 0.001\n0.03 0.4 0.01 0.001\n");
  std::string cr = lf, crlf;
  for (char& ch : cr)
    if (ch == '\n') ch = '\r';
  for (char ch : lf) crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
  for (const std::string& text : {cr, crlf}) {
    const DataSet s = reduced(text, "ends.ort").at(0);
    ASSERT_EQ(s.points.size(), 2u);
    EXPECT_EQ(s.points[1].Qz, 0.03);
    EXPECT_EQ(s.polarization, "pp");
  }
  const DataSet old_mac = reduced("#polarization B\r0.01 0.5 0.02\r0.02 0.4 0.02\r", "m").at(0);
  EXPECT_EQ(old_mac.points.size(), 2u);
  EXPECT_EQ(old_mac.channel, 3);
}

TEST(OrsoHeaders, BracketsInQuotesAndCommentsAreTextAndDeepNestingIsNamed) {
  // Seventy brackets inside quoted scalars and a comment: a valid header.
  const std::string many(70, '[');
  const std::string quoted_brackets =
      "# # ORSO reflectivity data file | 1.0 standard | YAML encoding\n"
      "# data_source:\n"
      "#   sample: {name: \"" +
      many + "\", note: 'it''s " + many + "'}  # " + many +
      "\n"
      "#   measurement:\n"
      "#     instrument_settings: {wavelength: 5, polarization: pp}\n"
      "# columns:\n" +
      kOrsoAngstrom + "0.02 0.5 0.01 0.001\n";
  const std::vector<DataSet> sets = reduced(quoted_brackets, "q.ort");
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(sets[0].polarization, "pp");
  // Unquoted, the same brackets are refused before the parser sees them.
  std::string m = refusal([&] { reduced("# a: " + many + "\n0.01 1 0.1\n", "b.ort"); });
  EXPECT_TRUE(has(m, "b.ort, line 1: the header nests brackets too deeply")) << m;
  // Complex keys nest on one line; they count as nesting, and the message says
  // so rather than the parser's "bad file".
  std::string keys = "# ";
  for (int i = 0; i < 600; ++i) keys += "? ";
  m = refusal([&] { reduced(keys + "x\n0.01 1 0.1\n", "k.ort"); });
  EXPECT_TRUE(has(m, "k.ort, line 1: the header is nested too deeply")) << m;
  EXPECT_FALSE(has(m, "bad file")) << m;
}

// ------------------------------------------------------- wavelengths

TEST(Wavelengths, TheProgramsRuleIsAppliedOnReading) {
  // The square of 2 pi / L overflows below L = 2 pi / sqrt(DBL_MAX) = 4.7e-154 A.
  const double edge = 2 * std::acos(-1.0) / std::sqrt(std::numeric_limits<double>::max());
  ASSERT_TRUE(usable_wavelength(1.01 * edge));
  ASSERT_FALSE(usable_wavelength(0.99 * edge));
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", 0.99 * edge);
  const std::string tiny = text;
  for (const auto& [file, name, line] : std::vector<std::tuple<std::string, std::string, int>>{
           {"#polarization A\n#wavelength " + tiny + "\n0.01 0.5 0.02\n", "t.reflA", 2},
           {"#wavelength 1e-300\n0.01 0.5 0.02\n", "t.reflA", 1},
           {"# \"polarization\": \"++\"\n# \"wavelength\": [5, " + tiny + "]\n0.01 0.5 0.02\n",
            "t.refl", 2},
           {orso_text(kOrsoAngstrom, "0.02 0.5 0.01 0.001\n", "{magnitude: 1e-300}"), "t.ort",
            5}}) {
    const std::string m = refusal([&] { reduced(file, name); });
    EXPECT_TRUE(
        has(m, name + ", line " + std::to_string(line) + ": the program refuses the wavelength"))
        << m;
  }
  std::snprintf(text, sizeof text, "%.17g", 1.01 * edge);
  EXPECT_TRUE(
      reduced("#polarization A\n#wavelength " + std::string(text) + "\n0.01 0.5 0.02\n", "ok.reflA")
          .at(0)
          .wavelength.has_value());
}

}  // namespace
}  // namespace tessaline::importer
