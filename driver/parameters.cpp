// Layout of the parameter vector and its companion tables.
//
// Layer k owns slots 6k-5..6k, the substrate 6n+1..6n+5 and the global
// parameters 6n+6..6n+17 (n = nlay).  Scattering-length densities are carried
// internally in units of 1e-6 A^-2 (SCALE = 1e6), so that every free parameter
// moves by steps of order one in the minimizer; step limits and bounds are given
// here in physical units and stored multiplied by the slot's SCALE.
#include "driver/driver.hpp"

namespace tessaline {
namespace {

constexpr double kSldScale = 1.0e6;

struct SlotDefault {
  const char* name;
  double step;  // physical units
  double lower;
  double upper;
};

constexpr SlotDefault kLayerSlots[6] = {
    {"thickness", 10, 0, 1.0e6},         {"Re{Nb}", 1.0e-6, -1.0e-4, 1.0e-4},
    {"Im{Nb}", 1.0e-6, -1.0e-4, 1.0e-4}, {"N_p", 1.0e-6, 0, 1.0e-4},
    {"<Cos(delta_gamma", 0.1, -1, 1},    {"Debye-Waller", 10, 0, 1.0e4},
};

constexpr SlotDefault kSubstrateSlots[5] = {
    {"Re{Nb}", 1.0e-6, -1.0e-4, 1.0e-4}, {"Im{Nb}", 1.0e-6, -1.0e-4, 1.0e-4},
    {"N_p", 1.0e-6, 0, 1.0e-4},          {"<Cos(delta_gamma", 0.5, -1, 1},
    {"Debye-Waller", 10, 0, 1.0e4},
};

constexpr SlotDefault kGlobalSlots[12] = {
    {"<Cos(gamma)>", 0.1, -1, 1},  {"<Sin(gamma)>", 0.1, -1, 1},
    {"<Sin^2(gamma)>", 0.1, 0, 1}, {"total scaling", 100, 0, 1.0e20},
    {"alpha_0", 0.01, 0, 1},       {"background", 0.01, 0, 1},
    {"Pi(x)", 0.1, -1, 1},         {"Pi(y)", 0.1, -1, 1},
    {"Pi(z)", 0.1, -1, 1},         {"Pf(x)", 0.1, -1, 1},
    {"Pf(y)", 0.1, -1, 1},         {"Pf(z)", 0.1, -1, 1},
};

// Calls f(slot, default) for every slot in use: the layers, the substrate, the
// global parameters.
template <class F>
void for_each_slot(int nlay, F f) {
  for (int k = 1; k <= nlay; ++k)
    for (int j = 0; j < 6; ++j) f(6 * k - 5 + j, kLayerSlots[j]);
  for (int j = 0; j < 5; ++j) f(6 * nlay + 1 + j, kSubstrateSlots[j]);
  for (int j = 0; j < 12; ++j) f(6 * nlay + 6 + j, kGlobalSlots[j]);
}

}  // namespace

void set_up_parameters(Tables& t, const double Pi[3], const double Pf[3]) {
  const int n = t.nlay;
  t.NPAR = 6 * n + 17;

  for (int i = 1; i <= t.NPAR; ++i) t.SCALE(i) = 1;
  for (int k = 1; k <= n; ++k) {
    t.SCALE(6 * k - 4) = kSldScale;
    t.SCALE(6 * k - 3) = kSldScale;
    t.SCALE(6 * k - 2) = kSldScale;
  }
  t.SCALE(6 * n + 1) = kSldScale;
  t.SCALE(6 * n + 2) = kSldScale;
  t.SCALE(6 * n + 3) = kSldScale;

  for (int j = 1; j <= 3; ++j) {
    t.PARAM(6 * n + 11 + j) = Pi[j - 1] * t.SCALE(6 * n + 11 + j);
    t.PARAM(6 * n + 14 + j) = Pf[j - 1] * t.SCALE(6 * n + 14 + j);
  }

  for_each_slot(n, [&t](int i, const SlotDefault& d) {
    t.STEPLIM(i) = d.step * t.SCALE(i);
    t.PARMIN(i) = d.lower * t.SCALE(i);
    t.PARMAX(i) = d.upper * t.SCALE(i);
  });
  for_each_slot(n, [&t](int i, const SlotDefault& d) { t.PARNAM(i) = make_name16(d.name); });

  t.NFIX = 0;
}

}  // namespace tessaline
