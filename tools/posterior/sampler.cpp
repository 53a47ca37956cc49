// The sampler: see sampler.hpp.
//
// Threads: a pool of workers lives for the whole run.  The chains of a block
// of generations are handed out one generation at a time, each thread
// evaluating chi-square on its own ChiSquare (own parameter vector, own model
// storage).  What a chain computes depends only on its own stream, its own
// state and the archive, which no thread changes during a block.
#include "tools/posterior/sampler.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "tools/posterior/random.hpp"

namespace tessaline::posterior {

namespace {

std::size_t at(long i) { return static_cast<std::size_t>(i); }

constexpr int kArchiveEvery = 10;          // generations between additions to the archive
constexpr int kArchivePerParameter = 10;   // archive states at the start, per free parameter
constexpr int kMaxPairs = 3;               // delta: 1..3 pairs of archive states
constexpr double kUnitGammaRate = 0.1;     // proposals with gamma = 1
constexpr double kRelativeSpread = 0.05;   // e ~ U(-0.05, 0.05)
constexpr double kJitter = 1e-6;           // eps: this much of the start spread
constexpr int kAdaptEvery = 10;            // generations between updates of the CR probabilities
constexpr double kMinCrossover = 0.05;     // no CR value is ever left out entirely
constexpr std::uint64_t kArchiveStream = std::uint64_t{1} << 32;

// The threads meet twice per block of generations.  A block of a cheap model
// lasts a few milliseconds, so a thread that has to be woken by the system
// after every block would spend as long waiting as working: the waiting
// threads first spin for about a tenth of a millisecond, then sleep.
class Barrier {
 public:
  explicit Barrier(int n) : n_(n) {}
  void arrive_and_wait() {
    const unsigned phase = phase_.load(std::memory_order_acquire);
    if (arrived_.fetch_add(1, std::memory_order_acq_rel) + 1 == n_) {
      arrived_.store(0, std::memory_order_relaxed);
      phase_.store(phase + 1, std::memory_order_release);
      phase_.notify_all();
      return;
    }
    for (int i = 0; i < kSpins; ++i) {
      if (phase_.load(std::memory_order_acquire) != phase) return;
#if defined(__x86_64__)
      __builtin_ia32_pause();
#endif
    }
    while (phase_.load(std::memory_order_acquire) == phase)
      phase_.wait(phase, std::memory_order_acquire);
  }

 private:
  static constexpr int kSpins = 1000;
  const int n_;
  std::atomic<int> arrived_{0};
  std::atomic<unsigned> phase_{0};
};

// A draw of the start spread, reflected into the bounds.
void draw_start(const Problem& p, const StartSpread& s, RandomStream& r, double* x) {
  const int n = static_cast<int>(p.free.size());
  std::vector<double> u(at(n));
  for (double& v : u) v = r.normal();
  for (int k = 0; k < n; ++k) {
    const FreeParameter& f = p.free[at(k)];
    if (s.uniform[at(k)]) {
      x[k] = r.uniform(f.lower, f.upper);
      continue;
    }
    double v = s.center[at(k)];
    for (int b = 0; b < n; ++b) v += s.factor[at(k * n + b)] * u[at(b)];
    x[k] = reflect(v, f.lower, f.upper);
  }
}

// Everything one chain did in a generation.
struct Move {
  int crossover = 0;   // index of CR
  double jump = 0;     // squared jump in units of the start spread (0 when rejected)
  bool accepted = false;
};

class Run {
 public:
  Run(const Problem& p, const StartSpread& spread, const SamplerSettings& s)
      : p_(p), spread_(spread), s_(s), n_(static_cast<int>(p.free.size())) {
    nthreads_ = s.threads > 0 ? s.threads
                              : std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    nthreads_ = std::min(nthreads_, s.chains);
    if (!s.chi_square_override)
      for (int i = 0; i < nthreads_; ++i) chi2_.push_back(std::make_unique<ChiSquare>(p, s.path));
    const int N = s.chains;
    rng_.reserve(at(N));
    for (int c = 0; c < N; ++c) rng_.emplace_back(s.seed, static_cast<std::uint64_t>(c));
    x_.assign(at(N * n_), 0.0);
    proposal_.assign(at(N * n_), 0.0);
    chi_.assign(at(N), 0.0);

    RandomStream archive_rng(s.seed, kArchiveStream);
    const int m0 = std::max(kArchivePerParameter * n_, 2 * kMaxPairs + 2);
    archive_.assign(at(m0 * n_), 0.0);
    for (int a = 0; a < m0; ++a) draw_start(p, spread, archive_rng, &archive_[at(a * n_)]);
    archive_size_ = m0;
    for (int c = 0; c < N; ++c) draw_start(p, spread, rng_[at(c)], &x_[at(c * n_)]);
    crossover_ = {1.0 / 3, 1.0 / 3, 1.0 / 3};
  }

