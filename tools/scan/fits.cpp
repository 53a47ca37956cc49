// The fits of a scan: see fits.hpp.
#include "tools/scan/fits.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "driver/entry_update.hpp"
#include "driver/problem.hpp"

namespace tessaline::scan {
namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Thrown through LSQFIT by the monitor when the run is to stop.
struct Stopped {};

// Counts nothing and prints nothing; ends the fit when the run is to stop.
class StopMonitor : public Monitor {
 public:
  explicit StopMonitor(const std::atomic<int>* stop) : stop_(stop) {}
  void MONITO(double, int, int, int, double, double, double, double) override {
    if (stop_ != nullptr && stop_->load(std::memory_order_relaxed) != 0) throw Stopped();
  }

 private:
  const std::atomic<int>* stop_;
};

// The tables and the minimizer's state of one thread, allocated once.
struct Worker {
  std::unique_ptr<Tables> t = make_tables();
  std::unique_ptr<FitState> fs = make_fit_state();
};

FitRecord fit_from(const Problem& p, Worker& w, int g, int start, std::vector<double> values,
                   const std::atomic<int>* stop) {
  prepare_fit(*w.t, p, g, start, values);
  StopMonitor monitor(stop);
  const FitResult r = run_program_fit(*w.t, *w.fs, monitor, /*threads=*/1);
  FitRecord rec = record_fit(*w.t, *w.fs, p, r.S, r.IEXIT);
  rec.start = start;
  rec.start_values = std::move(values);
  return rec;
}

// Runs job(worker, k) for k = 0 .. n-1 on the workers, one thread each, and
// marks done[k] for every job that ended.  Returns false when the run was
// stopped before every job ran.  The first exception of a job other than a
// stop is thrown again here, after every thread has ended.
bool run_jobs(std::vector<Worker>& workers, long n, const std::function<void(Worker&, long)>& job,
              std::vector<char>& done, const RunControl& c, int pass, Clock::time_point t0) {
  done.assign(static_cast<std::size_t>(n), 0);
  std::atomic<long> next{0};
  std::atomic<bool> failed{false};
  std::mutex mu;
  std::condition_variable cv;
  long finished = 0;
  int running = 0;
  std::exception_ptr error;
  const auto stopping = [&] {
    return failed.load() || (c.stop != nullptr && c.stop->load(std::memory_order_relaxed) != 0);
  };

  const std::size_t nthreads =
      std::min(workers.size(), static_cast<std::size_t>(std::max(n, 1L)));
  std::vector<std::thread> threads;
  running = static_cast<int>(nthreads);
  for (std::size_t id = 0; id < nthreads; ++id) {
    threads.emplace_back([&, id] {
      for (;;) {
        if (stopping()) break;
        const long k = next.fetch_add(1);
        if (k >= n) break;
        try {
          job(workers[id], k);
          std::lock_guard<std::mutex> lk(mu);
          done[static_cast<std::size_t>(k)] = 1;
          ++finished;
        } catch (const Stopped&) {
          break;
        } catch (...) {
          std::lock_guard<std::mutex> lk(mu);
          if (!error) error = std::current_exception();
          failed = true;
          break;
        }
        cv.notify_all();
      }
      std::lock_guard<std::mutex> lk(mu);
      --running;
      cv.notify_all();
    });
  }
  {
    std::unique_lock<std::mutex> lk(mu);
    while (running > 0) {
      cv.wait_for(lk, std::chrono::milliseconds(1000));
      if (c.progress) {
        const long f = finished;
        lk.unlock();
        c.progress(f, n, pass, seconds_since(t0));
        lk.lock();
      }
    }
  }
  for (std::thread& th : threads) th.join();
  if (error) std::rethrow_exception(error);
  return std::all_of(done.begin(), done.end(), [](char d) { return d != 0; });
}

// The best fit of a grid point and its minima, from its starts.
void settle_point(PointResult& r, const std::vector<FitRecord>& fits) {
  r.done = true;
  r.minima = group_minima(fits);
  r.failed = static_cast<int>(
      std::count_if(fits.begin(), fits.end(), [](const FitRecord& f) { return !f.finite(); }));
  if (r.minima.empty()) {
    r.best = fits.front();
    r.reached = 0;
  } else {
    r.best = r.minima.front().best;
    r.reached = static_cast<int>(r.minima.front().starts.size());
  }
}

// The neighbours of grid point g: one step along each axis.
std::vector<int> neighbours(const Grid& grid, int g) {
  std::vector<int> out;
  const std::vector<int> c = grid.coords(g);
  for (std::size_t k = 0; k < c.size(); ++k) {
    for (const int d : {-1, 1}) {
      std::vector<int> n = c;
      n[k] += d;
      if (n[k] >= 0 && n[k] < grid.axes[k].n) out.push_back(grid.index(n));
    }
  }
  return out;
}

// The number a token of the entry file holds.
double token_value(const std::string& text, const textio::TokenPosition& at) {
  std::size_t offset = 0;
  for (int line = 1; line < at.line; ++line) offset = text.find('\n', offset) + 1;
  offset += static_cast<std::size_t>(at.column - 1);
  double v = 0;
  textio::parse_number(text.substr(offset, static_cast<std::size_t>(at.length)), v);
  return v;
}

}  // namespace

