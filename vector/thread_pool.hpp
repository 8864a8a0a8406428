// A fixed set of worker threads, created once and kept for the life of the
// pool. A job runs a function on every worker at once, each with its own
// index; the caller splits its work by that index, so a result never depends
// on which thread finished first.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace varnok {

class ThreadPool {
 public:
  // threads >= 1.
  explicit ThreadPool(int threads);
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  int size() const { return static_cast<int>(workers_.size()); }

  // Starts job(worker) on every worker and returns at once.
  void start(std::function<void(int worker)> job) { start(std::move(job), 0); }
  // Waits for the started job; rethrows the first exception a worker threw.
  void wait();
  // Runs job(worker) for every worker index and waits. The calling thread
  // takes index 0 itself, so it does not sit idle and a pool of one thread
  // runs the job with no hand-over at all.
  void run(std::function<void(int worker)> job);

  // The part [begin, end) of count items that worker takes: contiguous, in
  // order, sizes differing by at most one.
  static std::pair<int, int> share(int count, int worker, int workers) {
    const int64_t n = count;
    return {static_cast<int>(n * worker / workers), static_cast<int>(n * (worker + 1) / workers)};
  }

 private:
  // Starts the job on the workers from index first on.
  void start(std::function<void(int worker)> job, int first);
  void work(int index);

  std::vector<std::thread> workers_;
  std::mutex mutex_;
  // One wake-up signal per worker, so that a job wakes only the workers that
  // take part in it: in run() the caller takes share 0, and waking worker 0
  // just to send it back to sleep would cost a context switch per job.
  std::unique_ptr<std::condition_variable[]> wake_;
  std::condition_variable done_;
  std::function<void(int)> job_;
  uint64_t generation_ = 0;
  int running_ = 0;
  int first_ = 0;  // workers below this index sit the current job out
  bool stopping_ = false;
  std::exception_ptr failure_;
};

}  // namespace varnok
