// A fixed set of worker threads, created once and kept for the life of the
// pool. A job runs a function on every worker at once, each with its own
// index; the caller splits its work by that index, so a result never depends
// on which thread finished first.
//
// Hand-overs are the cost that matters here: a batch of a few hundred games
// is stepped in a few hundred microseconds, while waking a sleeping thread
// through the kernel takes tens of microseconds on a virtual machine, twice
// per job (the worker's wake-up and the caller's). So both sides first keep
// checking an atomic counter for a short while, yielding the processor
// between checks, and only then sleep: a loop that steps again within that
// window never waits for the kernel to wake a thread. The checking is
// bounded in time and left out altogether when the pool has more threads
// than the machine has processors.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "vector/share_cursor.hpp"

namespace varnok {

class ThreadPool {
 public:
  // How long a worker keeps checking for the next job after one ends, and
  // the caller for the workers to finish, before sleeping: long enough for a
  // NumPy action chooser over a few hundred games (about 0.6 ms) between
  // two steps, short enough to cost little next to a network's forward pass.
  static constexpr std::chrono::microseconds kSpinWindow{1000};

  // threads >= 1.
  explicit ThreadPool(int threads);
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  int size() const { return static_cast<int>(workers_.size()); }

  // Starts job(worker) on every worker and returns at once.
  void start(std::function<void(int worker)> job) { start(std::move(job), false); }
  // Waits for the started job; rethrows the first exception a worker threw.
  void wait();
  // Runs job(worker) for every worker index and waits. The calling thread
  // takes index 0 itself, so it does not sit idle and a pool of one thread
  // runs the job with no hand-over at all.
  void run(std::function<void(int worker)> job);

  // Runs work(begin, end) over [0, count) in chunks of chunk items and
  // waits: each thread takes its own share first, then helps with the
  // others' (see share_cursor.hpp). Only for items that do not depend on
  // the thread that runs them.
  template <class Work>
  void run_chunks(int count, int chunk, Work work) {
    chunks_.restart(count, chunk);
    run([&](int thread) { chunks_.drain(thread, work); });
  }
  // The same, started on the workers alone; wait() ends it.
  void start_chunks(int count, int chunk, std::function<void(int begin, int end)> work) {
    chunks_.restart(count, chunk);
    start([this, work = std::move(work)](int thread) { chunks_.drain(thread, work); });
  }

 private:
  // Starts the job on every worker, or on all but worker 0 when the caller
  // takes share 0 itself.
  void start(std::function<void(int worker)> job, bool caller_takes_first);
  void work(int index);
  // Spins until done() holds or the spin window closes; true if it held.
  template <typename Done>
  bool spin_until(Done done) const;

  std::vector<std::thread> workers_;
  const bool spin_;  // false when the threads outnumber the processors
  std::mutex mutex_;
  // One wake-up signal per worker, so that a job wakes only the workers that
  // take part in it: in run() the caller takes share 0, and waking worker 0
  // just to send it back to sleep would cost a context switch per job.
  std::unique_ptr<std::condition_variable[]> wake_;
  std::condition_variable done_;
  std::function<void(int)> job_;
  // Raised by kTicketStep (with job_ written before it) to start a job;
  // workers watch it without the lock while they spin. Its lowest bit says
  // that worker 0 sits the job out, so a worker learns both in one read.
  static constexpr uint64_t kCallerTakesFirst = 1;
  static constexpr uint64_t kTicketStep = 2;
  std::atomic<uint64_t> ticket_{0};
  std::atomic<int> running_{0};
  std::atomic<bool> stopping_{false};
  std::exception_ptr failure_;
  ShareCursor chunks_;  // the items of run_chunks and start_chunks
};

}  // namespace varnok
