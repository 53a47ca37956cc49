// The field notation, free-form output and the two ways of reading.
#include "textio/textio.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace tessaline::textio {
namespace {

// ---------------------------------------------------------------- fields

TEST(FieldNotation, ExamplesOfTheFormatRules) {
  EXPECT_EQ(fmt_F(4.5, 5, 2), " 4.50");
  EXPECT_EQ(fmt_E(1.5, 14, 6), "  0.150000E+01");
  EXPECT_EQ(fmt_E(1.5, 9, 4), ".1500E+01");  // no room for the zero
  EXPECT_EQ(fmt_F(-0.25, 6, 3), "-0.250");
  EXPECT_EQ(fmt_I(16, 4), "  16");
  EXPECT_EQ(fmt_A("thickness       ", 20), "    thickness       ");
  EXPECT_EQ(fmt_A("***************Tessaline Corvennastral ***************", 45),
            "***************Tessaline Corvennastral ******");
  // Re{Nb} of 6.36e-6 in E12.4.
  EXPECT_EQ(fmt_E(6.36e-6, 12, 4), "  0.6360E-05");
  EXPECT_EQ(fmt_E(0.0, 12, 4), "  0.0000E+00");
  EXPECT_EQ(fmt_E(0.0, 9, 4), ".0000E+00");
}

TEST(FieldNotation, NegativeNumbers) {
  EXPECT_EQ(fmt_I(-7, 3), " -7");
  EXPECT_EQ(fmt_E(-1.5, 12, 4), " -0.1500E+01");
  EXPECT_EQ(fmt_E(-1.5, 10, 4), "-.1500E+01");
  EXPECT_EQ(fmt_F(-3.14159, 7, 2), "  -3.14");
  EXPECT_EQ(fmt_F(-0.5, 4, 2), "-.50");  // the zero gives way to the sign
}

TEST(FieldNotation, OverflowFillsTheFieldWithAsterisks) {
  EXPECT_EQ(fmt_I(1000, 3), "***");
  EXPECT_EQ(fmt_I(-100, 3), "***");
  EXPECT_EQ(fmt_F(123.456, 5, 2), "*****");
  EXPECT_EQ(fmt_F(10.0, 3, 1), "***");  // half-width of 10 sigma in F3.1
  EXPECT_EQ(fmt_F(9.96, 3, 1), "***");  // rounds up to 10.0
  EXPECT_EQ(fmt_E(-1.5, 9, 4), "*********");
  EXPECT_EQ(fmt_E(std::nan(""), 9, 2), "*********");
  EXPECT_EQ(fmt_F(std::numeric_limits<double>::infinity(), 6, 2), "******");
}

TEST(FieldNotation, RoundingToNearestWithTiesAwayFromZero) {
  EXPECT_EQ(fmt_F(0.125, 5, 2), " 0.13");  // exact binary tie
  EXPECT_EQ(fmt_F(-0.125, 5, 2), "-0.13");
  EXPECT_EQ(fmt_F(2.5, 3, 0), " 3.");
  EXPECT_EQ(fmt_F(0.115, 5, 2), " 0.12");    // 0.115 is stored a little above
  EXPECT_EQ(fmt_F(0.145, 5, 2), " 0.14");    // ... and 0.145 a little below
  EXPECT_EQ(fmt_F(9.9951, 6, 2), " 10.00");  // carry into a new digit
  EXPECT_EQ(fmt_F(0.004, 5, 2), " 0.00");
  EXPECT_EQ(fmt_F(0.005, 5, 2), " 0.01");
  EXPECT_EQ(fmt_F(0.0996, 5, 2), " 0.10");
  EXPECT_EQ(fmt_F(0.0, 5, 2), " 0.00");
  EXPECT_EQ(fmt_F(1e-30, 7, 2), "   0.00");
  EXPECT_EQ(fmt_F(5.0, 5, 2), " 5.00");
  EXPECT_EQ(fmt_F(123456.0, 10, 2), " 123456.00");
  EXPECT_EQ(fmt_E(0.99996, 10, 4), "0.1000E+01");  // carry raises the exponent
  EXPECT_EQ(fmt_E(0.99994, 10, 4), "0.9999E+00");
  EXPECT_EQ(fmt_E(123456.0, 12, 4), "  0.1235E+06");
  EXPECT_EQ(fmt_E(1.0, 9, 2), " 0.10E+01");
}

TEST(FieldNotation, ExponentsBeyondTwoDigitsDropTheLetter) {
  EXPECT_EQ(fmt_E(1.5e-100, 12, 4), "  0.1500E-99");
  EXPECT_EQ(fmt_E(1.5e-101, 12, 4), "  0.1500-100");
  EXPECT_EQ(fmt_E(2.0e120, 12, 4), "  0.2000+121");
}

TEST(FieldNotation, RecordsCombineDescriptorsInOrder) {
  Record r;
  r.I(3, 4).X(1).A("iterate").X(14).A("PARAMETERS").X(7).A("ERRORS").X(5).A("FACTORS");
  EXPECT_EQ(r.str(), "   3 iterate              PARAMETERS       ERRORS     FACTORS");
  EXPECT_EQ(r.str().find("PARAMETERS"), 26u);  // columns 27-36
  EXPECT_EQ(r.str().find("ERRORS"), 43u);      // columns 44-49
  EXPECT_EQ(r.str().find("FACTORS"), 54u);     // columns 55-61

  Record d;
  d.A("D=<Cos(gam)^2>-<Cos(gam)>^2:", 31).E(0.25, 12, 4);
  EXPECT_EQ(d.str(), "   D=<Cos(gam)^2>-<Cos(gam)>^2:  0.2500E+00");
}

TEST(FreeFormOutput, NumbersInFixedOrExponentForm) {
  EXPECT_EQ(fmt_free_real(0.5), "  0.500000000000000     ");
  EXPECT_EQ(fmt_free_real(2.0e-4), "  2.000000000000000E-004");
  EXPECT_EQ(fmt_free_real(0.0), "  0.000000000000000E+000");
  EXPECT_EQ(fmt_free_real(123.456), "   123.456000000000     ");
  EXPECT_EQ(fmt_free_real(-0.25), " -0.250000000000000     ");
  EXPECT_EQ(fmt_free_real(0.1), "  0.100000000000000     ");
  EXPECT_EQ(fmt_free_real(0.09999999), "  9.999999000000000E-002");
  EXPECT_EQ(fmt_free_real(1e15), "  1.000000000000000E+015");
  EXPECT_EQ(fmt_free_real(999999999999999.0), "   999999999999999.     ");
  EXPECT_EQ(fmt_free_real(-3.5e-123), " -3.500000000000000E-123");
  // Within a 24-character field whatever the magnitude.
  for (double v : {1e-300, -1e300, 0.0999999999999999999, 0.3, 7e14}) {
    EXPECT_EQ(fmt_free_real(v).size(), 24u) << v;
  }
  // Round trip of the fixed form keeps 15 significant digits.
  EXPECT_NEAR(std::stod(fmt_free_real(0.1234567890123456)), 0.123456789012346, 1e-16);
}

// ---------------------------------------------------------------- streams

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/textio_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  std::string write_file(const std::string& name, const std::string& text) const {
    std::ofstream(path(name), std::ios::binary) << text;
    return path(name);
  }
  static std::string slurp(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  std::string dir_;
};

using OutStreamTest = TempDir;

TEST_F(OutStreamTest, NoAdvanceMarkContinuesTheLine) {
  OutStream out;
  out.create(path("a.txt"));
  Record first;
  first.A("thickness [A]   :").F(100.0, 7, 2);
  out.write_no_advance(first);
  out.write(Record().A("fixed", 15));
  out.write_free("Not so many!");
  out.write_free();
  out.write_no_advance(Record().A(" -"));
  out.write_free(" 0");
  out.write_free({0.5, 2.0e-4});
  out.close();
  EXPECT_EQ(slurp(path("a.txt")),
            "thickness [A]   : 100.00          fixed\n"
            " Not so many!\n"
            "\n"
            " -  0\n"
            "   0.500000000000000       2.000000000000000E-004\n");
}

TEST_F(OutStreamTest, CreateReplacesAnOldFile) {
  write_file("b.txt", "old content that is longer\n");
  OutStream out;
  out.create(path("b.txt"));
  out.write("new");
  out.close();
  EXPECT_EQ(slurp(path("b.txt")), "new\n");
}

TEST_F(OutStreamTest, FileThatCannotBeCreatedIsAnError) {
  OutStream out;
  EXPECT_THROW(out.create(path("no/such/dir/file.dat")), TextError);
}

using InStreamTest = TempDir;

TEST_F(InStreamTest, ValueLinesWithCommentsAndBlankLines) {
  const std::string f = write_file("e.ent", "100.0 some words\n\n   \n3.5, 7\n12 ! nn\n-\n");
  InStream in;
  in.open(f, "entry file");
  double a = 0, b = 0;
  int n = 0;
  in.read(a, "a");
  EXPECT_EQ(a, 100.0);
  in.read(b, "b");  // blank lines before a value are skipped
  EXPECT_EQ(b, 3.5);
  EXPECT_EQ(in.line_number(), 4);
  in.read(n, "n");  // the rest of the previous line ("7") was skipped
  EXPECT_EQ(n, 12);
  EXPECT_EQ(in.read_char("mark"), '-');
}

TEST_F(InStreamTest, ItemsContinueOnFollowingLinesAndExtraNumbersAreSkipped) {
  const std::string f = write_file("d.dat", "1.0 0.1\n\n 0.002\n2,0.2,0.004,99\n3 0.3 1d-3\n");
  InStream in;
  in.open(f, "data file");
  double p[3];
  in.read(p, 3, "point 1");
  EXPECT_EQ(p[0], 1.0);
  EXPECT_EQ(p[1], 0.1);
  EXPECT_EQ(p[2], 0.002);
  in.read(p, 3, "point 2");
  EXPECT_EQ(p[2], 0.004);
  in.read(p, 3, "point 3");  // 99 was ignored; Fortran D exponent accepted
  EXPECT_EQ(p[0], 3.0);
  EXPECT_EQ(p[2], 1e-3);
}

TEST_F(InStreamTest, SlashEndsTheReadAndLeavesTheRestUnchanged) {
  const std::string f = write_file("s.dat", "1.5 / 2.5 3.5\n4.5\n");
  InStream in;
  in.open(f, "data file");
  double p[3] = {-1, -2, -3};
  in.read(p, 3, "point");
  EXPECT_EQ(p[0], 1.5);
  EXPECT_EQ(p[1], -2);
  EXPECT_EQ(p[2], -3);
  double x = 0;
  in.read(x, "next");
  EXPECT_EQ(x, 4.5);
}

TEST_F(InStreamTest, TextItemsPlainOrQuoted) {
  const std::string f = write_file("n.txt",
                                   "first.ent second.ent\n'my model.ent'\n\"it''s\"\n"
                                   "'it''s'\nname/rest\n/abs/path.dat, next\n");
  InStream in;
  in.open(f, "answers");
  std::string s;
  in.read_text(s, 256, "name");
  EXPECT_EQ(s, "first.ent");
  in.read_text(s, 256, "name");
  EXPECT_EQ(s, "my model.ent");
  in.read_text(s, 256, "name");
  EXPECT_EQ(s, "it''s");  // doubling only escapes the quote that opened the string
  in.read_text(s, 256, "name");
  EXPECT_EQ(s, "it's");
  // File names may be paths: a slash does not end a text item.
  in.read_text(s, 256, "name");
  EXPECT_EQ(s, "name/rest");
  in.read_text(s, 256, "name");
  EXPECT_EQ(s, "/abs/path.dat");
}

TEST_F(InStreamTest, TooLongANameIsRefused) {
  const std::string f =
      write_file("long.txt", std::string(257, 'a') + "\n" + std::string(256, 'b') + "\n");
  InStream in;
  in.open(f, "answers");
  std::string s;
  EXPECT_THROW(in.read_text(s, 256, "the entry-file name"), TextError);
  in.read_text(s, 256, "the entry-file name");
  EXPECT_EQ(s.size(), 256u);
}

TEST_F(InStreamTest, SingleCharacterReads) {
  const std::string f = write_file("m.txt", "fixed\n\n fixed\nFree\r\n");
  InStream in;
  in.open(f, "entry file");
  EXPECT_EQ(in.read_char("mark"), 'f');
  EXPECT_EQ(in.read_char("mark"), ' ');
  EXPECT_EQ(in.read_char("mark"), ' ');
  EXPECT_EQ(in.read_char("mark"), 'F');
  EXPECT_THROW(in.read_char("mark"), TextError);
}

TEST_F(InStreamTest, ErrorsNameTheFileTheLineAndWhatWasExpected) {
  const std::string f = write_file("bad.ent", "0.5\n\nabc\n12.0\n");
  InStream in;
  in.open(f, "entry file");
  double x;
  in.read(x, "Pi(x)");
  try {
    in.read(x, "the wavelength in A");
    FAIL() << "a word was read as a number";
  } catch (const TextError& e) {
    const std::string m = e.what();
    EXPECT_NE(m.find("bad.ent"), std::string::npos) << m;
    EXPECT_NE(m.find("line 3"), std::string::npos) << m;
    EXPECT_NE(m.find("\"abc\""), std::string::npos) << m;
    EXPECT_NE(m.find("the wavelength in A"), std::string::npos) << m;
  }
  int n;
  try {
    in.read(n, "nn");
    FAIL() << "an integer with a decimal point was accepted";
  } catch (const TextError& e) {
    EXPECT_NE(std::string(e.what()).find("line 4"), std::string::npos) << e.what();
  }
  try {
    in.read(x, "j0");
    FAIL() << "a read past the end succeeded";
  } catch (const TextError& e) {
    const std::string m = e.what();
    EXPECT_NE(m.find("ends early"), std::string::npos) << m;
    EXPECT_NE(m.find("j0"), std::string::npos) << m;
  }
}

TEST_F(InStreamTest, MissingFileIsAnErrorNamingIt) {
  InStream in;
  try {
    in.open(path("nowhere.ent"), "entry file");
    FAIL();
  } catch (const TextError& e) {
    EXPECT_NE(std::string(e.what()).find("nowhere.ent"), std::string::npos);
  }
}

TEST_F(InStreamTest, NumbersThatAreNotNumbers) {
  const std::string f = write_file("x.txt", "1e999\n1.5.2\n.\ne5\n+\n1e\n-.5\n");
  InStream in;
  in.open(f, "data file");
  double x = 0;
  for (int i = 0; i < 6; ++i) EXPECT_THROW(in.read(x, "value"), TextError) << i;
  in.read(x, "value");
  EXPECT_EQ(x, -0.5);
}

// Input that is not what a user meant to give: the message must show what is
// there, and nothing may grow without bound.
TEST_F(InStreamTest, HostileInputGivesBoundedReadableMessages) {
  double x = 0;
  {  // A byte-order mark that an editor put before the first value is skipped.
    InStream in;
    in.open(write_file("bom.ent",
                       "\xEF\xBB\xBF"
                       "0.5\n"),
            "entry file");
    in.read(x, "Pi(x)");
    EXPECT_EQ(x, 0.5);
  }
  auto message = [&](const std::string& text) {
    InStream in;
    in.open(write_file("bad.dat", text), "data file");
    try {
      in.read(x, "the reflectivity");
    } catch (const TextError& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  // An invisible byte is shown escaped, not quoted as if it were not there.
  EXPECT_NE(message(std::string("\x01") + "0.0\n").find(R"("\x010.0")"), std::string::npos);
  // A runaway token is refused and only its start is quoted.
  const std::string m = message(std::string(1000, '7') + "\n");
  EXPECT_NE(m.find("longer than 256"), std::string::npos) << m.substr(0, 200);
  EXPECT_LT(m.size(), 400u);
  // A line without end (a binary file, /dev/zero) stops at the line bound.
  const std::string z = message(std::string(200000, '\0'));
  EXPECT_NE(z.find("line 1"), std::string::npos) << z;
  EXPECT_NE(z.find("longer than 65536"), std::string::npos) << z;
  // A directory is named as one, not as a file that ends early.
  InStream in;
  try {
    in.open(dir_, "entry file");
    FAIL() << "a directory was opened as a file";
  } catch (const TextError& e) {
    EXPECT_NE(std::string(e.what()).find("is a directory"), std::string::npos) << e.what();
  }
}

TEST_F(InStreamTest, SkipLineReadsOneWholeLine) {
  const std::string f = write_file("sep.txt", "--------\n\n2\n");
  InStream in;
  in.open(f, "entry file");
  in.skip_line("separator");
  in.skip_line("separator");  // an empty line is a line too
  int n = 0;
  in.read(n, "n");
  EXPECT_EQ(n, 2);
  EXPECT_THROW(in.skip_line("separator"), TextError);
}

}  // namespace
}  // namespace tessaline::textio
