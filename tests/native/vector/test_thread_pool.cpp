// The worker pool: every worker runs each job once, shares and chunks cover
// the items exactly, failures reach the caller, and the pool is reusable
// afterwards, whether its workers are still spinning or asleep when the
// next job comes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "vector/share_cursor.hpp"
#include "vector/thread_pool.hpp"

namespace varnok {
namespace {

TEST(ShareCursor, SharesCoverEveryItemOnceInOrder) {
  for (int workers = 1; workers <= 7; ++workers)
    for (int count : {0, 1, 5, 256, 1001}) {
      int next = 0;
      for (int w = 0; w < workers; ++w) {
        const auto [begin, end] = ShareCursor::share(count, w, workers);
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
      const auto [begin, end] = ShareCursor::share(static_cast<int>(items.size()), worker, pool.size());
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

TEST(ThreadPool, EachWorkerRunsEachJobOnceWhateverTheGapBetweenJobs) {
  // Jobs in quick succession meet spinning workers, jobs after a pause
  // longer than the spin window meet sleeping ones; run() leaves worker 0
  // out (the caller takes its index), start() does not. Oversubscribed
  // pools do not spin at all.
  const int oversubscribed = static_cast<int>(std::max(1u, std::thread::hardware_concurrency())) + 2;
  for (int threads : {2, 3, oversubscribed}) {
    ThreadPool pool(threads);
    for (int job = 0; job < 300; ++job) {
      std::vector<std::atomic<int>> runs(threads);
      const auto count = [&](int worker) { runs[worker].fetch_add(1, std::memory_order_relaxed); };
      if (job % 3 == 0) {
        pool.start(count);
        pool.wait();
      } else {
        pool.run(count);
      }
      for (int w = 0; w < threads; ++w) ASSERT_EQ(runs[w].load(), 1) << "job " << job << " worker " << w;
      if (job % 50 == 49) std::this_thread::sleep_for(2 * ThreadPool::kMaxSpinWindow);
    }
  }
}

TEST(ThreadPool, WorkersSpinForAFewOfTheCallersPausesWithinBounds) {
  using std::chrono::microseconds;
  // The window a caller gets after a long run of equal pauses.
  const auto settled = [](microseconds pause) {
    microseconds usual{0};
    for (int i = 0; i < 100; ++i) usual = ThreadPool::next_usual_pause(usual, pause);
    return ThreadPool::worker_spin_window(usual);
  };
  EXPECT_EQ(settled(microseconds(5)), ThreadPool::kSpinWindow);  // back-to-back steps
  // A NumPy chooser (the average, kept in whole microseconds, settles a little short).
  EXPECT_NEAR(settled(microseconds(600)).count(), 1800, 10);
  EXPECT_EQ(settled(microseconds(1500)), ThreadPool::kMaxSpinWindow);  // a slow chooser: capped
  EXPECT_EQ(settled(microseconds(20000)), ThreadPool::kSpinWindow);    // a network: never waits that long

  // One odd pause among short ones widens the window for a few steps only.
  microseconds usual{5};
  usual = ThreadPool::next_usual_pause(usual, std::chrono::seconds(1));
  EXPECT_EQ(ThreadPool::worker_spin_window(usual), ThreadPool::kMaxSpinWindow);
  for (int i = 0; i < 20; ++i) usual = ThreadPool::next_usual_pause(usual, microseconds(5));
  EXPECT_EQ(ThreadPool::worker_spin_window(usual), ThreadPool::kSpinWindow);
}

TEST(ThreadPool, ChunkedRunsHandEveryItemToExactlyOneThread) {
  ThreadPool pool(3);
  for (bool started : {false, true})
    for (int count : {0, 1, 2, 7, 8, 9, 256, 1001})
      for (int chunk : {1, 8, 64}) {
        std::vector<std::atomic<int>> taken(count);
        const auto take = [&](int begin, int end) {
          EXPECT_LE(end - begin, chunk);
          for (int i = begin; i < end; ++i) taken[i].fetch_add(1, std::memory_order_relaxed);
        };
        if (started) {  // on the workers alone, as an asynchronous step runs
          pool.start_chunks(count, chunk, take);
          pool.wait();
        } else {
          pool.run_chunks(count, chunk, take);
        }
        for (int i = 0; i < count; ++i)
          ASSERT_EQ(taken[i].load(), 1) << started << " " << count << " " << chunk << " " << i;
      }
}

TEST(ShareCursor, OneThreadTakesEveryShareInOrder) {
  ShareCursor cursor(4);
  cursor.restart(10, 2);
  std::vector<int> seen;
  cursor.drain(2, [&](int begin, int end) {
    for (int i = begin; i < end; ++i) seen.push_back(i);
  });
  // Thread 2's share [5, 7) first, then 3's [7, 10), then 0's and 1's.
  EXPECT_EQ(seen, (std::vector<int>{5, 6, 7, 8, 9, 0, 1, 2, 3, 4}));
}

}  // namespace
}  // namespace varnok
