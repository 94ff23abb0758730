// Runs one job on every worker at once: the calling thread is worker 0 and
// the others are long-lived threads, so a launch costs no thread creation.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace cpu_device {

class WorkerPool {
 public:
  explicit WorkerPool(int workers);
  WorkerPool(const WorkerPool &) = delete;
  WorkerPool &operator=(const WorkerPool &) = delete;
  ~WorkerPool();

  int size() const { return static_cast<int>(threads_.size()) + 1; }
  // Returns when every worker has finished `job`.
  void run(const std::function<void()> &job);

 private:
  void loop();

  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable wake_, idle_;
  const std::function<void()> *job_ = nullptr;
  unsigned long generation_ = 0;
  int busy_ = 0;
  bool stopping_ = false;
};

}  // namespace cpu_device
