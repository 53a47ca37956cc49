// Parallel, cached evaluation of S, G and Z: see parallel_sgz.hpp.
#include "fit/parallel_sgz.hpp"

#include <cassert>

#include "fit/difference_step.hpp"

namespace tessaline {

ParallelSGZ::ParallelSGZ(const Tables& t, int threads) : npoint_(t.npoint) {
  nthreads_ = threads > 0 ? threads : static_cast<int>(std::thread::hardware_concurrency());
  if (nthreads_ < 1) nthreads_ = 1;
  workers_.resize(static_cast<std::size_t>(nthreads_));
  for (Worker& w : workers_) {
    w.PARAM = std::make_unique<ParamVector>();
    w.optics.prepare(t);
  }
  groups_.build(t);
  for (int p = 1; p <= npoint_; ++p) {
    if (groups_.previous(p) == 0) leaders_.push_back(p);
  }
  for (int i = 1; i <= t.NPAR; ++i) {
    if (t.STEPLIM(i) > 0.0) free_index_.push_back(i);
  }
  nfree_ = static_cast<int>(free_index_.size());
  const std::size_t points = static_cast<std::size_t>(npoint_);
  D_.assign(points * free_index_.size(), 0.0);
  f_.assign(points, 0.0);
  channel_.assign(points + 1, 0);

  // Rows of Z per thread, with about equal numbers of elements.
  row_begin_.assign(static_cast<std::size_t>(nthreads_) + 1, 1);
  const double total = 0.5 * nfree_ * (nfree_ + 1.0);
  int j = 1;
  for (int id = 1; id <= nthreads_; ++id) {
    const double target = total * id / nthreads_;
    while (j <= nfree_ && 0.5 * j * (j + 1.0) <= target) ++j;
    row_begin_[static_cast<std::size_t>(id)] = id == nthreads_ ? nfree_ + 1 : j;
  }

  for (int id = 1; id < nthreads_; ++id) pool_.emplace_back([this, id] { thread_main(id); });
  // Return with every thread started and parked, so that nothing of the thread
  // start-up happens during the fit.
  std::unique_lock<std::mutex> lk(mu_);
  done_cv_.wait(lk, [&] { return parked_ == nthreads_ - 1; });
}

bool ParallelSGZ::set_up_for(const Tables& t, int NPAR) const {
  if (t.npoint != npoint_) return false;
  std::size_t n = 0;
  for (int i = 1; i <= NPAR; ++i) {
    if (t.STEPLIM(i) <= 0.0) continue;
    if (n == free_index_.size() || free_index_[n] != i) return false;
    ++n;
  }
  return n == free_index_.size();
}

ParallelSGZ::~ParallelSGZ() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    quit_ = true;
  }
  start_cv_.notify_all();
  for (std::thread& th : pool_) th.join();
}

void ParallelSGZ::thread_main(int id) {
  long seen = 0;
  {
    std::lock_guard<std::mutex> lk(mu_);
    ++parked_;
  }
  done_cv_.notify_one();
  for (;;) {
    Phase phase;
    {
      std::unique_lock<std::mutex> lk(mu_);
      start_cv_.wait(lk, [&] { return quit_ || generation_ != seen; });
      if (quit_) return;
      seen = generation_;
      phase = phase_;
    }
    work(id, phase);
    {
      std::lock_guard<std::mutex> lk(mu_);
      if (--running_ == 0) done_cv_.notify_one();
    }
  }
}

void ParallelSGZ::run_all(Phase phase) {
  {
    std::lock_guard<std::mutex> lk(mu_);
    phase_ = phase;
    running_ = nthreads_ - 1;
    ++generation_;
  }
  start_cv_.notify_all();
  work(0, phase);
  std::unique_lock<std::mutex> lk(mu_);
  done_cv_.wait(lk, [&] { return running_ == 0; });
}

void ParallelSGZ::work(int id, Phase phase) {
  if (phase == Phase::kPoints) {
    points_phase(id);
  } else {
    rows_phase(id);
  }
}

