// Kernel launches on the CPU device: configuration checks like the real
// runtime's, blocks spread over the worker pool, threads of a block run in
// turn and parked on fibers at barriers and warp collectives.
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fiber.h"
#include "race_check.h"
#include "state.h"
#include "worker_pool.h"

constinit thread_local uint3 threadIdx{};
constinit thread_local uint3 blockIdx{};
constinit thread_local dim3 blockDim;
constinit thread_local dim3 gridDim;

namespace cpu_device {

namespace {

int default_workers() {
#ifdef CPU_DEVICE_SINGLE_WORKER
  return 1;
#else
  return std::max(1u, std::thread::hardware_concurrency());
#endif
}

// The pool, and whether its workers hold the fibers of a largest block.
struct Workers {
  std::unique_ptr<WorkerPool> pool = std::make_unique<WorkerPool>(default_workers());
  bool reserved = false;
};

// A forked child (Octave's parallel workers are forks of the session) has
// only the thread that forked: the pool's threads stayed with the parent.
std::atomic<bool> forked{false};

void Note_Fork() { forked = true; }

Workers &workers_state() {
  static Workers workers = [] {
    pthread_atfork(nullptr, nullptr, Note_Fork);
    return Workers{};
  }();
  if (forked.exchange(false)) {
    // The old pool cannot be destroyed without the threads it would join:
    // it is kept, never destroyed, where leak checkers still see it.
    static std::vector<WorkerPool *> *const orphans = new std::vector<WorkerPool *>;
    const int size = workers.pool->size();
    orphans->push_back(workers.pool.release());
    workers.pool = std::make_unique<WorkerPool>(size);
    workers.reserved = false;
  }
  return workers;
}

std::unique_ptr<WorkerPool> &pool() { return workers_state().pool; }

constexpr unsigned int kWarpSize = 32;

uint3 thread_index(unsigned int linear, const dim3 &block) {
  return uint3{linear % block.x, (linear / block.x) % block.y, linear / (block.x * block.y)};
}

unsigned int linear_index(const uint3 &t, const dim3 &block) {
  return t.x + block.x * (t.y + block.y * t.z);
}

// splitmix64: a block's permutations from the seed, the block and the
// interval alone, whichever worker runs the block.
std::uint64_t mix(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ull;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

// How a launch orders the threads of its blocks between barriers.
struct Launch_Order {
  control::Thread_Order kind = control::Thread_Order::forward;
  std::uint64_t seed = 0;

  // Puts `items`, in ascending order of thread, into this order for the
  // given block and interval.
  template <class T>
  void arrange(std::vector<T> &items, std::uint64_t block, unsigned int interval) const {
    if (kind == control::Thread_Order::reversed) {
      std::reverse(items.begin(), items.end());
    } else if (kind == control::Thread_Order::shuffled) {
      std::uint64_t r = mix(mix(mix(seed) ^ block) ^ interval);
      for (size_t i = items.size(); i > 1; --i) {
        r = mix(r);
        std::swap(items[i - 1], items[r % i]);
      }
    }
  }
};

// Runs the blocks given to one worker. Threads of a block start in the
// launch's order (by default, of their linear index), and are released from
// each barrier in that order; a thread that reaches a barrier parks its
// fiber and hands over directly to the next thread to run, so threads that
// never wait share one fiber. Fibers are kept for the worker's lifetime and
// reused from block to block: a launch costs context switches, not fiber
// creation.
//
// A warp collective parks its threads the same way, but it is no barrier:
// a round of it does not end the race check's interval. Its lanes can only
// meet in a round that the whole block spends at the collective, so a round
// that mixes it with a barrier or with threads that have returned breaks
// the block as a broken barrier does.
class WorkerScheduler {
 public:
  // cudaSuccess, cudaErrorLaunchFailure if the block broke a barrier or a
  // warp collective or a thread returned with copies in flight, or
  // cudaErrorMemoryAllocation if no fiber (or no room
  // for a collective's operands) could be had for a thread. `recorder`, when
  // checking for races, learns of every barrier.
  cudaError_t run_block(const ThreadBody &body, unsigned int threads, std::uint64_t block,
                        const Launch_Order &order, race::Worker *recorder) {
    body_ = &body;
    threads_ = threads;
    next_ = finished_ = 0;
    collectives_ = collective_rounds_ = 0;
    out_of_memory_ = false;
    unwaited_ = false;
    current_ = &home_;
    // A list of copies for each thread, sized once a block; an abandoned
    // block's are dropped.
    try {
      if (copies_.size() < threads) copies_.resize(threads);
    } catch (const std::bad_alloc &) {
      return cudaErrorMemoryAllocation;
    }
    for (std::vector<Copy> &c : copies_) c.clear();
    start_.clear();
    if (order.kind != control::Thread_Order::forward) {
      start_.resize(threads);
      for (unsigned int i = 0; i < threads; ++i) start_[i] = i;
      order.arrange(start_, block, 0);
    }
    for (unsigned int interval = 1;; ++interval) {
      dispatch();  // back here once every thread has arrived or returned
      if (out_of_memory_) {
        abandon_waiting();
        return cudaErrorMemoryAllocation;
      }
      if (waiting_.empty()) return unwaited_ ? cudaErrorLaunchFailure : cudaSuccess;
      // A barrier that some threads can no longer reach would hang a real
      // device; a collective that not every lane of a warp reaches has no
      // defined result.
      const bool collective = collectives_ > 0;
      if (finished_ > 0 || (collective && (collectives_ != threads || threads % kWarpSize != 0))) {
        abandon_waiting();
        return cudaErrorLaunchFailure;
      }
      ready_.swap(waiting_);
      waiting_.clear();
      ready_next_ = 0;
      if (order.kind != control::Thread_Order::forward) {
        std::sort(ready_.begin(), ready_.end(),
                  [](const Parked &a, const Parked &b) { return a.thread < b.thread; });
        order.arrange(ready_, block, interval);
      }
      if (collective) {
        ++collective_rounds_;
        collectives_ = 0;
      } else if (recorder != nullptr) {
        recorder->barrier_released();
      }
    }
  }

  // Creates idle fibers until `count` exist, so that launches need no
  // memory of their own; false if the stacks could not be mapped.
  bool reserve(size_t count) {
    try {
      while (fibers_.size() < count) idle_.push_back(&create());
      if (deposits_.size() < 2 * count) deposits_.resize(2 * count);
      return true;
    } catch (const std::bad_alloc &) {
      // What could be had goes back to the host, which is short of memory.
      std::erase_if(fibers_, [this](const std::unique_ptr<Context> &f) {
        return std::find(idle_.begin(), idle_.end(), f.get()) != idle_.end();
      });
      idle_.clear();
      stacks_.trim();
      return false;
    }
  }

  void arrive() {
    const uint3 mine = threadIdx;
    waiting_.push_back(Parked{current_, linear_index(mine, blockDim)});
    dispatch();
    threadIdx = mine;  // other threads of the block ran in between
  }

  // The warp's D = A B + C of cpu_device_dmma_884 for the calling thread.
  void dmma_884(double &d0, double &d1, double a, double b, double c0, double c1) {
    const unsigned int me = linear_index(threadIdx, blockDim);
    // The collectives before this one, the same for every thread of a
    // block that keeps the rule.
    const size_t slot = collective_rounds_ % 2;
    if (deposits_.size() < 2 * size_t{threads_}) {
      try {
        deposits_.resize(2 * size_t{threads_});
      } catch (const std::bad_alloc &) {
        out_of_memory_ = true;  // the block is abandoned once every thread has parked
      }
    }
    if (!out_of_memory_) deposits_[slot * threads_ + me] = Deposit{a, b};
    ++collectives_;
    arrive();
    // Every lane has deposited: a broken round never resumes this fiber.
    const Deposit *warp = deposits_.data() + slot * threads_ + (me - me % kWarpSize);
    const unsigned int g = me % kWarpSize / 4, t = me % 4;
    d0 = Fused_Row_Column(warp, g, 2 * t, c0);
    d1 = Fused_Row_Column(warp, g, 2 * t + 1, c1);
    // Written here, not by the kernel's instrumented code.
    race::record(&d0, sizeof d0, race::kWrite);
    race::record(&d1, sizeof d1, race::kWrite);
  }

  // cpu_device_copy_async for the calling thread: the value is read now and
  // held back, with a NaN in its place, until the thread waits.
  void copy_async(double *to, const double *from, bool in) {
    const double value = in ? *from : 0.0;
    const unsigned int me = linear_index(threadIdx, blockDim);
    try {
      copies_[me].push_back(Copy{to, value});
      *to = std::numeric_limits<double>::quiet_NaN();
    } catch (const std::bad_alloc &) {
      *to = value;  // no room to hold it back: it lands at once
    }
    // Written here, not by the kernel's instrumented code: the race check
    // sees the copy's write in the interval it was made in, and again in
    // the one where it lands (land), which may be later (a copy waited for
    // only past a barrier). In between, no thread has waited for it, and a
    // read gets the NaN in any order of the threads.
    race::record(to, sizeof *to, race::kWrite);
  }

  void wait_copies() { land(linear_index(threadIdx, blockDim)); }

  static thread_local WorkerScheduler *active;

 private:
  // Thread `me`'s copies in flight land, in the order they were made.
  void land(unsigned int me) {
    for (const Copy &c : copies_[me]) {
      *c.to = c.value;
      race::record(c.to, sizeof *c.to, race::kWrite);
    }
    copies_[me].clear();
  }

  // Leaves the running context for the next one with work: a thread
  // released from the barrier, else a thread not yet started, else home.
  void dispatch() {
    Context *from = current_;
    Context *to = &home_;
    if (ready_next_ < ready_.size()) to = ready_[ready_next_++].context;
    else if (next_ < threads_ && !out_of_memory_) to = acquire();
    if (to == from) return;
    current_ = to;
    from->switch_to(*to);
  }

  // An idle fiber, or a new one; home when none can be had, since an
  // exception must not leave a fiber.
  Context *acquire() {
    if (!idle_.empty()) {
      Context *c = idle_.back();
      idle_.pop_back();
      return c;
    }
    try {
      return &create();
    } catch (const std::bad_alloc &) {
      out_of_memory_ = true;
      return &home_;
    }
  }

  Context &create() {
    fibers_.push_back(std::make_unique<Context>(stacks_, [this] { serve(); }));
    return *fibers_.back();
  }

  // A fiber's life: run threads while there are some to start, then idle.
  void serve() {
    for (;;) {
      while (next_ < threads_) {
        threadIdx = thread_index(start_.empty() ? next_ : start_[next_], blockDim);
        ++next_;
        (*body_)();
        // On a GPU a block that ends frees its shared memory, which a copy
        // still in flight may then write into another block's: a fault,
        // though here the copies land and the results may look right.
        const unsigned int me = linear_index(threadIdx, blockDim);
        unwaited_ = unwaited_ || !copies_[me].empty();
        land(me);
        ++finished_;
      }
      idle_.push_back(current_);
      dispatch();
    }
  }

  // What lane 4g + t of a warp leaves for the others: A[g][t] and B[t][g].
  // Its C elements are its own: no other lane needs them.
  struct Deposit {
    double a, b;
  };

  // C[g][n] with A[g][k] B[k][n] fused in for k = 0..3, from the warp's
  // deposits.
  static double Fused_Row_Column(const Deposit *warp, unsigned int g, unsigned int n, double c) {
    for (unsigned int k = 0; k < 4; ++k) c = std::fma(warp[4 * g + k].a, warp[4 * n + k].b, c);
    return c;
  }

  // Fibers parked at the broken barrier are dropped mid-kernel.
  void abandon_waiting() {
    std::erase_if(fibers_, [this](const std::unique_ptr<Context> &f) {
      return std::find_if(waiting_.begin(), waiting_.end(),
                          [&f](const Parked &p) { return p.context == f.get(); }) != waiting_.end();
    });
    waiting_.clear();
  }

  // Declared first: fibers hold stacks from the pool and go before it.
  StackPool stacks_;
  Context home_;
  std::vector<std::unique_ptr<Context>> fibers_;
  // A thread parked at the barrier, by its linear index.
  struct Parked {
    Context *context;
    unsigned int thread;
  };
  std::vector<Context *> idle_;
  std::vector<Parked> waiting_, ready_;
  std::vector<unsigned int> start_;  // the order threads start in, unless by index
  size_t ready_next_ = 0;
  const ThreadBody *body_ = nullptr;
  unsigned int threads_ = 0, next_ = 0, finished_ = 0;
  // Threads of this round at a collective, and the block's rounds that were
  // collectives.
  unsigned int collectives_ = 0, collective_rounds_ = 0;
  // The collectives' operands by linear thread index, in two slots of
  // threads_ that alternate from one collective to the next: a thread
  // released first from one may deposit for the next before the others
  // have read their warp's operands of the first.
  std::vector<Deposit> deposits_;
  // Copies to shared memory in flight, by linear thread index.
  struct Copy {
    double *to;
    double value;
  };
  std::vector<std::vector<Copy>> copies_;
  bool unwaited_ = false;  // a thread of the block returned with copies in flight
  bool out_of_memory_ = false;
  Context *current_ = nullptr;
};

WorkerScheduler &scheduler() {
  thread_local WorkerScheduler scheduler;
  return scheduler;
}

thread_local WorkerScheduler *WorkerScheduler::active = nullptr;

bool valid_configuration(const cudaLaunchConfig_t &c) {
  const dim3 &g = c.gridDim, &b = c.blockDim;
  if (g.x == 0 || g.y == 0 || g.z == 0 || b.x == 0 || b.y == 0 || b.z == 0) return false;
  if (g.x > 0x7fffffffu || g.y > 65535 || g.z > 65535) return false;
  if (b.x > 1024 || b.y > 1024 || b.z > 64) return false;
  return std::uint64_t{b.x} * b.y * b.z <= kMaxThreadsPerBlock;
}

}  // namespace

cudaError_t launch(const cudaLaunchConfig_t &config, const ThreadBody &body, const void *kernel) {
  Launch_Order order;
  bool checking = false;
  {
    DeviceState &s = state();
    std::lock_guard lock(s.mutex);
    ++s.counts.launches;
    if (!valid_configuration(config)) {
      s.last_error = cudaErrorInvalidConfiguration;
      return cudaErrorInvalidConfiguration;
    }
    const auto room = s.room.find(kernel);
    if (config.dynamicSmemBytes > (room == s.room.end() ? kDefaultRoomPerBlock : room->second)) {
      s.last_error = cudaErrorInvalidValue;
      return cudaErrorInvalidValue;
    }
    order = Launch_Order{s.order, s.order_seed};
    checking = s.race_check;
  }
  if (checking && !race::instrumented) {
    // Only CPU_DEVICE_RACE_CHECK can ask for it here: a check that saw
    // nothing would pass.
    std::fputs("cpu_device: CPU_DEVICE_RACE_CHECK=1, but no code of this program was compiled "
               "for the race check\n", stderr);
    std::abort();
  }
  const dim3 grid = config.gridDim, block = config.blockDim;
  const std::uint64_t blocks = std::uint64_t{grid.x} * grid.y * grid.z;
  const unsigned int threads = block.x * block.y * block.z;
  std::atomic<std::uint64_t> next_block{0};
  std::atomic<cudaError_t> fault{cudaSuccess};
  std::mutex races;
  std::optional<race::Race> lowest;  // the launch's race in its lowest block

  const std::function<void()> job = [&] {
    WorkerScheduler &mine = scheduler();
    gridDim = grid;
    blockDim = block;
    race::Worker *recorder = checking ? &race::worker() : nullptr;
    if (recorder != nullptr) recorder->begin_launch(kernel);
    for (std::uint64_t b; fault.load(std::memory_order_relaxed) == cudaSuccess &&
                          (b = next_block.fetch_add(1)) < blocks;) {
      blockIdx = uint3{static_cast<unsigned int>(b % grid.x),
                       static_cast<unsigned int>((b / grid.x) % grid.y),
                       static_cast<unsigned int>(b / (std::uint64_t{grid.x} * grid.y))};
      WorkerScheduler::active = &mine;
      if (recorder != nullptr) recorder->begin_block(b, blockIdx);
      const cudaError_t result = mine.run_block(body, threads, b, order, recorder);
      if (recorder != nullptr) recorder->end_block();
      WorkerScheduler::active = nullptr;
      // A real device abandons the whole kernel.
      if (result != cudaSuccess) fault = result;
    }
    if (recorder != nullptr && recorder->raced()) {
      std::lock_guard lock(races);
      if (!lowest || recorder->race().block < lowest->block) lowest = recorder->race();
    }
  };
  pool()->run(job);
  if (fault != cudaSuccess) report_kernel_fault(fault);
  if (lowest) {
    std::string report = race::describe(*lowest, kernel, block);
    DeviceState &s = state();
    std::lock_guard lock(s.mutex);
    s.race_reports.push_back(std::move(report));
  }
  return fault == cudaErrorMemoryAllocation ? cudaErrorMemoryAllocation : cudaSuccess;
}

bool reserve_launch_resources() {
  Workers &w = workers_state();
  if (w.reserved) return true;
  std::atomic<bool> all{true};
  const std::function<void()> job = [&] {
    if (!scheduler().reserve(kMaxThreadsPerBlock)) all = false;
  };
  w.pool->run(job);
  w.reserved = all;
  return w.reserved;
}

namespace control {

void set_workers(int workers) {
  const int n = workers > 0 ? workers : default_workers();
#ifdef CPU_DEVICE_SINGLE_WORKER
  (void)n;  // plain-static shared memory needs a single worker
#else
  if (pool()->size() != n) {
    pool() = std::make_unique<WorkerPool>(n);
    workers_state().reserved = false;  // new threads, new schedulers
  }
#endif
}

int workers() { return pool()->size(); }

void fail_thread_start(int n) { Fail_Thread_Start(n); }

void set_thread_order(Thread_Order order, std::uint64_t seed) {
  DeviceState &s = state();
  std::lock_guard lock(s.mutex);
  s.order = order;
  s.order_seed = seed;
}

bool set_race_check(bool on) {
  DeviceState &s = state();
  std::lock_guard lock(s.mutex);
  s.race_check = on && race::instrumented;
  return s.race_check == on;
}

std::vector<std::string> take_race_reports() {
  DeviceState &s = state();
  std::lock_guard lock(s.mutex);
  return std::exchange(s.race_reports, {});
}

}  // namespace control

}  // namespace cpu_device

void __syncthreads() {
  if (cpu_device::WorkerScheduler::active != nullptr) cpu_device::WorkerScheduler::active->arrive();
}

void cpu_device_copy_async(double *to, const double *from, bool in) {
  if (cpu_device::WorkerScheduler *s = cpu_device::WorkerScheduler::active) s->copy_async(to, from, in);
  else *to = in ? *from : 0.0;
}

void cpu_device_wait_copies() {
  if (cpu_device::WorkerScheduler *s = cpu_device::WorkerScheduler::active) s->wait_copies();
}

void cpu_device_dmma_884(double &d0, double &d1, double a, double b, double c0, double c1) {
  cpu_device::WorkerScheduler *s = cpu_device::WorkerScheduler::active;
  if (s == nullptr) {
    // One thread holds a single lane's operands: alone it has no product to
    // form, and a made-up one would pass unnoticed.
    std::fputs("cpu_device: cpu_device_dmma_884 outside a kernel: the 32 lanes of a warp "
               "compute it together\n", stderr);
    std::abort();
  }
  s->dmma_884(d0, d1, a, b, c0, c1);
}