  SamplerResult run(const std::function<void(const SamplerStatus&, const Samples&)>& progress,
                    const std::function<bool()>& stop) {
    const auto t0 = std::chrono::steady_clock::now();
    const int N = s_.chains;
    SamplerResult r;
    r.threads = nthreads_;
    Samples& all = r.samples;
    all.n = n_;
    all.chains = N;
    const long total = s_.burn + s_.kept;
    block_x_.assign(at(kArchiveEvery * N * n_), 0.0);
    block_chi_.assign(at(kArchiveEvery * N), 0.0);
    block_moves_.assign(at(kArchiveEvery * N), {});

    // The start states' chi-square, in parallel like a block.
    run_block(0, 0);
    r.evaluations += N;

    std::array<double, 3> jump_sum{}, uses{};
    SamplerStatus status;
    status.total = total;
    status.burn = s_.burn;
    // Blocks of generations end where the archive grows: until then every
    // chain depends on nothing but its own state and stream.
    for (long g0 = 0; g0 < total;) {
      const long g1 = std::min(total, (g0 / kArchiveEvery + 1) * kArchiveEvery);
      run_block(g0, g1);
      const int len = static_cast<int>(g1 - g0);
      r.evaluations += len * N;
      for (int i = 0; i < len; ++i) {
        const long g = g0 + 1 + i;
        for (int c = 0; c < N; ++c) {
          const Move& m = block_moves_[at(c * kArchiveEvery + i)];
          r.accepted += m.accepted ? 1 : 0;
          if (g <= s_.burn) {
            jump_sum[at(m.crossover)] += m.jump;
            uses[at(m.crossover)] += 1;
          }
          const double* x = &block_x_[at((c * kArchiveEvery + i) * n_)];
          all.x.insert(all.x.end(), x, x + n_);
          all.chi2.push_back(block_chi_[at(c * kArchiveEvery + i)]);
        }
      }
      g0 = g1;
      if (g1 <= s_.burn && g1 % kAdaptEvery == 0) adapt_crossover(jump_sum, uses);
      if (g1 % kArchiveEvery == 0) {
        archive_.insert(archive_.end(), x_.begin(), x_.end());
        archive_size_ += N;
      }
      r.generations = g1;
      all.generations = g1;
      r.burn = std::min(g1, s_.burn);
      status.generation = g1;
      status.acceptance = static_cast<double>(r.accepted) / static_cast<double>(g1 * N);
      status.seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      if (progress) progress(status, all);
      if (stop && stop() && g1 < total) {
        r.interrupted = true;
        break;
      }
    }
    r.crossover = crossover_;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return r;
  }

  ~Run() {
    if (!pool_.empty()) {
      quit_ = true;
      start_->arrive_and_wait();
      for (std::thread& th : pool_) th.join();
    }
  }
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