Problem prepare_problem(const Options& o) {
  Problem p;
  p.sources = std::make_unique<EntrySources>();
  try {
    p.base = load_problem({o.entry, o.data, o.first, o.last}, p.sources.get());
    p.entry_name = o.entry;
    p.entry_text = read_entry_bytes(o.entry);
  } catch (const std::exception& e) {
    throw ScanError(e.what());
  }
  // The kernel as the entry file gives it: the step and sigma as written (a
  // sigma of 0 or less leaves a kernel of one point in the tables).
  p.j0 = p.base->j0;
  p.step_mrad = token_value(p.entry_text, p.sources->coll_step);
  p.sigma_mrad = token_value(p.entry_text, p.sources->coll_sigma);

  const Tables& t = *p.base;
  p.grid.axes = o.axes;
  std::vector<int> held;
  for (Axis& a : p.grid.axes) {
    if (a.kind == AxisKind::kSigma) {
      if (t.nvalues == 5) {
        throw ScanError(
            "--sigma: the points of " + o.data +
            " carry their own resolution, and the entry file's sigma only sets the shape of the "
            "kernel that each point stretches to its own width: a scan of sigma would change "
            "nothing.  Scale the resolutions in the data file instead, or scan another setting");
      }
      if (!(p.sigma_mrad > 0)) {
        throw ScanError("--sigma: " + o.entry + " line " +
                        std::to_string(p.sources->coll_sigma.line) +
                        ": the collimation sigma is not positive, so there is no kernel whose "
                        "width a scan could change; give the entry file j0, a step and a sigma");
      }
      if (p.j0 < 2) {
        throw ScanError("--sigma: " + o.entry +
                        " has a kernel of one point (j0 = 1), which takes no width from sigma; "
                        "give it j0 of 7 or more");
      }
      if (a.first < 0) throw ScanError("--sigma: a sigma below 0 mrad is no resolution");
    }
    if (a.kind == AxisKind::kParam) {
      if (a.slot > t.NPAR) {
        throw ScanError("--param " + std::to_string(a.slot) + ": " + o.entry +
                        " has the parameters 1 to " + std::to_string(t.NPAR) +
                        " (nlay = " + std::to_string(t.nlay) +
                        "; `tessaline-entry show` lists them)");
      }
      a.name = std::string(trimmed_name(t.PARNAM(a.slot)));
      a.unit = entry_unit_name(p.unit(a.slot));
      held.push_back(a.slot);
    }
  }
  for (int i = 1; i <= t.NPAR; ++i) {
    if (t.STEPLIM(i) > 0 && std::find(held.begin(), held.end(), i) == held.end()) {
      p.free.push_back(i);
    }
  }
  return p;
}

void set_grid_point(Tables& t, const Problem& p, int g) {
  t = *p.base;
  const std::vector<double> v = p.grid.setting(g);
  for (std::size_t k = 0; k < v.size(); ++k) {
    const Axis& a = p.grid.axes[k];
    switch (a.kind) {
      case AxisKind::kZero:
        t.zero_correction = v[k] / 1000.0;
        break;
      case AxisKind::kSigma:
        t.j0 = p.j0;
        t.coll_sigma = v[k] / 1000.0;
        t.coll_step = collimation_step(p, v[k]) / 1000.0;
        build_collimation(t);
        break;
      case AxisKind::kParam:
        t.PARAM(a.slot) = p.to_param(a.slot, v[k]);
        if (t.STEPLIM(a.slot) > 0) {
          t.STEPLIM(a.slot) = 0;
          ++t.NFIX;
        }
        break;
    }
  }
}

double collimation_step(const Problem& p, double sigma_mrad) {
  return p.step_mrad * (sigma_mrad / p.sigma_mrad);
}

