// The joint evaluation of S, G and Z against the straightforward one over the
// union of the sets' points: the same bits (memcmp) for sets with different
// kernels, a point list with a resolution for every point and channels of
// unequal length, parameters on their bounds, any number of threads, and
// points whose residual or derivative is not finite; one set with nothing
// shared gives the program's own fast evaluation; each set's part of S is
// what its own points give.
#include "tools/series/series_sgz.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "fit/difference_step.hpp"
#include "fit/parallel_sgz.hpp"
#include "tests/fit/fit_test_support.hpp"
#include "tests/series/series_fixture.hpp"

namespace tessaline::series {
namespace {

using testing::Film;
using testing::ScratchDir;

// The straightforward joint evaluation: one table of the points of every set
// in order, the joint vector as its parameters, and a model function that
// evaluates a point (channel code c + 4k for channel c of set k) with the
// tables of its set and the joint values.
const Series* g_series = nullptr;
std::vector<std::unique_ptr<ParamVector>> g_param;  // each set's parameters

double joint_model(const Tables&, const ParamVector& PARAM, ModelWork& w, const PointX& X) {
  const int code = static_cast<int>(X(2)) - 1;
  const std::size_t k = static_cast<std::size_t>(code / 4);
  const SeriesSet& set = g_series->sets[k];
  ParamVector& P = *g_param[k];
  for (int i = 1; i <= set.t->NPAR; ++i) {
    const int j = set.joint[static_cast<std::size_t>(i)];
    if (j > 0) P(i) = PARAM(j);
  }
  PointX Y;
  Y(1) = X(1);
  Y(2) = code % 4 + 1;
  Y(3) = X(3);
  return FUNCT(*set.t, P, w, Y);
}

std::unique_ptr<Tables> union_tables(const Series& s) {
  g_series = &s;
  g_param.clear();
  auto U = make_tables();
  U->nvalues = 5;
  for (std::size_t k = 0; k < s.sets.size(); ++k) {
    const Tables& t = *s.sets[k].t;
    g_param.push_back(std::make_unique<ParamVector>(t.PARAM));
    for (int p = 1; p <= t.npoint; ++p) {
      const int from = 1 + (p - 1) * t.nvalues;
      const int to = 1 + U->npoint * 5;
      U->POINTS(to) = t.POINTS(from);
      U->POINTS(to + 1) = t.POINTS(from + 1);
      U->POINTS(to + 2) = t.POINTS(from + 2);
      U->POINTS(to + 3) = t.POINTS(from + 3) + 4.0 * static_cast<double>(k);
      U->POINTS(to + 4) = t.nvalues > 4 ? t.POINTS(from + 4) : kEntryKernel;
      ++U->npoint;
    }
  }
  const Tables& J = *s.joint;
  U->NPAR = J.NPAR;
  U->PARAM = J.PARAM;
  U->STEPLIM = J.STEPLIM;
  U->PARMIN = J.PARMIN;
  U->PARMAX = J.PARMAX;
  return U;
}

using test::evaluate_sgz;
using test::expect_same_bits;
using test::Sums;

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// The joint evaluation for 1, 2 and 3 threads against the straightforward one.
void expect_joint_equals_straightforward(Series& s) {
  auto U = union_tables(s);
  const Sums ref = evaluate_sgz(*U, nullptr, joint_model);
  for (int threads : {1, 2, 3}) {
    SCOPED_TRACE(threads);
    SeriesSGZ fast(s, threads);
    expect_same_bits(evaluate_sgz(*s.joint, &fast), ref);
  }
}

// Three fields of the film: two classic data files with different kernels,
// and a point list whose every point has its own resolution and whose
// channels have different lengths; the start values away from the data's.
Series three_sets(const ScratchDir& dir, const std::vector<std::string>& more) {
  Film a, b, c;
  b.np = 4.0;
  b.cos_g = 0.6;
  b.j0 = 11;
  b.step = 0.05;
  b.sigma = 0.1;
  c.cos_g = 0.3;
  c.sin2 = 0.6;
  a.nn = b.nn = c.nn = 30;
  testing::write_field_sets(dir, {{"a", a}, {"b", b}, {"c", c}}, 7);
  std::array<std::vector<DataPoint>, 4> list;
  const MeasuredData m = read_measured_points(dir.file("c.dat"), c.nn);
  for (std::size_t ch = 0; ch < 4; ++ch) {
    for (std::size_t p = ch; p < m.channel[ch].size(); p += 1 + ch) {
      DataPoint q = m.channel[ch][p];
      q.resolution = 0.02 * q.theta;
      list[ch].push_back(q);
    }
  }
  write_point_list(dir.file("c.dat"), list);
  dir.write("field.series", testing::series_text({"a", "b", "c"}, more));
  Series s = load_series(read_series_file(dir.file("field.series")));
  for (int j = 1; j <= s.joint->NPAR; ++j) s.joint->PARAM(j) *= 1.0 + 0.01 * (j % 5);
  return s;
}

TEST(SeriesSGZ, SameBitsAsTheStraightforwardJointEvaluation) {
  ScratchDir dir;
  Series s = three_sets(dir, {"share 1 7 12 27"});
  ASSERT_EQ(s.joint->NPAR, 4 + 3 * 4);
  ASSERT_EQ(s.sets[2].t->nvalues, 5);
  expect_joint_equals_straightforward(s);
}

// Nothing shared: the joint matrix is block-diagonal, and its zeros must be
// those of the straightforward sums.
TEST(SeriesSGZ, NothingSharedAndEverythingShared) {
  ScratchDir dir;
  Series apart = three_sets(dir, {});
  ASSERT_EQ(apart.nshared, 0);
  expect_joint_equals_straightforward(apart);
  ScratchDir dir2;
  Series together = three_sets(dir2, {"share 1-35"});
  ASSERT_EQ(together.joint->NPAR, 8);
  expect_joint_equals_straightforward(together);
}

// A shared thickness on its upper bound and an own value on its lower bound
// turn their difference steps downward and upward.
TEST(SeriesSGZ, ParametersOnTheirBounds) {
  ScratchDir dir;
  Series s = three_sets(dir, {"share 1 7 12 27", "bound 7 100 150", "bound b:29 0 1e-3"});
  const int fe = s.sets[0].joint[7];
  const int bgr = s.sets[1].joint[29];
  s.joint->PARAM(fe) = s.joint->PARMAX(fe);
  s.joint->PARAM(bgr) = s.joint->PARMIN(bgr);
  double h = 0;
  difference_step(s.joint->PARAM(fe), s.joint->STEPLIM(fe), s.joint->PARMIN(fe),
                  s.joint->PARMAX(fe), h);
  ASSERT_LT(h, 0.0);
  expect_joint_equals_straightforward(s);
}

// A residual that overflows (an error bar of 1e-300 under a finite value), and
// a derivative that overflows under a residual of zero (an error bar of
// 1e-310 under the model's own value): the other sets' zeros then give NaN in
// the straightforward sums, and the joint evaluation must give them too.
TEST(SeriesSGZ, ResidualsAndDerivativesThatAreNotFinite) {
  for (int which : {0, 1}) {
    SCOPED_TRACE(which);
    ScratchDir dir;
    Series s = three_sets(dir, {"share 1 7 12 27"});
    s.scatter(s.joint->PARAM);
    Tables& t = *s.sets[1].t;
    const int p = 7;
    const int k = 1 + (p - 1) * t.nvalues;
    if (which == 0) {
      t.POINTS(k + 1) = 1e-300;
    } else {
      t.POINTS(k) = point_values(t, t.PARAM)[static_cast<std::size_t>(p - 1)];
      t.POINTS(k + 1) = 1e-310;
    }
    auto U = union_tables(s);
    const Sums ref = evaluate_sgz(*U, nullptr, joint_model);
    ASSERT_FALSE(std::isfinite(which == 0 ? ref.S : ref.Z[0] + ref.G[0]));
    SeriesSGZ fast(s, 2);
    expect_same_bits(evaluate_sgz(*s.joint, &fast), ref);
  }
}

// One set with nothing shared: the joint vector is the set's free parameters
// in order, and the joint evaluation gives the program's own fast evaluation
// of the set's tables.  With several sets, each set's part of S is the S of
// its own points alone.
TEST(SeriesSGZ, OneSetIsTheProgramsEvaluationAndEachPartOfSIsItsSets) {
  ScratchDir dir;
  testing::write_field_sets(dir, {{"a", Film{}}}, 3);
  dir.write("one.series", testing::series_text({"a"}));
  Series one = load_series(read_series_file(dir.file("one.series")));
  SeriesSGZ joint_fast(one, 2);
  const Sums joint = evaluate_sgz(*one.joint, &joint_fast);
  Tables& t = *one.sets[0].t;
  ParallelSGZ own_fast(t, 2);
  const Sums own = evaluate_sgz(t, &own_fast);
  EXPECT_EQ(std::memcmp(&joint.S, &own.S, sizeof own.S), 0);
  EXPECT_EQ(std::memcmp(&joint.S, &joint_fast.set_S()[0], sizeof own.S), 0);
  for (int i = 1; i <= t.NPAR; ++i) {
    const int j = one.sets[0].joint[static_cast<std::size_t>(i)];
    if (j == 0) continue;
    EXPECT_EQ(std::memcmp(&joint.G[static_cast<std::size_t>(j - 1)],
                          &own.G[static_cast<std::size_t>(i - 1)], sizeof(double)),
              0)
        << "slot " << i;
  }
  EXPECT_TRUE(same_bits(joint.Z, own.Z));

  ScratchDir dir3;
  Series s = three_sets(dir3, {"share 1 7 12 27"});
  SeriesSGZ fast(s, 2);
  const Sums all = evaluate_sgz(*s.joint, &fast);
  double sum = 0;
  for (std::size_t k = 0; k < s.sets.size(); ++k) {
    ParallelSGZ alone(*s.sets[k].t, 1);
    const Sums part = evaluate_sgz(*s.sets[k].t, &alone);
    EXPECT_EQ(std::memcmp(&part.S, &fast.set_S()[k], sizeof part.S), 0) << "set " << k;
    sum += part.S;
  }
  EXPECT_NEAR(sum, all.S, 1e-12 * all.S);
  EXPECT_EQ(fast.last_S(), all.S);
}

}  // namespace
}  // namespace tessaline::series
