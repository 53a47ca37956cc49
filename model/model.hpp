// The model function FUNCT: expected recorded intensity of one point (glancing
// angle, spin channel) for the current parameter vector.
//
// Layer optics: two scalar Parratt recursions (L. G. Parratt, Phys. Rev. 95, 359
// (1954)), one per neutron spin state relative to the film's common magnetization
// axis, with a Nevot-Croce roughness factor on every interface (L. Nevot and
// P. Croce, Rev. Phys. Appl. 15, 761 (1980)).  Channel intensities for arbitrary
// polarizer and analyser vectors, averaged over magnetic domains.  Instrument:
// collimation sum, angle-zero correction, illumination, background, scale.
//
// Pure computation: no I/O, no allocation.  The work tables live in ModelWork,
// sized once for 500 layers; one ModelWork per concurrent evaluation.
#pragma once

#include "model/cplx.hpp"
#include "tables/tables.hpp"

namespace tessaline {

inline constexpr int kMaxMedia = maxlay + 1;  // layers + substrate

// Work tables of one evaluation.  The first index is the spin state: 0 for the
// state parallel to the common magnetization axis (+), 1 for the antiparallel one (-).
struct ModelWork {
  Table<cplx, kMaxMedia> rho[2];  // spin potential of medium j = 1..N+1
  Table<cplx, kMaxMedia> U[2];    // 4*pi*rho
  cplx kz[2][kMaxMedia + 1];      // kz[s][j], j = 0..N+1 (kz[s][0] = k0)
  cplx phi[2][kMaxMedia + 1];     // phi[s][j] = d_j * kz_j, phi[s][0] = 0
  double g[kMaxMedia + 1];        // g[j] = -2 sigma_j^2, j = 1..N+1
  cplx F[2][kMaxMedia];           // F[s][j] = (1 - r_j) W_j, interface j = 0..N
  cplx G[2][kMaxMedia];           // G[s][j] = 1 + r_j
  cplx Xr[2][kMaxMedia + 1];      // recursion amplitude at the top of medium j
  double I[2][2];                 // channel intensities of one angle, I[a-1][b-1]
  double SIGMA[2][2];             // channel sums over the collimation kernel
};

// Slot of "Re{Nb}" of medium j = 1..nlay+1; "Im{Nb}", "N_p", "<Cos(delta_gamma"
// and "Debye-Waller" follow it.  Layers own 6j-5..6j (thickness first); the
// substrate has no thickness slot and starts at 6*nlay+1.
inline int density_slot(int nlay, int j) { return j <= nlay ? 6 * j - 4 : 6 * nlay + 1; }

// Slots of the global parameters, counted from 6*nlay.
inline constexpr int kCosGamma = 6;
inline constexpr int kSinGamma = 7;
inline constexpr int kSin2Gamma = 8;
inline constexpr int kTotalScaling = 9;
inline constexpr int kAlpha0 = 10;
inline constexpr int kBackground = 11;
inline constexpr int kPiX = 12;  // Pi(x), Pi(y), Pi(z), then Pf(x), Pf(y), Pf(z)
inline constexpr int kPfX = 15;

// Physical value of slot i.
inline double phys(const Tables& t, const ParamVector& PARAM, int i) {
  return PARAM(i) / t.SCALE(i);
}

// Spin potentials rho and U of every medium, from the parameter vector.
void spin_potentials(const Tables& t, const ParamVector& PARAM, ModelWork& w);

// R+ and R- at glancing angle theta (> 0), after spin_potentials().
void amplitudes(const Tables& t, const ParamVector& PARAM, ModelWork& w, double theta, cplx& Rplus,
                cplx& Rminus);

// The polarization and magnetization terms of the four channels (index a-1,
// b-1): the weights of |R+|^2, |R-|^2, 2 Re(R+ conj(R-)) and 2 Im(conj(R+) R-).
// They depend on the parameter vector only.
struct ChannelTerms {
  double Tplus[2][2], Tminus[2][2], Tcross[2][2], K[2][2];
};
void channel_terms(const Tables& t, const ParamVector& PARAM, ChannelTerms& c);
// I(a,b) from the terms and the amplitudes.
void intensities(const ChannelTerms& c, cplx Rplus, cplx Rminus, double I[2][2]);

// The four channel intensities I(a,b) for amplitudes R+ and R- (a: polarizer,
// b: analyser; 1 plus, 2 minus), written to I[a-1][b-1].
void channel_intensities(const Tables& t, const ParamVector& PARAM, cplx Rplus, cplx Rminus,
                         double I[2][2]);

// Channel index (1..4) of a channel code, truncated toward zero; 0 when invalid.
int channel_of(double code);

// The model values of the four channels from the channel sums Sigma(a,b) of the
// collimation kernel, "total scaling" and "background": f[c - 1] = scaling *
// (background + Sigma) for channel code c, Sigma being Sigma(1,1) for UU (1),
// Sigma(2,2) for DD (2), Sigma(1,2) for UD (3) and Sigma(2,1) for DU (4).
inline void channel_values(double scaling, double background, const double SIGMA[2][2],
                           double f[4]) {
  f[0] = scaling * (background + SIGMA[0][0]);
  f[1] = scaling * (background + SIGMA[1][1]);
  f[2] = scaling * (background + SIGMA[0][1]);
  f[3] = scaling * (background + SIGMA[1][0]);
}

// The collimation kernel of one point.  A point without a resolution of its own
// is smeared with the entry file's kernel: j0 offsets coll_offset(j) and weights
// coll_weight(j).  A point with its own resolution sigma_i (one standard
// deviation, rad) is smeared with the same kernel stretched to its width: the
// offsets coll_offset(j) * (sigma_i / coll_sigma) with the same weights.  The
// ratio is formed first, so that sigma_i = coll_sigma gives the entry's offsets
// to the last bit.  sigma_i = 0 is no smearing: one point at offset 0, weight 1.
struct PointKernel {
  int n = 1;             // kernel points
  double stretch = 1.0;  // factor of the entry's offsets
  bool sharp = false;    // no smearing at all
};

// Resolution value that stands for the entry file's kernel.
inline constexpr double kEntryKernel = -1.0;

// The kernel of a point of resolution `resolution` (rad), or of the entry file
// for kEntryKernel (any negative value).
inline PointKernel point_kernel(const Tables& t, double resolution) {
  PointKernel k;
  if (resolution < 0.0) {
    k.n = t.j0;
  } else if (resolution == 0.0) {
    k.sharp = true;
  } else {
    k.n = t.j0;
    k.stretch = resolution / t.coll_sigma;
  }
  return k;
}
inline double kernel_offset(const Tables& t, const PointKernel& k, int j) {
  return k.sharp ? 0.0 : t.coll_offset(j) * k.stretch;
}
inline double kernel_weight(const Tables& t, const PointKernel& k, int j) {
  return k.sharp ? 1.0 : t.coll_weight(j);
}

// The resolution of the point X: X(3) when the points carry their own
// (nvalues = 5), else kEntryKernel.
inline double point_resolution(const Tables& t, const PointX& X) {
  return t.nvalues > 4 ? X(3) : kEntryKernel;
}

// Model value of the point X = (glancing angle in rad, channel code[, its own
// resolution in rad]), for the parameter values in PARAM.  Throws RunStop("X(2) wrong!") on a
// channel code outside 1..4.
double FUNCT(const Tables& t, const ParamVector& PARAM, ModelWork& w, const PointX& X);

// The same for the run's own parameter vector.
inline double FUNCT(const Tables& t, ModelWork& w, const PointX& X) {
  return FUNCT(t, t.PARAM, w, X);
}

}  // namespace tessaline
