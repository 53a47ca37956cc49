// The depth profile of the film: nuclear scattering-length density Re{Nb} and
// magnetic density N_p <cos(delta_gamma)> against depth from the surface, as the
// optics see them.
//
// Depth 0 is the top of layer 1; the vacuum lies at negative depths and the
// substrate below the last interface.  Interface j (j = 0..nlay) lies at the sum
// of the thicknesses of layers 1..j and is smoothed as an error function whose
// width is the Debye-Waller roughness sigma of the medium below it, the same
// Gaussian interface that the Nevot-Croce factor describes:
//
//   rho(z) = sum_j (rho_{j+1} - rho_j) (1 + erf((z - z_j) / (sqrt(2) sigma_{j+1}))) / 2
//
// with rho_0 = 0 (vacuum); a sigma of 0 gives a sharp step (half height on the
// interface itself).  Values are in 1e-6 A^-2.  Pure computation, no I/O.
#pragma once

#include <vector>

#include "tables/tables.hpp"

namespace tessaline {

// One medium below the vacuum: layers 1..nlay, then the substrate (whose
// thickness is not used).  Densities in 1e-6 A^-2, lengths in A.
struct ProfileMedium {
  double thickness = 0;
  double nuclear = 0;    // Re{Nb}
  double magnetic = 0;   // N_p <cos(delta_gamma)>
  double roughness = 0;  // Debye-Waller sigma of the interface above the medium
};

// The media of the parameter vector PARAM (physical values PARAM / SCALE).
std::vector<ProfileMedium> profile_media(const Tables& t, const ParamVector& PARAM);

struct ProfilePoint {
  double depth = 0;  // A
  double nuclear = 0;
  double magnetic = 0;
};

struct DepthProfile {
  std::vector<double> interfaces;  // depth of interface 0..nlay
  std::vector<ProfilePoint> points;
};

// Largest number of grid points depth_profile() makes.
inline constexpr long kMaxProfilePoints = 2'000'000;

// The profile on a grid of multiples of `step` (A) that reaches from above the
// first interface to below the last by 20 A or four times the largest
// roughness, whichever is more.  Throws std::length_error when that needs more
// than kMaxProfilePoints points.
DepthProfile depth_profile(const std::vector<ProfileMedium>& media, double step = 0.5);

}  // namespace tessaline