 private:
  // Advances every chain from generation g0 to g1 on every thread (g0 = g1:
  // only the chi-square of the start states), then returns.
  void run_block(long g0, long g1) {
    block_begin_ = g0;
    block_end_ = g1;
    ready_.clear();
    for (int c = s_.chains - 1; c >= 0; --c) ready_.push_back(c);
    steps_.assign(at(s_.chains), 0);
    error_ = nullptr;
    if (nthreads_ > 1 && pool_.empty()) start_pool();
    if (nthreads_ > 1) {
      start_->arrive_and_wait();
      work(0);
      done_->arrive_and_wait();
    } else {
      work(0);
    }
    if (error_) std::rethrow_exception(error_);
  }

  void start_pool() {
    start_ = std::make_unique<Barrier>(nthreads_);
    done_ = std::make_unique<Barrier>(nthreads_);
    for (int id = 1; id < nthreads_; ++id) {
      pool_.emplace_back([this, id] {
        for (;;) {
          start_->arrive_and_wait();
          if (quit_) return;
          work(id);
          done_->arrive_and_wait();
        }
      });
    }
  }

  // Takes one generation of one chain at a time from the chains that are not
  // in another thread's hands, so that a thread the system holds back delays
  // the block by one evaluation at most; a thread that finds no chain ready
  // is done with the block (the chains still held are finished by their
  // holders).  The steps of a chain are taken in order, by whichever thread.
  void work(int id) {
    try {
      for (;;) {
        int c = -1;
        {
          const std::lock_guard<std::mutex> lock(ready_mu_);
          if (ready_.empty()) return;
          c = ready_.back();
          ready_.pop_back();
        }
        if (block_begin_ == block_end_) {
          chi_[at(c)] = chi_square(id, &x_[at(c * n_)]);
          continue;
        }
        const int i = steps_[at(c)]++;
        move(c, id, block_moves_[at(c * kArchiveEvery + i)]);
        std::copy(&x_[at(c * n_)], &x_[at(c * n_)] + n_,
                  &block_x_[at((c * kArchiveEvery + i) * n_)]);
        block_chi_[at(c * kArchiveEvery + i)] = chi_[at(c)];
        if (block_begin_ + i + 1 < block_end_) {
          const std::lock_guard<std::mutex> lock(ready_mu_);
          ready_.push_back(c);
        }
      }
    } catch (...) {
      const std::lock_guard<std::mutex> lock(error_mu_);
      if (!error_) error_ = std::current_exception();
    }
  }

  double chi_square(int thread, const double* x) {
    return s_.chi_square_override ? s_.chi_square_override(x) : (*chi2_[at(thread)])(x);
  }

  // One proposal of chain c, evaluated on `thread`, and its acceptance.
  void move(int c, int thread, Move& m) {
    RandomStream& r = rng_[at(c)];
    const int n = n_;
    double* x = &x_[at(c * n)];
    double* y = &proposal_[at(c * n)];

    const double u = r.uniform();
    m.crossover = u < crossover_[0] ? 0 : (u < crossover_[0] + crossover_[1] ? 1 : 2);
    const double CR = (m.crossover + 1) / 3.0;
    std::copy(x, x + n, y);
    int moved = 0;
    for (int k = 0; k < n; ++k) {
      const bool sel = r.uniform() < CR;
      y[k] = sel ? 1.0 : 0.0;  // marks for now
      moved += sel ? 1 : 0;
    }
    if (moved == 0) {
      y[r.below(n)] = 1.0;
      moved = 1;
    }
    const int pairs = 1 + r.below(kMaxPairs);
    const double gamma =
        r.uniform() < kUnitGammaRate ? 1.0 : 2.38 / std::sqrt(2.0 * pairs * moved);
    int pick[2 * kMaxPairs];
    for (int j = 0; j < 2 * pairs; ++j) {
      bool fresh;
      do {
        pick[j] = r.below(static_cast<int>(archive_size_));
        fresh = true;
        for (int i = 0; i < j; ++i) fresh = fresh && pick[i] != pick[j];
      } while (!fresh);
    }
    const double scale = (1.0 + r.uniform(-kRelativeSpread, kRelativeSpread)) * gamma;
    double jump = 0.0;
    for (int k = 0; k < n; ++k) {
      if (y[k] == 0.0) {
        y[k] = x[k];
        continue;
      }
      double diff = 0.0;
      for (int j = 0; j < pairs; ++j)
        diff += archive_[at(pick[2 * j] * n + k)] - archive_[at(pick[2 * j + 1] * n + k)];
      const double step = scale * diff + kJitter * spread_.sigma[at(k)] * r.normal();
      const FreeParameter& f = p_.free[at(k)];
      y[k] = reflect(x[k] + step, f.lower, f.upper);
      const double dx = (y[k] - x[k]) / spread_.sigma[at(k)];
      jump += dx * dx;
    }
    const double log_u = std::log(1.0 - r.uniform());
    const double chi2_new = chi_square(thread, y);
    m.accepted = std::isfinite(chi2_new) && log_u < -0.5 * (chi2_new - chi_[at(c)]);
    m.jump = m.accepted ? jump : 0.0;
    if (m.accepted) {
      std::copy(y, y + n, x);
      chi_[at(c)] = chi2_new;
    }
  }

