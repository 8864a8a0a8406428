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
// window never waits for the kernel to wake a thread. The workers' window
// follows the caller's rhythm (a few times its usual pause between jobs,
// within bounds), so a chooser that takes a little longer on a busy machine
// still finds them awake. The checking is bounded in time and left out
// altogether when the pool has more threads than the machine has
// processors.
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
  // sleeping, and the shortest a worker keeps checking for the next job:
  // long enough for a NumPy action chooser over a few hundred games (about
  // 0.6 ms) between two steps, short enough to cost little next to a
  // network's forward pass.
  static constexpr std::chrono::microseconds kSpinWindow{1000};
  // The longest a worker keeps checking for the next job. Its window is
  // kPauseMultiple times the caller's usual pause between jobs, clamped to
  // [kSpinWindow, kMaxSpinWindow]; a caller whose pauses outlast the longest
  // window (a network's forward pass) gets the shortest, since checking
  // through part of a pause that always outlasts it only burns a core.
  static constexpr std::chrono::microseconds kMaxSpinWindow{4000};
  static constexpr int kPauseMultiple = 3;
  // The running average of the caller's pauses after one more pause: the
  // newest weighs a quarter, and a pause beyond twice the longest window
  // counts as twice that window, enough to tell "always longer" apart while
  // one odd pause (a garbage collection, a checkpoint) moves the average
  // only so far.
  static constexpr std::chrono::microseconds next_usual_pause(std::chrono::microseconds usual,
                                                              std::chrono::microseconds pause) {
    return (3 * usual + std::min(pause, 2 * kMaxSpinWindow)) / 4;
  }
  // The workers' spin window for a caller whose pauses average usual.
  static constexpr std::chrono::microseconds worker_spin_window(std::chrono::microseconds usual) {
    return usual > kMaxSpinWindow ? kSpinWindow : std::clamp(kPauseMultiple * usual, kSpinWindow, kMaxSpinWindow);
  }

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
  // Counts the caller's pause since the last job ended into the workers'
  // spin window; called as a job starts.
  void adapt_spin_window(Crew& crew);

  int threads_;
  bool spin_;            // false when the threads outnumber the processors
  uint64_t generation_;  // the fork count when crew_ was started
  std::unique_ptr<Crew> crew_;
  // The caller's side of the spin window: when its last wait ended, and a
  // running average of its pauses (the newest weighs a quarter).
  std::chrono::steady_clock::time_point last_job_end_{};
  std::chrono::microseconds usual_pause_{0};
  ShareCursor chunks_;  // the items of run_chunks and start_chunks
};

}  // namespace varnok
