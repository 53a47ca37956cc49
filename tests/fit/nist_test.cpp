// LSQFIT on NIST's certified nonlinear least-squares problems (StRD), from
// NIST's two starts, with the program's constants and every point's error bar
// set to the certified residual standard deviation (nist_problems.hpp).  Kept
// here are the runs that converge; bench/nist_table prints all of them.
#include <gtest/gtest.h>

#include <cmath>
#include <ostream>
#include <string>
#include <vector>

#include "nist_problems.hpp"

namespace tessaline {
namespace {

namespace nist = test::nist;

struct Case {
  const char* name;
  std::vector<int> starts;  // NIST starts (1, 2) whose fit converges
};

// From start 1, Eckerle4, Hahn1, MGH09, MGH10 and Rat43 end on the iteration
// limit, drifting into a region where the step limits keep every step small,
// and MGH17 ends with two rates set aside as undeterminable; those runs are
// reported by bench/nist_table, not kept here.
const Case kCases[] = {
    {"Misra1a", {1, 2}},  {"Chwirut2", {1, 2}}, {"Chwirut1", {1, 2}}, {"Lanczos3", {1, 2}},
    {"Gauss1", {1, 2}},   {"Gauss2", {1, 2}},   {"DanWood", {1, 2}},  {"Misra1b", {1, 2}},
    {"Kirby2", {1, 2}},   {"Hahn1", {2}},       {"MGH17", {2}},       {"Lanczos1", {1, 2}},
    {"Lanczos2", {1, 2}}, {"Gauss3", {1, 2}},   {"Misra1c", {1, 2}},  {"Misra1d", {1, 2}},
    {"ENSO", {1, 2}},     {"MGH09", {2}},       {"Thurber", {1, 2}},  {"BoxBOD", {1, 2}},
    {"Rat42", {1, 2}},    {"MGH10", {2}},       {"Eckerle4", {2}},    {"Rat43", {2}},
    {"Bennett5", {1, 2}},
};

// The fit stops when its last proposed step is below 0.1 of every fitted
// error.  That step is a Gauss-Newton step from forward differences on a
// nonlinear model, so the distance to the minimum may exceed it a little (at
// most 0.105 sd, Thurber from start 1): allow 0.15 sd, plus half a unit of the
// certificate's last printed digit, which for Lanczos1 is coarser than 0.1 sd.
constexpr double kSdRoom = 0.15;
// Errors come from the curvature at the fitted point, by forward differences,
// the certified ones from the exact curvature at the minimum (largest
// difference seen: 3.5%, MGH09 from start 2).
constexpr double kErrorRoom = 0.05;

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class NistStrd : public ::testing::TestWithParam<Case> {};

TEST_P(NistStrd, ConvergedFitMatchesTheCertifiedValuesAndDeviations) {
  const Case& c = GetParam();
  const nist::Problem pr =
      nist::read_problem(std::string(TESSALINE_NIST_DIR) + "/" + c.name + ".dat");
  // The error bar given to every point is the residual spread NIST prints.
  ASSERT_NEAR(nist::point_sigma(pr), pr.residual_sd, 1e-9 * pr.residual_sd);

  auto t = make_tables();
  auto fs = make_fit_state();
  for (int start : c.starts) {
    SCOPED_TRACE("start " + std::to_string(start));
    const nist::Outcome out = nist::fit(pr, start - 1, *t, *fs);
    ASSERT_EQ(out.IEXIT, 1);
    for (std::size_t i = 0; i < pr.certified.size(); ++i) {
      SCOPED_TRACE("b" + std::to_string(i + 1));
      const double sd = pr.certified_sd[i];
      EXPECT_NEAR(out.b[i], pr.certified[i], kSdRoom * sd + 0.5 * pr.certified_unit[i]);
      EXPECT_NEAR(out.err[i] / sd, 1.0, kErrorRoom);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Certified, NistStrd, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& param_info) {
                           return std::string(param_info.param.name);
                         });

}  // namespace
}  // namespace tessaline