  // CR probabilities in proportion to the mean squared jump each CR achieved.
  void adapt_crossover(const std::array<double, 3>& jump_sum, const std::array<double, 3>& uses) {
    std::array<double, 3> w{};
    double total = 0.0;
    for (int m = 0; m < 3; ++m) {
      w[at(m)] = uses[at(m)] > 0 ? jump_sum[at(m)] / uses[at(m)] : 0.0;
      total += w[at(m)];
    }
    if (!(total > 0.0)) return;
    double sum = 0.0;
    for (int m = 0; m < 3; ++m) {
      w[at(m)] = std::max(kMinCrossover, w[at(m)] / total);
      sum += w[at(m)];
    }
    for (int m = 0; m < 3; ++m) crossover_[at(m)] = w[at(m)] / sum;
  }

  const Problem& p_;
  const StartSpread& spread_;
  const SamplerSettings& s_;
  const int n_;
  int nthreads_ = 1;
  std::vector<std::unique_ptr<ChiSquare>> chi2_;  // one per thread
  std::vector<RandomStream> rng_;                 // one per chain
  std::vector<double> x_, proposal_, chi_;
  // The states, chi-square and moves of the generations of one block, chain by
  // chain (kArchiveEvery rows per chain).
  std::vector<double> block_x_, block_chi_;
  std::vector<Move> block_moves_;
  long block_begin_ = 0, block_end_ = 0;
  std::vector<double> archive_;
  long archive_size_ = 0;
  std::array<double, 3> crossover_{};

  std::mutex ready_mu_;
  std::vector<int> ready_;  // chains not in a thread's hands, with steps left
  std::vector<int> steps_;  // per chain: generations of the block done
  std::exception_ptr error_;
  std::mutex error_mu_;
  std::unique_ptr<Barrier> start_, done_;
  std::vector<std::thread> pool_;
  bool quit_ = false;
};

}  // namespace

double reflect(double x, double lower, double upper) {
  if (x >= lower && x <= upper) return x;
  const double w = upper - lower;
  if (!(w > 0.0)) return lower;
  double u = std::fmod(x - lower, 2.0 * w);
  if (u < 0.0) u += 2.0 * w;
  if (u > w) u = 2.0 * w - u;
  return lower + u;
}

SamplerResult run_sampler(const Problem& p, const StartSpread& spread, const SamplerSettings& s,
                          const std::function<void(const SamplerStatus&, const Samples&)>& progress,
                          const std::function<bool()>& stop) {
  Run run(p, spread, s);
  return run.run(progress, stop);
}

}  // namespace tessaline::posterior
