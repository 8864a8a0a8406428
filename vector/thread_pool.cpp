#include "vector/thread_pool.hpp"

#include <pthread.h>

#include <condition_variable>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace varnok {

namespace {

// Tells the processor that this is a spin-wait loop: it saves power and
// leaves the core's resources to a sibling hardware thread.
inline void relax() {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// How many times this process descends from a fork() taken after the first
// pool was made: raised in each child by the handler below.
std::atomic<uint64_t> fork_count{0};

void count_fork_in_child() { fork_count.fetch_add(1, std::memory_order_relaxed); }

// The fork count, with the handler that raises it installed first (once).
uint64_t watched_fork_count() {
  static const bool watching = [] {
    if (const int error = pthread_atfork(nullptr, nullptr, count_fork_in_child); error != 0)
      throw std::system_error(error, std::generic_category(), "cannot watch for fork()");
    return true;
  }();
  static_cast<void>(watching);
  return fork_count.load(std::memory_order_relaxed);
}

}  // namespace

// The threads of one process and what they share with the caller.
struct ThreadPool::Crew {
  // Starts the threads; when one cannot start, stops and joins the ones
  // that did and throws.
  Crew(int threads, bool spin);
  ~Crew() { stop(); }
  Crew(const Crew&) = delete;
  Crew& operator=(const Crew&) = delete;

  // Ends every started thread and joins it.
  void stop();
  void work(int index);
  // Spins until done() holds or kSpinWindow has passed; true if it held.
  template <typename Done>
  bool spin_until(Done done) const;

  const bool spin;
  std::mutex mutex;
  // One wake-up signal per worker, so that a job wakes only the workers that
  // take part in it: in run() the caller takes share 0, and waking worker 0
  // just to send it back to sleep would cost a context switch per job.
  std::unique_ptr<std::condition_variable[]> wake;
  std::condition_variable done;
  std::function<void(int)> job;
  // Raised by kTicketStep (with job written before it) to start a job;
  // workers watch it without the lock while they spin. Its lowest bit says
  // that worker 0 sits the job out, so a worker learns both in one read.
  static constexpr uint64_t kCallerTakesFirst = 1;
  static constexpr uint64_t kTicketStep = 2;
  std::atomic<uint64_t> ticket{0};
  std::atomic<int> running{0};
  std::atomic<bool> stopping{false};
  // Set from a job's start until its wait returns: a fork in between leaves
  // the child with work only half done.
  std::atomic<bool> job_open{false};
  std::exception_ptr failure;
  std::vector<std::thread> workers;
};

ThreadPool::Crew::Crew(int threads, bool spin)
    : spin(spin), wake(std::make_unique<std::condition_variable[]>(threads)) {
  workers.reserve(threads);
  try {
    for (int i = 0; i < threads; ++i) workers.emplace_back([this, i] { work(i); });
  } catch (const std::system_error& e) {
    const size_t started = workers.size();
    stop();
    throw std::runtime_error("cannot start " + std::to_string(threads) + " worker threads: thread " +
                             std::to_string(started + 1) + " failed (" + e.what() +
                             "); the process is at its limit of threads or memory, ask for fewer threads");
  } catch (...) {
    stop();
    throw;
  }
}

void ThreadPool::Crew::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    stopping.store(true, std::memory_order_release);
  }
  for (size_t i = 0; i < workers.size(); ++i) wake[i].notify_one();
  for (std::thread& t : workers) t.join();
  workers.clear();
}

int ThreadPool::processor_count() { return static_cast<int>(std::max(1u, std::thread::hardware_concurrency())); }

ThreadPool::ThreadPool(int threads)
    : threads_(threads),
      spin_(threads <= processor_count()),
      generation_(watched_fork_count()),
      crew_(std::make_unique<Crew>(threads, spin_)),
      chunks_(threads) {}

ThreadPool::~ThreadPool() {
  // A parent's crew is left as the fork copied it: its threads do not
  // exist here to be joined, and its lock may be held by one of them.
  if (started_before_fork()) static_cast<void>(crew_.release());
}

bool ThreadPool::started_before_fork() const { return generation_ != fork_count.load(std::memory_order_relaxed); }

