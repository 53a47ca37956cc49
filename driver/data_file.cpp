// The measured points: reading the data file into POINTS with its error-bar
// check, and the dialogue that drops points at both ends of every spin channel.
//
// POINTS holds four values per point (reflectivity, error bar, angle in rad,
// channel code), channel c's nn points at (c-1)*nn+1..c*nn.  Trimming compacts
// the table in place by ascending copies, whose targets never lie above their
// sources.
#include <string>

#include "driver/driver.hpp"

namespace tessaline {
namespace {

using textio::Record;

constexpr const char* kChannelNames[4] = {"UU", "DD", "UD", "DU"};

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

void read_data_file(Tables& t, const std::string& name, textio::OutStream& console) {
  textio::InStream in;
  in.open(name, "data file");
  for (int c = 1; c <= 4; ++c) {
    for (int p = 1; p <= t.nn; ++p) {
      const int q = (c - 1) * t.nn + p;
      double* v = &t.POINTS(value_index(q));
      in.read(v, 3,
              "reflectivity, error bar and angle of point " + std::to_string(p) + " of channel " +
                  kChannelNames[c - 1]);
      v[3] = c;
      if (v[1] < 1.0e-30) {
        in.close();
        console.write_free();
        console.write(Record()
                          .A("Error bar for point")
                          .I(p, 4)
                          .A(" at ")
                          .A(kChannelNames[c - 1])
                          .A(" is zero or negative!"));
        throw InputDialogueStop("error bar below 1e-30");
      }
    }
  }
  in.close();
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
