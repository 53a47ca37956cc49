// The depth profile: error-function interfaces of the Debye-Waller width, sharp
// steps without roughness, the magnetic density N_p <cos(delta_gamma)>, and the
// depths of the interfaces.  Expected values from the normal distribution:
// (1 + erf(1/sqrt(2)))/2 = Phi(1) = 0.841344746068543.
#include "model/profile.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

namespace tessaline {
namespace {

// The value of the profile at depth z (z must be a grid point).
const ProfilePoint& at(const DepthProfile& p, double z) {
  for (const ProfilePoint& q : p.points)
    if (q.depth == z) return q;
  ADD_FAILURE() << "no grid point at " << z;
  return p.points.front();
}

TEST(DepthProfile, OneInterfaceIsAnErrorFunctionOfItsRoughness) {
  // A bare substrate of 2 (1e-6 A^-2) under vacuum, roughness 5 A.
  const DepthProfile p = depth_profile({{0, 2.0, 0.0, 5.0}});
  ASSERT_EQ(p.interfaces.size(), 1u);
  EXPECT_EQ(at(p, 0.0).nuclear, 1.0);                             // half height
  EXPECT_NEAR(at(p, 5.0).nuclear, 2 * 0.841344746068543, 1e-12);  // one sigma below
  EXPECT_NEAR(at(p, -5.0).nuclear, 2 * (1 - 0.841344746068543), 1e-12);
  // The grid: multiples of 0.5 A, 20 A (= 4 sigma) beyond the interface.
  EXPECT_EQ(p.points.front().depth, -20.0);
  EXPECT_EQ(p.points.back().depth, 20.0);
  EXPECT_EQ(p.points.size(), 81u);
  EXPECT_NEAR(p.points.back().nuclear, 2 * (1 - 3.16712418e-5), 1e-12);  // Phi(4) at 4 sigma
}

TEST(DepthProfile, WithoutRoughnessTheInterfacesAreSteps) {
  // Layers of 48, 140 and 30 A on a substrate; all roughness 0.
  const DepthProfile p =
      depth_profile({{48, 4.5, 0, 0}, {140, 8.0, 5.0, 0}, {30, 3.0, 0, 0}, {0, 2.07, 0, 0}});
  ASSERT_EQ(p.interfaces.size(), 4u);
  EXPECT_EQ(p.interfaces[1], 48.0);
  EXPECT_EQ(p.interfaces[3], 218.0);  // the total thickness
  EXPECT_EQ(at(p, -0.5).nuclear, 0.0);
  EXPECT_EQ(at(p, 0.5).nuclear, 4.5);
  EXPECT_EQ(at(p, 47.5).nuclear, 4.5);
  EXPECT_EQ(at(p, 48.0).nuclear, 6.25);  // on the interface: half way
  EXPECT_EQ(at(p, 48.5).nuclear, 8.0);
  EXPECT_EQ(at(p, 48.5).magnetic, 5.0);
  EXPECT_EQ(at(p, 188.5).magnetic, 0.0);
  EXPECT_EQ(at(p, 218.5).nuclear, 2.07);
  EXPECT_EQ(p.points.back().depth, 238.0);
}

TEST(DepthProfile, EachInterfaceHasTheRoughnessOfTheMediumBelowIt) {
  // Layers of 40 A (4, roughness 2) and 40 A (8, roughness 5) on a substrate
  // (2, roughness 3).  One sigma below each interface its own error function
  // stands at Phi(1); the other interfaces are more than ten of their widths
  // away and contribute their full step or nothing, to 1e-15.
  const double phi1 = 0.841344746068543;
  const DepthProfile p = depth_profile({{40, 4.0, 0, 2.0}, {40, 8.0, 0, 5.0}, {0, 2.0, 0, 3.0}});
  ASSERT_EQ(p.interfaces.size(), 3u);
  EXPECT_NEAR(at(p, 2.0).nuclear, 4 * phi1, 1e-12);  // vacuum/4, sigma 2
  EXPECT_NEAR(at(p, -2.0).nuclear, 4 * (1 - phi1), 1e-12);
  EXPECT_NEAR(at(p, 45.0).nuclear, 4 + 4 * phi1, 1e-12);  // 4/8, sigma 5
  EXPECT_NEAR(at(p, 35.0).nuclear, 4 + 4 * (1 - phi1), 1e-12);
  EXPECT_NEAR(at(p, 83.0).nuclear, 8 - 6 * phi1, 1e-12);  // 8/2, sigma 3
  EXPECT_NEAR(at(p, 77.0).nuclear, 8 - 6 * (1 - phi1), 1e-12);
}

TEST(DepthProfile, TheGridReachesFourWidthsBeyondBothOuterInterfaces) {
  // The widest roughness (10 A) belongs to an inner interface; the grid
  // still reaches 40 A beyond the surface and beyond the last interface, where
  // the profile has reached the vacuum and the substrate.
  const DepthProfile p =
      depth_profile({{30, 5.0, 1.0, 1.0}, {25, 7.0, 0, 10.0}, {15, 3.0, 0, 2.0}, {0, 2.0, 0, 1.0}});
  EXPECT_EQ(p.interfaces.back(), 70.0);
  EXPECT_EQ(p.points.front().depth, -40.0);
  EXPECT_EQ(p.points.back().depth, 110.0);
  EXPECT_EQ(p.points.size(), 301u);
  // The 10 A interface lies 7 of its widths from the first point:
  // 2 Phi(-7) = 2.6e-12 of its step is still there.
  EXPECT_NEAR(p.points.front().nuclear, 0.0, 1e-11);
  EXPECT_NEAR(p.points.front().magnetic, 0.0, 1e-11);
  EXPECT_NEAR(p.points.back().nuclear, 2.0, 1e-11);
  EXPECT_NEAR(p.points.back().magnetic, 0.0, 1e-11);
  // Without roughness the margin is 20 A on both sides.
  const DepthProfile sharp = depth_profile({{30, 5.0, 0, 0}, {0, 2.0, 0, 0}});
  EXPECT_EQ(sharp.points.front().depth, -20.0);
  EXPECT_EQ(sharp.points.back().depth, 50.0);
}

TEST(DepthProfile, MagneticDensityIsNpTimesCosDeltaGamma) {
  // Layer 1: N_p 3 with <cos(delta_gamma)> 0; layer 2: N_p 4 with 0.5;
  // substrate non-magnetic.  Densities carried in 1e-6 A^-2 (SCALE 1e6).
  auto t = make_tables();
  t->nlay = 2;
  t->NPAR = 29;
  for (int i = 1; i <= t->NPAR; ++i) t->SCALE(i) = 1;
  for (int i : {2, 3, 4, 8, 9, 10, 13, 14, 15}) t->SCALE(i) = 1e6;
  const double layers[2][6] = {{20, 6.0, 0, 3.0, 0.0, 2.0}, {30, 5.0, 0, 4.0, 0.5, 2.0}};
  for (int k = 0; k < 2; ++k)
    for (int j = 0; j < 6; ++j) t->PARAM(6 * k + 1 + j) = layers[k][j];
  t->PARAM(13) = 2.07;  // substrate Re{Nb}
  t->PARAM(16) = 1.0;   // substrate <cos(delta_gamma)>, with N_p 0
  const std::vector<ProfileMedium> media = profile_media(*t, t->PARAM);
  ASSERT_EQ(media.size(), 3u);
  EXPECT_EQ(media[1].magnetic, 2.0);
  EXPECT_DOUBLE_EQ(media[0].nuclear, 6.0);
  const DepthProfile p = depth_profile(media);
  // Far from the magnetic layer's interfaces (8 sigma = 16 A) the non-magnetic
  // media are exactly zero.
  EXPECT_EQ(at(p, -17.0).magnetic, 0.0);
  EXPECT_EQ(at(p, 2.0).magnetic, 0.0);
  EXPECT_EQ(at(p, 67.0).magnetic, 0.0);
  EXPECT_NEAR(at(p, 35.0).magnetic, 2.0, 1e-12);
  EXPECT_EQ(p.interfaces.back(), 50.0);
}

}  // namespace
}  // namespace tessaline
