// NCNR reduced files as the NCNR's newer reduction writes them: every header
// line is '# "key": value' with the value in JSON, and one file may hold several
// blocks, one per cross section, each a header followed by its points:
//
//   # "polarization": "++"
//   # "wavelength": 4.75
//   # "columns": ["Qz", "R", "uncertainty", "resolution"]
//   # "units": ["1/Ang", "", "", "1/Ang"]
//   0.0100000000e+00 9.0000000000e-01 1.0000000000e-02 3.0000000000e-04
//
// The cross section is written with signs, polarizer first: ++ = UU, -- = DD,
// +- = UD, -+ = DU.  Every column is taken by its name, in whatever order the
// file lists them (kColumnNames); a name not known there is refused rather than
// guessed, since a resolution read as an error bar would weight the fit
// wrongly without a sign.  The resolution column is one standard deviation of
// Qz.  Only the keys used here are decoded, and only when they hold a string, a
// number or a flat list of them; other keys may hold anything and are passed
// by.  A key used here may be given only once in a block's header, or again
// with the same value.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "import/import.hpp"
#include "import/text.hpp"
#include "textio/textio.hpp"

namespace tessaline::importer {
namespace {

using detail::fail_at;
using detail::Line;
using detail::parse_number;
using detail::split_words;

// A JSON scalar or a flat list of scalars; `null` is an empty optional.
using Scalar = std::optional<std::string>;

struct JsonReader {
  std::string_view s;
  std::size_t i = 0;

