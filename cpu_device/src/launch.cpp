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

thread_local uint3 threadIdx;
thread_local uint3 blockIdx;
thread_local dim3 blockDim;
thread_local dim3 gridDim;

namespace cpu_device {

namespace {

int default_workers() {
#ifdef CPU_DEVICE_SINGLE_WORKER
  return 1;
#else
  return std::max(1u, std::thread::hardware_concurrency());
#endif
}

struct PoolHolder {
  std::unique_ptr<WorkerPool> pool = std::make_unique<WorkerPool>(default_workers());
};

PoolHolder &pool_holder() {
  static PoolHolder holder;
  return holder;
}

uint3 thread_index(unsigned int linear, const dim3 &block) {
  return uint3{linear % block.x, (linear / block.x) % block.y, linear / (block.x * block.y)};
}

// One block in flight on a worker. Threads are started in order of their
// linear index; a thread that reaches a barrier parks its fiber, and the next
// thread starts on a fresh one. Threads that never wait share one fiber.
class BlockRun {
 public:
  BlockRun(StackPool &stacks, const ThreadBody &body, unsigned int threads)
      : stacks_(stacks), body_(body), threads_(threads) {}

  // Returns false if the block broke a barrier.
  bool run() {
    for (;;) {
      while (next_ < threads_) {
        fibers_.push_back(std::make_unique<Fiber>(stacks_, [this](Fiber &f) { serve(f); }));
        enter(*fibers_.back());
      }
      if (waiting_.empty()) return true;
      // Every thread has either arrived or returned. A barrier that some
      // threads can no longer reach would hang a real device.
      if (finished_ > 0) return false;
      std::vector<Fiber *> released;
      released.swap(waiting_);
      for (Fiber *f : released) enter(*f);
      std::erase_if(fibers_, [](const auto &f) { return f->finished(); });
    }
  }

  void arrive() {
    waiting_.push_back(current_);
    current_->suspend();
  }

  static thread_local BlockRun *active;

 private:
  void enter(Fiber &f) {
    current_ = &f;
    f.resume();
  }

  void serve(Fiber &self) {
    while (next_ < threads_) {
      const unsigned int linear = next_++;
      threadIdx = thread_index(linear, blockDim);
      body_();
      ++finished_;
      // Another fiber may have run in between; our thread index is ours.
      current_ = &self;
    }
  }

  StackPool &stacks_;
  const ThreadBody &body_;
  const unsigned int threads_;
  unsigned int next_ = 0;
  unsigned int finished_ = 0;
  Fiber *current_ = nullptr;
  std::vector<std::unique_ptr<Fiber>> fibers_;
  std::vector<Fiber *> waiting_;
};

thread_local BlockRun *BlockRun::active = nullptr;

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
    thread_local StackPool stacks;
    gridDim = grid;
    blockDim = block;
    for (std::uint64_t b; !faulted.load(std::memory_order_relaxed) &&
                          (b = next_block.fetch_add(1)) < blocks;) {
      blockIdx = uint3{static_cast<unsigned int>(b % grid.x),
                       static_cast<unsigned int>((b / grid.x) % grid.y),
                       static_cast<unsigned int>(b / (std::uint64_t{grid.x} * grid.y))};
      BlockRun run(stacks, body, threads);
      BlockRun::active = &run;
      const bool ok = run.run();
      BlockRun::active = nullptr;
      if (!ok) faulted = true;  // a real device abandons the whole kernel
    }
  };
  pool_holder().pool->run(job);
  if (faulted) report_kernel_fault(cudaErrorLaunchFailure);
  return cudaSuccess;
}

namespace control {

void set_workers(int workers) {
  const int n = workers > 0 ? workers : default_workers();
#ifdef CPU_DEVICE_SINGLE_WORKER
  (void)n;  // plain-static shared memory needs a single worker
#else
  if (pool_holder().pool->size() != n) pool_holder().pool = std::make_unique<WorkerPool>(n);
#endif
}

int workers() { return pool_holder().pool->size(); }

}  // namespace control

}  // namespace cpu_device

void __syncthreads() {
  if (cpu_device::BlockRun::active != nullptr) cpu_device::BlockRun::active->arrive();
}
