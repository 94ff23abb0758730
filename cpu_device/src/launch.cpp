// Kernel launches on the CPU device: configuration checks like the real
// runtime's, blocks spread over the worker pool, threads of a block run in
// turn and parked on fibers at barriers.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
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

std::unique_ptr<WorkerPool> &pool() {
  static std::unique_ptr<WorkerPool> workers = std::make_unique<WorkerPool>(default_workers());
  return workers;
}

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
  // Returns false if the block broke a barrier.
  bool run_block(const ThreadBody &body, unsigned int threads) {
    body_ = &body;
    threads_ = threads;
    next_ = finished_ = 0;
    current_ = &home_;
    for (;;) {
      dispatch();  // back here once every thread has arrived or returned
      if (waiting_.empty()) return true;
      // A barrier that some threads can no longer reach would hang a real
      // device.
      if (finished_ > 0) {
        abandon_waiting();
        return false;
      }
      ready_.swap(waiting_);
      waiting_.clear();
      ready_next_ = 0;
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
    else if (next_ < threads_) to = &acquire();
    if (to == from) return;
    current_ = to;
    from->switch_to(*to);
  }

  Context &acquire() {
    if (!idle_.empty()) {
      Context *c = idle_.back();
      idle_.pop_back();
      return *c;
    }
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
  Context *current_ = nullptr;
};

thread_local WorkerScheduler *WorkerScheduler::active = nullptr;

bool valid_configuration(const cudaLaunchConfig_t &c) {
  const dim3 &g = c.gridDim, &b = c.blockDim;
  if (g.x == 0 || g.y == 0 || g.z == 0 || b.x == 0 || b.y == 0 || b.z == 0) return false;
  if (g.x > 0x7fffffffu || g.y > 65535 || g.z > 65535) return false;
  if (b.x > 1024 || b.y > 1024 || b.z > 64) return false;
  return std::uint64_t{b.x} * b.y * b.z <= 1024;
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
  std::atomic<bool> faulted{false};

  const std::function<void()> job = [&] {
    thread_local WorkerScheduler scheduler;
    gridDim = grid;
    blockDim = block;
    for (std::uint64_t b; !faulted.load(std::memory_order_relaxed) &&
                          (b = next_block.fetch_add(1)) < blocks;) {
      blockIdx = uint3{static_cast<unsigned int>(b % grid.x),
                       static_cast<unsigned int>((b / grid.x) % grid.y),
                       static_cast<unsigned int>(b / (std::uint64_t{grid.x} * grid.y))};
      WorkerScheduler::active = &scheduler;
      const bool ok = scheduler.run_block(body, threads);
      WorkerScheduler::active = nullptr;
      if (!ok) faulted = true;  // a real device abandons the whole kernel
    }
  };
  pool()->run(job);
  if (faulted) report_kernel_fault(cudaErrorLaunchFailure);
  return cudaSuccess;
}

namespace control {

void set_workers(int workers) {
  const int n = workers > 0 ? workers : default_workers();
#ifdef CPU_DEVICE_SINGLE_WORKER
  (void)n;  // plain-static shared memory needs a single worker
#else
  if (pool()->size() != n) pool() = std::make_unique<WorkerPool>(n);
#endif
}

int workers() { return pool()->size(); }

}  // namespace control

}  // namespace cpu_device

void __syncthreads() {
  if (cpu_device::WorkerScheduler::active != nullptr) cpu_device::WorkerScheduler::active->arrive();
}
