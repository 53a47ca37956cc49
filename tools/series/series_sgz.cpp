// The joint evaluation of S, G and Z over the sets of a series: see
// series_sgz.hpp.
#include "tools/series/series_sgz.hpp"

#include <algorithm>
#include <cmath>

#include "fit/difference_step.hpp"

namespace tessaline::series {

SeriesSGZ::SeriesSGZ(Series& s, int threads) : s_(s), pool_(threads), nj_(s.joint->NPAR) {
  const int nthreads = pool_.size();
  std::size_t points = 0, derivatives = 0;
  const Tables* widest = s.sets.front().t.get();  // the largest kernel sizes the optics
  parts_.resize(s.sets.size());
  for (std::size_t k = 0; k < parts_.size(); ++k) {
    Part& p = parts_[k];
    const SeriesSet& set = s.sets[k];
    p.t = set.t.get();
    for (int i = 1; i <= p.t->NPAR; ++i) {
      const int j = set.joint[static_cast<std::size_t>(i)];
      if (j > 0) p.joint.push_back(j);
    }
    std::sort(p.joint.begin(), p.joint.end());
    for (const int j : p.joint) p.slot.push_back(s.slots[static_cast<std::size_t>(j - 1)].slot);
    p.groups.build(*p.t);
    const int n = p.t->npoint;
    p.channel.assign(static_cast<std::size_t>(n) + 1, 0);
    for (int q = 1; q <= n; ++q) {
      const int c = channel_of(point_code(*p.t, q));
      if (c == 0) p.bad_code = true;
      p.channel[static_cast<std::size_t>(q)] = c - 1;
      if (p.groups.previous(q) == 0) items_.push_back({static_cast<int>(k), q});
    }
    p.point_at = points;
    p.D_at = derivatives;
    points += static_cast<std::size_t>(n);
    derivatives += static_cast<std::size_t>(n) * p.joint.size();
    if (p.t->j0 > widest->j0) widest = p.t;
  }
  f_.assign(points, 0.0);
  rs_.assign(points, 0.0);
  D_.assign(derivatives, 0.0);
  h_.assign(static_cast<std::size_t>(nj_) + 1, 0.0);
  row_.assign(static_cast<std::size_t>(nj_) + 1, 0.0);
  set_S_.assign(parts_.size(), 0.0);

  workers_.resize(static_cast<std::size_t>(nthreads));
  for (Worker& w : workers_) {
    w.P = std::make_unique<ParamVector>();
    w.optics.prepare(*widest);
    w.j0 = widest->j0;
  }

  // Rows of Z per thread, with about equal numbers of elements of the whole
  // triangle; within each set, the columns whose joint index falls in them.
  row_begin_.assign(static_cast<std::size_t>(nthreads) + 1, 1);
  const double total = 0.5 * nj_ * (nj_ + 1.0);
  int j = 1;
  for (int id = 1; id <= nthreads; ++id) {
    const double target = total * id / nthreads;
    while (j <= nj_ && 0.5 * j * (j + 1.0) <= target) ++j;
    row_begin_[static_cast<std::size_t>(id)] = id == nthreads ? nj_ + 1 : j;
  }
  for (int id = 0; id < nthreads; ++id) {
    for (const Part& p : parts_) {
      const auto column = [&p](int row) {
        return static_cast<int>(std::lower_bound(p.joint.begin(), p.joint.end(), row) -
                                p.joint.begin());
      };
      first_column_.push_back(column(row_begin_[static_cast<std::size_t>(id)]));
      end_column_.push_back(column(row_begin_[static_cast<std::size_t>(id) + 1]));
    }
  }
}

void SeriesSGZ::work(int id) {
  if (phase_ == Phase::kPoints) {
    points_phase(id);
  } else {
    rows_phase(id);
  }
}

void SeriesSGZ::points_phase(int id) {
  Worker& w = workers_[static_cast<std::size_t>(id)];
  const int nitems = static_cast<int>(items_.size());
  for (;;) {
    const int q = next_item_.fetch_add(1, std::memory_order_relaxed);
    if (q >= nitems) return;
    const Item& item = items_[static_cast<std::size_t>(q)];
    const Part& p = parts_[static_cast<std::size_t>(item.part)];
    if (w.part != item.part) {
      // The items come set by set, so a thread changes sets a few times per
      // evaluation at most; the optics is prepared again only for another
      // kernel size, within the storage of the largest.
      w.part = item.part;
      *w.P = p.t->PARAM;
      if (w.j0 != p.t->j0) {
        w.optics.prepare(*p.t);
        w.j0 = p.t->j0;
      }
    }
    const DerivativeColumns cols{p.slot.data(), p.joint.data(), p.slot.size()};
    angle_group_rows(*p.t, *t_, cols, p.groups, p.channel.data(), item.leader, *w.P, w.optics,
                     f_.data() + p.point_at, D_.data() + p.D_at);
  }
}

void SeriesSGZ::rows_phase(int id) {
  double* Z = fs_->Z.data();  // Z(L) at Z[L - 1]
  const std::size_t nparts = parts_.size();
  for (std::size_t k = 0; k < nparts; ++k) {
    const Part& p = parts_[k];
    const int a_begin = first_column_[static_cast<std::size_t>(id) * nparts + k];
    const int a_end = end_column_[static_cast<std::size_t>(id) * nparts + k];
    if (a_begin >= a_end) continue;
    const std::size_t nf = p.joint.size();
    const int* J = p.joint.data();
    for (int q = 0; q < p.t->npoint; ++q) {
      const double* D = D_.data() + p.D_at + static_cast<std::size_t>(q) * nf;
      for (int a = a_begin; a < a_end; ++a) {
        const double Da = D[a];
        const long row = packed(J[a], 0) - 1;  // Z(packed(J[a], j)) at Z[row + j]
        for (int b = 0; b <= a; ++b) Z[row + J[b]] = Z[row + J[b]] + Da * D[b];
      }
    }
  }
}

void SeriesSGZ::sum_full_rows(Tables& t, FitState& fs) {
  for (int j = 1; j <= nj_; ++j) {
    difference_step(t.PARAM(j), t.STEPLIM(j), t.PARMIN(j), t.PARMAX(j),
                    h_[static_cast<std::size_t>(j)]);
  }
  for (const Part& p : parts_) {
    const Tables& T = *p.t;
    const std::size_t nf = p.joint.size();
    for (int q = 0; q < T.npoint; ++q) {
      const double f = f_[p.point_at + static_cast<std::size_t>(q)];
      const double sigma = T.POINTS(1 + q * T.nvalues + 1);
      // Another set's parameter leaves the point's model value as it is.
      for (int j = 1; j <= nj_; ++j) {
        row_[static_cast<std::size_t>(j)] = (f - f) / h_[static_cast<std::size_t>(j)] / sigma;
      }
      const double* D = D_.data() + p.D_at + static_cast<std::size_t>(q) * nf;
      for (std::size_t n = 0; n < nf; ++n) row_[static_cast<std::size_t>(p.joint[n])] = D[n];
      const double rs = rs_[p.point_at + static_cast<std::size_t>(q)];
      for (int j = 1; j <= nj_; ++j) fs.G(j) = fs.G(j) + rs * row_[static_cast<std::size_t>(j)];
      long L = 1;
      for (int j = 1; j <= nj_; ++j) {
        for (int kk = 1; kk <= j; ++kk) {
          fs.Z(static_cast<int>(L)) =
              fs.Z(static_cast<int>(L)) +
              row_[static_cast<std::size_t>(j)] * row_[static_cast<std::size_t>(kk)];
          ++L;
        }
      }
    }
  }
}

void SeriesSGZ::SGZ(Tables& t, FitState& fs, [[maybe_unused]] int NPAR, double& S) {
  t_ = &t;
  fs_ = &fs;
  // A channel code the model does not know stops the run, as FUNCT would.
  for (const Part& p : parts_) {
    if (p.bad_code) throw RunStop("X(2) wrong!", kExitStop);
  }
  s_.scatter(t.PARAM);
  for (Worker& w : workers_) w.part = -1;
  next_item_.store(0, std::memory_order_relaxed);
  phase_ = Phase::kPoints;
  pool_.run(*this);

  bool finite = true;
  for (std::size_t k = 0; k < parts_.size(); ++k) {
    const Part& p = parts_[k];
    const Tables& T = *p.t;
    double Sk = 0.0;
    for (int q = 0; q < T.npoint; ++q) {
      const int kk = 1 + q * T.nvalues;
      const double sigma = T.POINTS(kk + 1);
      const double r = f_[p.point_at + static_cast<std::size_t>(q)] - T.POINTS(kk);
      const double rs = r / sigma;
      S = S + rs * rs / 2.0;
      Sk = Sk + rs * rs / 2.0;
      rs_[p.point_at + static_cast<std::size_t>(q)] = rs;
      finite = finite && std::isfinite(rs);
    }
    set_S_[k] = Sk;
  }
  for (const double d : D_) finite = finite && std::isfinite(d);
  last_S_ = S;

  if (!finite) {
    sum_full_rows(t, fs);
    return;
  }
  for (const Part& p : parts_) {
    const std::size_t nf = p.joint.size();
    for (int q = 0; q < p.t->npoint; ++q) {
      const double rs = rs_[p.point_at + static_cast<std::size_t>(q)];
      const double* D = D_.data() + p.D_at + static_cast<std::size_t>(q) * nf;
      for (std::size_t n = 0; n < nf; ++n) fs.G(p.joint[n]) = fs.G(p.joint[n]) + rs * D[n];
    }
  }
  if (nj_ > 0) {
    phase_ = Phase::kRows;
    pool_.run(*this);
  }
}

}  // namespace tessaline::series
