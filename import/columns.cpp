// The line-oriented reduced formats: NCNR reduced files, one cross section each,
// and plain column files; the shared line and number helpers; opening a file and
// telling its format.
#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <utility>

#include "driver/driver.hpp"
#include "import/import.hpp"
#include "import/text.hpp"
#include "textio/textio.hpp"

namespace tessaline::importer {
namespace detail {

namespace {
constexpr std::string_view kBom = "\xEF\xBB\xBF";
}  // namespace

std::string read_bytes(std::istream& in, const std::string& name) {
  std::string bytes;
  char buf[65536];
  while (in.read(buf, sizeof buf) || in.gcount() > 0) {
    if (bytes.size() + static_cast<std::size_t>(in.gcount()) > kMaxFile)
      throw ImportError(name + ": longer than " + std::to_string(kMaxFile >> 20) +
                        " MiB; not a reduced reflectivity file");
    bytes.append(buf, static_cast<std::size_t>(in.gcount()));
  }
  if (in.bad())
    throw ImportError(name + ": cannot be read after " + std::to_string(bytes.size()) + " bytes");
  return bytes;
}

std::vector<Line> split_lines(std::string_view bytes, const std::string& name) {
  // Text in a wide encoding reads as a NUL byte after every ASCII character;
  // its byte-order mark says which encoding it is.
  for (const auto& [mark, what] : {std::pair{std::string_view("\xFF\xFE\0\0", 4), "UTF-32"},
                                   std::pair{std::string_view("\0\0\xFE\xFF", 4), "UTF-32"},
                                   std::pair{std::string_view("\xFF\xFE"), "UTF-16"},
                                   std::pair{std::string_view("\xFE\xFF"), "UTF-16"}}) {
    if (bytes.substr(0, mark.size()) == mark)
      throw ImportError(name + ": is " + what +
                        " text (it begins with that byte-order mark); save it as UTF-8 or ASCII");
  }
  if (bytes.substr(0, kBom.size()) == kBom) bytes.remove_prefix(kBom.size());
  const char end = bytes.find('\n') == std::string_view::npos ? '\r' : '\n';
  std::vector<Line> lines;
  int n = 0;
  while (!bytes.empty()) {
    const std::size_t cut = std::min(bytes.find(end), bytes.size());
    std::string_view s = bytes.substr(0, cut);
    bytes.remove_prefix(std::min(cut + 1, bytes.size()));
    ++n;
    if (s.size() > kMaxLine)
      throw ImportError(name + ", line " + std::to_string(n) + ": longer than " +
                        std::to_string(kMaxLine >> 20) + " MiB; not a reduced reflectivity file");
    if (s.find('\0') != std::string_view::npos)
      throw ImportError(name + ", line " + std::to_string(n) +
                        ": holds a NUL byte; not a text file (UTF-16 text must be saved as "
                        "UTF-8 or ASCII)");
    if (end == '\n' && !s.empty() && s.back() == '\r') s.remove_suffix(1);
    lines.push_back({n, std::string(s)});
  }
  return lines;
}

std::vector<Line> read_lines(std::istream& in, const std::string& name) {
  return split_lines(read_bytes(in, name), name);
}

std::string wavelength_problem(double wavelength) {
  if (usable_wavelength(wavelength)) return "";
  // The shortest text that reads back as the value: the number as typed.
  char text[40];
  const auto end = std::to_chars(text, text + sizeof text, wavelength).ptr;
  return "the program refuses the wavelength " + std::string(text, end) +
         " A: it must be positive and not so small that the square of the wave number 2 pi / L "
         "overflows";
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

namespace detail {

DataSet ncnr_set(const std::vector<Line>& lines, const std::string& name) {
  DataSet set;
  set.file = name;
  detail::PointColumns columns;
  columns.ncols = 3;
  // The line and text of each key's first line: a key given twice with
  // different values would leave the file's meaning to the reader's order.
  std::array<std::pair<int, std::string>, 3> seen_at{};
  const std::array<std::string_view, 3> keys = {"columns", "wavelength", "polarization"};
  for (const Line& l : lines) {
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
    const auto k =
        static_cast<std::size_t>(std::find(keys.begin(), keys.end(), key) - keys.begin());
    if (k == keys.size()) continue;
    std::string rest;
    for (std::size_t w = 1; w < words.size(); ++w)
      rest += (w > 1 ? " " : "") + std::string(words[w]);
    auto& [first_line, first_value] = seen_at[k];
    if (first_line > 0) {
      if (rest == first_value) continue;
      fail_at(name, l.number,
              "#" + std::string(key) + " " + textio::quoted(rest) + " contradicts line " +
                  std::to_string(first_line) + ", #" + std::string(key) + " " +
                  textio::quoted(first_value) + "; a file gives each header value once");
    }
    first_line = l.number;
    first_value = rest;
    if (key == "columns") {
      // The names in any order: Qz, R, dR and optionally the resolution dQ.
      std::array<std::size_t, 4> at{};
      std::array<bool, 4> found{};
      bool known = words.size() == 4 || words.size() == 5;
      for (std::size_t w = 1; known && w < words.size(); ++w) {
        const std::string_view n = words[w];
        const int c = n == "Qz"                                 ? 0
                      : n == "R"                                ? 1
                      : n == "dR"                               ? 2
                      : (n == "dQ" || n == "dQz" || n == "sQz") ? 3
                                                                : -1;
        known = c >= 0 && !found[static_cast<std::size_t>(c)];
        if (known) {
          found[static_cast<std::size_t>(c)] = true;
          at[static_cast<std::size_t>(c)] = w - 1;
        }
      }
      known = known && found[0] && found[1] && found[2];
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
    } else if (key == "wavelength") {
      double w;
      if (words.size() < 2 || !parse_number(words[1], w) || !(w > 0) || !std::isfinite(w))
        fail_at(name, l.number, "expected a positive wavelength in A after #wavelength");
      if (const std::string problem = wavelength_problem(w); !problem.empty())
        fail_at(name, l.number, problem);
      set.wavelength = w;
    } else {
      if (words.size() < 2 || words[1].size() != 1 || ncnr_channel(words[1][0]) == kNoChannel)
        fail_at(name, l.number, "expected #polarization A, B, C or D");
      set.polarization = std::string(words[1]);
    }
  }
  if (seen_at[0].first == 0) set.notes.push_back("no #columns line: read as Qz R dR");
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

}  // namespace detail

DataSet read_ncnr(std::istream& in, const std::string& name) {
  return detail::ncnr_set(detail::read_lines(in, name), name);
}

DataSet read_columns(std::istream& in, const std::string& name, int channel) {
  const std::vector<Line> lines = detail::read_lines(in, name);
  DataSet set;
  set.file = name;
  set.channel = channel;
  set.polarization = std::string(kChannelNames.at(static_cast<std::size_t>(channel)));
  detail::PointColumns columns;
  for (const Line& l : lines) {
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
  // The file is read once, and its lines tell the format: ORSO names itself in
  // its first line; a file of the newer NCNR kind has '# "key": value' header
  // lines, though not always as its first line (a plain comment may precede
  // them).  A pipe cannot be read twice, so nothing here seeks back.
  const std::vector<Line> lines = detail::read_lines(in, name);
  if (ends_with(name, ".ort") || (!lines.empty() && lines[0].text.rfind("# # ORSO", 0) == 0))
    return detail::orso_sets(lines, name);
  for (const Line& l : lines) {
    const std::string_view s = l.text;
    if (s.empty()) continue;
    if (s[0] != '#') break;  // the first point: the header has ended
    std::string key;
    std::string_view value;
    if (detail::json_header_line(s, key, value)) return detail::ncnr_block_sets(lines, name);
  }
  return {detail::ncnr_set(lines, name)};
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