std::vector<double> start_values(const Problem& p, int g, int s, double spread,
                                 std::uint64_t seed) {
  const Tables& t = *p.base;
  std::vector<double> v;
  v.reserve(p.free.size());
  for (const int i : p.free) v.push_back(p.to_entry(i, t.PARAM(i)));
  if (s <= 1) return v;
  std::seed_seq seq{static_cast<std::uint32_t>(seed), static_cast<std::uint32_t>(seed >> 32),
                    static_cast<std::uint32_t>(g), static_cast<std::uint32_t>(s)};
  std::mt19937_64 rng(seq);
  for (std::size_t k = 0; k < v.size(); ++k) {
    const int i = p.free[k];
    const double u = static_cast<double>(rng() >> 11) * 0x1.0p-53;  // [0, 1)
    const double x = v[k] * (1 + spread * (2 * u - 1));
    v[k] = std::clamp(x, p.to_entry(i, t.PARMIN(i)), p.to_entry(i, t.PARMAX(i)));
  }
  return v;
}

void prepare_fit(Tables& t, const Problem& p, int g, int start_number,
                 const std::vector<double>& start) {
  set_grid_point(t, p, g);
  if (start_number == 1) return;
  for (std::size_t k = 0; k < p.free.size(); ++k) {
    const int i = p.free[k];
    t.PARAM(i) = p.to_param(i, start[k]);
  }
}

std::vector<double> entry_values(const Problem& p, const std::vector<double>& values) {
  std::vector<double> v;
  for (std::size_t k = 0; k < p.free.size(); ++k) {
    const int i = p.free[k];
    v.push_back(p.to_entry(i, values[k]));
  }
  return v;
}

std::string entry_with_setting(const Problem& p, const std::vector<double>& setting,
                               const std::vector<double>* values) {
  EntryEdits e;
  for (std::size_t k = 0; k < setting.size(); ++k) {
    const Axis& a = p.grid.axes[k];
    switch (a.kind) {
      case AxisKind::kZero:
        e.zero_correction = setting[k];
        break;
      case AxisKind::kSigma:
        e.coll_sigma = setting[k];
        e.coll_step = collimation_step(p, setting[k]);
        break;
      case AxisKind::kParam:
        e.slots.emplace_back(a.slot, setting[k]);
        e.fix.push_back(a.slot);
        break;
    }
  }
  if (values != nullptr) {
    for (std::size_t k = 0; k < p.free.size(); ++k) e.slots.emplace_back(p.free[k], (*values)[k]);
  }
  try {
    return edit_entry_text(p.entry_text, p.entry_name, e);
  } catch (const std::exception& x) {
    throw ScanError("cannot write the setting into " + p.entry_name + ": " + x.what());
  }
}

FitRecord record_fit(const Tables& t, const FitState& fs, const Problem& p, double S,
                     int status) {
  FitRecord r;
  r.S = S;
  r.chi = normalized_chi_square(t, S);
  r.status = status;
  for (const int i : p.free) {
    r.values.push_back(t.PARAM(i));
    // A parameter set aside by the inversion has no error: it decides nothing.
    r.errors.push_back(fs.WORKLIM(i) == -2.0 ? std::numeric_limits<double>::infinity()
                                             : fs.PARERR(i));
  }
  return r;
}

std::vector<Minimum> group_minima(const std::vector<FitRecord>& fits) {
  std::vector<const FitRecord*> order;
  for (const FitRecord& f : fits)
    if (f.finite()) order.push_back(&f);
  std::stable_sort(order.begin(), order.end(),
                   [](const FitRecord* a, const FitRecord* b) { return a->S < b->S; });
  const auto same = [](const FitRecord& a, const FitRecord& b) {
    if (std::fabs(a.S - b.S) > std::max(kSameRelative * std::max(std::fabs(a.S), std::fabs(b.S)),
                                        kSameAbsolute)) {
      return false;
    }
    for (std::size_t k = 0; k < a.values.size(); ++k) {
      if (std::fabs(a.values[k] - b.values[k]) > std::max(a.errors[k], b.errors[k])) return false;
    }
    return true;
  };
  std::vector<Minimum> minima;
  for (const FitRecord* f : order) {
    auto m = std::find_if(minima.begin(), minima.end(),
                          [&](const Minimum& x) { return same(x.best, *f); });
    if (m == minima.end()) {
      minima.push_back({*f, {f->start}});
    } else {
      m->starts.push_back(f->start);
    }
  }
  for (Minimum& m : minima) std::sort(m.starts.begin(), m.starts.end());
  return minima;
}

