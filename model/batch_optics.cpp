// The model values of the whole point table in one pass: see batch_optics.hpp.
#include "model/batch_optics.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "model/angle_groups.hpp"
#include "model/batch_lanes.hpp"
#include "model/optics.hpp"

namespace tessaline {

namespace batch {

// Not in batch_lanes_avx2.cpp: this test must run on any processor.
bool lanes_supported() {
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

}  // namespace batch

namespace {

constexpr int kWidth = 4;  // lanes per instruction

std::size_t at(int i) { return static_cast<std::size_t>(i); }

}  // namespace

BatchOptics::BatchOptics(const Tables& t, Path path)
    : lanes_(path == Path::kFastest && batch::lanes_supported()), nlay_(t.nlay) {
  optics_.prepare(t);
  AngleGroups groups;
  groups.build(t);
  point_group_.assign(at(t.npoint), 0);
  point_channel_.assign(at(t.npoint), 0);
  kernel_begin_.push_back(0);
  for (int p = 1; p <= t.npoint; ++p) {
    point_channel_[at(p - 1)] = channel_of(point_code(t, p)) - 1;
    if (groups.previous(p) != 0) continue;
    for (int q = p; q != 0; q = groups.next(q)) point_group_[at(q - 1)] = ngroup_;
    ++ngroup_;
    leader_.push_back(p);
    resolution_.push_back(point_resolution(t, p));
    // The kernel angles above zero, in FUNCT's order, with their vacuum wave numbers.
    const PointKernel kernel = point_kernel(t, resolution_.back());
    for (int ic = 1; ic <= kernel.n; ++ic) {
      const double theta = point_angle(t, p) - kernel_offset(t, kernel, ic) - t.zero_correction;
      if (theta <= 0.0) continue;
      const double k0 = optics::vacuum_wave_number(theta, t.pi, t.wavelength);
      theta_.push_back(theta);
      k0_.push_back(k0);
      k0sq_.push_back(k0 * k0);
      weight_.push_back(kernel_weight(t, kernel, ic));
    }
    kernel_begin_.push_back(static_cast<int>(theta_.size()));
  }
  // Whole groups of four lanes; the padding lanes are never read.
  while (theta_.size() % kWidth != 0) {
    theta_.push_back(1.0);
    k0_.push_back(1.0);
    k0sq_.push_back(1.0);
    weight_.push_back(0.0);
  }
  const std::size_t nk = theta_.size();
  omega_.assign(nk, 0.0);
  omega_alpha0_ = std::numeric_limits<double>::quiet_NaN();
  const std::size_t media = at(nlay_) + 2;
  for (int s = 0; s < 2; ++s) {
    Ur_[s].assign(media, 0.0);
    Ui_[s].assign(media, 0.0);
    Rr_[s].assign(nk, 0.0);
    Ri_[s].assign(nk, 0.0);
  }
  same_.assign(media, 0);
  g_.assign(media, 0.0);
  d_.assign(media, 0.0);
  special_.assign(nk, 0);
  group_f_.assign(4 * at(ngroup_), 0.0);
  f_.assign(at(t.npoint), 0.0);
}

void BatchOptics::group_values(const Tables& t, const ParamVector& PARAM, int g, double v[4]) {
  optics_.evaluate(t, PARAM, point_angle(t, leader_[at(g)]), resolution_[at(g)], v);
}

void BatchOptics::reference_values(const Tables& t, const ParamVector& PARAM) {
  for (int g = 0; g < ngroup_; ++g) group_values(t, PARAM, g, &group_f_[4 * at(g)]);
}

void BatchOptics::lane_values(const Tables& t, const ParamVector& PARAM) {
  const int N = nlay_;
  const int base = 6 * N;
  const double four_pi = 4.0 * t.pi;
  // The media as spin_potentials() and the recursion form them.
  bool magnetic = false;
  for (int j = 1; j <= N + 1; ++j) {
    const int i = density_slot(N, j);
    cplx rho[2], U[2];
    optics::spin_potential(phys(t, PARAM, i), phys(t, PARAM, i + 1),
                           phys(t, PARAM, i + 3) * phys(t, PARAM, i + 2), four_pi, rho[0], rho[1],
                           U[0], U[1]);
    for (int s = 0; s < 2; ++s) {
      Ur_[s][at(j)] = U[s].real();
      Ui_[s][at(j)] = U[s].imag();
    }
    same_[at(j)] = U[0] == U[1] ? 1 : 0;
    magnetic = magnetic || U[0] != U[1];
    const double sigma = phys(t, PARAM, i + 4);
    g_[at(j)] = -2.0 * sigma * sigma;
    if (j <= N) d_[at(j)] = phys(t, PARAM, 6 * j - 5);
  }

  const int nk = static_cast<int>(theta_.size());
  std::fill(special_.begin(), special_.end(), 0);
  batch::Media media;
  media.N = N;
  for (int s = 0; s < 2; ++s) {
    media.Ur[s] = Ur_[s].data();
    media.Ui[s] = Ui_[s].data();
  }
  media.same = same_.data();
  media.g = g_.data();
  media.d = d_.data();
  media.magnetic = magnetic;
  double* const Rr[2] = {Rr_[0].data(), Rr_[1].data()};
  double* const Ri[2] = {Ri_[0].data(), Ri_[1].data()};
  batch::amplitudes(media, nk, k0_.data(), k0sq_.data(), Rr, Ri, special_.data());
  if (!magnetic) {
    std::copy(Rr_[0].begin(), Rr_[0].end(), Rr_[1].begin());
    std::copy(Ri_[0].begin(), Ri_[0].end(), Ri_[1].begin());
  }

  const double alpha0 = phys(t, PARAM, base + kAlpha0);
  if (!(alpha0 == omega_alpha0_)) {
    for (int c = 0; c < nk; ++c)
      omega_[at(c)] = optics::illuminated_weight(weight_[at(c)], theta_[at(c)], alpha0);
    omega_alpha0_ = alpha0;
  }
  ChannelTerms terms;
  channel_terms(t, PARAM, terms);
  const double scaling = phys(t, PARAM, base + kTotalScaling);
  const double background = phys(t, PARAM, base + kBackground);
  for (int g = 0; g < ngroup_; ++g) {
    double* v = &group_f_[4 * at(g)];
    bool odd = false;
    for (int c = kernel_begin_[at(g)]; c < kernel_begin_[at(g) + 1]; ++c) odd = odd || special_[at(c)];
    if (odd) {
      group_values(t, PARAM, g, v);
      continue;
    }
    // sum_channels() of PointOptics, in the same order.
    double sigma[2][2] = {{0.0, 0.0}, {0.0, 0.0}};
    for (int c = kernel_begin_[at(g)]; c < kernel_begin_[at(g) + 1]; ++c) {
      double I[2][2];
      intensities(terms, {Rr_[0][at(c)], Ri_[0][at(c)]}, {Rr_[1][at(c)], Ri_[1][at(c)]}, I);
      const double omega = omega_[at(c)];
      sigma[0][0] += omega * I[0][0];
      sigma[0][1] += omega * I[0][1];
      sigma[1][0] += omega * I[1][0];
      sigma[1][1] += omega * I[1][1];
    }
    channel_values(scaling, background, sigma, v);
  }
}

const std::vector<double>& BatchOptics::values(const Tables& t, const ParamVector& PARAM) {
  for (int p = 0; p < t.npoint; ++p) {
    if (point_channel_[at(p)] < 0) throw RunStop("X(2) wrong!", kExitStop);
  }
  if (lanes_) {
    lane_values(t, PARAM);
  } else {
    reference_values(t, PARAM);
  }
  for (int p = 0; p < t.npoint; ++p) {
    f_[at(p)] = group_f_[4 * at(point_group_[at(p)]) + at(point_channel_[at(p)])];
  }
  return f_;
}

}  // namespace tessaline
