// Items [0, count) handed out to the threads of a pool: each thread has a
// contiguous share of its own and takes chunks of it first, then helps with
// what is left of the others' shares.
//
// Two things decide how fast a batch goes on a few cores. A thread that
// starts late (a worker still waking up, a processor taken by another
// program) must not hold up the rest: here the others simply take its
// remaining chunks. And a game or tree should be worked on by the same core
// from one call to the next, so that its state is still in that core's
// cache: handing every chunk to whichever thread asks first moves each item
// to another core on about half the calls, and a search over 64 trees then
// ran slower on two threads than on one. Own shares first keeps an item on
// its core whenever the threads start together.
//
// Only for work whose items do not depend on the thread that runs them.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

namespace varnok {

class ShareCursor {
 public:
  // Shares for threads 0 .. threads - 1 (threads >= 1).
  explicit ShareCursor(int threads) : threads_(threads), shares_(std::make_unique<Share[]>(threads)) {}

  // The share [begin, end) of count items that thread owns: contiguous, in
  // thread order, sizes differing by at most one.
  static std::pair<int, int> share(int count, int thread, int threads) {
    const int64_t n = count;
    return {static_cast<int>(n * thread / threads), static_cast<int>(n * (thread + 1) / threads)};
  }

  // Starts handing out [0, count) again in chunks of chunk items; not while
  // threads take from it.
  void restart(int count, int chunk) {
    chunk_ = chunk;
    for (int t = 0; t < threads_; ++t) {
      const auto [begin, end] = share(count, t, threads_);
      shares_[t].next.store(begin, std::memory_order_relaxed);
      shares_[t].end = end;
    }
  }

  // Calls work(begin, end) on chunks until no item is left: first from
  // thread's own share, then from the others' in turn.
  template <class Work>
  void drain(int thread, Work work) {
    for (int k = 0; k < threads_; ++k) {
      Share& share = shares_[(thread + k) % threads_];
      for (int begin; (begin = share.next.fetch_add(chunk_, std::memory_order_relaxed)) < share.end;)
        work(begin, std::min(begin + chunk_, share.end));
    }
  }

 private:
  // Each share on a cache line of its own: its owner takes from it on
  // every chunk.
  static constexpr size_t kCacheLineBytes = 64;
  struct alignas(kCacheLineBytes) Share {
    std::atomic<int> next{0};
    int end = 0;
  };

  int threads_;
  int chunk_ = 1;
  std::unique_ptr<Share[]> shares_;
};

}  // namespace varnok