void ParallelSGZ::points_phase(int id) {
  Worker& w = workers_[static_cast<std::size_t>(id)];
  Tables& t = *t_;
  ParamVector& P = *w.PARAM;
  const std::size_t nf = static_cast<std::size_t>(nfree_);
  const int nleaders = static_cast<int>(leaders_.size());
  for (;;) {
    const int q = next_leader_.fetch_add(1, std::memory_order_relaxed);
    if (q >= nleaders) return;
    // The points of one angle: the leader, then the later points of its group.
    const int leader = leaders_[static_cast<std::size_t>(q)];
    double f0[4];
    w.optics.evaluate(t, P, point_angle(t, leader), point_resolution(t, leader), f0);
    for (int p = leader; p != 0; p = groups_.next(p))
      f_[static_cast<std::size_t>(p - 1)] = f0[channel_[static_cast<std::size_t>(p)]];
    for (std::size_t n = 0; n < nf; ++n) {
      const int i = free_index_[n];
      const double a0 = P(i);
      double h = 0.0;
      P(i) = difference_step(a0, t.STEPLIM(i), t.PARMIN(i), t.PARMAX(i), h);
      double fi[4];
      w.optics.displaced(t, P, i, fi);
      P(i) = a0;
      for (int p = leader; p != 0; p = groups_.next(p)) {
        const int c = channel_[static_cast<std::size_t>(p)];
        const double sigma = t.POINTS(1 + (p - 1) * t.nvalues + 1);
        const double deriv = (fi[c] - f0[c]) / h;
        D_[static_cast<std::size_t>(p - 1) * nf + n] = deriv / sigma;
      }
    }
  }
}

void ParallelSGZ::rows_phase(int id) {
  const int j_begin = row_begin_[static_cast<std::size_t>(id)];
  const int j_end = row_begin_[static_cast<std::size_t>(id) + 1];
  if (j_begin >= j_end) return;
  double* Z = fs_->Z.data();  // Z(L) at Z[L - 1]
  for (int q = 0; q < npoint_; ++q) {
    const double* D = D_.data() + static_cast<std::size_t>(q) * static_cast<std::size_t>(nfree_);
    long L = packed(j_begin, 1);
    for (int j = j_begin; j < j_end; ++j) {
      const double Dj = D[j - 1];
      for (int kk = 1; kk <= j; ++kk) {
        Z[L - 1] = Z[L - 1] + Dj * D[kk - 1];
        ++L;
      }
    }
  }
}

void ParallelSGZ::SGZ(Tables& t, FitState& fs, [[maybe_unused]] int NPAR, double& S) {
  assert(set_up_for(t, NPAR));
  t_ = &t;
  fs_ = &fs;
  // A channel code the model does not know stops the run, as FUNCT would at the
  // first such point.
  for (int p = 1; p <= npoint_; ++p) {
    const int c = channel_of(point_code(t, p));
    if (c == 0) throw RunStop("X(2) wrong!", kExitStop);
    channel_[static_cast<std::size_t>(p)] = c - 1;
  }
  for (Worker& w : workers_) *w.PARAM = t.PARAM;

  next_leader_.store(0, std::memory_order_relaxed);
  run_all(Phase::kPoints);
  const int nv = t.nvalues;
  for (int q = 0; q < npoint_; ++q) {
    const int k = 1 + q * nv;
    const double sigma = t.POINTS(k + 1);
    const double r = f_[static_cast<std::size_t>(q)] - t.POINTS(k);
    S = S + (r / sigma) * (r / sigma) / 2.0;
    const double* D = D_.data() + static_cast<std::size_t>(q) * static_cast<std::size_t>(nfree_);
    for (int n = 0; n < nfree_; ++n) {
      const int i = free_index_[static_cast<std::size_t>(n)];
      fs.G(i) = fs.G(i) + (r / sigma) * D[n];
    }
  }
  if (nfree_ > 0) run_all(Phase::kRows);
}

}  // namespace tessaline
