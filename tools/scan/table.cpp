// The table file of a scan: see table.hpp.
#include "tools/scan/table.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>

#include "driver/entry_update.hpp"
#include "textio/textio.hpp"

namespace tessaline::scan {
namespace {

constexpr const char* kTitle = "# tessaline scan table";

// Every number of the table reads back to the last bit.
std::string num(double v) { return shortest_number(v); }

std::string signal_name(int sig) {
  if (sig == SIGINT) return "SIGINT";
  if (sig == SIGTERM) return "SIGTERM";
  return "signal " + std::to_string(sig);
}

// A parameter's name and its unit in brackets ("N_p [1e-6 A^-2]"); both may
// hold blanks.
std::string name_and_unit(const std::string& name, const std::string& unit) {
  return unit.empty() ? name : name + " [" + unit + "]";
}

// The head's lines, without the share when `share` is false (shares of one
// scan agree in everything else).
std::string head_text(const TableHead& h, bool share) {
  std::ostringstream s;
  s << kTitle << "\n";
  s << "# entry: " << h.entry << "\n";
  s << "# data: " << h.data << "\n";
  s << "# exclude: " << h.first << " " << h.last << "\n";
  for (const Axis& a : h.axes) {
    switch (a.kind) {
      case AxisKind::kZero:
        s << "# axis: zero " << num(a.first) << " " << num(a.last) << " " << a.n << "\n";
        break;
      case AxisKind::kSigma:
        s << "# axis: sigma " << num(a.first) << " " << num(a.last) << " " << a.n << "\n";
        break;
      case AxisKind::kParam:
        s << "# axis: param " << a.slot << " " << num(a.first) << " " << num(a.last) << " " << a.n
          << " " << name_and_unit(a.name, a.unit) << "\n";
        break;
    }
  }
  s << "# starts: " << h.starts << " " << num(h.spread) << " " << h.seed << "\n";
  s << "# follow: " << (h.follow ? "yes" : "no") << "\n";
  s << "# points: " << h.points << "\n";
  for (const TableColumn& c : h.free) {
    s << "# free: " << c.slot << " " << name_and_unit(c.name, c.unit) << "\n";
  }
  if (share) s << "# share: " << h.share.index << "/" << h.share.count << "\n";
  return s.str();
}

// ---------------------------------------------------------------- reading

std::vector<std::string> split(const std::string& line) {
  std::vector<std::string> out;
  std::istringstream in(line);
  std::string w;
  while (in >> w) out.push_back(w);
  return out;
}

class TableReader {
 public:
  explicit TableReader(const std::string& path) : path_(path) {
    try {
      in_.open(path, "scan table");
    } catch (const textio::TextError& e) {
      throw ScanError(e.what());
    }
  }

  ScanTable read();

 private:
  [[noreturn]] void fail(const std::string& what) const {
    throw ScanError("scan table \"" + path_ + "\" line " + std::to_string(line_no_) + ": " + what);
  }
  bool next() {
    try {
      if (!in_.read_line(line_)) return false;
    } catch (const textio::TextError& e) {
      throw ScanError(e.what());
    }
    ++line_no_;
    return true;
  }
  // The text after "# KEY: " on the next line.
  std::string keyed(const std::string& key) {
    if (!next()) fail("the table ends before its \"# " + key + ":\" line");
    const std::string prefix = "# " + key + ": ";
    if (line_.compare(0, prefix.size(), prefix) != 0) {
      fail("expected the line \"" + prefix + "...\", found " + textio::quoted(line_));
    }
    return line_.substr(prefix.size());
  }
  double number(const std::string& w, const std::string& what) const {
    char* end = nullptr;
    const double v = std::strtod(w.c_str(), &end);
    if (w.empty() || end != w.c_str() + w.size()) fail(what + ": " + textio::quoted(w) + " is not a number");
    return v;
  }
  long whole(const std::string& w, const std::string& what, long lo, long hi) const {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(w.c_str(), &end, 10);
    if (w.empty() || end != w.c_str() + w.size() || errno != 0 || v < lo || v > hi) {
      fail(what + ": " + textio::quoted(w) + " is not a whole number from " + std::to_string(lo) +
           " to " + std::to_string(hi));
    }
    return v;
  }
  // "NAME [UNIT]" after `skip` words of `line`; the unit may be left out.
  void name_and_unit(const std::string& line, std::size_t skip, std::string& name,
                     std::string& unit) const {
    std::istringstream in(line);
    std::string w;
    for (std::size_t k = 0; k < skip; ++k) in >> w;
    std::getline(in >> std::ws, name);
    unit.clear();
    const auto open = name.rfind(" [");
    if (!name.empty() && name.back() == ']' && open != std::string::npos) {
      unit = name.substr(open + 2, name.size() - open - 3);
      name.erase(open);
    }
    if (name.empty()) fail("a parameter name is missing");
  }

