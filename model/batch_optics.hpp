// The model values of every point of the point table in one pass, for the
// sampler of the posterior, which evaluates the whole table at hundreds of
// thousands of parameter vectors.
//
// The optics of all kernel angles of all points are computed together: every
// kernel angle of every distinct measured angle (and resolution) is a lane, and
// each group of four lanes runs the Parratt recursion from the substrate up in
// AVX2 instructions, with the exponentials, sines and cosines from SLEEF's
// vectorized functions (maximum error 1 ulp).  Everything else is the
// arithmetic of model/optics.hpp, operation for operation: the wave numbers,
// the interface terms, the recursion step, the channel intensities and sums.
// The values therefore agree with FUNCT to rounding (about 1e-14 relative; the
// tests require 1e-12), but not bit for bit.  The fit never uses this path.
//
// An exponential of an exactly zero argument is 1 and the sine and cosine of
// zero are 0 and 1, so four lanes whose arguments are all zero (the phase of a
// real wave number's absorption, the roughness factor's phase where both wave
// numbers are real) skip the call.  A model without a magnetic term computes
// one spin state and copies it to the other.  A kernel angle at which some wave
// number is exactly zero (a layer exactly at its critical angle) is computed by
// the straightforward path (PointOptics) for its whole measured angle.
//
// Without AVX2 the values come from PointOptics, one measured angle at a time:
// exactly FUNCT's values.  Storage is sized by the constructor; values()
// allocates nothing.  One BatchOptics per thread.
#pragma once

#include <vector>

#include "model/point_optics.hpp"

namespace tessaline {

class BatchOptics {
 public:
  enum class Path {
    kFastest,    // lanes where the processor has AVX2, else reference
    kReference,  // PointOptics, FUNCT's values bit for bit
  };

  // Sets up for the points, the kernel and the number of layers of t, which
  // must not change while this object is used.
  explicit BatchOptics(const Tables& t, Path path = Path::kFastest);

  // FUNCT's value of every point of t at PARAM, f[p - 1] for point p.  Throws
  // RunStop("X(2) wrong!") on a channel code outside 1..4, as FUNCT does.
  const std::vector<double>& values(const Tables& t, const ParamVector& PARAM);

  // The lanes are in use (not the reference path).
  bool lanes() const { return lanes_; }

 private:
  void reference_values(const Tables& t, const ParamVector& PARAM);
  void lane_values(const Tables& t, const ParamVector& PARAM);
  void group_values(const Tables& t, const ParamVector& PARAM, int g, double v[4]);

  bool lanes_ = false;
  int nlay_ = 0;
  int ngroup_ = 0;
  std::vector<int> leader_;        // per group: its first point in table order
  std::vector<double> resolution_;  // per group
  std::vector<int> kernel_begin_;   // per group: first kernel angle; ngroup_ + 1 entries
  std::vector<int> point_group_;    // per point, 0-based
  std::vector<int> point_channel_;  // per point, 0..3

  // Per kernel angle (padded to whole groups of four lanes).
  std::vector<double> theta_, k0_, k0sq_, weight_, omega_;
  double omega_alpha0_ = 0;  // alpha0 of omega_; NaN before the first evaluation

  // Per evaluation.
  std::vector<double> Ur_[2], Ui_[2], g_, d_;  // per medium 0..N+1
  std::vector<unsigned char> same_;             // per medium: no magnetic term
  std::vector<double> Rr_[2], Ri_[2];           // amplitudes per kernel angle and spin state
  std::vector<unsigned char> special_;          // per kernel angle: a wave number exactly 0
  std::vector<double> group_f_;                 // 4 per group
  std::vector<double> f_;                       // per point
  PointOptics optics_;
};

}  // namespace tessaline
