// The measured points: reading the data file into POINTS with its error-bar
// check, and the dialogue that drops points at both ends of every spin channel.
//
// POINTS holds four values per point (reflectivity, error bar, angle in rad,
// channel code), or five with the point's own angular resolution; the points of
// channel UU come first, then DD, UD and DU.  A classic data file gives every
// channel nn points, a point list each channel its own count.  Trimming compacts
// the table in place by ascending copies, whose targets never lie above their
// sources.
//
// The reading itself (read_measured_points) knows nothing of the program's
// tables or dialogue, so that the tools read data files exactly as the program
// does.
#include <algorithm>
#include <cstdio>
#include <istream>
#include <string>

#include "driver/driver.hpp"

namespace tessaline {
namespace {

using textio::Record;

// First of the values of point q.
int value_index(const Tables& t, int q) { return t.nvalues * (q - 1) + 1; }

// Copies point `from` onto point `to` (to <= from).
void move_point(Tables& t, int from, int to) {
  for (int v = 0; v < t.nvalues; ++v)
    t.POINTS(value_index(t, to) + v) = t.POINTS(value_index(t, from) + v);
}

// Points of the channel that holds the fewest, among those that hold any.
int fewest_points(const Tables& t) {
  int fewest = 0;
  for (int c = 1; c <= kChannels; ++c) {
    const int n = t.channel_points(c);
    if (n > 0 && (fewest == 0 || n < fewest)) fewest = n;
  }
  return fewest;
}

// Asks `prompt` until the answer passes: above `limit` (or at it, when
// `limit_inclusive` is false), and from the smallest channel's count on, are
// refused with "Not so many!".
int ask_count(const Tables& t, textio::InStream& keys, textio::OutStream& console,
              const char* prompt, const char* what, int limit, bool limit_inclusive) {
  for (;;) {
    console.write_no_advance(prompt);
    console.flush();
    int k = 0;
    keys.read(k, what);
    const bool over_limit = limit_inclusive ? k > limit : k >= limit;
    // A count from the smallest channel's on would leave a channel without points.
    if (!over_limit && k < fewest_points(t)) return k;
    console.write_free("Not so many!");
  }
}

// Keeps the points from..to (1-based, within its channel) of every channel that
// holds points, channel by channel in table order.
void keep_points(Tables& t, int drop_first, int drop_last) {
  int from_base = 0;  // first point of the channel before compaction, less one
  int to = 0;         // last point written
  for (int c = 1; c <= kChannels; ++c) {
    const int n = t.channel_points(c);
    if (n == 0) continue;
    const int kept = n - drop_first - drop_last;
    for (int p = 1; p <= kept; ++p) move_point(t, from_base + drop_first + p, ++to);
    from_base += n;
    t.channel_points(c) = kept;
  }
  t.npoint = to;
  if (!t.point_list) t.nn -= drop_first + drop_last;
}

std::string channel_name(int c) {
  return std::string(kChannelNames[static_cast<std::size_t>(c - 1)]);
}

// The parts of a point-list line, split at blanks and tabs.
std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> out;
  std::size_t pos = 0;
  while (pos < line.size()) {
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    const std::size_t start = pos;
    while (pos < line.size() && line[pos] != ' ' && line[pos] != '\t') ++pos;
    if (pos > start) out.push_back(line.substr(start, pos - start));
  }
  return out;
}

// Reads the points of a point list; the header line has been looked at, not taken.
MeasuredData read_point_list(textio::InStream& in) {
  MeasuredData d;
  d.point_list = true;
  const auto fail = [&in](const std::string& why) -> void {
    throw textio::TextError("data file \"" + in.name() + "\", line " +
                            std::to_string(in.line_number()) + ": " + why);
  };
  constexpr const char* kLayout = "CHANNEL R dR THETA [SIGMA_THETA]";
  std::string line;
  in.read_line(line);  // the header
  int first_point_line = 0;
  while (in.read_line(line)) {
    const std::vector<std::string> f = fields(line);
    if (f.empty() || f[0][0] == '#') continue;
    if (f.size() < 4 || f.size() > 5) {
      fail(std::to_string(f.size()) + (f.size() == 1 ? " field" : " fields") +
           " where a point has four or five: " + kLayout);
    }
    int c = 0;
    for (int k = 1; k <= kChannels; ++k)
      if (f[0] == kChannelNames[static_cast<std::size_t>(k - 1)]) c = k;
    if (c == 0) fail("unknown channel " + textio::quoted(f[0]) + "; expected UU, DD, UD or DU");

    static constexpr const char* kNames[] = {"", "R", "dR", "THETA", "SIGMA_THETA"};
    double v[5] = {};
    for (std::size_t k = 1; k < f.size(); ++k) {
      if (!textio::parse_number(f[k], v[k])) {
        fail(std::string(kNames[k]) + " " + textio::quoted(f[k]) + " is not a number; expected " +
             kLayout);
      }
    }
    const bool has = f.size() == 5;
    if (first_point_line == 0) {
      first_point_line = in.line_number();
      d.has_resolution = has;
    } else if (has != d.has_resolution) {
      fail(
          std::string(has ? "this point gives a resolution (SIGMA_THETA) but the point on line "
                          : "this point gives no resolution (SIGMA_THETA) but the point on line ") +
          std::to_string(first_point_line) + (has ? " does not" : " does") +
          ": either every point has one or none");
    }
    if (v[2] < kMinErrorBar) {
      fail("error bar dR " + textio::quoted(f[2]) + " of a " + channel_name(c) +
           " point is below 1e-30 (zero or negative)");
    }
    if (has && v[4] < 0.0) {
      fail("resolution SIGMA_THETA " + textio::quoted(f[4]) +
           " is negative; it is one standard deviation in rad, 0 for none");
    }
    auto& points = d.channel[static_cast<std::size_t>(c - 1)];
    if (points.size() == static_cast<std::size_t>(maxpoint)) {
      fail("channel " + channel_name(c) + " holds more than " + std::to_string(maxpoint) +
           " points");
    }
    points.push_back({v[1], v[2], v[3], has ? v[4] : -1.0});
    d.line[static_cast<std::size_t>(c - 1)].push_back(in.line_number());
  }
  if (first_point_line == 0) {
    throw textio::TextError("data file \"" + in.name() + "\" is a point list without a point; " +
                            "expected lines " + kLayout);
  }
  return d;
}

// The first point of each channel whose angle is not above its predecessor's.
void find_unordered(MeasuredData& d) {
  for (std::size_t c = 0; c < d.channel.size(); ++c) {
    const auto& points = d.channel[c];
    for (std::size_t p = 1; p < points.size(); ++p) {
      if (!(points[p].theta > points[p - 1].theta)) {
        d.unordered[c] = static_cast<int>(p) + 1;
        break;
      }
    }
  }
}

}  // namespace

