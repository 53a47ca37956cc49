// The recursion step for many lanes side by side (see optics.hpp).  The loop is
// compiled twice, for the x86-64 baseline (two lanes per SSE2 instruction) and
// for AVX2 (four lanes), and the loader picks the one the processor runs.  Both
// perform the IEEE operations of recursion_step() lane by lane, without fused
// multiply-adds (-ffp-contract=off), so the choice never changes a bit.
#include "model/optics.hpp"

namespace tessaline::optics {

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
__attribute__((target_clones("avx2", "default")))
#endif
void recursion_steps(int n, const double* __restrict Er, const double* __restrict Ei,
                     const double* __restrict Fr, const double* __restrict Fi,
                     const double* __restrict Gr, const double* __restrict Gi,
                     const double* __restrict inr, const double* __restrict ini,
                     double* __restrict outr, double* __restrict outi) {
  for (int l = 0; l < n; ++l) {
    const double xr = inr[l], xi = ini[l];
    const double GXr = Gr[l] * xr - Gi[l] * xi, GXi = Gr[l] * xi + Gi[l] * xr;
    const double FXr = Fr[l] * xr - Fi[l] * xi, FXi = Fr[l] * xi + Fi[l] * xr;
    const double numr = GXr + Fr[l], numi = GXi + Fi[l];
    const double denr = FXr + Gr[l], deni = FXi + Gi[l];
    const double ENr = Er[l] * numr - Ei[l] * numi, ENi = Er[l] * numi + Ei[l] * numr;
    const double inv = 1.0 / (denr * denr + deni * deni);
    outr[l] = (ENr * denr + ENi * deni) * inv;
    outi[l] = (ENi * denr - ENr * deni) * inv;
  }
}

}  // namespace tessaline::optics
