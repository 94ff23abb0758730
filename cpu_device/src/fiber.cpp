#include "fiber.h"

#include <sys/mman.h>

#include <cstdint>
#include <new>
#include <utility>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#define CPU_DEVICE_ASAN 1
#endif

namespace cpu_device {

namespace {
constexpr size_t kGuardBytes = 4096;
}

StackPool::~StackPool() {
  for (char *base : mappings_) munmap(base, kStackBytes + kGuardBytes);
}

char *StackPool::take() {
  if (free_.empty()) {
    void *base = mmap(nullptr, kStackBytes + kGuardBytes, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) throw std::bad_alloc();
    mprotect(base, kGuardBytes, PROT_NONE);
    mappings_.push_back(static_cast<char *>(base));
    free_.push_back(static_cast<char *>(base) + kGuardBytes + kStackBytes);
  }
  char *top = free_.back();
  free_.pop_back();
  return top;
}

void StackPool::give_back(char *top) {
#ifdef CPU_DEVICE_ASAN
  // An abandoned fiber leaves its frames' redzones poisoned.
  __asan_unpoison_memory_region(top - kStackBytes, kStackBytes);
#endif
  free_.push_back(top);
}

#ifdef CPU_DEVICE_UCONTEXT

Fiber::Fiber(StackPool &pool, Body body)
    : pool_(pool), body_(std::move(body)), stack_top_(pool.take()) {
  getcontext(&context_);
  context_.uc_stack.ss_sp = stack_top_ - StackPool::kStackBytes;
  context_.uc_stack.ss_size = StackPool::kStackBytes;
  context_.uc_link = nullptr;
  const auto self = reinterpret_cast<std::uintptr_t>(this);
  makecontext(&context_, reinterpret_cast<void (*)()>(&Fiber::entry), 2,
              static_cast<unsigned int>(self >> 32), static_cast<unsigned int>(self));
}

Fiber::~Fiber() { pool_.give_back(stack_top_); }

void Fiber::entry(unsigned int hi, unsigned int lo) {
  auto *self = reinterpret_cast<Fiber *>((std::uintptr_t{hi} << 32) | lo);
#ifdef CPU_DEVICE_ASAN
  __sanitizer_finish_switch_fiber(nullptr, &self->caller_bottom_, &self->caller_size_);
#endif
  self->body_(*self);
  self->finished_ = true;
#ifdef CPU_DEVICE_ASAN
  // A null save slot tells AddressSanitizer this stack is done with.
  __sanitizer_start_switch_fiber(nullptr, self->caller_bottom_, self->caller_size_);
#endif
  setcontext(&self->caller_);
}

void Fiber::resume() {
#ifdef CPU_DEVICE_ASAN
  void *fake = nullptr;
  __sanitizer_start_switch_fiber(&fake, stack_top_ - StackPool::kStackBytes,
                                 StackPool::kStackBytes);
#endif
  swapcontext(&caller_, &context_);
#ifdef CPU_DEVICE_ASAN
  __sanitizer_finish_switch_fiber(fake, nullptr, nullptr);
#endif
}

void Fiber::suspend() {
#ifdef CPU_DEVICE_ASAN
  __sanitizer_start_switch_fiber(&fake_stack_, caller_bottom_, caller_size_);
#endif
  swapcontext(&context_, &caller_);
#ifdef CPU_DEVICE_ASAN
  __sanitizer_finish_switch_fiber(fake_stack_, &caller_bottom_, &caller_size_);
#endif
}

#else  // Boost.Context

namespace {
// Hands Boost.Context a stack from the worker's pool instead of allocating.
struct PooledStack {
  char *top;
  size_t size;
  boost::context::stack_context allocate() {
    boost::context::stack_context context;
    context.sp = top;
    context.size = size;
    return context;
  }
  void deallocate(boost::context::stack_context &) noexcept {}
};
}  // namespace

Fiber::Fiber(StackPool &pool, Body body)
    : pool_(pool), body_(std::move(body)), stack_top_(pool.take()) {
  context_ = boost::context::fiber(
      std::allocator_arg, PooledStack{stack_top_, StackPool::kStackBytes},
      [this](boost::context::fiber &&caller) {
        caller_ = std::move(caller);
        body_(*this);
        finished_ = true;
        return std::move(caller_);
      });
}

Fiber::~Fiber() {
  // Destroying a suspended Boost fiber unwinds its stack before we reuse it.
  context_ = boost::context::fiber();
  pool_.give_back(stack_top_);
}

void Fiber::resume() { context_ = std::move(context_).resume(); }

void Fiber::suspend() { caller_ = std::move(caller_).resume(); }

#endif

}  // namespace cpu_device
