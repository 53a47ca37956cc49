// The recursion of BatchOptics (batch_optics.hpp) in AVX2 instructions, four
// lanes at a time.  batch_lanes_avx2.cpp is the only file compiled for AVX2;
// BatchOptics calls it only when the processor runs AVX2 and FMA (which SLEEF's
// AVX2 functions use inside).
#pragma once

namespace tessaline::batch {

// The processor runs the AVX2 path.
bool lanes_supported();

// The media as the recursion needs them, indexed by medium j = 0..N+1 (entry 0
// unused where the vacuum has no value): the scattering terms U = 4 pi rho of
// the two spin states (Ur[s], Ui[s], j = 1..N+1; s = 0 for +, 1 for -), the
// roughness exponent g = -2 sigma^2 of the interface above medium j
// (j = 1..N+1), the thickness d (j = 1..N), and same[j] = 1 where the two
// states see the same U in medium j (no magnetic term there), so that the
// second state takes the first state's wave numbers, phase factors and
// interface terms instead of computing them again.  With magnetic = false the
// states agree everywhere and only the first is computed.
struct Media {
  int N = 0;
  const double* Ur[2] = {nullptr, nullptr};
  const double* Ui[2] = {nullptr, nullptr};
  const unsigned char* same = nullptr;
  const double* g = nullptr;
  const double* d = nullptr;
  bool magnetic = true;
};

// The reflection amplitudes X(0) = (Rr[s], Ri[s]) of both spin states in n
// lanes (n a multiple of 4) at the vacuum wave numbers k0 (with k0sq = k0 *
// k0), each computed as model/optics.hpp computes it (the second state only
// when the media are magnetic).  special[l] is set to 1 for a lane in which
// some wave number above the substrate is exactly zero or the Fresnel ratio of
// an interface is not finite: the cases the straightforward recursion handles
// by other formulas, whose lanes the caller recomputes; the other lanes' marks
// are left as they are.
void amplitudes(const Media& m, int n, const double* k0, const double* k0sq, double* const Rr[2],
                double* const Ri[2], unsigned char* special);

}  // namespace tessaline::batch
