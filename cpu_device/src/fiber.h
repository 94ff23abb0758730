// Execution contexts for GPU threads that wait at barriers: a worker
// thread's own context and fibers, with direct switches from any context to
// any other. Boost.Context in the normal build; ucontext with
// AddressSanitizer's fiber annotations in the sanitizer build, where
// unannotated stack switches give false reports.
#pragma once

#include <cstddef>
#include <functional>
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
  // Below each stack's top: the mapping less at most a page of offset.
  static constexpr size_t kUsableBytes = kStackBytes - 4096;
  StackPool() = default;
  StackPool(const StackPool &) = delete;
  StackPool &operator=(const StackPool &) = delete;
  ~StackPool();
  // Returns the top (highest address) of a usable stack of kUsableBytes.
  char *take();
  void give_back(char *top);
  // Unmaps the stacks that no fiber holds.
  void trim();

 private:
  std::vector<char *> free_;
  std::vector<char *> mappings_;
  size_t mapped_ = 0;  // stacks mapped so far, for their offsets
};

class Context {
 public:
  // The calling thread's own context.
  Context();
  // A fiber that runs `body` from its first switch on; `body` never returns.
  Context(StackPool &pool, std::function<void()> body);
  Context(const Context &) = delete;
  Context &operator=(const Context &) = delete;
  // A fiber dropped while suspended is abandoned; its stack goes back to the
  // pool (Boost.Context unwinds it first).
  ~Context();

  // Leaves `this`, which must be the running context, for `target`; returns
  // when some context switches back to `this`.
  void switch_to(Context &target);

 private:
  StackPool *pool_ = nullptr;
  std::function<void()> body_;
  char *stack_top_ = nullptr;
#ifdef CPU_DEVICE_UCONTEXT
  static void entry(unsigned int hi, unsigned int lo);
  ucontext_t context_{};
  void *fake_stack_ = nullptr;
  const void *bottom_ = nullptr;
  size_t size_ = 0;
#else
  boost::context::fiber suspended_;  // this context's continuation while it waits
#endif
};

}  // namespace cpu_device
