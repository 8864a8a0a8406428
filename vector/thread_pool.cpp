#include "vector/thread_pool.hpp"

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

}  // namespace

ThreadPool::ThreadPool(int threads)
    : spin_(static_cast<unsigned>(threads) <= std::max(1u, std::thread::hardware_concurrency())),
      wake_(std::make_unique<std::condition_variable[]>(threads)),
      chunks_(threads) {
  workers_.reserve(threads);
  for (int i = 0; i < threads; ++i) workers_.emplace_back([this, i] { work(i); });
}

ThreadPool::~ThreadPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_.store(true, std::memory_order_release);
  }
  for (int i = 0; i < size(); ++i) wake_[i].notify_one();
  for (std::thread& t : workers_) t.join();
}

template <typename Done>
bool ThreadPool::spin_until(Done done, std::chrono::microseconds window) const {
  if (!spin_) return done();
  // A few microseconds of pure spinning catch a hand-over that is already
  // under way. After that each check gives the processor away first: with
  // nothing else to run the call returns at once and the wait stays short,
  // but other threads that want the processor (another library's pool
  // still spinning after its own work, the thread this one waits for) get
  // it instead of watching it spin. Spinning without yielding, a pool
  // lost most of its speed right after a JAX computation in the same
  // process.
  constexpr int kPureSpinChecks = 256;
  for (int i = 0; i < kPureSpinChecks; ++i) {
    if (done()) return true;
    relax();
  }
  const auto deadline = std::chrono::steady_clock::now() + window;
  while (std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
    if (done()) return true;
  }
  return done();
}

void ThreadPool::adapt_spin_window() {
  using std::chrono::microseconds;
  if (last_job_end_ == std::chrono::steady_clock::time_point{}) return;  // the first job
  const auto pause = std::chrono::duration_cast<microseconds>(std::chrono::steady_clock::now() - last_job_end_);
  usual_pause_ = next_usual_pause(usual_pause_, pause);
  worker_spin_us_.store(worker_spin_window(usual_pause_).count(), std::memory_order_relaxed);
}

void ThreadPool::start(std::function<void(int)> job, bool caller_takes_first) {
  const int first = caller_takes_first ? 1 : 0;
  adapt_spin_window();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    job_ = std::move(job);
    failure_ = nullptr;
    running_.store(size() - first, std::memory_order_relaxed);
    const uint64_t next = (ticket_.load(std::memory_order_relaxed) & ~kCallerTakesFirst) + kTicketStep;
    ticket_.store(caller_takes_first ? next | kCallerTakesFirst : next, std::memory_order_release);
  }
  for (int i = first; i < size(); ++i) wake_[i].notify_one();
}

void ThreadPool::run(std::function<void(int)> job) {
  if (size() == 1) {  // the caller's share is the whole job
    job(0);
    return;
  }
  start(std::move(job), true);
  std::exception_ptr failure;
  try {
    job_(0);  // the workers only read job_ while it runs
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!failure_) failure_ = failure;
  }
  wait();
}

void ThreadPool::wait() {
  const auto finished = [this] { return running_.load(std::memory_order_acquire) == 0; };
  spin_until(finished, kSpinWindow);
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, finished);
  job_ = nullptr;
  last_job_end_ = std::chrono::steady_clock::now();
  if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
}

void ThreadPool::work(int index) {
  uint64_t seen = 0;
  const auto called = [&] {
    return stopping_.load(std::memory_order_acquire) || ticket_.load(std::memory_order_acquire) != seen;
  };
  // Only a worker that just ran a job waits for the next one by checking;
  // worker 0, left out of every run(), sleeps until a job wants it rather
  // than competing for a processor with the threads that do the work.
  bool ran = false;
  for (;;) {
    if (!(ran && spin_until(called, std::chrono::microseconds(worker_spin_us_.load(std::memory_order_relaxed))))) {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_[index].wait(lock, called);
    }
    if (stopping_.load(std::memory_order_acquire)) return;
    seen = ticket_.load(std::memory_order_acquire);
    ran = !(index == 0 && (seen & kCallerTakesFirst));
    if (!ran) continue;
    // job_ was written before the ticket was raised and stays put until
    // every worker of the job has counted itself out.
    std::exception_ptr failure;
    try {
      job_(index);
    } catch (...) {
      failure = std::current_exception();
    }
    if (failure) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!failure_) failure_ = failure;
    }
    if (running_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      // Taking the lock orders this with a caller between its last check
      // and its sleep, so the signal cannot fall between the two.
      {
        std::lock_guard<std::mutex> lock(mutex_);
      }
      done_.notify_all();
    }
  }
}

}  // namespace varnok
