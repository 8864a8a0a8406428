// The worker pool: every worker runs each job once, shares and chunks cover
// the items exactly, failures reach the caller, and the pool is reusable
// afterwards, whether its workers are still spinning or asleep when the
// next job comes.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
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
      if (job % 50 == 49) std::this_thread::sleep_for(2 * ThreadPool::kSpinWindow);
    }
  }
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

// ThreadSanitizer ends a child that starts threads after a fork of a
// threaded process, and AddressSanitizer's shadow memory does not fit under
// an address-space limit: those tests need a build without them.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// Runs body in a forked child that an alarm ends if it hangs; true when the
// child exited with status 0 (body's answer: 0 for all well).
bool passes_in_child(const std::function<int()>& body) {
  const pid_t child = fork();
  if (child == 0) {
    alarm(30);
    int status = 99;
    try {
      status = body();
    } catch (...) {
      status = 98;
    }
    _exit(status);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << (WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status))
                              : "status " + std::to_string(WEXITSTATUS(status)));
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Runs a job on pool; 0 when every worker ran it once.
int everyone_runs(ThreadPool& pool) {
  std::vector<std::atomic<int>> runs(pool.size());
  pool.run([&](int worker) { runs[worker].fetch_add(1); });
  for (auto& r : runs)
    if (r.load() != 1) return 1;
  return 0;
}

TEST(ThreadPool, AForkedChildRunsJobsOnThreadsOfItsOwn) {
  if (kSanitized) GTEST_SKIP() << "needs a build without ThreadSanitizer";
  ThreadPool pool(3);
  ASSERT_EQ(everyone_runs(pool), 0);
  EXPECT_FALSE(pool.started_before_fork());
  passes_in_child([&] {
    if (!pool.started_before_fork()) return 1;
    for (int job = 0; job < 20; ++job)
      if (everyone_runs(pool) != 0) return 2;
    if (pool.started_before_fork()) return 3;
    // And in a grandchild of a child that started threads of its own.
    return passes_in_child([&] { return everyone_runs(pool); }) ? 0 : 4;
  });
  EXPECT_EQ(everyone_runs(pool), 0);  // the parent's own threads go on
}

TEST(ThreadPool, AJobUnderWayAtAForkIsRefusedInTheChildAndEndsInTheParent) {
  if (kSanitized) GTEST_SKIP() << "needs a build without ThreadSanitizer";
  ThreadPool pool(2);
  std::atomic<bool> release{false};
  pool.start([&](int) {
    while (!release.load()) std::this_thread::yield();
  });
  passes_in_child([&] {
    for (int attempt = 0; attempt < 2; ++attempt) {  // refused every time, never a hang
      try {
        pool.wait();
        return 1;
      } catch (const std::runtime_error& e) {
        if (std::string(e.what()).find("forked") == std::string::npos) return 2;
      }
    }
    return 0;
  });
  release = true;
  pool.wait();
  EXPECT_EQ(everyone_runs(pool), 0);
}

TEST(ThreadPool, ThreadsThatCannotStartAreJoinedAndTheErrorNamesTheCount) {
  if (kSanitized) GTEST_SKIP() << "needs a build without AddressSanitizer";
  passes_in_child([] {
    const auto threads_now = [] {
      std::ifstream status("/proc/self/status");
      for (std::string line; std::getline(status, line);)
        if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
      return -1;
    };
    long size_kb = 0;
    {
      std::ifstream status("/proc/self/status");
      for (std::string line; std::getline(status, line);)
        if (line.rfind("VmSize:", 0) == 0) size_kb = std::stol(line.substr(7));
    }
    // Room for a few thread stacks, not for 1024.
    const rlim_t limit = static_cast<rlim_t>(size_kb + 64 * 1024) * 1024;
    const rlimit address_space{limit, RLIM_INFINITY};
    if (setrlimit(RLIMIT_AS, &address_space) != 0) return 1;
    const int before = threads_now();
    try {
      ThreadPool pool(1024);
      return 2;
    } catch (const std::runtime_error& e) {
      if (std::string(e.what()).find("1024 worker threads") == std::string::npos) return 3;
    }
    for (int i = 0; i < 200 && threads_now() != before; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return threads_now() == before ? 0 : 4;
  });
}

}  // namespace
}  // namespace varnok
