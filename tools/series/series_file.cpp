// The reader of the series file: see series_file.hpp.
#include "tools/series/series_file.hpp"

#include <filesystem>
#include <istream>
#include <map>
#include <optional>

#include "textio/textio.hpp"

namespace tessaline::series {
namespace {

constexpr std::string_view kRole = "series file";

struct Token {
  std::string text;
  bool quoted = false;
};

// The words of a line: runs of characters between blanks or tabs, or texts in
// single or double quotes (which may hold blanks).
std::vector<Token> split(const std::string& line, const std::string& where) {
  std::vector<Token> words;
  std::size_t i = 0;
  while (i < line.size()) {
    if (line[i] == ' ' || line[i] == '\t') {
      ++i;
      continue;
    }
    Token w;
    if (line[i] == '\'' || line[i] == '"') {
      const char q = line[i];
      const std::size_t end = line.find(q, i + 1);
      if (end == std::string::npos) {
        throw SeriesError(where + "the quote " + std::string(1, q) + " opened in column " +
                          std::to_string(i + 1) + " is not closed");
      }
      w.text = line.substr(i + 1, end - i - 1);
      w.quoted = true;
      i = end + 1;
    } else {
      const std::size_t end = line.find_first_of(" \t", i);
      w.text = line.substr(i, end == std::string::npos ? std::string::npos : end - i);
      i = end == std::string::npos ? line.size() : end;
    }
    words.push_back(std::move(w));
  }
  return words;
}

// A whole number 0..999999 written with digits only.
std::optional<int> count_of(const std::string& s) {
  if (s.empty() || s.size() > 6 || s.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  return std::stoi(s);
}

// A parameter number, 1 or more.
int parameter_of(const std::string& s, const std::string& where) {
  const auto k = count_of(s);
  if (!k || *k < 1) {
    throw SeriesError(where + "expected a parameter number (1, 2, ...), found " +
                      textio::quoted(s));
  }
  return *k;
}

// A set's name: it is put in front of its file names, or names its directory,
// so it holds a letter or a digit (not "." or "..").
bool is_label(const std::string& s) {
  if (s.empty() || s.size() > kMaxSetName) return false;
  bool alnum = false;
  for (const char c : s) {
    const bool letter_or_digit =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!letter_or_digit && c != '_' && c != '-' && c != '.') return false;
    alnum = alnum || letter_or_digit;
  }
  return alnum;
}

std::string resolve(const std::string& file, const std::string& directory) {
  const std::filesystem::path p(file);
  if (p.is_absolute() || directory.empty() || directory == ".") return file;
  return (std::filesystem::path(directory) / p).string();
}

class Reader {
 public:
  Reader(const std::string& name, const std::string& directory) : directory_(directory) {
    d_.file = name;
  }

  void line(const std::string& text, int number) {
    where_ = at_line(d_.file, number);
    line_ = number;
    const std::vector<Token> w = split(text, where_);
    if (w.empty() || (!w[0].quoted && w[0].text[0] == '#')) return;
    const std::string& key = w[0].text;
    if (!w[0].quoted && key == "set") {
      set(w);
    } else if (!w[0].quoted && key == "share") {
      share(w);
    } else if (!w[0].quoted && key == "bound") {
      bound(w);
    } else {
      throw SeriesError(where_ + "unknown key " + textio::quoted(key) +
                        "; a line is \"set NAME ENTRY DATA [FIRST LAST]\", \"share LIST\", "
                        "\"bound [NAME:]K LO HI\" or a comment starting with #");
    }
  }

  SeriesDescription finish() {
    if (d_.sets.empty()) {
      throw SeriesError(std::string(kRole) + " \"" + d_.file +
                        "\": no set line; a series needs \"set NAME ENTRY DATA\" for every "
                        "measurement");
    }
    for (const BoundLine& b : d_.bounds) {
      if (b.set.empty()) continue;
      bool known = false;
      for (const SetLine& s : d_.sets) known = known || s.name == b.set;
      if (!known) {
        throw SeriesError(at_line(d_.file, b.line) + "the bound names the set " +
                          textio::quoted(b.set) + ", but no set line gives that name");
      }
    }
    return std::move(d_);
  }

