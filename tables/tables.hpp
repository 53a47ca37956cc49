// The run's shared tables: parameter vector with its companions, point table,
// collimation kernel and the scalar model settings.
//
// The driver fills them once from the entry and data files; the model reads them
// on every evaluation, the minimizer updates PARAM and STEPLIM in place, and the
// reports read them.  Every table has the fixed capacity of the program's limits
// (500 layers, 3017 parameters, 1000 points per channel, 101 kernel points) and is
// allocated once per run, on the heap, by make_tables().  Indices are 1-based, as
// in the formulas of the physics: PARAM(6*k-5) is the thickness of layer k.
#pragma once

#include <array>
#include <cassert>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tessaline {

inline constexpr int maxpoint = 1000;                            // points per spin channel
inline constexpr int kMaxPoints = 4 * maxpoint;                  // points of all four channels
inline constexpr int maxj0 = 101;                                // collimation points
inline constexpr int maxlay = 500;                               // layers
inline constexpr int kMaxPar = 6 * maxlay + 17;                  // 3017 parameter slots
inline constexpr int kMaxPacked = kMaxPar * (kMaxPar + 1) / 2;   // 4,552,653 packed slots
inline constexpr int kMaxPointValues = 5;                        // values per point, at most
inline constexpr int kMaxValues = kMaxPoints * kMaxPointValues;  // 20,000 point values
inline constexpr double kPi = 3.141592653589793;

// The spin channels in the order of the data file and of the curve files: first
// letter polarizer, second analyser (U = up, D = down).
inline constexpr int kChannels = 4;
inline constexpr std::array<std::string_view, kChannels> kChannelNames = {"UU", "DD", "UD", "DU"};
// Smallest error bar the data file accepts for a measured point.
inline constexpr double kMinErrorBar = 1e-30;

// A 1-based table of fixed capacity N; bounds are checked in debug builds.
template <class T, int N>
class Table {
 public:
  T& operator()(int i) {
    assert(i >= 1 && i <= N);
    return v_[static_cast<std::size_t>(i - 1)];
  }
  const T& operator()(int i) const {
    assert(i >= 1 && i <= N);
    return v_[static_cast<std::size_t>(i - 1)];
  }
  // Element i lives at data()[i - 1].
  T* data() { return v_.data(); }
  const T* data() const { return v_.data(); }
  static constexpr int capacity() { return N; }
  void fill(const T& x) { v_.fill(x); }

 private:
  std::array<T, N> v_{};
};

// The independent variables of one point as the model sees them: X(1) the
// glancing angle in rad, X(2) the channel code, and X(3) the point's own angular
// resolution in rad when the points carry one (nvalues = 5).
using PointX = Table<double, kMaxPointValues - 2>;

// Position of element (i, j), j <= i, of a symmetric matrix held as its lower
// triangle by rows.
constexpr long packed(long i, long j) { return i * (i - 1) / 2 + j; }

using ParamVector = Table<double, kMaxPar>;
using Name16 = std::array<char, 16>;  // blank-padded, no terminator

// Store a name blank-padded (or cut) to 16 characters.
inline Name16 make_name16(std::string_view s) {
  Name16 n;
  n.fill(' ');
  for (std::size_t i = 0; i < s.size() && i < n.size(); ++i) n[i] = s[i];
  return n;
}
inline std::string_view name_view(const Name16& n) { return {n.data(), n.size()}; }
// The name without the blanks that pad it.
inline std::string_view trimmed_name(const Name16& n) {
  const std::string_view v = name_view(n);
  return v.substr(0, v.find_last_not_of(' ') + 1);
}

struct Tables {
  // Scalar model settings.
  double pi = 0;               // stored once at start
  double wavelength = 0;       // neutron wavelength, A
  double zero_correction = 0;  // angle zero offset, rad
  int nlay = 0;                // number of layers

  // Parameter vector and its companions (layout fixed by the entry-file set-up).
  int NPAR = 0;         // 6*nlay + 17 slots in use
  int NFIX = 0;         // parameters fixed by the entry file
  ParamVector PARAM;    // internal value = physical value * SCALE
  ParamVector SCALE;    // 1e6 for scattering-length densities, else 1
  ParamVector STEPLIM;  // 0: fixed, > 0: free (largest step per iteration)
  ParamVector PARMIN;
  ParamVector PARMAX;
  Table<Name16, kMaxPar> PARNAM;

  // Measured points: four values per point (reflectivity, error, angle in rad,
  // channel code), or five when every point carries its own angular resolution
  // (one standard deviation, rad).  The points of channel UU come first, then
  // DD, UD and DU, each channel in the order of the data file.  A classic data
  // file gives every channel nn points; a point list gives each channel the
  // points it lists, from none to maxpoint.
  int nn = 0;
  int npoint = 0;   // total number of points
  int nvalues = 4;  // values per point
  Table<double, kMaxValues> POINTS;
  Table<int, kChannels> channel_points;  // points of channel c = 1..4
  bool point_list = false;               // the data file was a point list
  double theta_last = 0;                 // last angle of the curve files: see read_data_file()
  int first_excluded = 0;
  int last_excluded = 0;

  // Collimation kernel: j0 offsets (rad) from the nominal angle and their weights.
  int j0 = 0;
  double coll_step = 0;   // rad
  double coll_sigma = 0;  // rad
  Table<double, maxj0> coll_offset;
  Table<double, maxj0> coll_weight;
};

// The counts of a classic data file: nn points in each of the four channels.
inline void set_classic_channels(Tables& t, int nn) {
  t.nn = nn;
  t.npoint = kChannels * nn;
  for (int c = 1; c <= kChannels; ++c) t.channel_points(c) = nn;
  t.point_list = false;
}

// The tables of one run, zero-initialised, on the heap.
inline std::unique_ptr<Tables> make_tables() { return std::make_unique<Tables>(); }

// Ends the run from deep inside a computation with a message for the console and
// an exit status; only the driver catches it.
class RunStop : public std::runtime_error {
 public:
  RunStop(const std::string& message, int status) : std::runtime_error(message), status_(status) {}
  int status() const { return status_; }

 private:
  int status_;
};

// Exit statuses of the program.
inline constexpr int kExitNormal = 0;
inline constexpr int kExitStop = 1;       // limit stop, input-error dialogue, "X(2) wrong!"
inline constexpr int kExitTextError = 2;  // missing file, unreadable number, end of input

}  // namespace tessaline
