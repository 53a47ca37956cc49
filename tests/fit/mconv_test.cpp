// MCONV: in-place inversion of the packed curvature matrix and designation of
// the parameter that makes it singular.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "fit/fit.hpp"

namespace tessaline {
namespace {

class Mconv : public ::testing::Test {
 protected:
  void SetUp() override { fs_ = make_fit_state(); }

  // Marks the listed parameters active (WORKLIM > 0) and gives each a FACTOR
  // equal to the diagonal of its row, as LSQFIT stores it before inverting.
  void activate(const std::vector<int>& params, const std::vector<double>& packed_z) {
    for (int i : params) fs().WORKLIM(i) = 1.0;
    for (std::size_t L = 0; L < packed_z.size(); ++L) fs().Z(static_cast<int>(L) + 1) = packed_z[L];
    for (std::size_t r = 0; r < params.size(); ++r) {
      const int row = static_cast<int>(r) + 1;
      fs().FACTOR(params[r]) = fs().Z(static_cast<int>(packed(row, row)));
    }
  }
  FitState& fs() { return *fs_; }

 private:
  std::unique_ptr<FitState> fs_;
};

TEST_F(Mconv, EmptyMatrixTouchesNothing) {
  fs().Z(1) = 7.0;
  fs().WORKLIM(1) = 1.0;
  fs().FACTOR(1) = 3.0;
  MCONV(fs(), 0);
  EXPECT_EQ(fs().Z(1), 7.0);
  EXPECT_EQ(fs().WORKLIM(1), 1.0);
  EXPECT_EQ(fs().FACTOR(1), 3.0);
  EXPECT_EQ(fs().BADPAR, 0);
}

TEST_F(Mconv, OneByOneIsTheReciprocal) {
  activate({2}, {4.0});
  MCONV(fs(), 1);
  EXPECT_EQ(fs().BADPAR, 0);
  EXPECT_EQ(fs().Z(1), 0.25);  // 1/sqrt(4) squared is exact

  activate({2}, {3.0});
  MCONV(fs(), 1);
  EXPECT_EQ(fs().BADPAR, 0);
  // (1/sqrt(3))^2: two roundings away from 1/3.
  EXPECT_NEAR(fs().Z(1), 1.0 / 3.0, 4e-16);
}

TEST_F(Mconv, OneByOneZeroOrNegativeDesignatesTheParameter) {
  for (double z : {0.0, -1.0}) {
    SetUp();
    fs().WORKLIM(1) = 0.0;  // fixed: row 1 belongs to parameter 3
    activate({3}, {z});
    fs().FACTOR(3) = 5.0;
    MCONV(fs(), 1);
    EXPECT_EQ(fs().BADPAR, 3) << z;
    EXPECT_EQ(fs().WORKLIM(3), -2.0);
    EXPECT_EQ(fs().FACTOR(3), 0.0);
  }
}

TEST_F(Mconv, PivotNegligibleAgainstItsDiagonalDesignatesTheParameter) {
  // 1e-20 is far above the pivot floor n*1e-36 but not above 1e-36 times the
  // diagonal recorded in FACTOR.
  activate({1}, {1e-20});
  fs().FACTOR(1) = 1e17;
  MCONV(fs(), 1);
  EXPECT_EQ(fs().BADPAR, 1);
  EXPECT_EQ(fs().WORKLIM(1), -2.0);

  SetUp();
  activate({1}, {1e-20});
  fs().FACTOR(1) = 1e15;
  MCONV(fs(), 1);
  EXPECT_EQ(fs().BADPAR, 0);
  EXPECT_NEAR(fs().Z(1), 1e20, 1e5);
}

TEST_F(Mconv, SingularTwoByTwoDesignatesTheSecondParameter) {
  // Rows (1, 2) and (2, 4): the second pivot is 4 - 2*2 = 0 exactly.
  fs().WORKLIM(2) = 0.0;
  activate({1, 4}, {1.0, 2.0, 4.0});
  fs().WORKLIM(3) = -1.0;  // set aside on a bound: not a row
  MCONV(fs(), 2);
  EXPECT_EQ(fs().BADPAR, 4);
  EXPECT_EQ(fs().WORKLIM(4), -2.0);
  EXPECT_EQ(fs().FACTOR(4), 0.0);
  EXPECT_EQ(fs().WORKLIM(1), 1.0);
  EXPECT_EQ(fs().FACTOR(1), 1.0);
}

TEST_F(Mconv, TwoByTwoExample) {
  // [[4, 2], [2, 3]]^-1 = [[3, -2], [-2, 4]] / 8.
  activate({1, 2}, {4.0, 2.0, 3.0});
  MCONV(fs(), 2);
  ASSERT_EQ(fs().BADPAR, 0);
  EXPECT_NEAR(fs().Z(1), 0.375, 1e-15);
  EXPECT_NEAR(fs().Z(2), -0.25, 1e-15);
  EXPECT_NEAR(fs().Z(3), 0.5, 1e-15);
}

TEST_F(Mconv, DiagonalMatrixGivesReciprocals) {
  const int n = 6;
  std::vector<double> z(n * (n + 1) / 2, 0.0);
  std::vector<int> params;
  for (int i = 1; i <= n; ++i) {
    z[static_cast<std::size_t>(packed(i, i) - 1)] = std::ldexp(1.0, 2 * i - 6) * (i % 2 ? 1 : 9);
    params.push_back(2 * i);  // every other parameter active
  }
  activate(params, z);
  MCONV(fs(), n);
  ASSERT_EQ(fs().BADPAR, 0);
  for (int i = 1; i <= n; ++i) {
    for (int j = 1; j < i; ++j) EXPECT_EQ(fs().Z(static_cast<int>(packed(i, j))), 0.0);
    const double d = z[static_cast<std::size_t>(packed(i, i) - 1)];
    EXPECT_NEAR(fs().Z(static_cast<int>(packed(i, i))), 1.0 / d, 4e-16 / d) << i;
  }
}

// A = B B^T / n + I with B uniform in [-1, 1]: symmetric, positive definite,
// eigenvalues between 1 and about 2 + n/3.
TEST_F(Mconv, InverseTimesMatrixIsIdentity) {
  std::mt19937 rng(20240611);
  std::uniform_real_distribution<double> uni(-1.0, 1.0);
  for (int n : {2, 3, 5, 17, 64, 200}) {
    SetUp();
    std::vector<double> B(static_cast<std::size_t>(n * n));
    for (double& b : B) b = uni(rng);
    std::vector<double> A(static_cast<std::size_t>(n * n));
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) {
        double s = 0;
        for (int k = 0; k < n; ++k) s += B[i * n + k] * B[j * n + k];
        A[i * n + j] = s / n + (i == j ? 1.0 : 0.0);
      }
    std::vector<double> z;
    std::vector<int> params;
    for (int i = 1; i <= n; ++i) {
      params.push_back(i);
      for (int j = 1; j <= i; ++j) z.push_back(A[(i - 1) * n + (j - 1)]);
    }
    activate(params, z);
    MCONV(fs(), n);
    ASSERT_EQ(fs().BADPAR, 0) << n;
    auto inv = [&](int i, int j) {
      return i >= j ? fs().Z(static_cast<int>(packed(i, j)))
                    : fs().Z(static_cast<int>(packed(j, i)));
    };
    double worst = 0;
    for (int i = 1; i <= n; ++i)
      for (int j = 1; j <= n; ++j) {
        double s = 0;
        for (int k = 1; k <= n; ++k) s += inv(i, k) * A[(k - 1) * n + (j - 1)];
        worst = std::max(worst, std::fabs(s - (i == j ? 1.0 : 0.0)));
      }
    // Condition number below ~70: a few hundred roundings of that size.
    EXPECT_LT(worst, 1e-12) << "n = " << n;
  }
}

TEST_F(Mconv, HugeElementOfInverseFactorDesignatesTheEarlierRow) {
  // Rows 2 and 3 form [[2^-70, 1], [1, 2^70 + 2^20]], positive definite
  // (determinant 2^-50) with pivots 2^-70 and 2^20, both well above the floors.
  // The element of L^-1 in row 3, column 2 is -2^70 * 2^-10 = -2^60, beyond
  // sqrt(1e36/3) = 5.8e17, so the parameter of row 2 is designated.
  fs().WORKLIM(2) = 0.0;
  fs().WORKLIM(4) = -1.0;
  activate({1, 3, 5},
           {1.0, 0.0, std::ldexp(1.0, -70), 0.0, 1.0, std::ldexp(1.0, 70) + std::ldexp(1.0, 20)});
  MCONV(fs(), 3);
  EXPECT_EQ(fs().BADPAR, 3);
  EXPECT_EQ(fs().WORKLIM(3), -2.0);
  EXPECT_EQ(fs().FACTOR(3), 0.0);
  EXPECT_EQ(fs().WORKLIM(5), 1.0);
  EXPECT_NE(fs().FACTOR(5), 0.0);

  // The same pair with a milder coupling inverts.
  SetUp();
  activate({1, 2, 3},
           {1.0, 0.0, std::ldexp(1.0, -20), 0.0, 1.0, std::ldexp(1.0, 20) + std::ldexp(1.0, 20)});
  MCONV(fs(), 3);
  EXPECT_EQ(fs().BADPAR, 0);
}

// MCONV reads columns through a work row; the element-by-element walk is the
// reference.  Same bits for random positive-definite matrices (active parameters
// spread over the index range), for nearly dependent ones, and the same
// designation, WORKLIM, FACTOR and partly transformed Z for failing ones.
TEST(MconvFast, SameBitsAsTheElementByElementReference) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  auto ref = make_fit_state();
  auto fast = make_fit_state();
  for (int n : {1, 2, 3, 17, 64, 150}) {
    for (int kind = 0; kind < 3; ++kind) {
      // kind 0: well conditioned; 1: two nearly equal rows; 2: a zero row.
      std::vector<double> B(static_cast<std::size_t>(n * n));
      for (double& b : B) b = u(rng);
      if (kind == 1 && n > 2) {
        for (int c = 0; c < n; ++c)
          B[static_cast<std::size_t>(n + c)] = B[static_cast<std::size_t>(c)] * (1 + 1e-13);
      }
      if (kind == 2 && n > 2) {
        for (int c = 0; c < n; ++c) B[static_cast<std::size_t>(2 * n + c)] = 0.0;
      }
      for (FitState* fs : {ref.get(), fast.get()}) {
        fs->BADPAR = 0;
        for (int i = 1; i <= 2 * n + 1; ++i) fs->WORKLIM(i) = (i % 2 == 0) ? 1.0 : 0.0;
        for (int i = 1; i <= n; ++i) {
          for (int j = 1; j <= i; ++j) {
            // A = B B^T (+ n on the diagonal when well conditioned).
            double a = 0.0;
            for (int c = 0; c < n; ++c)
              a += B[static_cast<std::size_t>((i - 1) * n + c)] *
                   B[static_cast<std::size_t>((j - 1) * n + c)];
            if (kind == 0 && i == j) a += n;
            fs->Z(static_cast<int>(packed(i, j))) = a;
          }
          fs->FACTOR(2 * i) = fs->Z(static_cast<int>(packed(i, i)));
        }
      }
      mconv_reference(*ref, n);
      MCONV(*fast, n);
      SCOPED_TRACE(testing::Message() << "n " << n << " kind " << kind);
      EXPECT_EQ(ref->BADPAR, fast->BADPAR);
      const std::size_t m = static_cast<std::size_t>(packed(n, n));
      EXPECT_EQ(std::memcmp(ref->Z.data(), fast->Z.data(), m * sizeof(double)), 0);
      const std::size_t np = static_cast<std::size_t>(2 * n + 1) * sizeof(double);
      EXPECT_EQ(std::memcmp(ref->WORKLIM.data(), fast->WORKLIM.data(), np), 0);
      EXPECT_EQ(std::memcmp(ref->FACTOR.data(), fast->FACTOR.data(), np), 0);
    }
  }
}

}  // namespace
}  // namespace tessaline
