#include "worker_pool.h"

#include <atomic>
#include <cerrno>
#include <system_error>

namespace cpu_device {

namespace {
std::atomic<int> thread_start_fault{0};
}  // namespace

void Fail_Thread_Start(int n) { thread_start_fault = n; }

WorkerPool::WorkerPool(int workers) {
  try {
    threads_.reserve(static_cast<size_t>(workers > 1 ? workers - 1 : 0));
    for (int i = 1; i < workers; ++i) {
      if (thread_start_fault > 0 && --thread_start_fault == 0)
        throw std::system_error(EAGAIN, std::generic_category(), "thread start (injected)");
      threads_.emplace_back([this] { loop(); });
    }
  } catch (const std::exception &) {
    // The threads started so far serve: the caller is always a worker.
  }
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread &t : threads_) t.join();
}

void WorkerPool::run(const std::function<void()> &job) {
  {
    std::lock_guard lock(mutex_);
    job_ = &job;
    busy_ = static_cast<int>(threads_.size());
    ++generation_;
  }
  wake_.notify_all();
  job();
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [this] { return busy_ == 0; });
  job_ = nullptr;
}

void WorkerPool::loop() {
  unsigned long seen = 0;
  for (;;) {
    const std::function<void()> *job;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
      if (stopping_) return;
      seen = generation_;
      job = job_;
    }
    (*job)();
    {
      std::lock_guard lock(mutex_);
      --busy_;
    }
    idle_.notify_one();
  }
}

}  // namespace cpu_device
