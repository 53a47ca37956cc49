// The results-file reader.  A block is the monitor's printout of one iteration:
//
//    ***...***                       (one blank, 73 asterisks)
//   ITER iterate   PARAMETERS ...    (I4, then the column titles)
//   headings ("    Layer   k", "    Substrate"), empty lines and one line per
//   parameter: I4 index, A20 name, E14.6 value, then "      fixed", or " +/-",
//   E9.2 error, 3X, E10.3 factor and perhaps "  on bound", or " +/- infinite"
//   the spread line D=..., the sqrt(D) line when D >= 0, and hi_sq.norm.
//
// The reader walks the lines once with a small state machine.  A block that
// does not follow this layout to its end (a run stopped while it was written,
// or a line that does not belong) is dropped, and the reason is kept.
#include <cmath>
#include <cstdlib>
#include <istream>
#include <string>
#include <string_view>

#include "report/readers.hpp"
#include "report/results_layout.hpp"
#include "tables/tables.hpp"
#include "textio/textio.hpp"

namespace tessaline {
namespace {

using namespace results_layout;

bool starts_with(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

// An integer field (Iw) that holds nothing but the number and blanks.
std::optional<int> parse_i_field(std::string_view field) {
  const std::string s(trim_blanks(field));
  if (s.empty() || s.size() > 9) return std::nullopt;
  std::size_t i = s[0] == '-' ? 1 : 0;
  if (i == s.size()) return std::nullopt;
  for (std::size_t j = i; j < s.size(); ++j)
    if (s[j] < '0' || s[j] > '9') return std::nullopt;
  return std::atoi(s.c_str());
}

enum class Expect { kOutside, kTitle, kParameters, kSqrtOrChi };

class ResultsReader {
 public:
  ResultsReader(textio::InStream& in, const std::string& name) : in_(in), name_(name) {}
  ResultsFile read();

 private:
  void line(const std::string& l);
  bool parameter_line(const std::string& l);
  // The block being read does not go on as a block should: it is dropped.
  void break_off(const std::string& why);
  std::string at() const { return "line " + std::to_string(line_no_); }

  textio::InStream& in_;
  const std::string& name_;
  ResultsFile r_;
  ResultsBlock block_;
  Expect expect_ = Expect::kOutside;
  int line_no_ = 0;
  std::string first_problem_;  // for the message when no block is complete
};

void ResultsReader::break_off(const std::string& why) {
  const std::string text = "the block that begins on line " + std::to_string(block_.line) +
                           " breaks off at " + at() + ": " + why;
  r_.broken_block = text;
  if (first_problem_.empty()) first_problem_ = text;
  expect_ = Expect::kOutside;
}

bool ResultsReader::parameter_line(const std::string& l) {
  // Columns: index 1-4, name 5-24, value 25-38, then the state.
  if (l.size() < 38) return false;
  const auto index = parse_i_field(std::string_view(l).substr(0, 4));
  const int expected = static_cast<int>(block_.parameters.size()) + 1;
  if (!index || *index != expected || expected > kMaxPar) return false;
  if (l.compare(4, 4, "    ") != 0) return false;
  ResultsParameter p;
  p.line = line_no_;
  p.name = std::string(trim_blanks(std::string_view(l).substr(8, 16)));
  p.value_text = std::string(trim_blanks(std::string_view(l).substr(24, 14)));
  p.value = parse_e_field(p.value_text);
  const std::string_view rest = std::string_view(l).substr(38);
  if (rest == kFixedField) {
    p.state = ParameterState::kFixed;
  } else if (rest == kInfiniteError) {
    p.state = ParameterState::kInfinite;
  } else if ((rest.size() == 26 ||
              (rest.size() == 26 + kOnBound.size() && rest.substr(26) == kOnBound)) &&
             starts_with(rest, kErrorPrefix) && rest.substr(13, 3) == "   ") {
    p.state = rest.size() == 26 ? ParameterState::kFree : ParameterState::kOnBound;
    p.error = parse_e_field(rest.substr(4, 9));
    p.factor = parse_e_field(rest.substr(16, 10));
  } else {
    return false;
  }
  block_.parameters.push_back(std::move(p));
  return true;
}

void ResultsReader::line(const std::string& l) {
  const std::string stars = " " + std::string(kRuleLength, kBlockRule);
  if (l == stars) {
    if (expect_ != Expect::kOutside) break_off("a new block begins");
    block_ = ResultsBlock{};
    block_.line = line_no_;
    expect_ = Expect::kTitle;
    return;
  }
  switch (expect_) {
    case Expect::kOutside:
      if (l == std::string(kRuleLength, kClosingRule)) r_.closed = true;
      return;
    case Expect::kTitle: {
      if (l.size() < 12 || l.compare(4, 8, " iterate") != 0) {
        break_off("expected the title line (iteration number and \" iterate\")");
        return;
      }
      block_.iteration = parse_i_field(std::string_view(l).substr(0, 4)).value_or(-1);
      expect_ = Expect::kParameters;
      return;
    }
    case Expect::kParameters:
      if (l.empty() || l == kSubstrateHeading ||
          (starts_with(l, kLayerHeading) &&
           parse_i_field(std::string_view(l).substr(kLayerHeading.size())))) {
        return;
      }
      if (starts_with(l, kSpreadLabel)) {
        if (block_.parameters.empty()) {
          break_off("the block has no parameter lines");
          return;
        }
        expect_ = Expect::kSqrtOrChi;
        return;
      }
      if (!parameter_line(l)) {
        break_off("expected parameter " + std::to_string(block_.parameters.size() + 1) +
                  " (index, name, value and fixed, +/- error and factor, or +/- infinite), a " +
                  "heading or the D=<Cos(gam)^2>-<Cos(gam)>^2 line");
      }
      return;
    case Expect::kSqrtOrChi:
      if (starts_with(l, kSqrtLabel) && block_.sqrt_d_line.empty()) {
        block_.sqrt_d_line = l;
        return;
      }
      if (starts_with(l, kChiLabel)) {
        block_.chi_sq_text = std::string(trim_blanks(std::string_view(l).substr(kChiLabel.size())));
        block_.chi_sq = parse_e_field(block_.chi_sq_text);
        r_.last = std::move(block_);
        block_ = ResultsBlock{};
        r_.closed = false;
        r_.broken_block.clear();
        expect_ = Expect::kOutside;
        return;
      }
      break_off("expected the sqrt(D) line or the hi_sq.norm line");
      return;
  }
}

ResultsFile ResultsReader::read() {
  std::string l;
  while (in_.read_line(l)) {
    line_no_ = in_.line_number();
    line(l);
  }
  if (expect_ != Expect::kOutside) {
    const std::string text = "the block that begins on line " + std::to_string(block_.line) +
                             " ends with the file after line " + std::to_string(line_no_);
    r_.broken_block = text;
    if (first_problem_.empty()) first_problem_ = text;
  }
  if (r_.last.line == 0) {  // no block was complete
    throw textio::TextError("results file \"" + name_ + "\" holds no complete iteration block" +
                            (first_problem_.empty() ? "" : ": " + first_problem_));
  }
  return r_;
}

}  // namespace

std::string_view trim_blanks(std::string_view s) {
  const auto first = s.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

std::optional<double> parse_e_field(std::string_view field) {
  // [sign] [digits] . digits, then E [sign] digits, or a sign and three exponent
  // digits where the field had no room for the letter.
  std::string s(trim_blanks(field));
  std::size_t i = 0;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) ++i;
  std::size_t digits = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
  if (i < s.size() && s[i] == '.') ++i;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
  if (digits == 0) return std::nullopt;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) s.insert(i, 1, 'E');
  if (i < s.size()) {
    if (s[i] != 'E') return std::nullopt;
    std::size_t j = i + 1;
    if (j < s.size() && (s[j] == '-' || s[j] == '+')) ++j;
    if (j == s.size()) return std::nullopt;
    // The monitor writes at most three exponent digits, and no double needs
    // more; a longer exponent (0E2147483647) is no field it wrote.
    std::size_t significant = 0;
    for (; j < s.size(); ++j) {
      if (s[j] < '0' || s[j] > '9') return std::nullopt;
      if (s[j] != '0' || significant > 0) ++significant;
    }
    if (significant > 3) return std::nullopt;
  }
  char* end = nullptr;
  const double v = std::strtod(s.c_str(), &end);
  if (end != s.c_str() + s.size() || !std::isfinite(v)) return std::nullopt;
  return v;
}

ResultsFile read_results(std::istream& in, const std::string& name) {
  textio::InStream s;
  s.open(in, name, "results file");
  return ResultsReader(s, name).read();
}

ResultsFile read_results_file(const std::string& name) {
  textio::InStream s;
  s.open(name, "results file");
  return ResultsReader(s, name).read();
}

std::string unfinished_note(const ResultsFile& r, const std::string& name) {
  if (r.closed && r.broken_block.empty()) return "";
  const std::string used = "its last complete block (iteration " +
                           std::to_string(r.last.iteration) + ", line " +
                           std::to_string(r.last.line) + ") is used";
  std::string note = r.closed ? name +
                                    " ends with its closing line, but a block before it is "
                                    "damaged; " +
                                    used
                              : name + " has no closing line: the run did not finish; " + used;
  if (!r.broken_block.empty()) note += "; " + r.broken_block;
  return note;
}

}  // namespace tessaline
