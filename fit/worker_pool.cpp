// The team of threads of the fast evaluations: see worker_pool.hpp.
#include "fit/worker_pool.hpp"

namespace tessaline {

WorkerPool::WorkerPool(int threads) {
  nthreads_ = threads > 0 ? threads : static_cast<int>(std::thread::hardware_concurrency());
  if (nthreads_ < 1) nthreads_ = 1;
  for (int id = 1; id < nthreads_; ++id) pool_.emplace_back([this, id] { thread_main(id); });
  std::unique_lock<std::mutex> lk(mu_);
  done_cv_.wait(lk, [&] { return parked_ == nthreads_ - 1; });
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    quit_ = true;
  }
  start_cv_.notify_all();
  for (std::thread& th : pool_) th.join();
}

void WorkerPool::thread_main(int id) {
  long seen = 0;
  {
    std::lock_guard<std::mutex> lk(mu_);
    ++parked_;
  }
  done_cv_.notify_one();
  for (;;) {
    Work* w = nullptr;
    {
      std::unique_lock<std::mutex> lk(mu_);
      start_cv_.wait(lk, [&] { return quit_ || generation_ != seen; });
      if (quit_) return;
      seen = generation_;
      w = work_;
    }
    w->work(id);
    {
      std::lock_guard<std::mutex> lk(mu_);
      if (--running_ == 0) done_cv_.notify_one();
    }
  }
}

void WorkerPool::run(Work& w) {
  {
    std::lock_guard<std::mutex> lk(mu_);
    work_ = &w;
    running_ = nthreads_ - 1;
    ++generation_;
  }
  start_cv_.notify_all();
  w.work(0);
  std::unique_lock<std::mutex> lk(mu_);
  done_cv_.wait(lk, [&] { return running_ == 0; });
}

}  // namespace tessaline
