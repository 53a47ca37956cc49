// The next entry file from a results block: the place of every value in the raw
// bytes of the entry file, the decimal conversion into the file's units, the
// splice that keeps every other byte, and the refusals of a block that belongs
// to another entry file.
//
// The entry file is written from a template whose slots are filled with number
// texts; the expected new file is the same template filled with the converted
// texts, written by hand.
#include "driver/entry_update.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "driver/driver.hpp"

namespace tessaline {
namespace {

// One layer, a byte-order mark, CRLF line ends, comments after values, blank
// lines before values, marks in both cases, an empty mark line.  {k} is the
// value of PARAM slot k (nlay = 1: Pi(x) is slot 18).
const char* const kTemplate =
    "\xEF\xBB\xBF{18}   Pi(x): polarizer\r\n"
    "f\r\n"
    "{19}\r\n"
    "-\r\n"
    "{20}\r\n"
    "F\r\n"
    "---- analyser\r\n"
    "{21}\r\nf\r\n{22}\r\nf\r\n{23}\r\nf\r\n"
    "---- instrument\r\n"
    "4.5   wavelength [A]\r\n"
    "\r\n"
    "150\r\n7\r\n0.1\r\n0.15\r\n"
    "---- layers\r\n"
    "1\r\n"
    "---- layer 1\r\n"
    "\r\n"
    "  {1}, thickness [A]\r\n"
    "-\r\n"
    "{2}\tRe{Nb}\r\n"
    "\r\n"
    "{3}\r\nf\r\n{4}\r\nf\r\n{5}\r\nf\r\n"
    "{6}\r\nfixed\r\n"
    "---- substrate\r\n"
    "{7}\r\nf\r\n{8}\r\nf\r\n{9}\r\nf\r\n{10}\r\nf\r\n{11}\r\nf\r\n"
    "---- gamma\r\n"
    "{12}  <cos gamma>\r\n- free\r\n{13}\r\nF\r\n{14}\r\nF\r\n"
    "---- scale\r\n"
    "{15}\r\n-\r\n{16}  alpha_0 [mrad]\r\n-\r\n{17}\r\n-\r\n"
    "---- zero\r\n"
    "0.0\r\n";

using Values = std::map<int, std::string>;

const Values kOld = {{1, "48.0"}, {2, "4.5"},     {3, "0.015"}, {4, "0.0"},   {5, "1.0"},
                     {6, "6.0"},  {7, "2.07"},    {8, "0.0"},   {9, "0.0"},   {10, "1.0"},
                     {11, "3.0"}, {12, "0.75"},   {13, "0.6"},  {14, "0.3"},  {15, "0.3"},
                     {16, "0.0"}, {17, "1.0e-6"}, {18, "0.0"},  {19, "0.98"}, {20, "0.0"},
                     {21, "0.0"}, {22, "0.97"},   {23, "0.0"}};

// The free values as the results file prints them and as the new entry file
// must hold them (densities 1e6 times larger, alpha_0 in mrad).
const std::map<int, std::pair<std::string, std::string>> kFitted = {
    {1, {"0.497841E+02", "49.7841"}},    {2, {"0.509370E-05", "5.09370"}},
    {12, {"0.800583E+00", "0.800583"}},  {15, {"0.250881E+00", "0.250881"}},
    {16, {"0.150000E-02", "1.50000"}},   {17, {"0.133700E-05", "1.33700E-6"}},
    {19, {"-0.975000E+00", "-0.975000"}}};

std::string fill(Values v) {
  std::string s = kTemplate;
  for (const auto& [k, text] : v) {
    const std::string key = "{" + std::to_string(k) + "}";
    s.replace(s.find(key), key.size(), text);
  }
  return s;
}

struct Read {
  std::unique_ptr<Tables> t = make_tables();
  std::unique_ptr<EntrySources> src = std::make_unique<EntrySources>();
};

Read read(const std::string& text) {
  Read r;
  std::istringstream in(text);
  textio::OutStream quiet;
  read_entry_file(*r.t, in, "old.ent", quiet, r.src.get());
  return r;
}

// The block a fit of the template would end with: the fixed values as the
// monitor prints them, the free ones from kFitted.
ResultsBlock block_for(const Tables& t) {
  ResultsBlock b;
  b.iteration = 7;
  b.line = 300;
  for (int i = 1; i <= t.NPAR; ++i) {
    ResultsParameter p;
    p.line = 300 + i;
    p.name = std::string(trimmed_name(t.PARNAM(i)));
    const std::string e = textio::fmt_E(t.PARAM(i) / t.SCALE(i), 14, 6);
    p.value_text = e.substr(e.find_first_not_of(' '));
    p.state = ParameterState::kFixed;
    if (kFitted.count(i)) {
      p.value_text = kFitted.at(i).first;
      p.state = ParameterState::kFree;
    }
    p.value = parse_e_field(p.value_text);
    b.parameters.push_back(p);
  }
  return b;
}

template <class F>
std::string refusal(F f) {
  try {
    f();
  } catch (const UpdateRefused& e) {
    return e.what();
  }
  return "";
}

// The message of a results value that is no number.
template <class F>
std::string no_number(F f) {
  try {
    f();
  } catch (const textio::TextError& e) {
    return e.what();
  }
  return "";
}

TEST(EntrySources, EveryValueAndMarkIsFoundInTheRawBytes) {
  const std::string text = fill(kOld);
  const Read r = read(text);
  ASSERT_EQ(r.t->NPAR, 23);
  // Lines of the raw text, each with its carriage return, the first with the mark.
  std::vector<std::string> raw;
  std::istringstream lines(text);
  for (std::string l; std::getline(lines, l);) raw.push_back(l);
  const auto at = [&](const textio::TokenPosition& p) {
    return raw.at(static_cast<std::size_t>(p.line - 1))
        .substr(static_cast<std::size_t>(p.column - 1), static_cast<std::size_t>(p.length));
  };
  for (const auto& [k, literal] : kOld) {
    EXPECT_EQ(at(r.src->slot(k).token), literal) << "slot " << k;
  }
  EXPECT_EQ(r.src->slot(18).token.line, 1);
  EXPECT_EQ(r.src->slot(18).token.column, 4);  // after the 3-byte mark
  EXPECT_EQ(r.src->slot(1).token.line, 25);    // after a blank line
  EXPECT_EQ(r.src->slot(1).token.column, 3);
  // Units as the file gives them: thickness and roughness in A, densities in
  // 1e-6 A^-2, alpha_0 in mrad, <cos(delta_gamma)> and Pi(x) plain numbers.
  for (const auto& [k, unit] : std::map<int, EntryUnit>{{1, EntryUnit::kAngstrom},
                                                        {2, EntryUnit::kMicro},
                                                        {5, EntryUnit::kNone},
                                                        {6, EntryUnit::kAngstrom},
                                                        {11, EntryUnit::kAngstrom},
                                                        {16, EntryUnit::kMilli},
                                                        {18, EntryUnit::kNone}}) {
    EXPECT_EQ(r.src->slot(k).unit, unit) << "slot " << k;
  }
  // The settings that no fit moves, and the marks.
  EXPECT_EQ(at(r.src->coll_step), "0.1");
  EXPECT_EQ(at(r.src->coll_sigma), "0.15");
  EXPECT_EQ(r.src->coll_sigma.line, 20);
  EXPECT_EQ(at(r.src->zero_correction), "0.0");
  EXPECT_EQ(r.src->zero_correction.line, static_cast<int>(raw.size()));
  // The mark of a value is the next line; the polarization's come first.
  EXPECT_EQ(r.src->slot(1).mark_line, 26);
  EXPECT_EQ(raw.at(25), "-\r");
  EXPECT_EQ(r.src->slot(18).mark_line, 2);
  EXPECT_EQ(raw.at(r.src->slot(12).mark_line - 1), "- free\r");
}

TEST(EntryUpdate, FreeValuesReplacedInTheFileUnitsAndEveryOtherByteKept) {
  const std::string old_text = fill(kOld);
  const Read old = read(old_text);
  ResultsBlock b = block_for(*old.t);
  // Im{Nb} was fixed in the entry file after the fit: its value stays.
  b.parameters[2].state = ParameterState::kFree;
  b.parameters[2].value_text = "0.990000E-07";
  const EntryUpdate u = update_entry_text(old_text, "old.ent", b, "VreloBag.dat");

  Values expected = kOld;
  for (const auto& [k, texts] : kFitted) expected[k] = texts.second;
  EXPECT_EQ(u.text, fill(expected));
  EXPECT_EQ(u.replaced, 7);
  // Read back, the new values are the fitted ones in physical units.
  const Read now = read(u.text);
  EXPECT_DOUBLE_EQ(now.t->PARAM(2) / now.t->SCALE(2), 5.0937e-6);
  EXPECT_DOUBLE_EQ(now.t->PARAM(16), 1.5e-3);  // alpha_0 in rad
  EXPECT_DOUBLE_EQ(now.t->PARAM(17), 1.337e-6);
}

TEST(EntryUpdate, ABlockOfAnotherEntryFileIsRefused) {
  const std::string old_text = fill(kOld);
  const Read old = read(old_text);
  const ResultsBlock good = block_for(*old.t);

  ResultsBlock b = good;
  for (int k = 0; k < 6; ++k) b.parameters.push_back(good.parameters[0]);
  std::string e = refusal([&] { update_entry_text(old_text, "old.ent", b, "VreloBag.dat"); });
  EXPECT_NE(e.find("holds 29 parameters (nlay = 2), but old.ent has 23 (nlay = 1, line 22)"),
            std::string::npos)
      << e;

  b = good;
  b.parameters[6].name = "thickness";
  e = refusal([&] { update_entry_text(old_text, "old.ent", b, "VreloBag.dat"); });
  EXPECT_NE(e.find("parameter 7: VreloBag.dat line 307 names it \"thickness\", but old.ent line "
                   "38 holds \"Re{Nb}\""),
            std::string::npos)
      << e;

  b = good;
  b.parameters[2].value_text = "0.990000E-07";
  b.parameters[2].value = 0.99e-7;
  e = refusal([&] { update_entry_text(old_text, "old.ent", b, "VreloBag.dat"); });
  EXPECT_NE(e.find("parameter 3 (Im{Nb}) is fixed at 0.150000E-07 in old.ent line 29 but at "
                   "0.990000E-07 in VreloBag.dat line 303"),
            std::string::npos)
      << e;

  b = good;
  b.parameters[0].value_text = "**************";
  b.parameters[0].value.reset();
  e = no_number([&] { update_entry_text(old_text, "old.ent", b, "VreloBag.dat"); });
  EXPECT_NE(e.find("VreloBag.dat line 301: the value of parameter 1 (thickness) is "
                   "\"**************\", not a number"),
            std::string::npos)
      << e;

  Values slash = kOld;
  slash[1] = "/";
  e = refusal([&] { update_entry_text(fill(slash), "old.ent", good, "VreloBag.dat"); });
  EXPECT_NE(e.find("old.ent line 25: the value of parameter 1 (thickness) is left out with a "
                   "slash"),
            std::string::npos)
      << e;
}

TEST(EntryEdit, SettingsValuesAndMarksWrittenInPlace) {
  const std::string old_text = fill(kOld);
  EntryEdits e;
  e.zero_correction = 0.05;
  e.coll_sigma = 0.3;
  e.coll_step = 0.2;
  e.slots = {{2, 4.75}, {16, 0.1 + 0.2}};
  e.fix = {1, 12, 3};  // 3 is fixed already
  const std::string text = edit_entry_text(old_text, "old.ent", e);

  Values values = kOld;
  values[2] = "4.75";
  values[16] = "0.30000000000000004";  // the fewest digits that read back as that number
  std::string expected = fill(values);
  const auto swap_once = [&expected](const std::string& from, const std::string& to) {
    const std::size_t at = expected.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    expected.replace(at, from.size(), to);
  };
  swap_once("150\r\n7\r\n0.1\r\n0.15\r\n", "150\r\n7\r\n0.2\r\n0.3\r\n");
  swap_once("thickness [A]\r\n-\r\n", "thickness [A]\r\nF-\r\n");
  swap_once("<cos gamma>\r\n- free", "<cos gamma>\r\nF- free");
  swap_once("---- zero\r\n0.0\r\n", "---- zero\r\n0.05\r\n");
  EXPECT_EQ(text, expected);

  const Read old = read(old_text);
  const Read now = read(text);
  EXPECT_EQ(now.t->zero_correction, 0.05 / 1000.0);
  EXPECT_EQ(now.t->coll_sigma, 0.3 / 1000.0);
  EXPECT_EQ(now.t->coll_step, 0.2 / 1000.0);
  EXPECT_EQ(now.t->PARAM(2), entry_to_physical(4.75, EntryUnit::kMicro) * 1.0e6);
  EXPECT_DOUBLE_EQ(now.t->PARAM(2) / now.t->SCALE(2), 4.75e-6);
  EXPECT_DOUBLE_EQ(now.t->PARAM(16), 0.3e-3);  // alpha_0, given in mrad, held in rad
  EXPECT_EQ(now.t->STEPLIM(1), 0);
  EXPECT_EQ(now.t->STEPLIM(12), 0);
  EXPECT_EQ(now.t->NFIX, old.t->NFIX + 2);
}

TEST(EntryEdit, ASlotTheFileDoesNotHaveOrAValueLeftOutIsRefused) {
  EntryEdits e;
  e.slots = {{24, 1.0}};
  std::string m = refusal([&] { edit_entry_text(fill(kOld), "old.ent", e); });
  EXPECT_NE(m.find("old.ent has no parameter 24 (it has 23)"), std::string::npos) << m;
  e = EntryEdits{};
  e.fix = {0};
  m = refusal([&] { edit_entry_text(fill(kOld), "old.ent", e); });
  EXPECT_NE(m.find("no parameter 0"), std::string::npos) << m;
  e = EntryEdits{};
  e.coll_sigma = 0.2;
  std::string slash = fill(kOld);
  slash.replace(slash.find("0.15\r\n"), 4, "/");
  m = refusal([&] { edit_entry_text(slash, "old.ent", e); });
  EXPECT_NE(m.find("old.ent line 20: the collimation sigma is left out with a slash"),
            std::string::npos)
      << m;
}

TEST(EntryUnits, TheNamesOfTheUnits) {
  // As the entry file gives a value, and as the results file prints it.
  EXPECT_STREQ(entry_unit_name(EntryUnit::kMicro), "1e-6 A^-2");
  EXPECT_STREQ(entry_unit_name(EntryUnit::kMilli), "mrad");
  EXPECT_STREQ(entry_unit_name(EntryUnit::kAngstrom), "A");
  EXPECT_STREQ(physical_unit(EntryUnit::kMicro), "A^-2");
  EXPECT_STREQ(physical_unit(EntryUnit::kMilli), "rad");
  EXPECT_STREQ(physical_unit(EntryUnit::kNone), "");
}

TEST(EntryEdit, ShortestNumbers) {
  EXPECT_EQ(shortest_number(0.05), "0.05");
  EXPECT_EQ(shortest_number(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(shortest_number(-2.5e-300), "-2.5e-300");
  EXPECT_EQ(shortest_number(1.0 / 3.0), "0.3333333333333333");
  EXPECT_EQ(std::strtod(shortest_number(2.0 / 3.0).c_str(), nullptr), 2.0 / 3.0);
  EXPECT_EQ(shortest_number(std::numeric_limits<double>::infinity()), "inf");
  // Fixed notation where people write numbers so, exponents beyond.
  EXPECT_EQ(shortest_number(130.0), "130");
  EXPECT_EQ(shortest_number(-0.0001), "-0.0001");
  EXPECT_EQ(shortest_number(123456.5), "123456.5");
  EXPECT_EQ(shortest_number(5e-5), "5e-05");
  EXPECT_EQ(shortest_number(2e15), "2e+15");
}

TEST(EntryUpdate, ResultsValuesAreComparedInTheMonitorsForm) {
  const std::string old_text = fill(kOld);
  const Read old = read(old_text);
  // Fixed values written by hand in another form than the monitor's: the same
  // numbers, so the block belongs to the entry file.
  ResultsBlock b = block_for(*old.t);
  for (const auto& [k, text] : std::map<int, std::string>{
           {3, ".15E-7"}, {5, "1."}, {7, "2.07E-6"}, {11, "3.0E+00"}, {13, "+0.6"}}) {
    b.parameters[static_cast<std::size_t>(k - 1)].value_text = text;
    b.parameters[static_cast<std::size_t>(k - 1)].value = parse_e_field(text);
  }
  const EntryUpdate u = update_entry_text(old_text, "old.ent", b, "VreloBag.dat");
  EXPECT_EQ(u.replaced, 7);
  // A fixed value that differs in the sixth digit does not belong.
  b.parameters[2].value_text = "0.150001E-07";
  b.parameters[2].value = parse_e_field(b.parameters[2].value_text);
  const std::string e = refusal([&] { update_entry_text(old_text, "old.ent", b, "VreloBag.dat"); });
  EXPECT_NE(e.find("parameter 3 (Im{Nb}) is fixed at 0.150000E-07"), std::string::npos) << e;
}

TEST(EntryUpdate, AbsurdExponentsAreRefusedWithTheirLine) {
  // As the results reader hands them on: fields with exponents no monitor
  // writes are no numbers, refused naming the results file and line whether
  // the value is free or fixed, and never taken for a block of another entry
  // file.
  const std::string old_text = fill(kOld);
  const Read old = read(old_text);
  for (const char* text : {"0E2147483647", "0E99999999999", "0.5E-2147483648"}) {
    SCOPED_TRACE(text);
    ResultsBlock b = block_for(*old.t);
    b.parameters[0].value_text = text;
    b.parameters[0].value = parse_e_field(text);
    std::string e = no_number([&] { update_entry_text(old_text, "old.ent", b, "VreloBag.dat"); });
    EXPECT_NE(e.find("VreloBag.dat line 301: the value of parameter 1 (thickness) is \"" +
                     std::string(text) + "\", not a number"),
              std::string::npos)
        << e;
    b = block_for(*old.t);
    b.parameters[2].value_text = text;
    b.parameters[2].value = parse_e_field(text);
    e = no_number([&] { update_entry_text(old_text, "old.ent", b, "VreloBag.dat"); });
    EXPECT_NE(e.find("VreloBag.dat line 303: the value of parameter 3 (Im{Nb})"), std::string::npos)
        << e;
  }
  // The decimal shift itself neither overflows nor throws on them.
  EXPECT_EQ(shift_decimal("0E2147483647", 6), "0.0");
  EXPECT_EQ(shift_decimal("0.0E-99999999999", 3), "0.0");
  EXPECT_EQ(shift_decimal("0.5E99999999999", 0).substr(0, 4), "5.0E");
  EXPECT_EQ(shift_decimal("-0.25E-2147483648", 0).substr(0, 5), "-2.5E");
}

// A fit of several measurements gives a shared value of the first one to all:
// the slots named as fixed too take the block's value where the entry file
// fixes a different one, and keep their bytes where it prints the same.
TEST(EntryUpdate, ChosenFixedValuesTakeTheBlocksValue) {
  const std::string old_text = fill(kOld);
  const Read old = read(old_text);
  ResultsBlock b = block_for(*old.t);
  b.parameters[2].value_text = "0.250000E-07";  // Im{Nb}, fixed at 0.015 in the entry file
  b.parameters[2].value = 0.25e-7;

  // Without the slot the block does not belong to the entry file.
  EXPECT_NE(refusal([&] { update_entry_text(old_text, "old.ent", b, "VreloBag.dat"); }), "");

  const EntryUpdate u = update_entry_text(old_text, "old.ent", b, "VreloBag.dat", {3, 6, 11});
  Values expected = kOld;
  for (const auto& [k, texts] : kFitted) expected[k] = texts.second;
  expected[3] = "0.0250000";          // 0.250000E-07 A^-2 in 1e-6 A^-2
  EXPECT_EQ(u.text, fill(expected));  // slots 6 and 11 print as in the block: untouched
  EXPECT_EQ(u.replaced, 8);
  // The mark stays: the value is still fixed.
  const Read now = read(u.text);
  EXPECT_LE(now.t->STEPLIM(3), 0.0);
  EXPECT_DOUBLE_EQ(now.t->PARAM(3) / now.t->SCALE(3), 0.25e-7);
}

TEST(EntryUpdate, DecimalShiftKeepsTheDigits) {
  EXPECT_EQ(shift_decimal("0.509370E-05", 6), "5.09370");
  EXPECT_EQ(shift_decimal("0.480000E+02", 0), "48.0000");
  EXPECT_EQ(shift_decimal("0.144965E+03", 0), "144.965");
  EXPECT_EQ(shift_decimal("0.123456E+07", 0), "1234560.0");
  EXPECT_EQ(shift_decimal("-0.250000E-03", 3), "-0.250000");
  EXPECT_EQ(shift_decimal("0.150000E-08", 6), "0.00150000");
  EXPECT_EQ(shift_decimal("0.100000-119", 6), "1.00000E-114");
  EXPECT_EQ(shift_decimal("0.123456E+17", 0), "1.23456E16");
  EXPECT_EQ(shift_decimal("0.000000E+00", 6), "0.0");
  EXPECT_EQ(shift_decimal(".9778E+00", 0), "0.9778");
}

}  // namespace
}  // namespace tessaline
