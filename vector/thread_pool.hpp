// A fixed set of worker threads, created once and kept for the life of the
// pool. A job runs a function on every worker at once, each with its own
// index; the caller splits its work by that index, so a result never depends
// on which thread finished first.
//
// Hand-overs are the cost that matters here: a batch of a few hundred games
// is stepped in a few hundred microseconds, while waking a sleeping thread
// through the kernel takes tens of microseconds on a virtual machine, twice
// per job (the worker's wake-up and the caller's). Three measures keep them
// cheap; each earns its place by the figure beside it (256 games on 2
// threads of a 2-core machine, steps per second, against the same pool
// without it):
// - Spinning before sleeping: both sides keep checking an atomic counter
//   for up to kSpinWindow before they sleep, so a loop that steps again
//   within the window never waits for the kernel. +15% back to back, +5%
//   with a NumPy chooser between steps; 6% slower behind a 2 ms network
//   pass, which outlasts the window.
// - Yielding while spinning: after a few microseconds of pure spinning each
//   check gives the processor away first, so another library's spinning
//   pool (JAX's, right after its own work) and this one do not starve each
//   other: without it the pool lost most of its speed right after a JAX
//   computation in the same process.
// - The caller works: run() hands share 0 to the calling thread instead of
//   waiting idle, so a 2-thread job runs on 2 threads, not 3. +3% back to
//   back, +8% with a chooser, +28% behind a network pass. Worker 0 then
//   sits the job out; the ticket's lowest bit tells it so in the same read
//   that starts the job, and it sleeps through such jobs rather than spin
//   beside the threads that do the work.
// A window that followed the caller's usual pause between jobs was tried and
// gained nothing, on a quiet machine or beside two processes hogging both
// cores. The checking is left out altogether when the pool has more threads
// than the machine has processors.
//
// The threads, their lock and their signals (the crew) belong to the process
// that started them. A child made by fork() has none of the threads, and a
// lock or signal it copied may be held by one of them for ever, so a pool
// used in a child leaves its inherited crew untouched and starts a fresh one
// on its first job there. A handler run at each fork counts the forks, so
// the check costs one compare per job.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "vector/share_cursor.hpp"

namespace varnok {

class ThreadPool {
 public:
  // How long the caller keeps checking for the workers to finish before
  // sleeping, and how long a worker keeps checking for the next job: long
  // enough for a NumPy action chooser over a few hundred games (about
  // 0.6 ms) between two steps, short enough to cost little next to a
  // network's forward pass.
  static constexpr std::chrono::microseconds kSpinWindow{1000};

  // threads >= 1. Throws std::runtime_error naming the count when a thread
  // cannot be started (the process is at its limit of threads or memory);
  // the threads already started are then stopped and joined.
  explicit ThreadPool(int threads);
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  int size() const { return threads_; }
  // The processors of this machine (at least 1): the default worker count.
  static int processor_count();
  // True in a child process made by fork() until the pool runs a job there:
  // its threads are still the parent's.
  bool started_before_fork() const;

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
  struct Crew;
  // Starts the job on every worker, or on all but worker 0 when the caller
  // takes share 0 itself.
  void start(std::function<void(int worker)> job, bool caller_takes_first);
  // The crew of this process: after a fork, a fresh one in place of the
  // parent's. Throws std::runtime_error when the parent's crew had a job
  // under way as it forked: the child cannot finish that job.
  Crew& crew();

  int threads_;
  bool spin_;            // false when the threads outnumber the processors
  uint64_t generation_;  // the fork count when crew_ was started
  std::unique_ptr<Crew> crew_;
  ShareCursor chunks_;  // the items of run_chunks and start_chunks
};

}  // namespace varnok
