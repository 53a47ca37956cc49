// The ORSO text reflectivity format (.ort).
//
// Every header line starts with '#' and one blank; the rest is YAML.  The first
// data set's header is everything before its first data line.  Each further data
// set starts with a '# data_set: NAME' line; the '#' lines below it, up to its
// first data line, are YAML that overrides entries of the first header (data set
// 2 does not see the overrides of data set 1).  Lines whose YAML text is itself a
// comment ('# # ...', such as the short column captions) carry no header.
//
// Of the header this reader uses: columns (Qz in 1/angstrom or 1/nm, R, the
// error of R, optionally the resolution of Qz, each error as sigma or FWHM),
// data_source.measurement.instrument_settings.polarization and .wavelength.
// The YAML parser is yaml-cpp; before it sees a header, the nesting of the text
// is bounded so that no input can drive its recursive descent arbitrarily deep.
#include <yaml-cpp/depthguard.h>
#include <yaml-cpp/yaml.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "import/import.hpp"
#include "import/text.hpp"
#include "textio/textio.hpp"

namespace tessaline::importer {
namespace {

using detail::fail_at;
using detail::Line;
using detail::parse_number;

// Deepest nesting of brackets, and of indentation plus leading sequence dashes,
// accepted in a header.  Real headers nest fewer than ten levels.
constexpr int kMaxFlowDepth = 64;
constexpr int kMaxBlockDepth = 256;

// 2 sqrt(2 ln 2): FWHM of a Gaussian over its standard deviation.
const double kFwhmPerSigma = 2.0 * std::sqrt(2.0 * std::log(2.0));

// A header's YAML text with the file line of each of its lines.
struct Header {
  std::vector<int> lines;
  std::string text;
  void add(const Line& l, std::string_view yaml) {
    lines.push_back(l.number);
    text.append(yaml);
    text += '\n';
  }
  int first_line() const { return lines.empty() ? 0 : lines.front(); }
  // File line of the first header line that starts (after indentation) with key.
  std::optional<int> line_of(std::string_view key) const {
    std::size_t pos = 0;
    for (int l : lines) {
      const std::size_t end = text.find('\n', pos);
      std::string_view s(text.data() + pos, end - pos);
      pos = end + 1;
      while (!s.empty() && (s[0] == ' ' || s[0] == '-')) s.remove_prefix(1);
      if (s.substr(0, key.size()) == key) return l;
    }
    return std::nullopt;
  }
};

struct Block {
  Header header;
  std::vector<const Line*> data;
};

// The YAML part of a '#' line: the text after '#' and one blank.
std::string_view yaml_part(const Line& l) {
  std::string_view s = l.text;
  s.remove_prefix(1);
  if (!s.empty() && s[0] == ' ') s.remove_prefix(1);
  return s;
}

bool is_blank(std::string_view s) { return s.find_first_not_of(" \t") == std::string_view::npos; }

// A YAML line that holds only a comment, or nothing.
bool is_yaml_comment(std::string_view s) {
  const auto i = s.find_first_not_of(" \t");
  return i == std::string_view::npos || s[i] == '#';
}

// Counts the nesting of a header before the YAML parser sees it: brackets
// and braces across lines, and on each line the indentation with the
// indicators that nest on one line ("- ", "? ").  Brackets inside quoted
// scalars and comments are text, not nesting.
void check_nesting(const Header& h, const std::string& name) {
  int flow = 0;
  char quote = 0;  // the quote of a quoted scalar that runs on, or 0
  std::size_t pos = 0;
  for (int l : h.lines) {
    const std::size_t end = h.text.find('\n', pos);
    const std::string_view s(h.text.data() + pos, end - pos);
    pos = end + 1;
    int block = 0;
    std::size_t i = 0;
    if (quote == 0)
      while (i < s.size() && (s[i] == ' ' || s[i] == '-' || s[i] == '?')) ++i, ++block;
    if (block > kMaxBlockDepth)
      fail_at(name, l, "the header is nested too deeply (indentation and '-' or '?' indicators)");
    char before = ' ';  // the last character outside a quoted scalar
    for (; i < s.size(); ++i) {
      const char c = s[i];
      if (quote == '\'') {
        if (c == '\'' && i + 1 < s.size() && s[i + 1] == '\'') {
          ++i;  // '' is a quote inside the scalar
        } else if (c == '\'') {
          quote = 0;
        }
        continue;
      }
      if (quote == '"') {
        if (c == '\\') {
          ++i;
        } else if (c == '"') {
          quote = 0;
        }
        continue;
      }
      // A quote opens a scalar only where a scalar may begin.
      if ((c == '\'' || c == '"') &&
          std::string_view(" \t:-[{,?").find(before) != std::string_view::npos) {
        quote = c;
        continue;
      }
      if (c == '#' && (before == ' ' || before == '\t')) break;  // a comment
      if (c == '[' || c == '{') ++flow;
      if ((c == ']' || c == '}') && flow > 0) --flow;
      if (flow > kMaxFlowDepth) fail_at(name, l, "the header nests brackets too deeply");
      before = c;
    }
  }
}

// A key given twice in one mapping is not valid YAML, and readers differ on which
// of the two counts (the YAML parser here would take the first): refuse it, so
// that, say, a polarization written twice cannot assign a curve to the wrong
// channel without a word.
//
// The walk also counts the nodes it visits, repeats through YAML aliases
// included: a header of a few lines can name a node that is a list of lists of
// aliases, billions of nodes deep, and every later step would walk it.
constexpr long kMaxHeaderNodes = 100000;

void check_unique_keys(const YAML::Node& n, const Header& h, const std::string& name,
                       long& visited) {
  if (++visited > kMaxHeaderNodes) {
    fail_at(name, h.first_line(),
            "the header holds more than " + std::to_string(kMaxHeaderNodes) +
                " values (counting each repeat of a YAML alias); an ORSO header has a few "
                "hundred");
  }
  if (n.IsSequence()) {
    for (const auto& item : n) check_unique_keys(item, h, name, visited);
    return;
  }
  if (!n.IsMap()) return;
  std::vector<std::string> keys;
  for (const auto& kv : n) {
    if (kv.first.IsScalar()) {
      const std::string& key = kv.first.Scalar();
      for (const std::string& k : keys) {
        if (k != key) continue;
        int line = h.first_line();
        const int mark = kv.first.Mark().line;
        if (mark >= 0 && static_cast<std::size_t>(mark) < h.lines.size())
          line = h.lines[static_cast<std::size_t>(mark)];
        fail_at(name, line,
                "the header gives the key " + textio::quoted(key) + " twice in one mapping");
      }
      keys.push_back(key);
    }
    check_unique_keys(kv.second, h, name, visited);
  }
}

YAML::Node parse_header(const Header& h, const std::string& name) {
  check_nesting(h, name);
  const auto line_of = [&](const YAML::Mark& mark) {
    if (mark.line >= 0 && static_cast<std::size_t>(mark.line) < h.lines.size())
      return h.lines[static_cast<std::size_t>(mark.line)];
    return h.first_line();
  };
  try {
    YAML::Node root = YAML::Load(h.text);
    long visited = 0;
    check_unique_keys(root, h, name, visited);
    return root;
  } catch (const YAML::DeepRecursion& e) {
    // The parser's own guard against deep recursion, whose message reads "bad
    // file": nesting that the count above does not see (complex keys, tags).
    fail_at(name, line_of(e.mark), "the header is nested too deeply for the YAML parser");
  } catch (const YAML::Exception& e) {
    fail_at(name, line_of(e.mark), "YAML error in the header: " + e.msg);
  }
}

// `over` laid over `base`: mappings merge key by key, anything else replaces.
YAML::Node overlay(const YAML::Node& base, const YAML::Node& over) {
  if (!base.IsMap() || !over.IsMap()) return YAML::Clone(over);
  YAML::Node out = YAML::Clone(base);
  for (const auto& kv : over) {
    if (!kv.first.IsScalar()) continue;
    const std::string& key = kv.first.Scalar();
    const YAML::Node below = base[key];
    out[key] = below.IsDefined() ? overlay(below, kv.second) : YAML::Clone(kv.second);
  }
  return out;
}

// The node at a path of mapping keys, if every step exists.
std::optional<YAML::Node> find(const YAML::Node& n, std::initializer_list<const char*> path) {
  std::vector<YAML::Node> chain{n};
  for (const char* key : path) {
    const YAML::Node& cur = chain.back();
    if (!cur.IsMap()) return std::nullopt;
    const YAML::Node next = cur[key];
    if (!next.IsDefined() || next.IsNull()) return std::nullopt;
    chain.push_back(next);
  }
  return chain.back();
}

std::string scalar(const YAML::Node& n, const char* key) {
  const auto v = find(n, {key});
  return v && v->IsScalar() ? v->Scalar() : std::string();
}

// One data set of the file being read.
class SetReader {
 public:
  SetReader(const std::string& file, const Header& main, const Header& own, const YAML::Node& yaml)
      : file_(file), main_(main), own_(own), yaml_(yaml) {}

