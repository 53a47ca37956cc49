// The fast evaluation of the objective, gradient and curvature matrix.
//
// It gives the same S, G and Z, bit for bit, as the straightforward SGZ: every
// model value is the one FUNCT returns (cached optics, model/point_optics.hpp),
// every derivative is formed with the same difference step, and S, G and every
// element of Z receive the same terms in the same order (points in table order).
// What differs is where the work happens:
//  - the points that share a glancing angle (model/angle_groups.hpp) share one
//    evaluation of the optics, undisplaced and for every displaced parameter; a
//    point takes its channel's value from it;
//  - each displaced parameter recomputes only the optics it changes;
//  - the distinct angles are shared among all hardware threads, each with its own
//    copy of the parameter vector and its own caches;
//  - once the model values and derivatives of all points are at hand, S and G
//    are summed on the calling thread in point order, and the rows of Z are
//    shared among the threads, each row summed over the points in order.
// Threads, caches, the groups of angles and the derivative rows (every point,
// every free parameter) are set up once by the constructor, for the points and
// the free parameters of that time; SGZ allocates nothing.  The run builds it
// after the points are excluded, and LSQFIT never frees a parameter (it holds
// or sets aside through its working limits only), so both stay as they were.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <vector>

#include "fit/fit.hpp"
#include "fit/worker_pool.hpp"
#include "model/angle_groups.hpp"
#include "model/point_optics.hpp"

namespace tessaline {

// The free parameters that the derivative rows cover: column n displaces slot
// slot[n] of the model's parameter vector, by the forward-difference step that
// the step limit and the bounds of slot limit[n] of the minimizer's tables give.
// For the program's own fit both are the free parameters of the run's tables.
struct DerivativeColumns {
  const int* slot = nullptr;
  const int* limit = nullptr;
  std::size_t n = 0;
};

// The model values and the derivative rows of the points that share the angle
// of `leader` (the first point of its group): f[p - 1] = FUNCT's value of point
// p of t at P, and D[(p - 1) * cols.n + n] = its derivative by column n over
// the point's error bar, formed exactly as ARITHM and SGZ form them.  `limits`
// holds the minimizer's step limits and bounds; channel[p] is the channel index
// 0..3 of point p.  P is displaced one column at a time and left as found.
void angle_group_rows(const Tables& t, const Tables& limits, const DerivativeColumns& cols,
                      const AngleGroups& groups, const int* channel, int leader, ParamVector& P,
                      PointOptics& optics, double* f, double* D);

class ParallelSGZ : public FastSGZ, private WorkerPool::Work {
 public:
  // Sets up for the run's tables (layers, kernel, points); threads = 0 takes
  // every hardware thread.
  explicit ParallelSGZ(const Tables& t, int threads = 0);
  ~ParallelSGZ() override;
  ParallelSGZ(const ParallelSGZ&) = delete;
  ParallelSGZ& operator=(const ParallelSGZ&) = delete;

  int threads() const { return pool_.size(); }

  // Adds to S, fs.G and fs.Z exactly what SGZ adds.  t holds the points and
  // the free parameters (STEPLIM > 0) of the constructor's tables.
  void SGZ(Tables& t, FitState& fs, int NPAR, double& S) override;

 private:
  struct Worker {
    std::unique_ptr<ParamVector> PARAM;
    PointOptics optics;
  };
  enum class Phase { kPoints, kRows };

  void work(int id) override;  // the current phase on thread id
  void points_phase(int id);
  void rows_phase(int id);
  // The points and the free parameters of t are those set up for.
  bool set_up_for(const Tables& t, int NPAR) const;

  WorkerPool pool_;
  std::vector<Worker> workers_;

  AngleGroups groups_;

  // Set up by the constructor.
  int npoint_ = 0;
  int nfree_ = 0;
  std::vector<int> leaders_;     // first point of each distinct angle
  std::vector<int> free_index_;  // the free parameters, in order
  std::vector<int> row_begin_;   // rows of Z per thread
  std::vector<double> D_;        // weighted compacted derivatives, nfree per point
  std::vector<double> f_;        // model values
  std::vector<int> channel_;     // channel index 0..3 of every point

  // Work of the current call.
  Tables* t_ = nullptr;
  FitState* fs_ = nullptr;
  Phase phase_ = Phase::kPoints;
  std::atomic<int> next_leader_{0};
};

}  // namespace tessaline
