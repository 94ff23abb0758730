// Kernel launches on the CPU device: configuration checks like the real
// runtime's, blocks spread over the worker pool, threads of a block run in
// turn and parked on fibers at barriers.
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "fiber.h"
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

uint3 thread_index(unsigned int linear, const dim3 &block) {
  return uint3{linear % block.x, (linear / block.x) % block.y, linear / (block.x * block.y)};
}

// Runs the blocks given to one worker. Threads of a block start in order of
// their linear index; a thread that reaches a barrier parks its fiber and
// hands over directly to the next thread to run, so threads that never wait
// share one fiber. Fibers are kept for the worker's lifetime and reused from
// block to block: a launch costs context switches, not fiber creation.
class WorkerScheduler {
 public:
  // cudaSuccess, cudaErrorLaunchFailure if the block broke a barrier, or
  // cudaErrorMemoryAllocation if no fiber could be had for a thread.
  cudaError_t run_block(const ThreadBody &body, unsigned int threads) {
    body_ = &body;
    threads_ = threads;
    next_ = finished_ = 0;
    out_of_memory_ = false;
    current_ = &home_;
    for (;;) {
      dispatch();  // back here once every thread has arrived or returned
      if (out_of_memory_) {
        abandon_waiting();
        return cudaErrorMemoryAllocation;
      }
      if (waiting_.empty()) return cudaSuccess;
      // A barrier that some threads can no longer reach would hang a real
      // device.
      if (finished_ > 0) {
        abandon_waiting();
        return cudaErrorLaunchFailure;
      }
      ready_.swap(waiting_);
      waiting_.clear();
      ready_next_ = 0;
    }
  }

  // Creates idle fibers until `count` exist, so that launches need no
  // memory of their own; false if the stacks could not be mapped.
  bool reserve(size_t count) {
    try {
      while (fibers_.size() < count) idle_.push_back(&create());
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
    waiting_.push_back(current_);
    dispatch();
    threadIdx = mine;  // other threads of the block ran in between
  }

  static thread_local WorkerScheduler *active;

 private:
  // Leaves the running context for the next one with work: a thread
  // released from the barrier, else a thread not yet started, else home.
  void dispatch() {
    Context *from = current_;
    Context *to = &home_;
    if (ready_next_ < ready_.size()) to = ready_[ready_next_++];
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
        threadIdx = thread_index(next_++, blockDim);
        (*body_)();
        ++finished_;
      }
      idle_.push_back(current_);
      dispatch();
    }
  }

  // Fibers parked at the broken barrier are dropped mid-kernel.
  void abandon_waiting() {
    std::erase_if(fibers_, [this](const std::unique_ptr<Context> &f) {
      return std::find(waiting_.begin(), waiting_.end(), f.get()) != waiting_.end();
    });
    waiting_.clear();
  }

  // Declared first: fibers hold stacks from the pool and go before it.
  StackPool stacks_;
  Context home_;
  std::vector<std::unique_ptr<Context>> fibers_;
  std::vector<Context *> idle_, waiting_, ready_;
  size_t ready_next_ = 0;
  const ThreadBody *body_ = nullptr;
  unsigned int threads_ = 0, next_ = 0, finished_ = 0;
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

cudaError_t launch(const cudaLaunchConfig_t &config, const ThreadBody &body) {
  {
    DeviceState &s = state();
    std::lock_guard lock(s.mutex);
    ++s.counts.launches;
    if (!valid_configuration(config)) {
      s.last_error = cudaErrorInvalidConfiguration;
      return cudaErrorInvalidConfiguration;
    }
  }
  const dim3 grid = config.gridDim, block = config.blockDim;
  const std::uint64_t blocks = std::uint64_t{grid.x} * grid.y * grid.z;
  const unsigned int threads = block.x * block.y * block.z;
  std::atomic<std::uint64_t> next_block{0};
  std::atomic<cudaError_t> fault{cudaSuccess};

  const std::function<void()> job = [&] {
    WorkerScheduler &mine = scheduler();
    gridDim = grid;
    blockDim = block;
    for (std::uint64_t b; fault.load(std::memory_order_relaxed) == cudaSuccess &&
                          (b = next_block.fetch_add(1)) < blocks;) {
      blockIdx = uint3{static_cast<unsigned int>(b % grid.x),
                       static_cast<unsigned int>((b / grid.x) % grid.y),
                       static_cast<unsigned int>(b / (std::uint64_t{grid.x} * grid.y))};
      WorkerScheduler::active = &mine;
      const cudaError_t result = mine.run_block(body, threads);
      WorkerScheduler::active = nullptr;
      // A real device abandons the whole kernel.
      if (result != cudaSuccess) fault = result;
    }
  };
  pool()->run(job);
  if (fault != cudaSuccess) report_kernel_fault(fault);
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

}  // namespace control

}  // namespace cpu_device

void __syncthreads() {
  if (cpu_device::WorkerScheduler::active != nullptr) cpu_device::WorkerScheduler::active->arrive();
}