  DataSet read(const Block& block, int index);

 private:
  [[noreturn]] void fail(std::string_view key, const std::string& what) const {
    auto l = own_.line_of(key);
    if (!l) l = main_.line_of(key);
    fail_at(file_, l ? *l : own_.first_line(), what);
  }
  void columns(DataSet& set);
  void polarization(DataSet& set);
  void wavelength(DataSet& set);

  const std::string& file_;
  const Header& main_;
  const Header& own_;
  const YAML::Node& yaml_;
  detail::PointColumns point_;  // dQz read when the file gives a usable resolution
};

// Standard deviation per stated width, by distribution, for value_is: FWHM.
double sigma_per_fwhm(const std::string& distribution) {
  if (distribution.empty() || distribution == "gaussian") return 1.0 / kFwhmPerSigma;
  // A rectangle's full width is its FWHM; a triangle's base is twice its FWHM.
  if (distribution == "uniform" || distribution == "rectangular") return 1.0 / std::sqrt(12.0);
  if (distribution == "triangular") return 1.0 / std::sqrt(6.0);
  return 0;  // no standard deviation (lorentzian) or unknown
}

void SetReader::columns(DataSet& set) {
  const auto cols = find(yaml_, {"columns"});
  const std::string expected =
      "; the first columns must be Qz (1/angstrom or 1/nm), R and the error of R (sR), "
      "optionally followed by the resolution of Qz (sQz)";
  if (!cols || !cols->IsSequence() || cols->size() < 3)
    fail("columns", "the header declares no columns Qz, R, sR" + expected);
  point_.ncols = cols->size();
  const YAML::Node& c = *cols;

  const std::string qz = scalar(c[0], "name"), qz_unit = scalar(c[0], "unit");
  if (qz != "Qz")
    fail("columns", "the first column is " + textio::quoted(qz) + ", not Qz" + expected);
  if (qz_unit == "1/nm") {
    point_.qz = 0.1;
    set.notes.push_back("Qz given in 1/nm, converted to 1/A");
  } else if (qz_unit != "1/angstrom") {
    fail("columns", "Qz is in " + textio::quoted(qz_unit) + "; expected 1/angstrom or 1/nm");
  }

  const std::string r = scalar(c[1], "name"), r_unit = scalar(c[1], "unit");
  if (r != "R") fail("columns", "the second column is " + textio::quoted(r) + ", not R" + expected);
  if (!r_unit.empty() && r_unit != "1")
    fail("columns", "R is given in " + textio::quoted(r_unit) + "; a reflectivity has no unit");

  // The error columns: ORSO 1.0 writes {error_of: R}, early files {name: sR}.
  auto is_error_of = [&](const YAML::Node& n, const char* of, const char* short_name) {
    return scalar(n, "error_of") == of || scalar(n, "name") == short_name;
  };
  if (!is_error_of(c[2], "R", "sR"))
    fail("columns", "the third column is not the error of R" + expected);
  const std::string dr_is = scalar(c[2], "value_is");
  if (dr_is == "FWHM") {
    point_.dr = sigma_per_fwhm(scalar(c[2], "distribution"));
    if (point_.dr == 0) fail("columns", "the error of R has no standard deviation");
    set.notes.push_back("sR given as FWHM, converted to one standard deviation");
  } else if (!dr_is.empty() && dr_is != "sigma") {
    fail("columns", "the error of R is " + textio::quoted(dr_is) + "; expected sigma or FWHM");
  }

  if (point_.ncols >= 4 && is_error_of(c[3], "Qz", "sQz")) {
    const std::string dq_is = scalar(c[3], "value_is");
    point_.used = 4;
    point_.dqz = point_.qz;
    // sQz without a unit of its own is in the unit of Qz.
    const std::string dq_unit = scalar(c[3], "unit");
    if (dq_unit == "1/nm") {
      point_.dqz = 0.1;
    } else if (dq_unit == "1/angstrom") {
      point_.dqz = 1;
    } else if (!dq_unit.empty()) {
      fail("columns", "sQz is in " + textio::quoted(dq_unit) + "; expected 1/angstrom or 1/nm");
    }
    if (!dq_is.empty() && dq_is != "sigma" && dq_is != "FWHM")
      fail("columns",
           "the resolution of Qz is " + textio::quoted(dq_is) + "; expected sigma or FWHM");
    if (dq_is == "FWHM") {
      const double f = sigma_per_fwhm(scalar(c[3], "distribution"));
      if (!(f > 0)) point_.used = 3;
      point_.dqz *= f;
      set.notes.push_back(f > 0 ? "sQz given as FWHM, converted to one standard deviation"
                                : "sQz has no standard deviation: resolution not used");
    }
  }
}

void SetReader::polarization(DataSet& set) {
  auto p = find(yaml_, {"data_source", "measurement", "instrument_settings", "polarization"});
  if (!p) p = find(yaml_, {"data_source", "measurement", "polarization"});
  set.polarization = p && p->IsScalar() ? p->Scalar() : std::string();
  static constexpr const char* kOrso[kChannels] = {"pp", "mm", "pm", "mp"};
  for (int c = 0; c < kChannels; ++c)
    if (set.polarization == kOrso[c]) set.channel = c;
}

void SetReader::wavelength(DataSet& set) {
  const auto w = find(yaml_, {"data_source", "measurement", "instrument_settings", "wavelength"});
  if (!w) return;
  double factor = 1;
  const std::string unit = w->IsMap() ? scalar(*w, "unit") : std::string();
  if (unit == "nm") {
    factor = 10;
  } else if (!unit.empty() && unit != "angstrom") {
    fail("wavelength",
         "the wavelength is in " + textio::quoted(unit) + "; expected angstrom or nm");
  }
  auto number = [&](const YAML::Node& n, const char* key) -> std::optional<double> {
    const auto v = key ? find(n, {key}) : std::optional<YAML::Node>(n);
    double x;
    if (!v || !v->IsScalar()) return std::nullopt;
    if (!parse_number(v->Scalar(), x) || !(x > 0) || !std::isfinite(x))
      fail("wavelength",
           "the wavelength " + textio::quoted(v->Scalar()) + " is not a positive number");
    if (const std::string problem = detail::wavelength_problem(x * factor); !problem.empty())
      fail("wavelength", problem);
    return x * factor;
  };
  std::optional<double> single = w->IsMap() ? number(*w, "magnitude") : number(*w, nullptr);
  if (!single && w->IsMap()) single = number(*w, "value");
  const auto lo = w->IsMap() ? number(*w, "min") : std::nullopt;
  const auto hi = w->IsMap() ? number(*w, "max") : std::nullopt;
  if (single) {
    set.wavelength = single;
  } else if (lo && hi) {
    detail::set_wavelength(set, *lo, *hi);
  } else {
    // Declared, but in no form read here: saying later that the file declares
    // no wavelength would be wrong.
    fail("wavelength",
         "the wavelength is given in a form not read here; expected a number, {magnitude: L, "
         "unit: angstrom or nm}, or {min: L1, max: L2, unit: ...}");
  }
}

DataSet SetReader::read(const Block& block, int index) {
  DataSet set;
  set.file = file_;
  const std::string id = scalar(yaml_, "data_set");
  set.name = id.empty() ? std::to_string(index) : id;
  columns(set);
  polarization(set);
  wavelength(set);
  for (const Line* l : block.data)
    set.points.push_back(
        detail::read_point(detail::split_words(l->text), point_, file_, l->number));
  return set;
}

}  // namespace

namespace detail {

std::vector<DataSet> orso_sets(const std::vector<Line>& lines, const std::string& name) {
  std::vector<Block> blocks(1);
  bool in_data = false;  // the current block's data lines have begun
  for (const Line& l : lines) {
    if (!l.text.empty() && l.text[0] == '#') {
      const std::string_view yaml = yaml_part(l);
      if (!in_data) {
        blocks.back().header.add(l, yaml);
      } else if (yaml.rfind("data_set:", 0) == 0) {
        blocks.emplace_back();
        blocks.back().header.add(l, yaml);
        in_data = false;
      } else if (!is_yaml_comment(yaml)) {
        fail_at(name, l.number,
                "a header line among the data; a new data set begins with '# data_set: NAME'");
      }
    } else if (!is_blank(l.text)) {
      blocks.back().data.push_back(&l);
      in_data = true;
    }
  }
  if (blocks.front().data.empty() && blocks.size() == 1)
    throw ImportError(name + ": holds no data lines (expected an ORSO .ort file)");
  if (blocks.front().header.lines.empty()) {
    fail_at(name, blocks.front().data.front()->number,
            "a data line before any header; an ORSO file begins with its YAML header in '# ' "
            "lines");
  }

  const YAML::Node main = parse_header(blocks.front().header, name);
  if (!main.IsMap())
    fail_at(name, blocks.front().header.first_line(), "the header is not a YAML mapping");
  std::vector<DataSet> sets;
  for (std::size_t k = 0; k < blocks.size(); ++k) {
    const Block& b = blocks[k];
    const YAML::Node yaml = k == 0 ? main : overlay(main, parse_header(b.header, name));
    const Header& own = k == 0 ? blocks.front().header : b.header;
    try {
      sets.push_back(
          SetReader(name, blocks.front().header, own, yaml).read(b, static_cast<int>(k)));
    } catch (const YAML::Exception& e) {
      fail_at(name, own.first_line(), "cannot use the header: " + e.msg);
    }
  }
  return sets;
}

}  // namespace detail

std::vector<DataSet> read_orso(std::istream& in, const std::string& name) {
  return detail::orso_sets(detail::read_lines(in, name), name);
}

}  // namespace tessaline::importer
