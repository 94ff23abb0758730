// Replaces the array forms of operator new and delete for the whole test
// binary. Containers allocate through the scalar forms, so arming a failure
// reaches only the product's own `new[]`.
#include "cpu/host_allocation.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<int> remaining{0};

void *allocate(std::size_t size) {
  if (remaining.load() > 0 && remaining.fetch_sub(1) == 1) return nullptr;
  return std::malloc(size > 0 ? size : 1);
}

}  // namespace

namespace host_allocation {

void fail_array_new(int n) { remaining = n; }
void reset() { remaining = 0; }

}  // namespace host_allocation

void *operator new[](std::size_t size) {
  if (void *p = allocate(size)) return p;
  throw std::bad_alloc();
}
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept { return allocate(size); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t) noexcept { std::free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { std::free(p); }
