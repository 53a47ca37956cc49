// The line-oriented reduced formats: NCNR reduced files, one cross section each,
// and plain column files; the shared line and number helpers; opening a file and
// telling its format.
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <utility>

#include "import/import.hpp"
#include "import/text.hpp"
#include "textio/textio.hpp"

namespace tessaline::importer {
namespace detail {

namespace {
constexpr std::string_view kBom = "\xEF\xBB\xBF";
}  // namespace

std::vector<Line> read_lines(std::istream& in, const std::string& name) {
  std::vector<Line> lines;
  std::string s;
  int n = 0;
  for (;;) {
    s.clear();
    char c;
    bool any = false;
    while (in.get(c) && c != '\n') {
      any = true;
      if (s.size() == kMaxLine)
        throw ImportError(name + ", line " + std::to_string(n + 1) + ": longer than " +
                          std::to_string(kMaxLine >> 20) + " MiB; not a reduced reflectivity file");
      s += c;
    }
    if (!any && !in) break;
    if (!s.empty() && s.back() == '\r') s.pop_back();
    // A UTF-8 byte-order mark before the first line is not part of its text.
    if (n == 0 && s.rfind(kBom, 0) == 0) s.erase(0, kBom.size());
    lines.push_back({++n, std::move(s)});
    if (!in) break;
  }
  if (in.bad()) throw ImportError(name + ": cannot be read after line " + std::to_string(n));
  return lines;
}

std::vector<std::string_view> split_words(std::string_view s) {
  std::vector<std::string_view> words;
  std::size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    const std::size_t start = i;
    while (i < s.size() && s[i] != ' ' && s[i] != '\t') ++i;
    if (i > start) words.push_back(s.substr(start, i - start));
  }
  return words;
}

bool parse_number(std::string_view word, double& v) {
  if (word.empty() || word.size() > 64) return false;
  const std::string s(word);
  char* end = nullptr;
  v = std::strtod(s.c_str(), &end);
  return end == s.c_str() + s.size();
}

ReducedPoint read_point(const std::vector<std::string_view>& words, const PointColumns& c,
                        const std::string& name, int line) {
  if (words.size() != c.ncols)
    fail_at(name, line,
            "expected " + std::to_string(c.ncols) + " numbers, one per column, found " +
                std::to_string(words.size()));
  double v[4] = {0, 0, 0, std::numeric_limits<double>::quiet_NaN()};
  for (std::size_t k = 0; k < c.ncols; ++k) {
    double x;
    if (!parse_number(words[k], x))
      fail_at(name, line,
              "expected a number in column " + std::to_string(k + 1) + ", found " +
                  textio::quoted(words[k]));
    for (std::size_t j = 0; j < c.used; ++j)
      if (c.at[j] == k) v[j] = x;
  }
  return {v[0] * c.qz, v[1], v[2] * c.dr, v[3] * c.dqz};
}

std::size_t unnamed_columns(std::size_t found, const std::string& name, int line) {
  if (found != 3 && found != 4)
    fail_at(
        name, line,
        "expected the columns Qz R dR or Qz R dR dQz, found " + std::to_string(found) + " numbers");
  return found;
}

void set_wavelength(DataSet& set, double lo, double hi) {
  if (lo > hi) std::swap(lo, hi);
  if (hi - lo <= kQzTolerance * hi) {
    set.wavelength = lo;
  } else {
    char text[80];
    std::snprintf(text, sizeof text, "%g to %g A", lo, hi);
    set.wavelength_range = text;
  }
}

void fail_at(const std::string& name, int line, const std::string& what) {
  throw ImportError(name + ", line " + std::to_string(line) + ": " + what);
}

std::string_view base_name(std::string_view path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace detail

namespace {

using detail::fail_at;
using detail::Line;
using detail::parse_number;
using detail::split_words;

// The NCNR cross-section letters: A = --, B = -+, C = +-, D = ++.
int ncnr_channel(char letter) {
  switch (letter) {
    case 'A':
    case 'a':
      return 1;  // DD
    case 'B':
    case 'b':
      return 3;  // DU
    case 'C':
    case 'c':
      return 2;  // UD
    case 'D':
    case 'd':
      return 0;  // UU
    default:
      return kNoChannel;
  }
}

bool ends_with(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

}  // namespace

std::string DataSet::source() const { return name.empty() ? file : file + ", data set " + name; }

DataSet read_ncnr(std::istream& in, const std::string& name) {
  DataSet set;
  set.file = name;
  detail::PointColumns columns;
  columns.ncols = 3;
  bool columns_seen = false;
  for (const Line& l : detail::read_lines(in, name)) {
    std::string_view s = l.text;
    if (s.empty() || s[0] != '#') {
      const auto words = split_words(s);
      if (words.empty()) continue;
      set.points.push_back(detail::read_point(words, columns, name, l.number));
      continue;
    }
    s.remove_prefix(1);
    const auto words = split_words(s);
    if (words.empty()) continue;
    double v;
    // A commented-out point: the experimenter excluded it.
    if (parse_number(words[0], v)) {
      ++set.excluded;
      continue;
    }
    const std::string_view key = words[0];
    if (key == "columns") {
      // The names in any order: Qz, R, dR and optionally the resolution dQ.
      std::array<std::size_t, 4> at{};
      std::array<bool, 4> seen{};
      bool known = words.size() == 4 || words.size() == 5;
      for (std::size_t w = 1; known && w < words.size(); ++w) {
        const std::string_view n = words[w];
        const int k = n == "Qz"                                 ? 0
                      : n == "R"                                ? 1
                      : n == "dR"                               ? 2
                      : (n == "dQ" || n == "dQz" || n == "sQz") ? 3
                                                                : -1;
        known = k >= 0 && !seen[static_cast<std::size_t>(k)];
        if (known) {
          seen[static_cast<std::size_t>(k)] = true;
          at[static_cast<std::size_t>(k)] = w - 1;
        }
      }
      known = known && seen[0] && seen[1] && seen[2];
      if (!known) {
        fail_at(name, l.number,
                "the columns are " + textio::quoted(s) +
                    "; expected Qz R dR (or Qz R dR dQ, in any order): Qz in 1/A, R and its "
                    "error bar");
      }
      if (!set.points.empty())
        fail_at(name, l.number, "the #columns line must come before the points");
      columns.ncols = columns.used = words.size() - 1;
      columns.at = at;
      columns_seen = true;
    } else if (key == "wavelength") {
      double w;
      if (words.size() < 2 || !parse_number(words[1], w) || !(w > 0) || !std::isfinite(w))
        fail_at(name, l.number, "expected a positive wavelength in A after #wavelength");
      set.wavelength = w;
    } else if (key == "polarization") {
      if (words.size() < 2 || words[1].size() != 1 || ncnr_channel(words[1][0]) == kNoChannel)
        fail_at(name, l.number, "expected #polarization A, B, C or D");
      set.polarization = std::string(words[1]);
    }
  }
  if (!columns_seen) set.notes.push_back("no #columns line: read as Qz R dR");
  if (set.polarization.empty()) {
    const std::string_view base = detail::base_name(name);
    if (!base.empty() && ncnr_channel(base.back()) != kNoChannel) {
      set.polarization = std::string(1, base.back());
    } else {
      throw ImportError(name +
                        ": cannot tell its cross section: no #polarization line, and the name "
                        "does not end in A, B, C or D (A = --, B = -+, C = +-, D = ++)");
    }
  }
  set.channel = ncnr_channel(set.polarization[0]);
  if (set.polarization[0] >= 'a') set.polarization[0] = static_cast<char>(set.polarization[0] - 32);
  return set;
}

DataSet read_columns(std::istream& in, const std::string& name, int channel) {
  DataSet set;
  set.file = name;
  set.channel = channel;
  set.polarization = std::string(kChannelNames.at(static_cast<std::size_t>(channel)));
  detail::PointColumns columns;
  for (const Line& l : detail::read_lines(in, name)) {
    const std::string_view s = l.text;
    if (!s.empty() && s[0] == '#') continue;
    const auto words = split_words(s);
    if (words.empty()) continue;
    if (columns.ncols == 0)
      columns.ncols = columns.used = detail::unnamed_columns(words.size(), name, l.number);
    set.points.push_back(detail::read_point(words, columns, name, l.number));
  }
  return set;
}

namespace {

std::ifstream open_file(const std::string& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec))
    throw ImportError(path + ": is a directory, not a file");
  std::ifstream f(path, std::ios::binary);
  if (!f) throw ImportError(path + ": cannot be opened: " + std::strerror(errno));
  return f;
}

}  // namespace

std::vector<DataSet> read_reduced(std::istream& in, const std::string& name) {
  // The first bytes tell the format: ORSO names itself, the newer NCNR files
  // begin with a '# "key": value' line.
  const auto start = in.tellg();
  char head[19] = {};
  in.read(head, sizeof head);
  std::string_view first(head, static_cast<std::size_t>(in.gcount()));
  if (first.rfind(detail::kBom, 0) == 0) first.remove_prefix(detail::kBom.size());
  in.clear();
  in.seekg(start);
  if (ends_with(name, ".ort") || first.rfind("# # ORSO", 0) == 0) return read_orso(in, name);
  const auto quote = first.find_first_not_of(" \t", 1);
  if (!first.empty() && first[0] == '#' && quote != std::string_view::npos && first[quote] == '"')
    return read_ncnr_blocks(in, name);
  return {read_ncnr(in, name)};
}

std::vector<DataSet> read_reduced_file(const std::string& path) {
  std::ifstream f = open_file(path);
  return read_reduced(f, path);
}

DataSet read_column_file(const std::string& path, int channel) {
  std::ifstream f = open_file(path);
  return read_columns(f, path, channel);
}

}  // namespace tessaline::importer