MeasuredData read_measured_points(textio::InStream& in, int nn) {
  std::string first;
  if (in.peek_line(first) && first.rfind(kPointListHeader, 0) == 0) {
    MeasuredData d = read_point_list(in);
    find_unordered(d);
    return d;
  }

  MeasuredData d;
  const auto what = [](int p, int c) {
    return "reflectivity, error bar and angle of point " + std::to_string(p) + " of channel " +
           channel_name(c);
  };
  const auto check = [&d](const DataPoint& m, int c, int p) {
    if (m.dR < kMinErrorBar) {
      d.bad_channel = c;
      d.bad_point = p;
    }
    return d.bad_channel == 0;
  };

  if (nn > 0) {
    d.nn = nn;
    for (int c = 1; c <= 4; ++c) {
      auto& points = d.channel[static_cast<std::size_t>(c - 1)];
      points.reserve(static_cast<std::size_t>(nn));
      for (int p = 1; p <= nn; ++p) {
        double v[3] = {};
        in.read(v, 3, what(p, c));
        points.push_back({v[0], v[1], v[2]});
        d.line[static_cast<std::size_t>(c - 1)].push_back(in.line_number());
        if (!check(points.back(), c, p)) return d;
      }
    }
    find_unordered(d);
    // The rest of the file is only looked at, never taken: a line that the text
    // layer refuses there ends the look without a message.
    try {
      d.unread_number_line = in.find_number_line();
    } catch (const textio::TextError&) {
      d.unread_number_line = 0;
    }
    return d;
  }

  // Every point in the input, then split into four channels.
  std::vector<DataPoint> all;
  std::vector<int> lines;
  while (in.more_tokens()) {
    if (all.size() == static_cast<std::size_t>(kMaxPoints)) {
      throw textio::TextError("data file \"" + in.name() + "\" holds more than " +
                              std::to_string(4 * maxpoint) + " points (" +
                              std::to_string(maxpoint) + " per channel)");
    }
    double v[3] = {};
    in.read(v, 3, "reflectivity, error bar and angle of point " + std::to_string(all.size() + 1));
    all.push_back({v[0], v[1], v[2]});
    lines.push_back(in.line_number());
  }
  if (all.empty() || all.size() % 4 != 0) {
    throw textio::TextError("data file \"" + in.name() + "\" holds " + std::to_string(all.size()) +
                            " points, which do not make four channels of equal length");
  }
  d.nn = static_cast<int>(all.size() / 4);
  for (int c = 1; c <= 4; ++c) {
    const long first_point = static_cast<long>(c - 1) * d.nn;
    d.channel[static_cast<std::size_t>(c - 1)].assign(all.begin() + first_point,
                                                      all.begin() + first_point + d.nn);
    d.line[static_cast<std::size_t>(c - 1)].assign(lines.begin() + first_point,
                                                   lines.begin() + first_point + d.nn);
  }
  for (std::size_t q = 0; q < all.size(); ++q) {
    const int i = static_cast<int>(q);
    if (!check(all[q], i / d.nn + 1, i % d.nn + 1)) break;
  }
  find_unordered(d);
  return d;
}

MeasuredData read_measured_points(std::istream& in, const std::string& name, int nn) {
  textio::InStream s;
  s.open(in, name, "data file");
  return read_measured_points(s, nn);
}

