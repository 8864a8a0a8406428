#include "vector/thread_pool.hpp"

#include <chrono>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace varnok {

namespace {

// A step of a batch takes a fraction of a millisecond and the next one
// follows soon after, so a thread that has just finished waits a little by
// watching memory before it sleeps: waking a sleeping thread costs tens of
// microseconds. The wait is bounded, so an idle pool sleeps.
constexpr auto kSpinBeforeSleep = std::chrono::microseconds(50);

template <class Ready>
bool spin_until(Ready ready) {
  const auto until = std::chrono::steady_clock::now() + kSpinBeforeSleep;
  for (int i = 0;; ++i) {
    if (ready()) return true;
#if defined(__SSE2__)
    _mm_pause();
#endif
    if ((i & 63) == 63 && std::chrono::steady_clock::now() > until) return false;
  }
}

}  // namespace

ThreadPool::ThreadPool(int threads) {
  workers_.reserve(threads);
  for (int i = 0; i < threads; ++i) workers_.emplace_back([this, i] { work(i); });
}

ThreadPool::~ThreadPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : workers_) t.join();
}

void ThreadPool::start(std::function<void(int)> job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    job_ = std::move(job);
    running_ = size();
    unfinished_.store(size(), std::memory_order_relaxed);
    failure_ = nullptr;
    ++generation_;
    published_.store(generation_, std::memory_order_release);
  }
  wake_.notify_all();
}

void ThreadPool::wait() {
  spin_until([this] { return unfinished_.load(std::memory_order_acquire) == 0; });
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [this] { return running_ == 0; });
  job_ = nullptr;
  if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
}

void ThreadPool::work(int index) {
  uint64_t seen = 0;
  for (;;) {
    std::function<void(int)>* job;
    spin_until([&] { return published_.load(std::memory_order_acquire) != seen; });
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
      if (stopping_) return;
      seen = generation_;
      job = &job_;
    }
    std::exception_ptr failure;
    try {
      (*job)(index);
    } catch (...) {
      failure = std::current_exception();
    }
    bool last;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (failure && !failure_) failure_ = failure;
      last = --running_ == 0;
      unfinished_.fetch_sub(1, std::memory_order_release);
    }
    if (last) done_.notify_all();
  }
}

}  // namespace varnok
