// Work spread over host threads, for the factorisation and the staging
// copies. A thread that cannot be created leaves its share to the calling
// thread: fewer threads, never a failed call.
#pragma once

#include <algorithm>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace velmora_log {

inline std::int64_t Host_Cores() {
  return std::max<std::int64_t>(1, std::thread::hardware_concurrency());
}

// Runs body(begin, end) over `threads` contiguous ranges of [0, count); the
// ranges depend on count and threads only.
template <typename Body>
void Parallel_Ranges(std::int64_t count, std::int64_t threads, Body body) {
  threads = std::max<std::int64_t>(1, std::min(threads, count));
  std::exception_ptr failure;  // the first, raised once every thread is back
  std::mutex mutex;
  const auto range = [&](std::int64_t t) {
    try {
      body(count * t / threads, count * (t + 1) / threads);
    } catch (...) {
      std::lock_guard lock(mutex);
      if (!failure) failure = std::current_exception();
    }
  };
  std::vector<std::thread> pool;
  std::int64_t started = 1;  // range 0 is the calling thread's
  try {
    for (; started < threads; ++started) pool.emplace_back(range, started);
  } catch (...) {
    // Out of threads (a process limit) or of memory for one: the rest runs
    // here.
  }
  range(0);
  for (std::int64_t t = started; t < threads; ++t) range(t);
  for (std::thread &thread : pool) thread.join();
  if (failure) std::rethrow_exception(failure);
}

// Runs body(k) for k in [0, count) over up to the host's cores; each thread
// takes a contiguous range, so an item's arithmetic does not depend on the
// number of threads. Small jobs stay on the calling thread.
template <typename Body>
void Parallel_For(std::int64_t count, double work_per_item, Body body) {
  const std::int64_t by_work = static_cast<std::int64_t>(count * work_per_item / 2e5) + 1;
  Parallel_Ranges(count, std::min(Host_Cores(), by_work), [&](std::int64_t b, std::int64_t e) {
    for (std::int64_t k = b; k < e; ++k) body(k);
  });
}

}  // namespace velmora_log
