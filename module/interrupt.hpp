// Long native calls that Ctrl-C can stop. Python handles a signal only when
// the main thread runs with the interpreter lock held, so a loop that runs
// with the lock released is cut into slices: between two slices the lock is
// taken back and pending signals are handled. A handler that raises (SIGINT's
// KeyboardInterrupt) ends the call with that exception once the slice in
// progress is finished, so the caller's object is left between two whole
// slices, never inside one. Slices grow until one lasts about kSliceTime, so
// the checks cost nothing measurable and a call stops within about that time.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace varnok::binding {

inline constexpr std::chrono::milliseconds kSliceTime{50};
inline constexpr int64_t kMaxSlice = int64_t{1} << 40;

// Runs pending signal handlers (the lock held); rethrows what one raised.
inline void check_interrupt() {
  if (PyErr_CheckSignals() != 0) throw pybind11::error_already_set();
}

// Calls work(count) with the interpreter lock released until it returns
// false; work does up to count more units each time (at least one) and says
// whether any are left. Between calls pending signals are handled, and an
// exception a handler raises is thrown from here.
template <class Work>
void run_interruptibly(Work&& work) {
  int64_t slice = 1;
  for (bool more = true; more;) {
    const auto start = std::chrono::steady_clock::now();
    {
      pybind11::gil_scoped_release unlocked;
      more = work(slice);
    }
    check_interrupt();
    const auto took = std::chrono::steady_clock::now() - start;
    if (took < kSliceTime / 2)
      slice = std::min(slice * 2, kMaxSlice);
    else if (took > kSliceTime * 2)
      slice = std::max<int64_t>(slice / 2, 1);
  }
}

// run_interruptibly over the units [0, total): work(begin, end) does a range.
template <class Work>
void run_range_interruptibly(int64_t total, Work&& work) {
  int64_t done = 0;
  if (total <= 0) return;
  run_interruptibly([&](int64_t count) {
    const int64_t end = std::min(total, done + count);
    work(done, end);
    done = end;
    return done < total;
  });
}

}  // namespace varnok::binding
