// The worker pool: every worker runs each job once, shares cover the items
// exactly, failures reach the caller, and the pool is reusable afterwards.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

#include "vector/thread_pool.hpp"

namespace varnok {
namespace {

TEST(ThreadPool, SharesCoverEveryItemOnceInOrder) {
  for (int workers = 1; workers <= 7; ++workers)
    for (int count : {0, 1, 5, 256, 1001}) {
      int next = 0;
      for (int w = 0; w < workers; ++w) {
        const auto [begin, end] = ThreadPool::share(count, w, workers);
        EXPECT_EQ(begin, next);
        EXPECT_LE(end - begin, count / workers + 1);
        next = end;
      }
      EXPECT_EQ(next, count);
    }
}

TEST(ThreadPool, EveryWorkerRunsEachJobAndTheWorkIsSeenAfterwards) {
  ThreadPool pool(4);
  std::vector<int> items(1000, 0);
  for (int round = 1; round <= 50; ++round) {
    std::atomic<int> calls{0};
    pool.run([&](int worker) {
      ++calls;
      const auto [begin, end] = ThreadPool::share(static_cast<int>(items.size()), worker, pool.size());
      for (int i = begin; i < end; ++i) items[i] += i;
    });
    EXPECT_EQ(calls.load(), 4);
  }
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(items[i], 50 * i);
}

TEST(ThreadPool, AFailureReachesTheCallerAndThePoolGoesOn) {
  ThreadPool pool(3);
  EXPECT_THROW(pool.run([](int worker) {
    if (worker == 1) throw std::runtime_error("worker 1 failed");
  }),
               std::runtime_error);
  std::atomic<int> calls{0};
  pool.start([&](int) { ++calls; });
  pool.wait();
  EXPECT_EQ(calls.load(), 3);
}

}  // namespace
}  // namespace varnok
