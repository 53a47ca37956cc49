// Parallel, cached evaluation of S, G and Z: see parallel_sgz.hpp.
#include "fit/parallel_sgz.hpp"

#include <cassert>

#include "fit/difference_step.hpp"

namespace tessaline {

void angle_group_rows(const Tables& t, const Tables& limits, const DerivativeColumns& cols,
                      const AngleGroups& groups, const int* channel, int leader, ParamVector& P,
                      PointOptics& optics, double* f, double* D) {
  const std::size_t nf = cols.n;
  double f0[4];
  optics.evaluate(t, P, point_angle(t, leader), point_resolution(t, leader), f0);
  for (int p = leader; p != 0; p = groups.next(p)) f[p - 1] = f0[channel[p]];
  for (std::size_t n = 0; n < nf; ++n) {
    const int i = cols.slot[n];
    const int l = cols.limit[n];
    const double a0 = P(i);
    double h = 0.0;
    P(i) = difference_step(a0, limits.STEPLIM(l), limits.PARMIN(l), limits.PARMAX(l), h);
    double fi[4];
    optics.displaced(t, P, i, fi);
    P(i) = a0;
    for (int p = leader; p != 0; p = groups.next(p)) {
      const int c = channel[p];
      const double sigma = t.POINTS(1 + (p - 1) * t.nvalues + 1);
      const double deriv = (fi[c] - f0[c]) / h;
      D[static_cast<std::size_t>(p - 1) * nf + n] = deriv / sigma;
    }
  }
}

ParallelSGZ::ParallelSGZ(const Tables& t, int threads) : pool_(threads), npoint_(t.npoint) {
  const int nthreads = pool_.size();
  workers_.resize(static_cast<std::size_t>(nthreads));
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
  row_begin_.assign(static_cast<std::size_t>(nthreads) + 1, 1);
  const double total = 0.5 * nfree_ * (nfree_ + 1.0);
  int j = 1;
  for (int id = 1; id <= nthreads; ++id) {
    const double target = total * id / nthreads;
    while (j <= nfree_ && 0.5 * j * (j + 1.0) <= target) ++j;
    row_begin_[static_cast<std::size_t>(id)] = id == nthreads ? nfree_ + 1 : j;
  }
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

ParallelSGZ::~ParallelSGZ() = default;

void ParallelSGZ::work(int id) {
  if (phase_ == Phase::kPoints) {
    points_phase(id);
  } else {
    rows_phase(id);
  }
}

void ParallelSGZ::points_phase(int id) {
  Worker& w = workers_[static_cast<std::size_t>(id)];
  const DerivativeColumns cols{free_index_.data(), free_index_.data(), free_index_.size()};
  const int nleaders = static_cast<int>(leaders_.size());
  for (;;) {
    const int q = next_leader_.fetch_add(1, std::memory_order_relaxed);
    if (q >= nleaders) return;
    angle_group_rows(*t_, *t_, cols, groups_, channel_.data(),
                     leaders_[static_cast<std::size_t>(q)], *w.PARAM, w.optics, f_.data(),
                     D_.data());
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
  phase_ = Phase::kPoints;
  pool_.run(*this);
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
  if (nfree_ > 0) {
    phase_ = Phase::kRows;
    pool_.run(*this);
  }
}

}  // namespace tessaline
