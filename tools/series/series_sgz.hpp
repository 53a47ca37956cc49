// The joint evaluation of S, G and Z over the sets of a series, with the same
// bits as the straightforward SGZ over the union of their points.
//
// The straightforward evaluation of a joint fit takes the points of set 1,
// then those of set 2, ..., evaluates every point for every joint parameter
// displaced, and sums S, G and Z in that order.  A point depends only on the
// joint parameters of its own set (the shared ones and its own), so its
// derivative by any other is (f - f)/h/sigma, a zero: it adds nothing to G and
// Z as long as every other term is finite, since a sum that starts at +0 and
// adds a signed zero keeps its bits.  This evaluation therefore computes, for
// each set, the model values and derivative rows of its own points with the
// cached optics (angle_group_rows, one evaluation per distinct angle, the
// distinct angles of all sets shared among the threads), sums S over all
// points in order, G over each point's own columns, and each element of Z over
// the points of the sets that hold both its parameters, in order, the rows of
// Z shared among the threads.  When a residual or a derivative is not finite,
// the zeros of the other sets' parameters are not neutral (0 times infinity
// is NaN), and G and Z are summed over full rows, zeros included, as the
// straightforward evaluation does.
//
// Everything is sized by the constructor for the series' points and joint
// vector; SGZ allocates nothing.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "fit/fit.hpp"
#include "fit/parallel_sgz.hpp"
#include "fit/worker_pool.hpp"
#include "model/angle_groups.hpp"
#include "model/point_optics.hpp"
#include "tools/series/series.hpp"

namespace tessaline::series {

class SeriesSGZ : public FastSGZ, private WorkerPool::Work {
 public:
  // threads = 0 takes every hardware thread; the numbers do not depend on it.
  explicit SeriesSGZ(Series& s, int threads = 0);
  SeriesSGZ(const SeriesSGZ&) = delete;
  SeriesSGZ& operator=(const SeriesSGZ&) = delete;

  int threads() const { return pool_.size(); }

  // Adds to S, fs.G and fs.Z what SGZ over the union of the sets' points adds,
  // for the joint vector t (s.joint); the sets' PARAM receive its values.
  void SGZ(Tables& t, FitState& fs, int NPAR, double& S) override;

  // The objective of each set's own points at the last evaluation, each summed
  // from zero in point order (for one set, the bits of S), and that
  // evaluation's S.
  const std::vector<double>& set_S() const { return set_S_; }
  double last_S() const { return last_S_; }

 private:
  struct Part {
    Tables* t = nullptr;
    std::vector<int> slot;   // columns: the slot in the set's tables
    std::vector<int> joint;  // and the joint index, increasing
    AngleGroups groups;
    std::vector<int> channel;  // channel index 0..3 of point p, at [p]
    bool bad_code = false;     // a point has a channel code the model does not know
    std::size_t point_at = 0;  // first point in f_ and rs_
    std::size_t D_at = 0;      // first derivative in D_
  };
  struct Item {
    int part;
    int leader;
  };
  struct Worker {
    std::unique_ptr<ParamVector> P;
    PointOptics optics;
    int part = -1;
    int j0 = -1;  // kernel points the optics is prepared for
  };
  enum class Phase { kPoints, kRows };

  void work(int id) override;
  void points_phase(int id);
  void rows_phase(int id);
  void sum_full_rows(Tables& t, FitState& fs);

  Series& s_;
  WorkerPool pool_;
  std::vector<Part> parts_;
  std::vector<Item> items_;
  std::vector<Worker> workers_;
  std::vector<int> row_begin_;  // joint rows of Z per thread
  // first_column_[id * parts + k]: the first column of part k whose joint
  // index is in thread id's rows, and the one after the last.
  std::vector<int> first_column_, end_column_;
  int nj_ = 0;
  std::vector<double> f_, rs_, D_;
  std::vector<double> h_, row_;  // steps and one full row, for the sums over full rows
  std::vector<double> set_S_;
  double last_S_ = 0;

  Tables* t_ = nullptr;
  FitState* fs_ = nullptr;
  Phase phase_ = Phase::kPoints;
  std::atomic<int> next_item_{0};
};

}  // namespace tessaline::series