  void blank() {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  }
  bool string(std::string& out) {
    if (i >= s.size() || s[i] != '"') return false;
    for (++i; i < s.size(); ++i) {
      const char c = s[i];
      if (c == '"') {
        ++i;
        return true;
      }
      if (c != '\\') {
        out += c;
        continue;
      }
      if (++i >= s.size()) return false;
      switch (s[i]) {
        case 'n':
          out += '\n';
          break;
        case 't':
          out += '\t';
          break;
        case 'u':  // a character beyond ASCII: no name used here holds one
          if (i + 4 >= s.size()) return false;
          i += 4;
          out += '?';
          break;
        default:  // \" \\ \/ and the rarer control escapes
          out += s[i];
      }
    }
    return false;
  }
  // A number, null, true or false as its text.
  bool word(Scalar& out) {
    const std::size_t start = i;
    while (i < s.size() && s[i] != ',' && s[i] != ']' && s[i] != ' ' && s[i] != '\t') ++i;
    if (i == start) return false;
    const std::string_view w = s.substr(start, i - start);
    if (w == "null") {
      out.reset();
    } else {
      out = std::string(w);
    }
    return true;
  }
  bool scalar(Scalar& out) {
    blank();
    if (i < s.size() && s[i] == '"') {
      std::string text;
      if (!string(text)) return false;
      out = std::move(text);
      return true;
    }
    return word(out);
  }
  // The whole rest of the line as one scalar or a flat list; false if it is
  // anything else.
  bool value(std::vector<Scalar>& out, bool& is_list) {
    blank();
    is_list = i < s.size() && s[i] == '[';
    if (is_list) {
      ++i;
      blank();
      if (i < s.size() && s[i] == ']') {
        ++i;
      } else {
        for (;;) {
          Scalar v;
          if (!scalar(v)) return false;
          out.push_back(std::move(v));
          blank();
          if (i < s.size() && s[i] == ',') {
            ++i;
            continue;
          }
          if (i < s.size() && s[i] == ']') {
            ++i;
            break;
          }
          return false;
        }
      }
    } else {
      Scalar v;
      if (!scalar(v)) return false;
      out.push_back(std::move(v));
    }
    blank();
    return i == s.size();
  }
};

std::string_view trimmed(std::string_view s) {
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

int sign_channel(const std::string& p) {
  if (p == "++") return 0;
  if (p == "--") return 1;
  if (p == "+-") return 2;
  if (p == "-+") return 3;
  return kNoChannel;
}

// Qz and its resolution in 1/A from the declared unit; empty for no unit
// (null or "").
std::optional<double> per_angstrom(const Scalar& unit, const std::string& name, int line,
                                   const std::string& what) {
  if (!unit || unit->empty()) return std::nullopt;
  const std::string& u = *unit;
  if (u == "1/Ang" || u == "1/A" || u == "1/angstrom" || u == "Ang^-1" || u == "A^-1") return 1;
  if (u == "1/nm" || u == "nm^-1") return 0.1;
  fail_at(name, line,
          "the unit of " + what + " is " + textio::quoted(u) + "; expected 1/Ang or 1/nm");
}

// The names each column may go by, in PointColumns order: Qz, the
// reflectivity, its uncertainty (one standard deviation) and the Qz resolution
// (one standard deviation).
struct ColumnRole {
  const char* what;
  std::array<std::string_view, 3> names;  // "" where a role has fewer
};
constexpr std::array<ColumnRole, 4> kColumnNames = {{
    {"Qz", {"Qz", "Q", ""}},
    {"the reflectivity", {"R", "", ""}},
    {"the uncertainty of R", {"uncertainty", "dR", ""}},
    {"the Qz resolution", {"resolution", "dQ", "dQz"}},
}};

std::string known_column_names() {
  std::string s;
  for (const ColumnRole& role : kColumnNames) {
    std::string names;
    for (std::string_view n : role.names)
      if (!n.empty()) names += (names.empty() ? "" : " or ") + textio::quoted(n);
    s += (s.empty() ? "" : ", ") + names + " (" + role.what + ")";
  }
  return s;
}

struct Block {
  DataSet set;
  int columns_line = 0, units_line = 0;
  std::vector<Scalar> columns, units;
  detail::PointColumns point;  // settled at the first point line
  // Line and raw value of each key given so far in this block's header.
  std::vector<std::pair<std::string, std::pair<int, std::string>>> given;
};

void settle_columns(Block& b, std::size_t found, const std::string& name, int line) {
  if (b.columns.empty()) {
    b.point.ncols = b.point.used = detail::unnamed_columns(found, name, line);
    b.set.notes.push_back(std::string("no \"columns\" line: read as Qz R dR") +
                          (found == 4 ? " dQz" : ""));
    if (!b.units.empty())
      fail_at(name, b.units_line, "\"units\" are given, but no \"columns\" that they belong to");
    return;
  }
  std::array<bool, 4> seen{};
  for (std::size_t k = 0; k < b.columns.size(); ++k) {
    const Scalar& n = b.columns[k];
    std::size_t role = kColumnNames.size();
    for (std::size_t r = 0; n && r < kColumnNames.size(); ++r)
      for (std::string_view known : kColumnNames[r].names)
        if (!known.empty() && *n == known) role = r;
    if (role == kColumnNames.size()) {
      fail_at(name, b.columns_line,
              "column " + std::to_string(k + 1) + " is named " +
                  (n ? textio::quoted(*n) : std::string("null")) +
                  ", which is not a column this reader knows; expected the names " +
                  known_column_names());
    }
    if (seen[role]) {
      fail_at(name, b.columns_line,
              "column " + std::to_string(k + 1) + " is " + std::string(kColumnNames[role].what) +
                  " again; each column may be named once");
    }
    seen[role] = true;
    b.point.at[role] = k;
  }
  for (std::size_t r = 0; r < 3; ++r) {
    if (!seen[r])
      fail_at(name, b.columns_line,
              std::string("no column holds ") + kColumnNames[r].what + "; expected the names " +
                  known_column_names());
  }
  b.point.ncols = b.columns.size();
  b.point.used = seen[3] ? 4 : 3;
  if (b.units.empty()) return;
  if (b.units.size() != b.columns.size()) {
    fail_at(name, b.units_line,
            "\"units\" lists " + std::to_string(b.units.size()) + " units for the " +
                std::to_string(b.columns.size()) + " columns of line " +
                std::to_string(b.columns_line));
  }
  b.point.qz = per_angstrom(b.units[b.point.at[0]], name, b.units_line, "Qz").value_or(1);
  // A resolution without a unit of its own is in the unit of Qz.
  if (seen[3])
    b.point.dqz = per_angstrom(b.units[b.point.at[3]], name, b.units_line, "the resolution")
                      .value_or(b.point.qz);
  if (b.point.qz != 1) b.set.notes.push_back("Qz converted from 1/nm");
}

void read_wavelength(DataSet& set, const std::vector<Scalar>& values, const std::string& name,
                     int line) {
  if (values.size() == 1 && !values[0]) return;  // null: not known
  double lo = 0, hi = 0;
  for (std::size_t k = 0; k < values.size(); ++k) {
    double v;
    if (!values[k] || !parse_number(*values[k], v) || !(v > 0) || !std::isfinite(v))
      fail_at(name, line, "expected the wavelength in A as a positive number or a list of them");
    if (const std::string problem = detail::wavelength_problem(v); !problem.empty())
      fail_at(name, line, problem);
    lo = k == 0 ? v : std::min(lo, v);
    hi = k == 0 ? v : std::max(hi, v);
  }
  if (!values.empty()) detail::set_wavelength(set, lo, hi);
}

}  // namespace

namespace detail {

bool json_header_line(std::string_view text, std::string& key, std::string_view& value) {
  if (text.empty() || text[0] != '#') return false;
  JsonReader r{text, 1};
  r.blank();
  if (!r.string(key)) return false;
  r.blank();
  if (r.i >= text.size() || text[r.i] != ':') return false;
  value = text.substr(r.i + 1);
  return true;
}

std::vector<DataSet> ncnr_block_sets(const std::vector<Line>& lines, const std::string& name) {
  std::vector<Block> blocks;
  auto begin_block = [&] {
    blocks.emplace_back();
    blocks.back().set.file = name;
  };
  auto current = [&]() -> Block& {
    if (blocks.empty()) begin_block();
    return blocks.back();
  };
  for (const Line& l : lines) {
    const std::string_view s = l.text;
    if (!s.empty() && s[0] == '#') {
      std::string key;
      std::string_view text;
      if (json_header_line(s, key, text)) {
        // A header line after points begins the next cross section.
        if (blocks.empty() || !blocks.back().set.points.empty() || blocks.back().set.excluded > 0)
          begin_block();
        Block& b = blocks.back();
        if (key != "polarization" && key != "wavelength" && key != "columns" && key != "units" &&
            key != "entry")
          continue;
        const std::string raw(trimmed(text));
        const auto before = std::find_if(b.given.begin(), b.given.end(),
                                         [&](const auto& g) { return g.first == key; });
        if (before != b.given.end()) {
          if (before->second.second == raw) continue;
          fail_at(name, l.number,
                  "the key " + textio::quoted(key) + " is given again, with another value than " +
                      "on line " + std::to_string(before->second.first) +
                      "; a header gives each value once");
        }
        b.given.push_back({key, {l.number, raw}});
        std::vector<Scalar> values;
        bool is_list = false;
        JsonReader r{text};
        if (!r.value(values, is_list))
          fail_at(name, l.number,
                  "expected a string, a number or a flat list after " + textio::quoted(key) + ":");
        if (key == "wavelength") {
          read_wavelength(b.set, values, name, l.number);
        } else if (key == "columns" || key == "units") {
          if (!is_list)
            fail_at(name, l.number, "expected a list after " + textio::quoted(key) + ":");
          (key == "columns" ? b.columns : b.units) = std::move(values);
          (key == "columns" ? b.columns_line : b.units_line) = l.number;
        } else if (is_list || !values[0]) {
          fail_at(name, l.number, "expected a string after " + textio::quoted(key) + ":");
        } else if (key == "polarization") {
          b.set.polarization = *values[0];
          b.set.channel = sign_channel(b.set.polarization);
        } else {
          b.set.name = values[0]->substr(0, 40);
        }
        continue;
      }
      // A commented-out point: the experimenter excluded it.
      const auto words = split_words(s.substr(1));
      double v;
      if (!words.empty() && parse_number(words[0], v)) ++current().set.excluded;
      continue;
    }
    const auto words = split_words(s);
    if (words.empty()) continue;
    Block& b = current();
    if (b.point.ncols == 0) settle_columns(b, words.size(), name, l.number);
    b.set.points.push_back(detail::read_point(words, b.point, name, l.number));
  }
  std::vector<DataSet> sets;
  for (Block& b : blocks) {
    if (b.set.name.empty())
      b.set.name =
          b.set.polarization.empty() ? std::to_string(sets.size() + 1) : b.set.polarization;
    sets.push_back(std::move(b.set));
  }
  if (sets.empty()) throw ImportError(name + ": holds no header and no point");
  return sets;
}

}  // namespace detail

std::vector<DataSet> read_ncnr_blocks(std::istream& in, const std::string& name) {
  return detail::ncnr_block_sets(detail::read_lines(in, name), name);
}

}  // namespace tessaline::importer