MeasuredData read_measured_points(const std::string& name, int nn) {
  textio::InStream s;
  s.open(name, "data file");
  return read_measured_points(s, nn);
}

std::vector<std::string> data_warnings(const MeasuredData& d, const std::string& name) {
  std::vector<std::string> out;
  const std::string file = "Warning: data file \"" + name + "\"";
  if (d.unread_number_line > 0) {
    out.push_back(file + ", line " + std::to_string(d.unread_number_line) +
                  ": numbers after the last of the 4 x " + std::to_string(d.nn) +
                  " points are not read; a repeated or missing line would shift every later "
                  "point into the next channel");
  }
  for (int c = 1; c <= kChannels; ++c) {
    const std::size_t k = static_cast<std::size_t>(c - 1);
    const int p = d.unordered[k];
    if (p == 0) continue;
    const auto& points = d.channel[k];
    char angles[96];
    std::snprintf(angles, sizeof angles, "%.6g rad after %.6g rad",
                  points[static_cast<std::size_t>(p - 1)].theta,
                  points[static_cast<std::size_t>(p - 2)].theta);
    std::string text = file + ", line " +
                       std::to_string(d.line[k][static_cast<std::size_t>(p - 1)]) +
                       ": the angles of channel " + channel_name(c) +
                       " do not increase at its point " + std::to_string(p) + " (" + angles + ")";
    text += d.point_list ? "; the points of a channel are fitted in the order of the file"
                         : "; if the channels were cut in the wrong places, nn in the entry file "
                           "does not match the data file (the channels must follow each other, "
                           "UU, DD, UD, DU, nn points each)";
    out.push_back(text);
  }
  return out;
}

std::string error_bar_line(const MeasuredData& d) {
  return Record()
      .A("Error bar for point")
      .I(d.bad_point, 4)
      .A(" at ")
      .A(kChannelNames[static_cast<std::size_t>(d.bad_channel - 1)])
      .A(" is zero or negative!")
      .str();
}

void read_data_file(Tables& t, const std::string& name, textio::OutStream& console) {
  // The file is closed on return, before any dialogue.
  const MeasuredData d = read_measured_points(name, t.nn);
  if (d.point_list && d.has_resolution && !(t.coll_sigma > 0)) {
    throw textio::TextError(
        "data file \"" + name +
        "\" gives every point its own resolution (SIGMA_THETA), which stretches the shape of "
        "the entry file's collimation kernel; the entry file's collimation sigma is 0 or less, "
        "so there is no shape to stretch: give it j0, a step and a positive sigma");
  }
  t.point_list = d.point_list;
  t.nvalues = d.has_resolution ? 5 : 4;
  int q = 0;
  for (int c = 1; c <= 4; ++c) {
    const auto& points = d.channel[static_cast<std::size_t>(c - 1)];
    t.channel_points(c) = static_cast<int>(points.size());
    for (const DataPoint& m : points) {
      double* v = &t.POINTS(value_index(t, ++q));
      v[0] = m.R;
      v[1] = m.dR;
      v[2] = m.theta;
      v[3] = c;
      if (t.nvalues > 4) v[4] = m.resolution;
    }
  }
  t.npoint = q;
  if (d.bad_channel != 0) {
    const std::string line = error_bar_line(d);
    console.write_free();
    console.write(line);
    throw InputDialogueStop("error bar below 1e-30", {line});
  }
  for (const std::string& w : data_warnings(d, name)) std::fprintf(stderr, "%s\n", w.c_str());
  std::fflush(stderr);
  if (d.point_list) {
    t.theta_last = t.POINTS(value_index(t, 1) + 2);
    for (int p = 2; p <= t.npoint; ++p)
      t.theta_last = std::max(t.theta_last, t.POINTS(value_index(t, p) + 2));
  } else {
    t.theta_last = t.POINTS(value_index(t, 4 * t.nn) + 2);
  }
}

bool drop_points(Tables& t, int first, int last) {
  if (first < 0 || last < 0 || first + last >= fewest_points(t)) return false;
  if (first > 0) {
    t.first_excluded = first;
    keep_points(t, first, 0);
  }
  if (last > 0) {
    t.last_excluded = last;
    keep_points(t, 0, last);
  }
  return true;
}

void exclude_points(Tables& t, textio::InStream& keys, textio::OutStream& console) {
  const int nfree = t.NPAR - t.NFIX;

  int k = ask_count(t, keys, console, "Number of first points to exclude? ",
                    "the number of first points to exclude, an integer", t.npoint - nfree,
                    /*limit_inclusive=*/true);
  if (k > 0) {
    t.first_excluded = k;
    keep_points(t, k, 0);
  }

  k = ask_count(t, keys, console, "Number of  last points to exclude? ",
                "the number of last points to exclude, an integer", t.npoint - nfree,
                /*limit_inclusive=*/false);
  if (k > 0) {
    t.last_excluded = k;
    keep_points(t, 0, k);
  }
}

}  // namespace tessaline
