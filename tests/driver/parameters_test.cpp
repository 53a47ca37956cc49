// Layout of the parameter tables: slot order, names, scale factors, default step
// limits and bounds (stored times SCALE), the polarization components.
#include <gtest/gtest.h>

#include <string>

#include "driver/driver.hpp"

namespace tessaline {
namespace {

// One row of the slot table in physical units.
struct Row {
  const char* name;
  double scale;
  double step;
  double lower;
  double upper;
};

// The substrate and global slots, 6n+1..6n+17, in order.
constexpr Row kTail[17] = {
    {"Re{Nb}", 1e6, 1e-6, -1e-4, 1e-4}, {"Im{Nb}", 1e6, 1e-6, -1e-4, 1e-4},
    {"N_p", 1e6, 1e-6, 0, 1e-4},        {"<Cos(delta_gamma", 1, 0.5, -1, 1},
    {"Debye-Waller", 1, 10, 0, 1e4},    {"<Cos(gamma)>", 1, 0.1, -1, 1},
    {"<Sin(gamma)>", 1, 0.1, -1, 1},    {"<Sin^2(gamma)>", 1, 0.1, 0, 1},
    {"total scaling", 1, 100, 0, 1e20}, {"alpha_0", 1, 0.01, 0, 1},
    {"background", 1, 0.01, 0, 1},      {"Pi(x)", 1, 0.1, -1, 1},
    {"Pi(y)", 1, 0.1, -1, 1},           {"Pi(z)", 1, 0.1, -1, 1},
    {"Pf(x)", 1, 0.1, -1, 1},           {"Pf(y)", 1, 0.1, -1, 1},
    {"Pf(z)", 1, 0.1, -1, 1},
};

constexpr Row kLayer[6] = {
    {"thickness", 1, 10, 0, 1e6},        {"Re{Nb}", 1e6, 1e-6, -1e-4, 1e-4},
    {"Im{Nb}", 1e6, 1e-6, -1e-4, 1e-4},  {"N_p", 1e6, 1e-6, 0, 1e-4},
    {"<Cos(delta_gamma", 1, 0.1, -1, 1}, {"Debye-Waller", 1, 10, 0, 1e4},
};

std::string padded(const char* s) {
  std::string n = s;
  n.resize(16, ' ');
  return n;
}

// The stored step limit and bounds are the physical ones times SCALE; 1e-6 * 1e6
// need not be exactly 1, so within 4 ulp.
void expect_slot(const Tables& t, int i, const Row& r) {
  SCOPED_TRACE("slot " + std::to_string(i));
  EXPECT_EQ(name_view(t.PARNAM(i)), padded(r.name));
  EXPECT_EQ(t.SCALE(i), r.scale);
  EXPECT_DOUBLE_EQ(t.STEPLIM(i), r.step * r.scale);
  EXPECT_DOUBLE_EQ(t.PARMIN(i), r.lower * r.scale);
  EXPECT_DOUBLE_EQ(t.PARMAX(i), r.upper * r.scale);
}

TEST(ParameterLayout, NoLayersLeavesSubstrateAndGlobalSlotsOnly) {
  auto tp = make_tables();
  Tables& t = *tp;
  t.nlay = 0;
  t.NFIX = 99;
  const double Pi[3] = {0.1, -0.2, 0.3};
  const double Pf[3] = {-0.4, 0.5, -0.6};
  set_up_parameters(t, Pi, Pf);
  EXPECT_EQ(t.NPAR, 17);
  EXPECT_EQ(t.NFIX, 0);
  for (int i = 1; i <= 17; ++i) expect_slot(t, i, kTail[i - 1]);
  for (int j = 0; j < 3; ++j) {
    EXPECT_EQ(t.PARAM(12 + j), Pi[j]);
    EXPECT_EQ(t.PARAM(15 + j), Pf[j]);
  }
  // Slots above NPAR stay untouched.
  EXPECT_EQ(t.SCALE(18), 0);
  EXPECT_EQ(t.STEPLIM(18), 0);
}

TEST(ParameterLayout, LayersComeFirstSixSlotsEachThenTheSubstrate) {
  auto tp = make_tables();
  Tables& t = *tp;
  t.nlay = 2;
  const double P[3] = {0, 0, 1};
  set_up_parameters(t, P, P);
  EXPECT_EQ(t.NPAR, 29);
  for (int k = 1; k <= 2; ++k)
    for (int j = 0; j < 6; ++j) expect_slot(t, 6 * (k - 1) + 1 + j, kLayer[j]);
  for (int i = 13; i <= 29; ++i) expect_slot(t, i, kTail[i - 13]);
  EXPECT_EQ(t.PARAM(26), 1.0);
  EXPECT_EQ(t.PARAM(29), 1.0);
}

TEST(ParameterLayout, FiveHundredLayersUseEverySlot) {
  auto tp = make_tables();
  Tables& t = *tp;
  t.nlay = maxlay;
  const double P[3] = {1, 0, 0};
  set_up_parameters(t, P, P);
  EXPECT_EQ(t.NPAR, kMaxPar);
  expect_slot(t, 2995, kLayer[0]);  // thickness of layer 500
  expect_slot(t, 3000, kLayer[5]);
  for (int i = 3001; i <= 3017; ++i) expect_slot(t, i, kTail[i - 3001]);
}

}  // namespace
}  // namespace tessaline
