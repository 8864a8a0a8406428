#include "vector/thread_pool.hpp"

namespace varnok {

ThreadPool::ThreadPool(int threads) : wake_(std::make_unique<std::condition_variable[]>(threads)) {
  workers_.reserve(threads);
  for (int i = 0; i < threads; ++i) workers_.emplace_back([this, i] { work(i); });
}

ThreadPool::~ThreadPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  for (int i = 0; i < size(); ++i) wake_[i].notify_one();
  for (std::thread& t : workers_) t.join();
}

void ThreadPool::start(std::function<void(int)> job, int first) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    job_ = std::move(job);
    first_ = first;
    running_ = size() - first;
    failure_ = nullptr;
    ++generation_;
  }
  for (int i = first; i < size(); ++i) wake_[i].notify_one();
}

void ThreadPool::run(std::function<void(int)> job) {
  if (size() == 1) {  // the caller's share is the whole job
    job(0);
    return;
  }
  start(std::move(job), 1);
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
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [this] { return running_ == 0; });
  job_ = nullptr;
  if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
}

void ThreadPool::work(int index) {
  uint64_t seen = 0;
  for (;;) {
    std::function<void(int)>* job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_[index].wait(lock, [&] { return stopping_ || (generation_ != seen && index >= first_); });
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
    }
    if (last) done_.notify_all();
  }
}

}  // namespace varnok