 private:
  void set(const std::vector<Token>& w) {
    if (w.size() != 4 && w.size() != 6) {
      throw SeriesError(where_ +
                        "a set line is \"set NAME ENTRY DATA\" or \"set NAME ENTRY DATA "
                        "FIRST LAST\"; this one has " +
                        std::to_string(w.size() - 1) + " words after \"set\"");
    }
    SetLine s;
    s.name = w[1].text;
    s.line = line_;
    if (!is_label(s.name)) {
      throw SeriesError(where_ + "the set name " + textio::quoted(s.name) +
                        " is not a short label: up to " + std::to_string(kMaxSetName) +
                        " letters, digits, '_', '-' or '.', with a letter or a digit");
    }
    for (const SetLine& other : d_.sets) {
      if (other.name == s.name) {
        throw SeriesError(where_ + "the set name " + textio::quoted(s.name) +
                          " is given twice (first on line " + std::to_string(other.line) + ")");
      }
    }
    if (static_cast<int>(d_.sets.size()) == kMaxSets) {
      throw SeriesError(where_ + "a series holds at most " + std::to_string(kMaxSets) +
                        " sets; this is set " + std::to_string(kMaxSets + 1));
    }
    s.entry = resolve(w[2].text, directory_);
    s.data = resolve(w[3].text, directory_);
    if (w.size() == 6) {
      const auto first = count_of(w[4].text), last = count_of(w[5].text);
      if (!first || !last) {
        throw SeriesError(where_ + "FIRST and LAST, the points to drop at the start and at the " +
                          "end of every channel, are whole numbers 0, 1, ...; found " +
                          textio::quoted(w[4].text) + " and " + textio::quoted(w[5].text));
      }
      s.first = *first;
      s.last = *last;
    }
    d_.sets.push_back(std::move(s));
  }

  void share(const std::vector<Token>& w) {
    if (w.size() < 2) {
      throw SeriesError(where_ + "a share line names at least one parameter: share 1-18 27 28");
    }
    for (std::size_t k = 1; k < w.size(); ++k) {
      const std::string& item = w[k].text;
      const std::size_t dash = item.find('-');
      int a = 0, b = 0;
      if (dash == std::string::npos) {
        a = b = parameter_of(item, where_);
      } else {
        a = parameter_of(item.substr(0, dash), where_);
        b = parameter_of(item.substr(dash + 1), where_);
        if (b < a) {
          throw SeriesError(where_ + "the range " + textio::quoted(item) +
                            " runs backwards; write it as " + std::to_string(b) + "-" +
                            std::to_string(a));
        }
      }
      for (int p = a; p <= b; ++p) d_.shared.push_back({p, line_});
    }
  }

  void bound(const std::vector<Token>& w) {
    if (w.size() != 4) {
      throw SeriesError(where_ + "a bound line is \"bound K LO HI\" or \"bound NAME:K LO HI\"; " +
                        "this one has " + std::to_string(w.size() - 1) + " words after \"bound\"");
    }
    BoundLine b;
    b.line = line_;
    std::string k = w[1].text;
    const std::size_t colon = k.rfind(':');
    if (colon != std::string::npos) {
      b.set = k.substr(0, colon);
      k = k.substr(colon + 1);
      if (!is_label(b.set)) {
        throw SeriesError(where_ + "the set name " + textio::quoted(b.set) +
                          " before the colon is not a set name");
      }
    }
    b.parameter = parameter_of(k, where_);
    if (!textio::parse_number(w[2].text, b.lo) || !textio::parse_number(w[3].text, b.hi)) {
      throw SeriesError(where_ + "LO and HI are numbers in the entry file's units; found " +
                        textio::quoted(w[2].text) + " and " + textio::quoted(w[3].text));
    }
    if (!(b.lo < b.hi)) {
      throw SeriesError(where_ + "the lower bound " + w[2].text + " is not below the upper bound " +
                        w[3].text + " (to hold a value, fix it in the entry file)");
    }
    for (const BoundLine& other : d_.bounds) {
      if (other.parameter == b.parameter && other.set == b.set) {
        throw SeriesError(where_ + "parameter " + std::to_string(b.parameter) +
                          (b.set.empty() ? "" : " of set " + b.set) +
                          " already has a bound on line " + std::to_string(other.line));
      }
    }
    d_.bounds.push_back(b);
  }

  SeriesDescription d_;
  std::string directory_;
  std::string where_;
  int line_ = 0;
};

SeriesDescription read(textio::InStream& in, const std::string& name,
                       const std::string& directory) {
  Reader r(name, directory);
  std::string text;
  while (in.read_line(text)) r.line(text, in.line_number());
  return r.finish();
}

}  // namespace

std::string at_line(const std::string& file, int line) {
  return std::string(kRole) + " \"" + file + "\", line " + std::to_string(line) + ": ";
}

SeriesDescription read_series(std::istream& in, const std::string& name,
                              const std::string& directory) {
  textio::InStream s;
  s.open(in, name, kRole);
  return read(s, name, directory);
}

SeriesDescription read_series_file(const std::string& name) {
  textio::InStream s;
  s.open(name, kRole);
  return read(s, name, std::filesystem::path(name).parent_path().string());
}

}  // namespace tessaline::series