ScanResult run_scan(const Problem& p, const Options& o, const RunControl& c) {
  const Clock::time_point t0 = Clock::now();
  ScanResult result;
  const int G = p.grid.size();
  result.points.resize(static_cast<std::size_t>(G));
  const int S = o.start_count();

  std::vector<int> share;
  for (int g = 0; g < G; ++g)
    if (o.part.holds(g)) share.push_back(g);
  const long jobs = static_cast<long>(share.size()) * S;

  int nthreads = c.threads > 0 ? c.threads : static_cast<int>(std::thread::hardware_concurrency());
  nthreads = static_cast<int>(std::clamp(static_cast<long>(nthreads), 1L, std::max(jobs, 1L)));
  std::vector<Worker> workers(static_cast<std::size_t>(nthreads));

  // Pass 0: every start of every grid point of the share.
  std::vector<FitRecord> records(static_cast<std::size_t>(jobs));
  std::vector<char> done;
  run_jobs(
      workers, jobs,
      [&](Worker& w, long k) {
        const int g = share[static_cast<std::size_t>(k / S)];
        const int s = static_cast<int>(k % S) + 1;
        records[static_cast<std::size_t>(k)] =
            fit_from(p, w, g, s, start_values(p, g, s, o.spread, o.seed), c.stop);
      },
      done, c, 0, t0);
  result.fits = std::count(done.begin(), done.end(), 1);
  for (std::size_t q = 0; q < share.size(); ++q) {
    const auto first = records.begin() + static_cast<long>(q) * S;
    const auto flags = done.begin() + static_cast<long>(q) * S;
    if (std::all_of(flags, flags + S, [](char d) { return d != 0; })) {
      settle_point(result.points[static_cast<std::size_t>(share[q])],
                   std::vector<FitRecord>(first, first + S));
    }
  }
  const auto stopped = [&] { return c.stop != nullptr ? c.stop->load() : 0; };
  if (stopped() != 0) {
    result.stopped_by = stopped();
    result.follow_unfinished = o.follow;
    result.seconds = seconds_since(t0);
    return result;
  }

  // --follow: refit from the best neighbour whose result changed in the pass
  // before, keep what is better, until nothing changes.
  if (o.follow) {
    std::vector<char> changed(static_cast<std::size_t>(G), 0);
    for (int g = 0; g < G; ++g) changed[static_cast<std::size_t>(g)] = result.points[static_cast<std::size_t>(g)].best.finite();
    int max_passes = 0;
    for (const Axis& a : p.grid.axes) max_passes += a.n;
    for (int pass = 1; pass <= max_passes; ++pass) {
      std::vector<std::pair<int, int>> todo;  // grid point, neighbour to start from
      for (int g = 0; g < G; ++g) {
        int from = -1;
        for (const int n : neighbours(p.grid, g)) {
          const FitRecord& b = result.points[static_cast<std::size_t>(n)].best;
          if (!changed[static_cast<std::size_t>(n)] || !b.finite()) continue;
          if (from < 0 || b.S < result.points[static_cast<std::size_t>(from)].best.S) from = n;
        }
        if (from >= 0) todo.emplace_back(g, from);
      }
      if (todo.empty()) break;
      std::vector<FitRecord> refits(todo.size());
      const bool all = run_jobs(
          workers, static_cast<long>(todo.size()),
          [&](Worker& w, long k) {
            const auto [g, from] = todo[static_cast<std::size_t>(k)];
            refits[static_cast<std::size_t>(k)] =
                fit_from(p, w, g, 0,
                         entry_values(p, result.points[static_cast<std::size_t>(from)].best.values),
                         c.stop);
          },
          done, c, pass, t0);
      result.fits += std::count(done.begin(), done.end(), 1);
      result.passes = pass;
      if (!all) {
        // Stopped in the middle of a pass: what it found so far is kept out, so
        // that the table holds whole passes only.
        result.stopped_by = stopped();
        result.follow_unfinished = true;
        break;
      }
      std::fill(changed.begin(), changed.end(), 0);
      for (std::size_t k = 0; k < todo.size(); ++k) {
        PointResult& r = result.points[static_cast<std::size_t>(todo[k].first)];
        const FitRecord& f = refits[k];
        if (f.finite() && (!r.best.finite() || f.S < r.best.S)) {
          r.best = f;
          changed[static_cast<std::size_t>(todo[k].first)] = 1;
        }
      }
    }
  }
  result.seconds = seconds_since(t0);
  return result;
}

}  // namespace tessaline::scan
