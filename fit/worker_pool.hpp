// A fixed team of threads that run one piece of work together, for the fast
// evaluations of S, G and Z.
//
// The threads are started once by the constructor and wait, parked, between
// pieces of work; run() hands the same work to every member (the calling
// thread is member 0) and returns when all have finished it.  Nothing is
// allocated after the constructor, so a fit that runs its evaluations on the
// team allocates nothing while it runs.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace tessaline {

class WorkerPool {
 public:
  // The work of one run: work(id) on member id = 0..size()-1.
  class Work {
   public:
    virtual void work(int id) = 0;

   protected:
    ~Work() = default;
  };

  // threads = 0 takes every hardware thread.  Returns with every helper thread
  // started and parked, so that nothing of the thread start-up happens later.
  explicit WorkerPool(int threads);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  int size() const { return nthreads_; }

  // Runs w.work(id) on every member and returns when all have returned.
  void run(Work& w);

 private:
  void thread_main(int id);

  int nthreads_ = 1;
  std::vector<std::thread> pool_;
  std::mutex mu_;
  std::condition_variable start_cv_, done_cv_;
  Work* work_ = nullptr;
  long generation_ = 0;
  int running_ = 0;
  int parked_ = 0;  // helper threads that have started
  bool quit_ = false;
};

}  // namespace tessaline
