// The measured points: reading the data file into POINTS with its error-bar
// check, and the dialogue that drops points at both ends of every spin channel.
//
// POINTS holds four values per point (reflectivity, error bar, angle in rad,
// channel code), channel c's nn points at (c-1)*nn+1..c*nn.  Trimming compacts
// the table in place by ascending copies, whose targets never lie above their
// sources.
//
// The reading itself (read_measured_points) knows nothing of the program's
// tables or dialogue, so that the tools read data files exactly as the program
// does.
#include <cstdio>
#include <istream>
#include <string>

#include "driver/driver.hpp"

namespace tessaline {
namespace {

using textio::Record;

// First of the four values of point q.
int value_index(int q) { return 4 * q - 3; }

// Copies point `from` onto point `to` (to <= from).
void move_point(Tables& t, int from, int to) {
  for (int v = 0; v < 4; ++v) t.POINTS(value_index(to) + v) = t.POINTS(value_index(from) + v);
}

// Asks `prompt` until the answer passes: above `limit` (or at it, when
// `limit_inclusive` is false) and from nn on are refused with "Not so many!".
int ask_count(const Tables& t, textio::InStream& keys, textio::OutStream& console,
              const char* prompt, const char* what, int limit, bool limit_inclusive) {
  for (;;) {
    console.write_no_advance(prompt);
    console.flush();
    int k = 0;
    keys.read(k, what);
    const bool over_limit = limit_inclusive ? k > limit : k >= limit;
    // A count from nn on would leave a channel without points.
    if (!over_limit && k < t.nn) return k;
    console.write_free("Not so many!");
  }
}

}  // namespace

MeasuredData read_measured_points(textio::InStream& in, int nn) {
  MeasuredData d;
  const auto what = [](int p, int c) {
    return "reflectivity, error bar and angle of point " + std::to_string(p) + " of channel " +
           std::string(kChannelNames[static_cast<std::size_t>(c - 1)]);
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
        if (!check(points.back(), c, p)) return d;
      }
    }
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
  while (in.more_tokens()) {
    if (all.size() == static_cast<std::size_t>(kMaxPoints)) {
      throw textio::TextError("data file \"" + in.name() + "\" holds more than " +
                              std::to_string(4 * maxpoint) + " points (" +
                              std::to_string(maxpoint) + " per channel)");
    }
    double v[3] = {};
    in.read(v, 3, "reflectivity, error bar and angle of point " + std::to_string(all.size() + 1));
    all.push_back({v[0], v[1], v[2]});
  }
  if (all.empty() || all.size() % 4 != 0) {
    throw textio::TextError("data file \"" + in.name() + "\" holds " + std::to_string(all.size()) +
                            " points, which do not make four channels of equal length");
  }
  d.nn = static_cast<int>(all.size() / 4);
  for (int c = 1; c <= 4; ++c) {
    const auto first = all.begin() + static_cast<long>(c - 1) * d.nn;
    d.channel[static_cast<std::size_t>(c - 1)].assign(first, first + d.nn);
  }
  for (std::size_t q = 0; q < all.size(); ++q) {
    const int i = static_cast<int>(q);
    if (!check(all[q], i / d.nn + 1, i % d.nn + 1)) break;
  }
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
  for (int c = 1; c <= 4; ++c) {
    const auto& points = d.channel[static_cast<std::size_t>(c - 1)];
    for (std::size_t p = 0; p < points.size(); ++p) {
      double* v = &t.POINTS(value_index((c - 1) * t.nn + static_cast<int>(p) + 1));
      v[0] = points[p].R;
      v[1] = points[p].dR;
      v[2] = points[p].theta;
      v[3] = c;
    }
  }
  if (d.bad_channel != 0) {
    const std::string line = error_bar_line(d);
    console.write_free();
    console.write(line);
    throw InputDialogueStop("error bar below 1e-30", {line});
  }
  if (d.unread_number_line > 0) {
    std::fprintf(stderr,
                 "Warning: data file \"%s\", line %d: numbers after the last of the 4 x %d "
                 "points are not read; a repeated or missing line would shift every later "
                 "point into the next channel\n",
                 name.c_str(), d.unread_number_line, t.nn);
    std::fflush(stderr);
  }
  t.theta_last = t.POINTS(value_index(4 * t.nn) + 2);
}

void exclude_points(Tables& t, textio::InStream& keys, textio::OutStream& console) {
  const int nfree = t.NPAR - t.NFIX;

  int k = ask_count(t, keys, console, "Number of first points to exclude? ",
                    "the number of first points to exclude, an integer", 4 * t.nn - nfree,
                    /*limit_inclusive=*/true);
  if (k > 0) {
    t.first_excluded = k;
    t.nn -= k;
    t.npoint = 4 * t.nn;
    const int old_nn = t.nn + k;
    for (int c = 1; c <= 4; ++c)
      for (int p = 1; p <= t.nn; ++p) move_point(t, (c - 1) * old_nn + p + k, (c - 1) * t.nn + p);
  }

  k = ask_count(t, keys, console, "Number of  last points to exclude? ",
                "the number of last points to exclude, an integer", 4 * t.nn - nfree,
                /*limit_inclusive=*/false);
  if (k > 0) {
    t.last_excluded = k;
    t.nn -= k;
    t.npoint = 4 * t.nn;
    const int old_nn = t.nn + k;
    // Channel UU already stands in place; its last k points are overwritten.
    for (int c = 2; c <= 4; ++c)
      for (int p = 1; p <= t.nn; ++p) move_point(t, (c - 1) * old_nn + p, (c - 1) * t.nn + p);
  }
}

}  // namespace tessaline
