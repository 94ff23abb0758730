// A GPU thread that has to wait at a barrier runs on a fiber of its own.
// Boost.Context in the normal build; ucontext with AddressSanitizer's fiber
// annotations in the sanitizer build, where unannotated stack switches give
// false reports.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

#ifdef CPU_DEVICE_UCONTEXT
#include <ucontext.h>
#else
#include <boost/context/fiber.hpp>
#endif

namespace cpu_device {

// Fiber stacks, mapped once per worker and reused, each with a guard page
// below it so that an overflow faults instead of corrupting a neighbour.
class StackPool {
 public:
  static constexpr size_t kStackBytes = 256 * 1024;
  StackPool() = default;
  StackPool(const StackPool &) = delete;
  StackPool &operator=(const StackPool &) = delete;
  ~StackPool();
  // Returns the top (highest address) of a usable stack of kStackBytes.
  char *take();
  void give_back(char *top);

 private:
  std::vector<char *> free_;
  std::vector<char *> mappings_;
};

class Fiber {
 public:
  using Body = std::function<void(Fiber &)>;
  Fiber(StackPool &pool, Body body);
  Fiber(const Fiber &) = delete;
  Fiber &operator=(const Fiber &) = delete;
  // A fiber dropped while suspended is abandoned: its stack goes back to the
  // pool without running the rest of its body.
  ~Fiber();

  // From the scheduler: run until the body suspends or returns.
  void resume();
  // From inside the body: go back to the scheduler.
  void suspend();
  bool finished() const { return finished_; }

 private:
  StackPool &pool_;
  Body body_;
  char *stack_top_;
  bool finished_ = false;
#ifdef CPU_DEVICE_UCONTEXT
  static void entry(unsigned int hi, unsigned int lo);
  ucontext_t context_{};
  ucontext_t caller_{};
  void *fake_stack_ = nullptr;
  const void *caller_bottom_ = nullptr;
  size_t caller_size_ = 0;
#else
  boost::context::fiber context_;
  boost::context::fiber caller_;
#endif
};

}  // namespace cpu_device