  std::string path_;
  textio::InStream in_;
  std::string line_;
  int line_no_ = 0;
};

ScanTable TableReader::read() {
  ScanTable t;
  TableHead& h = t.head;
  if (!next() || line_ != kTitle) {
    fail(std::string("expected the first line \"") + kTitle + "\": this is not a scan table");
  }
  h.entry = keyed("entry");
  h.data = keyed("data");
  {
    const auto w = split(keyed("exclude"));
    if (w.size() != 2) fail("expected the two numbers of points excluded");
    h.first = static_cast<int>(whole(w[0], "points excluded at the start", 0, 1000000));
    h.last = static_cast<int>(whole(w[1], "points excluded at the end", 0, 1000000));
  }
  // The axes, up to the "starts" line.
  for (;;) {
    if (!next()) fail("the table ends in its head");
    if (line_.compare(0, 8, "# axis: ") != 0) break;
    const auto w = split(line_.substr(8));
    Axis a;
    std::size_t k = 1;
    if (!w.empty() && (w[0] == "zero" || w[0] == "sigma") && w.size() == 4) {
      a.kind = w[0] == "zero" ? AxisKind::kZero : AxisKind::kSigma;
    } else if (!w.empty() && w[0] == "param" && w.size() >= 6) {
      a.kind = AxisKind::kParam;
      a.slot = static_cast<int>(whole(w[1], "the parameter of the axis", 1, kMaxPar));
      k = 2;
      name_and_unit(line_.substr(8), 5, a.name, a.unit);
    } else {
      fail("expected an axis \"zero A B N\", \"sigma A B N\" or \"param K A B N UNIT NAME\"");
    }
    a.first = number(w[k], "the first value of the axis");
    a.last = number(w[k + 1], "the last value of the axis");
    a.n = static_cast<int>(whole(w[k + 2], "the values of the axis", 2, kMaxAxisPoints));
    if (!(a.first < a.last)) fail("the axis's first value is not below its last");
    h.axes.push_back(a);
    if (h.axes.size() > 2) fail("more than two axes");
  }
  {
    if (line_.compare(0, 10, "# starts: ") != 0) fail("expected the line \"# starts: N F S\"");
    const auto w = split(line_.substr(10));
    if (w.size() != 3) fail("expected the starts, the spread and the seed");
    h.starts = static_cast<int>(whole(w[0], "the starts", 1, 1000000));
    h.spread = number(w[1], "the spread");
    char* end = nullptr;
    errno = 0;
    h.seed = std::strtoull(w[2].c_str(), &end, 10);
    if (end != w[2].c_str() + w[2].size() || errno != 0 || w[2][0] == '-') fail("the seed is not a whole number");
  }
  {
    const std::string f = keyed("follow");
    if (f != "yes" && f != "no") fail("expected \"yes\" or \"no\" after \"# follow:\"");
    h.follow = f == "yes";
  }
  h.points = static_cast<int>(whole(keyed("points"), "the points in the fit", 1, kMaxPoints));
  for (;;) {
    if (!next()) fail("the table ends in its head");
    if (line_.compare(0, 8, "# free: ") != 0) break;
    TableColumn c;
    const auto w = split(line_.substr(8));
    if (w.empty()) fail("expected a free parameter");
    c.slot = static_cast<int>(whole(w[0], "the free parameter", 1, kMaxPar));
    name_and_unit(line_.substr(8), 1, c.name, c.unit);
    h.free.push_back(c);
  }
  {
    if (line_.compare(0, 9, "# share: ") != 0) fail("expected the line \"# share: I/N\"");
    const std::string s = line_.substr(9);
    const auto slash = s.find('/');
    if (slash == std::string::npos) fail("expected the share as I/N");
    h.share.count = static_cast<int>(whole(s.substr(slash + 1), "the shares", 1, 1000000));
    h.share.index = static_cast<int>(whole(s.substr(0, slash), "the share", 1, h.share.count));
  }
  if (!next() || line_.compare(0, 7, "# grid ") != 0) fail("expected the line of column names");

  const Grid grid = h.grid();
  const std::size_t columns = 1 + h.axes.size() + 6 + h.free.size();
  int previous = -1;
  for (;;) {
    if (!next()) fail("the table ends without its line \"# end: ...\"");
    if (line_.compare(0, 7, "# end: ") == 0) {
      const std::string end = line_.substr(7);
      if (end == "complete") break;
      if (end.compare(0, 12, "incomplete: ") != 0) {
        fail("expected \"complete\" or \"incomplete: ...\" after \"# end:\"");
      }
      t.incomplete = end.substr(12);
      break;
    }
    const auto w = split(line_);
    if (w.size() != columns) {
      fail("expected a row of " + std::to_string(columns) + " columns, found " +
           std::to_string(w.size()));
    }
    TableRow r;
    std::size_t k = 0;
    r.grid = static_cast<int>(whole(w[k++], "the grid point", 1, grid.size())) - 1;
    if (r.grid <= previous) fail("the grid points are not in increasing order");
    if (!h.share.holds(r.grid)) fail("grid point " + w[0] + " is not one of this share's");
    previous = r.grid;
    const std::vector<double> setting = grid.setting(r.grid);
    for (std::size_t a = 0; a < h.axes.size(); ++a) {
      r.setting.push_back(number(w[k++], "the setting"));
      if (r.setting.back() != setting[a]) {
        fail("the setting " + w[k - 1] + " is not that of grid point " + w[0]);
      }
    }
    r.S = number(w[k++], "S");
    r.chi = number(w[k++], "hi_sq.norm");
    const std::string& status = w[k++];
    if (status == "converged") {
      r.status = 1;
    } else if (status == "no-decrease" || status == "no-finite-start") {
      r.status = -1;
    } else if (status == "infinite-error") {
      r.status = -2;
    } else if (status == "iteration-limit") {
      r.status = -3;
    } else {
      fail("the status " + textio::quoted(status) + " is not one of a fit's");
    }
    r.start = static_cast<int>(whole(w[k++], "the start", 0, h.starts));
    r.reached = static_cast<int>(whole(w[k++], "the starts that reached it", 0, h.starts));
    r.minima = static_cast<int>(whole(w[k++], "the minima found", 0, h.starts));
    while (k < w.size()) r.values.push_back(number(w[k++], "a fitted value"));
    t.rows.push_back(std::move(r));
  }
  return t;
}

}  // namespace

std::string status_word(int status, double S) {
  if (!std::isfinite(S)) return "no-finite-start";
  switch (status) {
    case 1:
      return "converged";
    case -2:
      return "infinite-error";
    case -3:
      return "iteration-limit";
    default:
      return "no-decrease";
  }
}

ScanTable make_table(const Problem& p, const Options& o, const ScanResult& r) {
  ScanTable t;
  TableHead& h = t.head;
  const Tables& base = *p.base;
  h.entry = o.entry;
  h.data = o.data;
  h.first = o.first;
  h.last = o.last;
  h.axes = p.grid.axes;
  h.starts = o.start_count();
  h.spread = o.spread;
  h.seed = o.seed;
  h.follow = o.follow;
  h.points = base.npoint;
  for (const int i : p.free) {
    h.free.push_back({i, std::string(trimmed_name(base.PARNAM(i))), entry_unit_name(p.unit(i))});
  }
  h.share = o.part;

  int share_points = 0;
  for (int g = 0; g < p.grid.size(); ++g) {
    if (!o.part.holds(g)) continue;
    ++share_points;
    const PointResult& pr = r.points[static_cast<std::size_t>(g)];
    if (!pr.done) continue;
    TableRow row;
    row.grid = g;
    row.setting = p.grid.setting(g);
    row.S = pr.best.S;
    row.chi = pr.best.chi;
    row.status = pr.best.status;
    row.start = pr.best.start;
    row.reached = pr.reached;
    row.minima = static_cast<int>(pr.minima.size());
    row.values = entry_values(p, pr.best.values);
    t.rows.push_back(std::move(row));
  }
  if (r.stopped_by != 0) {
    t.incomplete = "stopped by " + signal_name(r.stopped_by) + " after " +
                   std::to_string(t.rows.size()) + " of " + std::to_string(share_points) +
                   " grid points" +
                   (r.follow_unfinished ? ", before --follow had finished" : std::string());
  }
  return t;
}

std::string table_text(const ScanTable& t) {
  const TableHead& h = t.head;
  std::ostringstream s;
  s << head_text(h, true);
  s << "# grid";
  for (const Axis& a : h.axes) s << " " << a.column();
  s << " S hi_sq.norm status start reached minima";
  for (const TableColumn& c : h.free) s << " " << value_column(c.slot, c.unit);
  s << "\n";
  for (const TableRow& r : t.rows) {
    s << r.grid + 1;
    for (const double v : r.setting) s << " " << num(v);
    s << " " << num(r.S) << " " << num(r.chi) << " " << status_word(r.status, r.S) << " "
      << r.start << " " << r.reached << " " << r.minima;
    for (const double v : r.values) s << " " << num(v);
    s << "\n";
  }
  s << "# end: " << (t.complete() ? "complete" : "incomplete: " + t.incomplete) << "\n";
  return s.str();
}

ScanTable read_table(const std::string& path) { return TableReader(path).read(); }

ScanTable merge_tables(const std::vector<ScanTable>& tables,
                       const std::vector<std::string>& names) {
  ScanTable m;
  m.head = tables.front().head;
  m.head.share = Share{};
  const std::string head = head_text(m.head, false);
  const int count = tables.front().head.share.count;
  std::vector<std::string> share_of(static_cast<std::size_t>(count));
  std::vector<std::string> incomplete;
  for (std::size_t k = 0; k < tables.size(); ++k) {
    const TableHead& h = tables[k].head;
    if (head_text(h, false) != head) {
      throw ScanError(names[k] + " is not a share of the scan of " + names[0] +
                      ": their heads differ (files, exclusions, axes, starts or free parameters)");
    }
    if (h.share.count != count) {
      throw ScanError(names[k] + " is share " + std::to_string(h.share.index) + " of " +
                      std::to_string(h.share.count) + ", " + names[0] + " one of " +
                      std::to_string(count));
    }
    std::string& seen = share_of[static_cast<std::size_t>(h.share.index - 1)];
    if (!seen.empty()) {
      throw ScanError(names[k] + " and " + seen + " are both share " +
                      std::to_string(h.share.index) + "/" + std::to_string(count));
    }
    seen = names[k];
    if (!tables[k].complete()) incomplete.push_back(names[k] + " (" + tables[k].incomplete + ")");
    m.rows.insert(m.rows.end(), tables[k].rows.begin(), tables[k].rows.end());
  }
  std::sort(m.rows.begin(), m.rows.end(),
            [](const TableRow& a, const TableRow& b) { return a.grid < b.grid; });

  std::vector<std::string> missing;
  for (int i = 0; i < count; ++i) {
    if (share_of[static_cast<std::size_t>(i)].empty()) {
      missing.push_back("share " + std::to_string(i + 1) + "/" + std::to_string(count));
    }
  }
  const int G = m.head.grid().size();
  if (missing.empty() && incomplete.empty() && static_cast<int>(m.rows.size()) == G) return m;

  std::string why;
  const auto add = [&why](const std::string& s) { why += (why.empty() ? "" : "; ") + s; };
  if (!missing.empty()) {
    std::string list;
    for (const auto& s : missing) list += (list.empty() ? "" : ", ") + s;
    add("no table for " + list);
  }
  for (const auto& s : incomplete) add("incomplete: " + s);
  add(std::to_string(m.rows.size()) + " of " + std::to_string(G) + " grid points");
  m.incomplete = why;
  return m;
}

}  // namespace tessaline::scan
