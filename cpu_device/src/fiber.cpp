#include "fiber.h"

#include <sys/mman.h>

#include <algorithm>
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
    // Stacks a whole number of pages apart would put every fiber's hot top
    // frames in the same cache sets; a different offset for each spreads them.
    const size_t colour = (mapped_++ * 448) % 4096;
    mappings_.push_back(static_cast<char *>(base));
    free_.push_back(static_cast<char *>(base) + kGuardBytes + kStackBytes - colour);
  }
  char *top = free_.back();
  free_.pop_back();
  return top;
}

void StackPool::trim() {
  // A stack's mapping is the one that lies just below its top.
  for (char *top : free_) {
    const auto mapping = std::find_if(mappings_.begin(), mappings_.end(), [top](char *base) {
      return base < top && top <= base + kGuardBytes + kStackBytes;
    });
    munmap(*mapping, kStackBytes + kGuardBytes);
    mappings_.erase(mapping);
  }
  free_.clear();
}

void StackPool::give_back(char *top) {
#ifdef CPU_DEVICE_ASAN
  // An abandoned fiber leaves its frames' redzones poisoned.
  __asan_unpoison_memory_region(top - kUsableBytes, kUsableBytes);
#endif
  free_.push_back(top);
}

Context::Context() = default;

#ifdef CPU_DEVICE_UCONTEXT

namespace {
// The context a switch came from, for the annotation that completes it.
thread_local Context *switching_from = nullptr;
}  // namespace

Context::Context(StackPool &pool, std::function<void()> body)
    : pool_(&pool), body_(std::move(body)), stack_top_(pool.take()) {
  getcontext(&context_);
  context_.uc_stack.ss_sp = stack_top_ - StackPool::kUsableBytes;
  context_.uc_stack.ss_size = StackPool::kUsableBytes;
  context_.uc_link = nullptr;
  bottom_ = stack_top_ - StackPool::kUsableBytes;
  size_ = StackPool::kUsableBytes;
  const auto self = reinterpret_cast<std::uintptr_t>(this);
  makecontext(&context_, reinterpret_cast<void (*)()>(&Context::entry), 2,
              static_cast<unsigned int>(self >> 32), static_cast<unsigned int>(self));
}

Context::~Context() {
  if (pool_ != nullptr) pool_->give_back(stack_top_);
}

void Context::entry(unsigned int hi, unsigned int lo) {
  auto *self = reinterpret_cast<Context *>((std::uintptr_t{hi} << 32) | lo);
#ifdef CPU_DEVICE_ASAN
  // Learns the stack of the context that started us (a worker's own, the
  // first time), so that switches back to it can be annotated.
  __sanitizer_finish_switch_fiber(nullptr, &switching_from->bottom_, &switching_from->size_);
#endif
  self->body_();
}

void Context::switch_to(Context &target) {
  switching_from = this;
#ifdef CPU_DEVICE_ASAN
  __sanitizer_start_switch_fiber(&fake_stack_, target.bottom_, target.size_);
#endif
  swapcontext(&context_, &target.context_);
#ifdef CPU_DEVICE_ASAN
  __sanitizer_finish_switch_fiber(fake_stack_, &switching_from->bottom_, &switching_from->size_);
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

Context::Context(StackPool &pool, std::function<void()> body)
    : pool_(&pool), body_(std::move(body)), stack_top_(pool.take()) {
  suspended_ = boost::context::fiber(std::allocator_arg,
                                     PooledStack{stack_top_, StackPool::kUsableBytes},
                                     [this](boost::context::fiber &&from) {
                                       body_();
                                       return std::move(from);  // not reached
                                     });
}

Context::~Context() {
  // Destroying a suspended fiber unwinds its stack before the stack is reused.
  suspended_ = boost::context::fiber();
  if (pool_ != nullptr) pool_->give_back(stack_top_);
}

void Context::switch_to(Context &target) {
  // The target runs the hook on arrival and keeps our continuation in our
  // own slot, where whoever switches back to us will find it.
  std::move(target.suspended_).resume_with([this](boost::context::fiber &&from) {
    suspended_ = std::move(from);
    return boost::context::fiber();
  });
}

#endif

}  // namespace cpu_device