ThreadPool::Crew& ThreadPool::crew() {
  if (!started_before_fork()) [[likely]]
    return *crew_;
  if (crew_->job_open.load(std::memory_order_relaxed))
    throw std::runtime_error(
        "the process forked while a job was under way on these worker threads (a call on another thread, or a "
        "step_async not yet waited for): the child process cannot finish it; fork while no call is running, or "
        "start processes with the \"spawn\" method");
  auto fresh = std::make_unique<Crew>(threads_, spin_);
  static_cast<void>(crew_.release());  // the parent's, left untouched (see ~ThreadPool)
  crew_ = std::move(fresh);
  generation_ = fork_count.load(std::memory_order_relaxed);
  return *crew_;
}

template <typename Done>
bool ThreadPool::Crew::spin_until(Done done) const {
  if (!spin) return done();
  // A few microseconds of pure spinning catch a hand-over already under
  // way; after that each check yields first (see the header).
  constexpr int kPureSpinChecks = 256;
  for (int i = 0; i < kPureSpinChecks; ++i) {
    if (done()) return true;
    relax();
  }
  const auto deadline = std::chrono::steady_clock::now() + kSpinWindow;
  while (std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
    if (done()) return true;
  }
  return done();
}

void ThreadPool::start(std::function<void(int)> job, bool caller_takes_first) {
  Crew& crew = this->crew();
  const int first = caller_takes_first ? 1 : 0;
  crew.job_open.store(true, std::memory_order_relaxed);
  {
    std::lock_guard<std::mutex> lock(crew.mutex);
    crew.job = std::move(job);
    crew.failure = nullptr;
    crew.running.store(size() - first, std::memory_order_relaxed);
    const uint64_t next = (crew.ticket.load(std::memory_order_relaxed) & ~Crew::kCallerTakesFirst) + Crew::kTicketStep;
    crew.ticket.store(caller_takes_first ? next | Crew::kCallerTakesFirst : next, std::memory_order_release);
  }
  for (int i = first; i < size(); ++i) crew.wake[i].notify_one();
}

void ThreadPool::run(std::function<void(int)> job) {
  if (size() == 1) {  // the caller's share is the whole job
    job(0);
    return;
  }
  start(std::move(job), true);
  Crew& crew = *crew_;
  std::exception_ptr failure;
  try {
    crew.job(0);  // the workers only read job while it runs
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    std::lock_guard<std::mutex> lock(crew.mutex);
    if (!crew.failure) crew.failure = failure;
  }
  wait();
}

void ThreadPool::wait() {
  Crew& crew = this->crew();
  const auto finished = [&crew] { return crew.running.load(std::memory_order_acquire) == 0; };
  crew.spin_until(finished);
  std::unique_lock<std::mutex> lock(crew.mutex);
  crew.done.wait(lock, finished);
  crew.job = nullptr;
  crew.job_open.store(false, std::memory_order_relaxed);
  if (crew.failure) std::rethrow_exception(std::exchange(crew.failure, nullptr));
}

void ThreadPool::Crew::work(int index) {
  uint64_t seen = 0;
  const auto called = [&] {
    return stopping.load(std::memory_order_acquire) || ticket.load(std::memory_order_acquire) != seen;
  };
  // Only a worker that just ran a job waits for the next one by checking:
  // worker 0, left out of every run(), sleeps until a start() wants it.
  bool ran = false;
  for (;;) {
    if (!(ran && spin_until(called))) {
      std::unique_lock<std::mutex> lock(mutex);
      wake[index].wait(lock, called);
    }
    if (stopping.load(std::memory_order_acquire)) return;
    seen = ticket.load(std::memory_order_acquire);
    ran = !(index == 0 && (seen & kCallerTakesFirst));
    if (!ran) continue;
    // job was written before the ticket was raised and stays put until
    // every worker of the job has counted itself out.
    std::exception_ptr failure_here;
    try {
      job(index);
    } catch (...) {
      failure_here = std::current_exception();
    }
    if (failure_here) {
      std::lock_guard<std::mutex> lock(mutex);
      if (!failure) failure = failure_here;
    }
    if (running.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      // Taking the lock orders this with a caller between its last check
      // and its sleep, so the signal cannot fall between the two.
      {
        std::lock_guard<std::mutex> lock(mutex);
      }
      done.notify_all();
    }
  }
}

}  // namespace varnok
