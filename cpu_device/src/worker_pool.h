// Runs one job on every worker at once: the calling thread is worker 0 and
// the others are long-lived threads, so a launch costs no thread creation.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace cpu_device {

// The n-th worker thread started from now fails as one does where the
// system has no room for its stack (the tests' control::fail_thread_start).
void Fail_Thread_Start(int n);

class WorkerPool {
 public:
  // Up to `workers`: a thread the system cannot start leaves the pool
  // smaller (blocks run on fewer workers, with the same bits), where an
  // escaping std::system_error ended the process that called the module.
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
