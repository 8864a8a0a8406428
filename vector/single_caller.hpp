// One caller at a time. An environment or a search is shared by its
// threads of work and is not safe to call from two threads at once; Python
// code may still try (a thread pool of its own, or a fork while another
// thread was inside). Such a second caller is refused with an error instead
// of corrupting the object.
#pragma once

#include <atomic>
#include <stdexcept>
#include <string>

#include "vector/thread_pool.hpp"

namespace varnok {

class SingleCaller {
 public:
  // False when another thread holds the object.
  bool try_take() { return !in_use_.exchange(true, std::memory_order_acquire); }
  void release() { in_use_.store(false, std::memory_order_release); }

  // The error for a caller that try_take refused; what names the object
  // ("this search"). In a child made by fork() the holder is a thread that
  // only the parent has: it will never let go.
  [[noreturn]] static void refuse(const ThreadPool& pool, const char* what) {
    if (pool.started_before_fork())
      throw std::runtime_error(std::string(what) +
                               " was in use by another thread when the process forked: the child process cannot use "
                               "it");
    refuse(what);
  }
  // The same for an object that has no worker threads of its own.
  [[noreturn]] static void refuse(const char* what) {
    // The holder may also be this very thread: a callback (a stop object, a
    // report, a wrapper's save_state) that calls back into the object whose
    // call is running it.
    throw std::runtime_error(std::string(what) +
                             " is in use by another thread (or by the call in progress, from one of its callbacks)");
  }

 private:
  std::atomic<bool> in_use_{false};
};

// Holds an object with acquire() and release() for one call: released on
// every way out, unless keep() hands the hold on (to a step that finishes
// later).
template <class Shared>
class Held {
 public:
  struct Adopt {};
  // Acquires shared (which throws when another caller holds it).
  explicit Held(Shared& shared) : shared_(&shared) { shared.acquire(); }
  // Takes over a hold that is already taken.
  Held(Shared& shared, Adopt) : shared_(&shared) {}
  ~Held() {
    if (shared_) shared_->release();
  }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;

  void keep() { shared_ = nullptr; }

 private:
  Shared* shared_;
};

}  // namespace varnok
